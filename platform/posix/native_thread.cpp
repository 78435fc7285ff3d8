#include "platform/native_thread.h"

#include <limits.h>
#include <pthread.h>
#include <string.h>

#include <fmt/format.h>
#include <algorithm>
#include <memory>

#include "runtime/exception.h"

namespace kyt::platform {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

void* RunBody(void* raw) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  (*body)();
  return nullptr;
}

[[noreturn]] void Fail(int code, const char* call) {
  char buffer[256] = {};
  throw Exception(fmt::format("{}: {}", call, ::strerror_r(code, buffer, sizeof buffer)));
}

// Frees the attribute object on every path out of StartNativeThread.
struct Attributes {
  pthread_attr_t attr;
  Attributes() { ::pthread_attr_init(&attr); }
  ~Attributes() { ::pthread_attr_destroy(&attr); }
};

}  // namespace

NativeThread StartNativeThread(std::function<void()> body, std::size_t stackSize) {
  Attributes attributes;
  const std::size_t page = 4096;
  const std::size_t size =
      (std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN) + page - 1) / page * page;
  if (int rc = ::pthread_attr_setstacksize(&attributes.attr, size); rc != 0) {
    Fail(rc, "pthread_attr_setstacksize");
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread{};
  if (int rc = ::pthread_create(&thread, &attributes.attr, RunBody, owned.get()); rc != 0) {
    Fail(rc, "pthread_create");
  }
  owned.release();  // the thread owns it now
  return {static_cast<std::uintptr_t>(thread), true};
}

NativeThread CurrentNativeThread() {
  return {static_cast<std::uintptr_t>(::pthread_self()), true};
}

void JoinNativeThread(NativeThread thread) {
  if (thread.started) {
    ::pthread_join(static_cast<pthread_t>(thread.id), nullptr);
  }
}

}  // namespace kyt::platform
