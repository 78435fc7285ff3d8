#include "host/timer_pool.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "framework/codes.h"
#include "runtime/exception.h"
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
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  lanes_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
    thread_.join();
  std::vector<std::thread> lanes;
  {
    std::lock_guard lock(mutex_);
    for (auto& [instance, lane] : laneMap_) {
      if (lane.Thread.joinable())
        lanes.push_back(std::move(lane.Thread));
    }
  }
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
  uint64_t serial = it->second.Serial;
  timers_.erase(it);
  wake_.notify_all();
  WaitUntilNotRunning(lock, serial);
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
  TLane& lane = laneMap_[timer.Instance];
  lane.Due.push_back(timer);
  if (!lane.Thread.joinable()) {
    const TInstanceID instance = timer.Instance;
    lane.Thread = std::thread([this, instance] { RunLane(instance); });
  }
  lanes_.notify_all();
}

void TTimerPool::RunLane(TInstanceID instance) {
  std::unique_lock lock(mutex_);
  TLane& lane = laneMap_[instance];  // map nodes stay where they are
  while (!stopping_) {
    lanes_.wait(lock, [&] { return stopping_ || !lane.Due.empty(); });
    if (stopping_)
      break;
    TTimer timer = std::move(lane.Due.front());
    lane.Due.pop_front();
    // Unregistered while it waited: its callback may no longer run.
    if (Registered(timer.Serial))
      RunUnlocked(lock, timer, true);
  }
}

bool TTimerPool::Registered(uint64_t serial) const {
  return std::any_of(timers_.begin(), timers_.end(),
                     [&](const auto& entry) { return entry.second.Serial == serial; });
}

bool TTimerPool::Queued(uint64_t serial) const {
  return std::any_of(laneMap_.begin(), laneMap_.end(), [&](const auto& entry) {
    return std::any_of(entry.second.Due.begin(), entry.second.Due.end(),
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
  auto done = [&] { return !RunningElsewhere(serial); };
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
