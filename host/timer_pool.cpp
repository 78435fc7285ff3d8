#include "host/timer_pool.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "framework/codes.h"
#include "runtime/exception.h"
#include "runtime/teardown.h"
#include "runtime/thread.h"

namespace kyt::host {

namespace {

void CheckInterval(int32_t seconds) {
  if (seconds < 0)
    throw Exception(fmt::format("Timer interval {} is negative", seconds));
}

// Serving the hand-over queue in slices keeps a callback that waits in Synchronize from
// deadlocking a main thread that waits for that callback to end.
constexpr auto kMainThreadWaitSlice = std::chrono::milliseconds(5);

}  // namespace

TTimerPool::TTimerPool(bool testMode, Recorder record)
    : testMode_(testMode), record_(std::move(record)) {
  if (!testMode_)
    thread_ = std::thread([this] { Tick(); });
}

TTimerPool::~TTimerPool() {
  Stop();
}

void TTimerPool::Stop() {
  std::vector<std::thread> lanes;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [instance, lane] : laneMap_) endedLanes_.push_back(lane);
    laneMap_.clear();
    for (const auto& lane : endedLanes_) {
      lane->Wake.notify_one();
      if (lane->Thread.joinable())
        lanes.push_back(std::move(lane->Thread));
    }
    endedLanes_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
    thread_.join();
  for (std::thread& lane : lanes) {
    if (lane.get_id() == std::this_thread::get_id()) {
      lane.detach();  // Stop from inside a callback: that lane ends when it returns
    } else {
      lane.join();
    }
  }
}

TTimerID TTimerPool::Register(const std::string& name, TInstanceID instance,
                              TTimerCallback callback, int32_t seconds) {
  CheckInterval(seconds);
  TTimerID id = 0;
  TTimer timer;
  {
    std::lock_guard lock(mutex_);
    id = AllocateID();
    timer = TTimer{nextSerial_++, name,
                   instance,      std::make_shared<const TTimerCallback>(std::move(callback)),
                   seconds,       Clock::now() + std::chrono::seconds(seconds)};
    timers_.emplace(id, timer);
    nextID_ = static_cast<TTimerID>(id + 1);
  }
  wake_.notify_all();
  RecordInterval(timer);
  return id;
}

void TTimerPool::SetInterval(TTimerID id, int32_t seconds) {
  CheckInterval(seconds);
  TTimer timer;
  {
    std::lock_guard lock(mutex_);
    TTimer& stored = Get(id);
    stored.Interval = seconds;
    stored.Due = Clock::now() + std::chrono::seconds(seconds);
    timer = stored;
  }
  wake_.notify_all();
  RecordInterval(timer);
}

void TTimerPool::Unregister(TTimerID id) {
  std::unique_lock lock(mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end())
    return;
  const uint64_t serial = it->second.Serial;
  const TInstanceID instance = it->second.Instance;
  timers_.erase(it);
  wake_.notify_all();
  WaitUntilNotRunning(lock, serial);
  EndLaneIfUnused(lock, instance);
}

void TTimerPool::EndLaneIfUnused(std::unique_lock<std::mutex>& lock, TInstanceID instance) {
  const bool used = std::any_of(timers_.begin(), timers_.end(), [&](const auto& entry) {
    return entry.second.Instance == instance;
  });
  auto it = laneMap_.find(instance);
  if (used || it == laneMap_.end())
    return;
  const std::shared_ptr<TLane> lane = std::move(it->second);
  laneMap_.erase(it);
  lane->Ending = true;
  lane->Wake.notify_one();
  endedLanes_.push_back(lane);
  JoinEndedLanes(lock);
}

