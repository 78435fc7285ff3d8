#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/export.h"

namespace kyt {

// The main thread is the one that serves hand-overs (the host's main loop). By default it is the
// thread that loaded the runtime; the host calls InitMainThread from its own main thread.
KYT_RT_API void InitMainThread();
KYT_RT_API bool IsMainThread();

// Runs what workers queued for the main thread. Waits up to `timeout` for the first item when the
// queue is empty. Returns true when anything ran. Call it on the main thread only (elsewhere it
// raises Exception, since running the items on another thread would break their promise).
// Items queued while it runs wait for the next call, so an item that queues itself cannot trap
// the loop. An exception escaping a Queue'd item is reported on stderr and the loop goes on.
KYT_RT_API bool CheckSynchronize(std::chrono::milliseconds timeout = std::chrono::milliseconds{0});

// On the main thread: serves the hand-over queue until `ready` answers true. `ready` is asked
// under the queue's lock, so whoever makes it true must call WakeMainThread afterwards (and
// must not hold what `ready` takes while doing so). Elsewhere it raises Exception.
KYT_RT_API void ServeUntil(const std::function<bool()>& ready);
KYT_RT_API void WakeMainThread();

// Something a thread holds that others may need while that thread waits for another thread
// (an instance being changed, which lends itself to the send path meanwhile). A thread lists
// what it holds with HoldDuringWaits; every wait for another thread (TThread::WaitFor, and
// whatever else opens a TWaitScope) tells each of them when it begins and when it ends.
class KYT_RT_API THeldDuringWait {
 public:
  virtual void WaitBegins() noexcept = 0;
  virtual void WaitEnds() noexcept = 0;

 protected:
  ~THeldDuringWait() = default;

 private:
  friend struct TThreadHolds;
  friend class TWaitScope;
  // A thread's list is linked through what it holds, newest first, so that the thread-local
  // part is a plain pointer (see TWaitScope).
  THeldDuringWait* heldBefore_ = nullptr;
};
KYT_RT_API void HoldDuringWaits(THeldDuringWait* held);
KYT_RT_API void ReleaseAfterWaits(THeldDuringWait* held);

// Opened around a wait for another thread.
class KYT_RT_API TWaitScope {
 public:
  TWaitScope();
  ~TWaitScope();
  TWaitScope(const TWaitScope&) = delete;
  TWaitScope& operator=(const TWaitScope&) = delete;

 private:
  static void BeginOldestFirst(THeldDuringWait* held) noexcept;

  // What the thread held when the wait began, newest first; whatever it takes and gives back
  // while the wait serves hand-overs lies above it.
  THeldDuringWait* newest_;
};

// A worker thread with the main-thread hand-over.
//
// Lifecycle: construct (suspended), Start, then either Execute returns on its own or another
// thread calls Terminate and WaitFor. When Execute ends, OnTerminate (if set) runs on the main
// thread; WaitFor returns only after that. An exception escaping Execute ends the thread (it is
// reported on stderr, never taken further). The destructor terminates and waits when the thread
// still runs, and also waits for an OnTerminate not yet run, so OnTerminate never outlives the
// object. Derived classes must call TerminateAndWait in their own destructor if Execute touches
// members of the derived class. A thread must not be destroyed from its own Execute.
class KYT_RT_API TThread {
 public:
  using Procedure = std::function<void()>;

  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Raises Exception when already started or when the system has no thread to give.
  void Start();
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Blocks until Execute ended and OnTerminate ran. On the main thread it keeps serving the
  // hand-over queue meanwhile, so a worker blocked in Synchronize cannot deadlock the join.
  // On any other thread it only waits: when OnTerminate is set, the main thread must be serving
  // (CheckSynchronize or WaitFor) for it to return. Returns at once for a thread never started.
  // Calling it from the thread itself is an error (raises Exception). Called (or the destructor
  // run) from the thread's own OnTerminate, it returns at once: Execute is over by then.
  void WaitFor();
  // True once Execute has ended; OnTerminate may still be pending (WaitFor waits for it).
  bool Finished() const { return finished_.load(); }

  // Runs on the main thread after Execute ended. Set it before Start; may be cleared from
  // Execute. Without it, WaitFor needs no help from the main thread. An exception it raises is
  // reported on stderr.
  Procedure OnTerminate;

  // From a worker: runs fn on the main thread and blocks until it ran; an exception thrown by fn
  // is raised again here. On the main thread: runs fn at once.
  static void Synchronize(const Procedure& fn);
  // Posts fn to the main thread without waiting. On the main thread it is still queued. Items
  // run in the order they were posted.
  static void Queue(Procedure fn);

 protected:
  virtual void Execute() = 0;
  // Terminate, then WaitFor when started; for destructors, so it never throws (a failure is
  // reported on stderr).
  void TerminateAndWait() noexcept;

 private:
  void Run();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  struct Done;
  std::shared_ptr<Done> done_;
};

// A TThread running a function; handy for small workers.
class KYT_RT_API TFunctionThread : public TThread {
 public:
  explicit TFunctionThread(std::function<void(TThread&)> body) : body_(std::move(body)) {}
  ~TFunctionThread() override;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(TThread&)> body_;
};

}  // namespace kyt
