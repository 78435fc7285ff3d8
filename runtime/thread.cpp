#include "runtime/thread.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>

#include "runtime/exception.h"

namespace kyt {
namespace {

using Item = std::function<void()>;

// The process-wide hand-over. One mutex guards the queue and every completion flag below, so a
// waiter can test "queue empty and not done" and sleep without missing a wake-up.
struct HandOver {
  std::mutex mutex;
  std::condition_variable mainWake;  // for the main thread: an item arrived or a thread completed
  std::condition_variable doneWake;  // for threads joining off the main thread: a thread completed
  std::deque<Item> items;
};

// Never destroyed: workers may still post while the process runs its exit handlers.
HandOver& Hub() {
  static auto* hub = new HandOver;
  return *hub;
}

std::atomic<std::thread::id> g_mainThread{std::this_thread::get_id()};

// The TThread whose Execute runs on this thread, to refuse a self-join.
thread_local const TThread* t_currentThread = nullptr;

void Report(const char* where, const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kyt: %s: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "kyt: %s: unknown exception\n", where);
  }
}

void RunItem(const Item& item) noexcept {
  try {
    item();
  } catch (...) {
    Report("exception in a procedure queued for the main thread", std::current_exception());
  }
}

void Post(Item item) {
  auto& hub = Hub();
  {
    std::lock_guard lock(hub.mutex);
    hub.items.push_back(std::move(item));
  }
  hub.mainWake.notify_all();
}

// Runs what is queued now; later arrivals wait for the next round. `lock` holds hub.mutex on
// entry and on return, and is released while the items run.
bool RunBatch(std::unique_lock<std::mutex>& lock) {
  auto& hub = Hub();
  if (hub.items.empty())
    return false;
  std::deque<Item> batch;
  batch.swap(hub.items);
  lock.unlock();
  for (const auto& item : batch) RunItem(item);
  batch.clear();  // captured state is released outside the lock too
  lock.lock();
  return true;
}

// Sets a completion flag that waiters on either side may be sleeping on.
void Signal(bool& flag) {
  auto& hub = Hub();
  {
    std::lock_guard lock(hub.mutex);
    flag = true;
  }
  hub.mainWake.notify_all();
  hub.doneWake.notify_all();
}

}  // namespace

void InitMainThread() {
  g_mainThread.store(std::this_thread::get_id());
}

bool IsMainThread() {
  return g_mainThread.load() == std::this_thread::get_id();
}

bool CheckSynchronize(std::chrono::milliseconds timeout) {
  if (!IsMainThread())
    throw Exception("CheckSynchronize called from a thread other than the main one");
  auto& hub = Hub();
  std::unique_lock lock(hub.mutex);
  if (timeout.count() > 0) {
    hub.mainWake.wait_for(lock, timeout, [&] { return !hub.items.empty(); });
  }
  return RunBatch(lock);
}

void ServeUntil(const std::function<bool()>& ready) {
  if (!IsMainThread())
    throw Exception("ServeUntil called from a thread other than the main one");
  auto& hub = Hub();
  std::unique_lock lock(hub.mutex);
  while (!ready()) {
    if (!RunBatch(lock))
      hub.mainWake.wait(lock);
  }
}

void WakeMainThread() {
  auto& hub = Hub();
  // Taking the lock orders this wake-up after a ServeUntil that just found `ready` false.
  { std::lock_guard lock(hub.mutex); }
  hub.mainWake.notify_all();
}

namespace {
thread_local std::vector<THeldDuringWait*> t_held;
}  // namespace

void HoldDuringWaits(THeldDuringWait* held) {
  t_held.push_back(held);
}

void ReleaseAfterWaits(THeldDuringWait* held) {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (*it == held) {
      t_held.erase(std::next(it).base());
      return;
    }
  }
}

TWaitScope::TWaitScope() : held_(t_held) {
  for (THeldDuringWait* held : held_) held->WaitBegins();
}