void TTimerPool::JoinEndedLanes(std::unique_lock<std::mutex>& lock) {
  const std::thread::id self = std::this_thread::get_id();
  std::vector<std::shared_ptr<TLane>> ending;
  for (auto it = endedLanes_.begin(); it != endedLanes_.end();) {
    // A lane cannot join itself: it is left for the next caller elsewhere, or for Stop.
    if ((*it)->Thread.get_id() == self) {
      ++it;
    } else {
      ending.push_back(std::move(*it));
      it = endedLanes_.erase(it);
    }
  }
  for (const auto& lane : ending) {
    // The lane may still finish a callback that waits for the main thread.
    WaitUntil(lock, [&] { return lane->Finished; });
  }
  lock.unlock();
  for (const auto& lane : ending) {
    if (lane->Thread.joinable())
      lane->Thread.join();
  }
  lock.lock();
}

void TTimerPool::UnregisterInstance(TInstanceID instance) {
  std::vector<TTimerID> ids;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, timer] : timers_) {
      if (timer.Instance == instance)
        ids.push_back(id);
    }
  }
  for (TTimerID id : ids) Unregister(id);
}

bool TTimerPool::Exists(TTimerID id) const {
  std::lock_guard lock(mutex_);
  return timers_.contains(id);
}

int32_t TTimerPool::Interval(TTimerID id) const {
  std::lock_guard lock(mutex_);
  return Get(id).Interval;
}

std::string TTimerPool::Name(TTimerID id) const {
  std::lock_guard lock(mutex_);
  return Get(id).Name;
}

std::optional<int32_t> TTimerPool::IntervalOf(TInstanceID instance, const std::string& name) const {
  std::lock_guard lock(mutex_);
  const TTimer* timer = FindByName(instance, name);
  if (timer == nullptr)
    return std::nullopt;
  return timer->Interval;
}

void TTimerPool::Fire(TInstanceID instance, const std::string& name) {
  std::unique_lock lock(mutex_);
  const TTimer* timer = FindByName(instance, name);
  if (timer == nullptr) {
    throw Exception(fmt::format("Instance #{} has no timer \"{}\"", instance, name));
  }
  TTimer copy = *timer;
  RunUnlocked(lock, copy, false);
}

void TTimerPool::Tick() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto due = NextDue();
    if (!due) {
      wake_.wait(lock);
    } else if (*due > Clock::now()) {
      wake_.wait_until(lock, *due);
    } else {
      auto next = std::min_element(timers_.begin(), timers_.end(), [](auto& a, auto& b) {
        if ((a.second.Interval > 0) != (b.second.Interval > 0))
          return a.second.Interval > 0;
        return a.second.Due < b.second.Due;
      });
      // The next tick counts from this one's start, so a slow callback does not drift the
      // schedule by its own run time.
      next->second.Due = Clock::now() + std::chrono::seconds(next->second.Interval);
      HandToLane(next->second);
    }
  }
}

void TTimerPool::HandToLane(const TTimer& timer) {
  if (RunningElsewhere(timer.Serial) || Queued(timer.Serial))
    return;
  std::shared_ptr<TLane>& lane = laneMap_[timer.Instance];
  if (!lane) {
    lane = std::make_shared<TLane>();
    lane->Thread = std::thread([this, lane = lane] { RunLane(lane); });
  }
  lane->Due.push_back(timer);
  lane->Wake.notify_one();
}

void TTimerPool::RunLane(const std::shared_ptr<TLane>& lane) {
  std::unique_lock lock(mutex_);
  for (;;) {
    lane->Wake.wait(lock, [&] { return stopping_ || lane->Ending || !lane->Due.empty(); });
    if (stopping_ || lane->Ending)
      break;
    TTimer timer = std::move(lane->Due.front());
    lane->Due.pop_front();
    // Unregistered while it waited: its callback may no longer run.
    if (Registered(timer.Serial))
      RunUnlocked(lock, timer, true);
  }
  lane->Finished = true;
  idle_.notify_all();
}

bool TTimerPool::Registered(uint64_t serial) const {
  return std::any_of(timers_.begin(), timers_.end(),
                     [&](const auto& entry) { return entry.second.Serial == serial; });
}

