#include "runtime/thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
#include <intrin.h>
#endif

#include "runtime/exception.h"
#include "runtime/teardown.h"

namespace kyt {
namespace {

using Item = std::function<void()>;
using Clock = std::chrono::steady_clock;

// Waking a sleeping thread costs far more than a short look (on a virtual machine it is the
// largest single cost of a one-byte round trip through the host), and a block that comes in
// often has a next one close behind. So both sides of a hand-over look for a while before they
// sleep: the main thread for the next item, a worker for the end of its call. The looks are
// bounded and short: a longer one took the processor from the very threads that bring the next
// item (a pty's bytes pass through a kernel worker too). The main thread looks only while items
// keep coming that close together, so an idle host sleeps as before.
constexpr auto kMainLook = std::chrono::microseconds(40);
constexpr auto kCallLook = std::chrono::microseconds(30);

// Tells the processor this is a busy wait (it then spares the other hardware thread).
inline void CpuRelax() {
#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
  _mm_pause();
#elif defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Looks at `ready` until it answers true or `until` has passed; true when it did.
template <class Ready>
bool LookFor(Clock::time_point until, Ready ready) {
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      if (ready())
        return true;
      CpuRelax();
    }
    if (Clock::now() >= until)
      return ready();
    // The thread looked for may be waiting for this very processor (two cores shared with
    // other work are often one): a pause alone would hold it off for the whole look.
    std::this_thread::yield();
  }
}

// The process-wide hand-over. One mutex guards the queue and every completion flag below, so a
// waiter can test "queue empty and not done" and sleep without missing a wake-up.
struct HandOver {
  std::mutex mutex;
  std::condition_variable mainWake;  // for the main thread: an item arrived or a thread completed
  std::condition_variable doneWake;  // for threads joining off the main thread: a thread completed
  std::deque<Item> items;
  // Whether `items` holds anything, for the main thread's look before it takes the mutex.
  std::atomic<bool> queued{false};
  // Guarded by `mutex`: when the first of the items now queued came, when the main thread's
  // last batch ended, and whether it looks for the next item before it sleeps.
  Clock::time_point firstQueued;
  Clock::time_point lastBatch;
  bool look = false;
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
  // A worker may be waiting for this very item: nothing whose teardown waits for workers may be
  // torn down inside it.
  const TCallScope inside;
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
    if (hub.items.empty())
      hub.firstQueued = Clock::now();
    hub.items.push_back(std::move(item));
    hub.queued.store(true, std::memory_order_relaxed);
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
  hub.queued.store(false, std::memory_order_relaxed);
  lock.unlock();
  for (const auto& item : batch) RunItem(item);
  batch.clear();  // captured state is released outside the lock too
  lock.lock();
  hub.lastBatch = Clock::now();
  return true;
}

// The main thread, about to sleep on an empty queue: while its last batch is recent and the
// last item came that soon after the batch before, it looks for the next item first. `lock`
// holds hub.mutex on entry and on return. True when an item came.
bool LookForItems(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  auto& hub = Hub();
  const auto until = std::min(hub.lastBatch + kMainLook, deadline);
  if (!hub.look || Clock::now() >= until)
    return false;
  lock.unlock();
  LookFor(until, [&] { return hub.queued.load(std::memory_order_relaxed); });
  lock.lock();
  // A look in vain is not repeated until items come close together again.
  hub.look = !hub.items.empty();
  return hub.look;
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
  const auto deadline = Clock::now() + timeout;
  if (timeout.count() > 0 && hub.items.empty() && !LookForItems(lock, deadline)) {
    if (hub.mainWake.wait_until(lock, deadline, [&] { return !hub.items.empty(); }))
      hub.look = hub.firstQueued - hub.lastBatch < kMainLook;
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
// No thread-local object here or elsewhere in the runtime may need a destructor. On Windows
// such a destructor is registered with libstdc++, which pins the module and lets it go again
// when the thread ends, under winpthreads' global thread lock; a second thread ending at that
// moment holds the loader lock and waits for that thread lock, and the process stops for good.
thread_local THeldDuringWait* t_newestHeld = nullptr;
}  // namespace

struct TThreadHolds {
  static void Push(THeldDuringWait* held) {
    held->heldBefore_ = t_newestHeld;
    t_newestHeld = held;
  }
  static void Remove(THeldDuringWait* held) {
    for (THeldDuringWait** link = &t_newestHeld; *link != nullptr; link = &(*link)->heldBefore_) {
      if (*link == held) {
        *link = held->heldBefore_;
        held->heldBefore_ = nullptr;
        return;
      }
    }
  }
};

void HoldDuringWaits(THeldDuringWait* held) {
  TThreadHolds::Push(held);
}

void ReleaseAfterWaits(THeldDuringWait* held) {
  TThreadHolds::Remove(held);
}

TWaitScope::TWaitScope() : newest_(t_newestHeld) {
  BeginOldestFirst(newest_);
}

void TWaitScope::BeginOldestFirst(THeldDuringWait* held) noexcept {
  if (held == nullptr)
    return;
  BeginOldestFirst(held->heldBefore_);
  held->WaitBegins();
}

TWaitScope::~TWaitScope() {
  for (THeldDuringWait* held = newest_; held != nullptr; held = held->heldBefore_) held->WaitEnds();
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
    const TWorkerScope worker;
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
  std::atomic<bool> done{false};  // set holding `mutex`, so a sleeper cannot miss it
  std::exception_ptr error;       // written before `done` is set
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
      call->done.store(true, std::memory_order_release);
    }
    call->wake.notify_one();
  });
  auto done = [&] { return call->done.load(std::memory_order_acquire); };
  if (!LookFor(Clock::now() + kCallLook, done)) {
    std::unique_lock lock(call->mutex);
    call->wake.wait(lock, done);
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
