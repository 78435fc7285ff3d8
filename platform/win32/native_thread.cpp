#include "platform/native_thread.h"

#include <process.h>

#include <memory>

#include "platform/win32/win_text.h"
#include "runtime/exception.h"

namespace kyt::platform {

namespace {

static_assert(sizeof(HANDLE) <= sizeof(std::uintptr_t));

// The handle of a thread this layer started, so that the thread can hand itself to another to
// be joined without a second handle.
thread_local HANDLE t_ownHandle = nullptr;

struct Start {
  std::function<void()> body;
  HANDLE handle = nullptr;
};

unsigned __stdcall RunBody(void* raw) {
  std::unique_ptr<Start> start(static_cast<Start*>(raw));
  t_ownHandle = start->handle;
  start->body();
  return 0;
}

}  // namespace

NativeThread StartNativeThread(std::function<void()> body, std::size_t stackSize) {
  auto start = std::make_unique<Start>();
  start->body = std::move(body);
  // Suspended until the thread knows its own handle; the size reserves address space only.
  uintptr_t made = ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), RunBody, start.get(),
                                    CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (made == 0)
    throw Exception("_beginthreadex: " + win::SystemErrorText(::GetLastError()));
  start->handle = reinterpret_cast<HANDLE>(made);
  start.release();  // the thread owns it now
  ::ResumeThread(reinterpret_cast<HANDLE>(made));
  return {static_cast<std::uintptr_t>(made), true};
}

NativeThread CurrentNativeThread() {
  if (t_ownHandle != nullptr)
    return {reinterpret_cast<std::uintptr_t>(t_ownHandle), true};
  HANDLE real = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &real,
                         SYNCHRONIZE, FALSE, 0)) {
    return {};
  }
  return {reinterpret_cast<std::uintptr_t>(real), true};
}

void JoinNativeThread(NativeThread thread) {
  if (!thread.started)
    return;
  HANDLE handle = reinterpret_cast<HANDLE>(thread.id);
  ::WaitForSingleObject(handle, INFINITE);
  ::CloseHandle(handle);
}

}  // namespace kyt::platform
