#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/interfaces.h"
#include "host/reference_host.h"

namespace kyt::host {

// The host's timers. In test mode nothing ticks on its own and tests fire timers by name. In
// run mode one thread keeps the schedule and hands each due timer to its instance's lane, a
// thread per instance that runs the callbacks: a callback that blocks (a slow page, a connect
// that waits out its time-out) delays only its own instance's timers. A lane is woken only for
// its own timers and ends when its instance's last timer is unregistered. A timer whose
// callback is still running or waiting when it falls due again skips that tick. Callbacks run
// inside a call scope (runtime/teardown.h): an instance whose last reference drops in one is
// torn down elsewhere.
class TTimerPool {
 public:
  using Recorder = std::function<void(THostEvent)>;

  // `record` receives the Timer events and the Log event of a callback that raised.
  TTimerPool(bool testMode, Recorder record);
  ~TTimerPool();
  TTimerPool(const TTimerPool&) = delete;
  TTimerPool& operator=(const TTimerPool&) = delete;

  // Ends the timer thread and the lanes; callbacks in progress finish first. Safe to call
  // twice.
  void Stop();

  TTimerID Register(const std::string& name, TInstanceID instance, TTimerCallback callback,
                    int32_t seconds);
  void SetInterval(TTimerID id, int32_t seconds);  // 0 stops the timer
  // After it returns, the callback is not running on any other thread and never runs again.
  // Called from within the callback itself it only marks the timer gone. Unknown IDs are
  // ignored, since destructors call it.
  void Unregister(TTimerID id);
  void UnregisterInstance(TInstanceID instance);

  bool Exists(TTimerID id) const;
  int32_t Interval(TTimerID id) const;
  std::string Name(TTimerID id) const;
  std::optional<int32_t> IntervalOf(TInstanceID instance, const std::string& name) const;
  // Runs the callback on the calling thread; what it raises reaches the caller.
  void Fire(TInstanceID instance, const std::string& name);

 private:
  using Clock = std::chrono::steady_clock;
  struct TTimer {
    uint64_t Serial = 0;  // unique for the pool's life, unlike the 16-bit ID
    std::string Name;
    TInstanceID Instance = 0;
    std::shared_ptr<const TTimerCallback> Callback;
    int32_t Interval = 0;
    Clock::time_point Due;
  };
  struct TRun {
    uint64_t Serial;
    std::thread::id Thread;
  };
  // One per instance with a timer due; it ends once the instance has no timer left.
  struct TLane {
    std::deque<TTimer> Due;
    std::condition_variable Wake;  // this lane only: a timer of its instance is due, or the end
    bool Ending = false;
    bool Finished = false;  // its thread has left the loop (told through idle_)
    std::thread Thread;
  };

  void Tick();
  void HandToLane(const TTimer& timer);
  void RunLane(const std::shared_ptr<TLane>& lane);
  // Ends the instance's lane when none of its timers is left and joins the ended lanes' threads
  // other than this one (serving hand-overs meanwhile on the main thread).
  void EndLaneIfUnused(std::unique_lock<std::mutex>& lock, TInstanceID instance);
  void JoinEndedLanes(std::unique_lock<std::mutex>& lock);
  bool Registered(uint64_t serial) const;
  bool Queued(uint64_t serial) const;
  // Runs one callback with the lock released, keeping it listed as running meanwhile.
  void RunUnlocked(std::unique_lock<std::mutex>& lock, const TTimer& timer, bool catchFailure);
  std::optional<Clock::time_point> NextDue() const;
  TTimerID AllocateID();
  const TTimer& Get(TTimerID id) const;
  TTimer& Get(TTimerID id);
  const TTimer* FindByName(TInstanceID instance, const std::string& name) const;
  bool RunningElsewhere(uint64_t serial) const;
  void WaitUntilNotRunning(std::unique_lock<std::mutex>& lock, uint64_t serial);
  // Waits on idle_; on the main thread it serves the hand-over queue meanwhile.
  template <class Done>
  void WaitUntil(std::unique_lock<std::mutex>& lock, Done done);
  void RecordInterval(const TTimer& timer);

  const bool testMode_;
  const Recorder record_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // the timer thread: schedule changed or stopping
  std::condition_variable idle_;  // a callback returned
  std::map<TInstanceID, std::shared_ptr<TLane>> laneMap_;
  // Lanes told to end whose threads are not joined yet (one that ended from inside its own
  // callback waits for another thread, or for Stop).
  std::vector<std::shared_ptr<TLane>> endedLanes_;
  std::map<TTimerID, TTimer> timers_;
  std::vector<TRun> running_;
  uint64_t nextSerial_ = 1;
  TTimerID nextID_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kyt::host