TWaitScope::~TWaitScope() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) (*it)->WaitEnds();
}

// Guarded by the hub's mutex.
struct TThread::Done {
  bool complete = false;     // Execute ended and OnTerminate ran
  bool terminating = false;  // OnTerminate is running on the main thread
};

TThread::TThread() : done_(std::make_shared<Done>()) {}

TThread::~TThread() {
  TerminateAndWait();
  if (thread_.joinable())
    thread_.join();
}

TFunctionThread::~TFunctionThread() {
  TerminateAndWait();
}

void TThread::Start() {
  if (started_.exchange(true))
    throw Exception("TThread::Start: the thread was already started");
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    started_.store(false);
    throw Exception(std::string("TThread::Start: could not create a thread: ") + e.what() +
                    " (error " + std::to_string(e.code().value()) + ")");
  }
}

void TThread::WaitFor() {
  if (!started_.load())
    return;
  if (t_currentThread == this)
    throw Exception("TThread::WaitFor called from the thread itself");
  const TWaitScope waiting;
  auto& hub = Hub();
  std::unique_lock lock(hub.mutex);
  if (!IsMainThread()) {
    hub.doneWake.wait(lock, [&] { return done_->complete; });
    return;
  }
  // The thread may be blocked in Synchronize, or its OnTerminate may be queued: serve both.
  // While OnTerminate runs, this call is nested inside it (it runs here, on the main thread):
  // an OnTerminate that destroys its thread must not wait for itself.
  while (!done_->complete && !done_->terminating) {
    if (!RunBatch(lock))
      hub.mainWake.wait(lock);
  }
}

void TThread::TerminateAndWait() noexcept {
  if (!started_.load())
    return;
  if (!finished_.load())
    Terminate();
  try {
    WaitFor();
  } catch (...) {
    Report("TThread shutdown", std::current_exception());
  }
}

void TThread::Run() {
  t_currentThread = this;
  try {
    Execute();
  } catch (...) {
    Report("thread ended by an exception", std::current_exception());
  }
  t_currentThread = nullptr;
  // The owner may destroy this object as soon as `done` completes, so take what the rest needs
  // first and touch no member afterwards.
  Procedure onTerminate = std::move(OnTerminate);
  std::shared_ptr<Done> done = done_;
  finished_.store(true);
  if (!onTerminate) {
    Signal(done->complete);
    return;
  }
  Post([done, onTerminate = std::move(onTerminate)] {
    {
      std::lock_guard lock(Hub().mutex);
      done->terminating = true;
    }
    try {
      onTerminate();
    } catch (...) {
      Report("exception in OnTerminate", std::current_exception());
    }
    Signal(done->complete);
  });
}

namespace {

// One Synchronize call. The worker sleeps on a wake of its own rather than on the hub's: there
// every finished call woke every worker waiting for its own, and a worker that had just posted
// often found the main thread it had woken holding the hub's mutex, and slept once more.
struct SyncCall {
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;         // guarded by `mutex`
  std::exception_ptr error;  // written before `done` is set
};

}  // namespace

void TThread::Synchronize(const Procedure& fn) {
  if (!fn)
    return;
  if (IsMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<SyncCall>();
  // `fn` lives on this stack, which waits below until the item ran.
  Post([call, &fn] {
    try {
      fn();
    } catch (...) {
      call->error = std::current_exception();
    }
    {
      std::lock_guard lock(call->mutex);
      call->done = true;
    }
    call->wake.notify_one();
  });
  {
    std::unique_lock lock(call->mutex);
    call->wake.wait(lock, [&] { return call->done; });
  }
  // Taken, not copied: the exception object then dies on this thread, which reads it, rather
  // than wherever the last copy of `call` happens to be released.
  std::exception_ptr error = std::move(call->error);
  if (error)
    std::rethrow_exception(error);
}

void TThread::Queue(Procedure fn) {
  if (fn)
    Post(std::move(fn));
}

}  // namespace kyt
