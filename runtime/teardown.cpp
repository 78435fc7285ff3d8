#include "runtime/teardown.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "runtime/thread.h"

namespace kyt {
namespace {

using Clock = std::chrono::steady_clock;
// How often a wait on the main thread looks up from serving hand-overs.
constexpr auto kServeSlice = std::chrono::milliseconds(5);

struct TPendingTeardown {
  const void* Owner;
  void (*Destroy)(void*);
  void* Object;
};

// Never destroyed: the service thread and late teardowns may outlive the exit handlers.
struct TService {
  std::mutex Mutex;
  std::condition_variable Work;
  std::condition_variable Gone;  // an object's teardown returned
  std::deque<std::function<void()>> Items;
  bool Started = false;
  std::unordered_map<const void*, long> Alive;
};

TService& Service() {
  static auto* service = new TService;
  return *service;
}

// Plain data only, as every thread-local object of the runtime (see runtime/thread.cpp).
struct TThreadState {
  int CallDepth = 0;
  int WorkerDepth = 0;
  std::vector<TPendingTeardown>* Pending = nullptr;  // while a call defers teardowns
};
thread_local TThreadState t_state;

void ReportFailure(const char* where) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kyt: %s: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "kyt: %s: unknown exception\n", where);
  }
}

void Count(const void* owner, long delta) noexcept {
  if (owner == nullptr)
    return;
  auto& service = Service();
  {
    std::lock_guard lock(service.Mutex);
    long& alive = service.Alive[owner];
    alive += delta;
    if (alive == 0)
      service.Alive.erase(owner);
  }
  if (delta < 0)
    service.Gone.notify_all();
}

void Destroy(const TPendingTeardown& teardown) noexcept {
  try {
    teardown.Destroy(teardown.Object);
  } catch (...) {
    ReportFailure("object teardown");
  }
  Count(teardown.Owner, -1);
}

void Serve() {
  auto& service = Service();
  std::unique_lock lock(service.Mutex);
  for (;;) {
    service.Work.wait(lock, [&] { return !service.Items.empty(); });
    std::function<void()> item = std::move(service.Items.front());
    service.Items.pop_front();
    lock.unlock();
    try {
      item();
    } catch (...) {
      ReportFailure("service thread");
    }
    item = nullptr;  // what it captured goes here too, outside the lock
    lock.lock();
  }
}

void Post(std::function<void()> fn) {
  auto& service = Service();
  {
    std::lock_guard lock(service.Mutex);
    service.Items.push_back(std::move(fn));
    if (!service.Started) {
      std::thread(Serve).detach();
      service.Started = true;
    }
  }
  service.Work.notify_one();
}

void PostTeardown(const TPendingTeardown& teardown) {
  Post([teardown] { Destroy(teardown); });
}

std::size_t AliveLocked(const TService& service, const std::vector<const void*>& owners) {
  std::size_t alive = 0;
  for (const void* owner : owners) {
    auto it = service.Alive.find(owner);
    if (it != service.Alive.end() && it->second > 0)
      alive += static_cast<std::size_t>(it->second);
  }
  return alive;
}

}  // namespace

TCallScope::TCallScope() noexcept {
  ++t_state.CallDepth;
}

TCallScope::~TCallScope() {
  if (--t_state.CallDepth > 0 || t_state.Pending == nullptr)
    return;
  const std::unique_ptr<std::vector<TPendingTeardown>> pending(
      std::exchange(t_state.Pending, nullptr));
  for (const TPendingTeardown& teardown : *pending) {
    try {
      PostTeardown(teardown);
    } catch (...) {
      ReportFailure("handing a teardown on");
      Destroy(teardown);
    }
  }
}

TWorkerScope::TWorkerScope() noexcept {
  ++t_state.WorkerDepth;
}

TWorkerScope::~TWorkerScope() {
  --t_state.WorkerDepth;
}

void TearDownObject(const void* owner, void (*destroy)(void*), void* object) noexcept {
  const TPendingTeardown teardown{owner, destroy, object};
  try {
    if (t_state.CallDepth > 0) {
      if (t_state.Pending == nullptr)
        t_state.Pending = new std::vector<TPendingTeardown>;
      t_state.Pending->push_back(teardown);
      return;
    }
    if (t_state.WorkerDepth > 0) {
      PostTeardown(teardown);
      return;
    }
  } catch (...) {
    // No memory to hand it on: running it here is the lesser evil than never.
    ReportFailure("handing a teardown on");
  }
  Destroy(teardown);
}

void CountObjectMade(const void* owner) noexcept {
  Count(owner, +1);
}

void CountObjectLost(const void* owner) noexcept {
  Count(owner, -1);
}

std::size_t ObjectsAlive(const std::vector<const void*>& owners) {
  auto& service = Service();
  std::lock_guard lock(service.Mutex);
  return AliveLocked(service, owners);
}

bool WaitForObjectsGone(const std::vector<const void*>& owners, std::chrono::milliseconds limit) {
  auto& service = Service();
  const auto deadline = Clock::now() + limit;
  if (!IsMainThread()) {
    std::unique_lock lock(service.Mutex);
    return service.Gone.wait_until(lock, deadline,
                                   [&] { return AliveLocked(service, owners) == 0; });
  }
  while (ObjectsAlive(owners) > 0) {
    const auto now = Clock::now();
    if (now >= deadline)
      return false;
    CheckSynchronize(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                              std::chrono::milliseconds(kServeSlice)));
  }
  return true;
}

void RunOnServiceThread(std::function<void()> fn) {
  if (fn)
    Post(std::move(fn));
}

}  // namespace kyt
