// The timer pool: fired by tests in test mode, ticking on its own thread in run mode, and
// UnregisterTimer's promise that the callback is not running once it returns.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "framework/codes.h"
#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class TimerPoolTest : public HostTest {
 protected:
  TRef<IKYTTimerPoolEx> Timers() { return Host().Kernel()->GetTimerPool(); }
  std::vector<std::pair<std::string, int32_t>> TimerEvents(TInstanceID instance) {
    std::vector<std::pair<std::string, int32_t>> out;
    for (const auto& e : Host().Events(EventKind::Timer, instance))
      out.emplace_back(e.Name, e.Code);
    return out;
  }
};

host::THostOptions RunMode() {
  host::THostOptions options;
  options.TestMode = false;
  return options;
}

// A gate a callback waits at until the test opens it.
class TGate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitOpen() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

TEST_F(TimerPoolTest, TestModeTimersRunOnlyWhenFiredOnTheCallingThread) {
  int runs = 0;
  std::thread::id ranOn;
  TTimerID id = Timers()->RegisterTimer(
      "Reconnect", 12,
      [&] {
        ++runs;
        ranOn = std::this_thread::get_id();
      },
      10);
  EXPECT_NE(id, 0);
  Host().RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(runs, 0);
  Host().FireTimer(12, "Reconnect");
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_THROW(Host().FireTimer(12, "Other"), Exception);
}

TEST_F(TimerPoolTest, IntervalsAreRecordedAndReadable) {
  TTimerID id = Timers()->RegisterTimer(
      "Reconnect", 12, [] {}, 0);
  Timers()->SetTimerInterval(id, 10);
  Timers()->SetTimerInterval(id, 5);
  EXPECT_EQ(Host().TimerInterval(12, "Reconnect"), 5);
  EXPECT_EQ(Timers()->GetTimerInterval(id), 5);
  EXPECT_EQ(Timers()->GetTimerName(id), "Reconnect");
  EXPECT_EQ(TimerEvents(12), (std::vector<std::pair<std::string, int32_t>>{
                                 {"Reconnect", 0}, {"Reconnect", 10}, {"Reconnect", 5}}));

  Timers()->UnregisterTimer(id);
  EXPECT_FALSE(Timers()->TimerExists(id));
  EXPECT_EQ(Host().TimerInterval(12, "Reconnect"), std::nullopt);
  EXPECT_THROW(Timers()->SetTimerInterval(id, 1), Exception);
  EXPECT_NO_THROW(Timers()->UnregisterTimer(id));  // destructors may call it twice
  EXPECT_THROW(Timers()->RegisterTimer(
                   "Bad", 12, [] {}, -1),
               Exception);
}

TEST_F(TimerPoolTest, TimerIDsAreDistinctAcrossInstances) {
  TTimerID a = Timers()->RegisterTimer(
      "Reconnect", 12, [] {}, 1);
  TTimerID b = Timers()->RegisterTimer(
      "Reconnect", 13, [] {}, 2);
  EXPECT_NE(a, b);
  EXPECT_EQ(Host().TimerInterval(12, "Reconnect"), 1);
  EXPECT_EQ(Host().TimerInterval(13, "Reconnect"), 2);
}

TEST_F(TimerPoolTest, ACallbackMayUnregisterItsOwnTimer) {
  TTimerID id = 0;
  id = Timers()->RegisterTimer(
      "Once", 12, [&] { Timers()->UnregisterTimer(id); }, 1);
  Host().FireTimer(12, "Once");
  EXPECT_FALSE(Timers()->TimerExists(id));
}

TEST_F(TimerPoolTest, RunModeTicksOnTheTimerThreadAndLogsAFailingCallback) {
  ResetHost(RunMode());
  std::atomic<int> runs{0};
  std::atomic<bool> onMainThread{true};
  std::thread::id mainThread = std::this_thread::get_id();
  Timers()->RegisterTimer(
      "Tick", 12,
      [&] {
        onMainThread = std::this_thread::get_id() == mainThread;
        ++runs;
        throw Exception("tick failed");
      },
      1);
  ASSERT_TRUE(WaitUntil([&] { return !LogTexts(12, KL_ERROR).empty(); }));
  EXPECT_GE(runs.load(), 1);
  EXPECT_FALSE(onMainThread);
  auto log = Host().Events(EventKind::Log, 12);
  EXPECT_EQ(log.front().Name, "Timer");
  EXPECT_EQ(log.front().Text, "tick failed");
}