bool TTimerPool::Queued(uint64_t serial) const {
  return std::any_of(laneMap_.begin(), laneMap_.end(), [&](const auto& entry) {
    return std::any_of(entry.second->Due.begin(), entry.second->Due.end(),
                       [&](const TTimer& t) { return t.Serial == serial; });
  });
}

void TTimerPool::RunUnlocked(std::unique_lock<std::mutex>& lock, const TTimer& timer,
                             bool catchFailure) {
  running_.push_back({timer.Serial, std::this_thread::get_id()});
  auto finished = [&] {
    lock.lock();
    auto it = std::find_if(running_.begin(), running_.end(), [&](const TRun& run) {
      return run.Serial == timer.Serial && run.Thread == std::this_thread::get_id();
    });
    running_.erase(it);
    idle_.notify_all();
  };
  lock.unlock();
  try {
    const TCallScope inside;
    (*timer.Callback)();
  } catch (const std::exception& e) {
    finished();
    if (!catchFailure)
      throw;
    lock.unlock();
    record_({THostEvent::Kind::Log, timer.Instance, KL_ERROR, "Timer", e.what(), {}, false});
    lock.lock();
    return;
  } catch (...) {
    finished();
    if (!catchFailure)
      throw;
    lock.unlock();
    record_(
        {THostEvent::Kind::Log, timer.Instance, KL_ERROR, "Timer", "unknown failure", {}, false});
    lock.lock();
    return;
  }
  finished();
}

std::optional<TTimerPool::Clock::time_point> TTimerPool::NextDue() const {
  std::optional<Clock::time_point> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.Interval > 0 && (!due || timer.Due < *due))
      due = timer.Due;
  }
  return due;
}

TTimerID TTimerPool::AllocateID() {
  for (uint32_t tried = 0; tried < 0xFFFF; ++tried, ++nextID_) {
    if (nextID_ == 0)
      nextID_ = 1;
    if (!timers_.contains(nextID_))
      return nextID_;
  }
  throw Exception("No free timer ID");
}

const TTimerPool::TTimer& TTimerPool::Get(TTimerID id) const {
  auto it = timers_.find(id);
  if (it == timers_.end())
    throw Exception(fmt::format("Timer #{} does not exist", id));
  return it->second;
}

TTimerPool::TTimer& TTimerPool::Get(TTimerID id) {
  return const_cast<TTimer&>(std::as_const(*this).Get(id));
}

const TTimerPool::TTimer* TTimerPool::FindByName(TInstanceID instance,
                                                 const std::string& name) const {
  const TTimer* found = nullptr;
  for (const auto& [id, timer] : timers_) {
    if (timer.Instance == instance && timer.Name == name &&
        (found == nullptr || timer.Serial > found->Serial)) {
      found = &timer;
    }
  }
  return found;
}

bool TTimerPool::RunningElsewhere(uint64_t serial) const {
  auto self = std::this_thread::get_id();
  return std::any_of(running_.begin(), running_.end(),
                     [&](const TRun& run) { return run.Serial == serial && run.Thread != self; });
}

void TTimerPool::WaitUntilNotRunning(std::unique_lock<std::mutex>& lock, uint64_t serial) {
  WaitUntil(lock, [&] { return !RunningElsewhere(serial); });
}

template <class Done>
void TTimerPool::WaitUntil(std::unique_lock<std::mutex>& lock, Done done) {
  if (!IsMainThread()) {
    idle_.wait(lock, done);
    return;
  }
  while (!idle_.wait_for(lock, kMainThreadWaitSlice, done)) {
    lock.unlock();
    CheckSynchronize();
    lock.lock();
  }
}

void TTimerPool::RecordInterval(const TTimer& timer) {
  record_({THostEvent::Kind::Timer, timer.Instance, timer.Interval, timer.Name, "", {}, false});
}

}  // namespace kyt::host