TEST_F(TimerPoolTest, UnregisterWaitsForARunningCallbackToFinish) {
  ResetHost(RunMode());
  TGate release;
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  TTimerID id = Timers()->RegisterTimer(
      "Slow", 12,
      [&] {
        started = true;
        release.WaitOpen();
        finished = true;
      },
      1);
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));

  std::atomic<bool> finishedWhenUnregistered{false};
  std::atomic<bool> returned{false};
  std::thread unregister([&] {
    Timers()->UnregisterTimer(id);
    finishedWhenUnregistered = finished.load();
    returned = true;
  });
  // The timer is gone from the pool as soon as UnregisterTimer has begun; only then is the
  // callback let go, so an UnregisterTimer that did not wait would return before it ends.
  ASSERT_TRUE(WaitUntil([&] { return !Timers()->TimerExists(id); }));
  EXPECT_FALSE(returned.load());
  release.Open();
  unregister.join();
  EXPECT_TRUE(finishedWhenUnregistered);
}

// A blocked callback delays no other instance's timer; its own ticks that fall due meanwhile
// are skipped, not run back to back once it returns.
TEST_F(TimerPoolTest, ABlockedCallbackDelaysNoOtherInstancesTimerAndSkipsItsOwnTicks) {
  ResetHost(RunMode());
  using Clock = std::chrono::steady_clock;
  TGate release;
  std::atomic<int> slowRuns{0};
  std::atomic<Clock::rep> secondRun{0};
  std::atomic<int> otherRuns{0};
  const TTimerID slow = Timers()->RegisterTimer(
      "Slow", 12,
      [&] {
        if (slowRuns == 1)
          secondRun = Clock::now().time_since_epoch().count();
        if (++slowRuns == 1)
          release.WaitOpen();
      },
      1);
  const TTimerID other = Timers()->RegisterTimer(
      "Other", 13, [&] { ++otherRuns; }, 1);
  ASSERT_TRUE(WaitUntil([&] { return slowRuns == 1; }));
  const int before = otherRuns;
  // The other timer ticks after the slow one: by its second tick, one of the slow one's fell due.
  EXPECT_TRUE(WaitUntil([&] { return otherRuns >= before + 2; }));
  const Clock::time_point opened = Clock::now();
  release.Open();
  ASSERT_TRUE(WaitUntil([&] { return slowRuns == 2; }));
  EXPECT_GE(Clock::time_point(Clock::duration(secondRun.load())) - opened,
            std::chrono::milliseconds(500));
  // Both callbacks use this stack: they end before it does.
  Timers()->UnregisterTimer(slow);
  Timers()->UnregisterTimer(other);
}

TEST_F(TimerPoolTest, DeletingAnInstanceStopsTheTimersItLeftBehind) {
  TTimerID id = Timers()->RegisterTimer(
      "Forgotten", 0, [] {}, 5);
  TInstanceID console = Host().CreateInstance("Console");
  TTimerID owned = Timers()->RegisterTimer(
      "Forgotten", console, [] {}, 5);
  Host().DeleteInstance(console);
  EXPECT_FALSE(Timers()->TimerExists(owned));
  EXPECT_TRUE(Timers()->TimerExists(id));
}

size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

TEST_F(TimerPoolTest, ALaneThreadEndsWithItsInstancesLastTimer) {
#ifdef _WIN32
  GTEST_SKIP() << "counts the process's threads in /proc";
#endif
  ResetHost(RunMode());
  const size_t before = ThreadCount();
  std::atomic<int> runs{0};
  const TTimerID first = Timers()->RegisterTimer(
      "First", 12, [&] { ++runs; }, 1);
  const TTimerID second = Timers()->RegisterTimer(
      "Second", 12, [] {}, 0);
  ASSERT_TRUE(WaitUntil([&] { return runs >= 1; }));
  EXPECT_EQ(ThreadCount(), before + 1);
  Timers()->UnregisterTimer(first);
  EXPECT_EQ(ThreadCount(), before + 1);  // the instance still has a timer
  Timers()->UnregisterTimer(second);
  // The lane is joined by now, but the kernel may list its task a moment longer.
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == before; })) << ThreadCount();
}

}  // namespace
}  // namespace kyt::test_support
