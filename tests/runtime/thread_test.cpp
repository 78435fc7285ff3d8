#include "runtime/thread.h"

#include <gtest/gtest.h>
#if defined(__linux__)
#include <time.h>
#endif

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/exception.h"

namespace kyt {
namespace {

using std::chrono::milliseconds;

// The test runner's thread loaded the runtime, so it is the main thread; no InitMainThread.
// Pumps the hand-over until `done` holds, with a generous limit so a hang fails instead.
template <class Pred>
bool PumpUntil(Pred done, milliseconds limit = milliseconds{20000}) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    CheckSynchronize(milliseconds{50});
  }
  return true;
}

class HandOverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(IsMainThread()); }
  // Nothing a test left behind may run in the next one.
  void TearDown() override {
    while (CheckSynchronize()) {
    }
  }
};

TEST_F(HandOverTest, MainThreadJoiningAWorkerBlockedInSynchronizeServesIt) {
  std::thread::id ranOn;
  TFunctionThread worker(
      [&](TThread&) { TThread::Synchronize([&] { ranOn = std::this_thread::get_id(); }); });
  worker.Start();
  worker.WaitFor();  // no CheckSynchronize anywhere: WaitFor itself must serve the call
  EXPECT_TRUE(worker.Finished());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(HandOverTest, ExceptionRaisedInSynchronizeArrivesInTheWorker) {
  std::string caught;
  bool ranOnMain = false;
  TFunctionThread worker([&](TThread&) {
    try {
      TThread::Synchronize([&] {
        ranOnMain = IsMainThread();
        throw EConvertError("bad value");
      });
    } catch (const EConvertError& e) {
      caught = e.Message();
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(caught, "bad value");
}

TEST_F(HandOverTest, SynchronizeOnTheMainThreadRunsAtOnce) {
  int calls = 0;
  TThread::Synchronize([&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(TThread::Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST_F(HandOverTest, OnTerminateRunsOnTheMainThreadBeforeWaitForReturns) {
  std::atomic<bool> executeEnded{false};
  bool terminatedOnMain = false;
  bool sawExecuteEnd = false;
  TFunctionThread worker([&](TThread&) { executeEnded = true; });
  worker.OnTerminate = [&] {
    terminatedOnMain = IsMainThread();
    sawExecuteEnd = executeEnded.load() && worker.Finished();
  };
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(terminatedOnMain);
  EXPECT_TRUE(sawExecuteEnd);
}

TEST_F(HandOverTest, ExceptionEndingExecuteIsContainedAndOnTerminateStillRuns) {
  bool terminated = false;
  TFunctionThread worker([](TThread&) { throw std::runtime_error("worker failed"); });
  worker.OnTerminate = [&] { terminated = true; };
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(terminated);
  EXPECT_TRUE(worker.Finished());
}

TEST_F(HandOverTest, OnTerminateMayDestroyItsOwnThread) {
  auto worker = std::make_unique<TFunctionThread>([](TThread&) {});
  bool destroyed = false;
  worker->OnTerminate = [&] {
    worker.reset();
    destroyed = true;
  };
  worker->Start();
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
}

TEST_F(HandOverTest, DestructorStopsARunningThreadWhileServingIt) {
  std::atomic<int> rounds{0};
  {
    // Blocks in Synchronize until the destructor, waiting on the main thread, serves it.
    TFunctionThread worker([&](TThread& self) {
      do {
        TThread::Synchronize([&] { ++rounds; });
      } while (!self.Terminated());
    });
    worker.Start();
  }
  EXPECT_GE(rounds.load(), 1);
}

TEST_F(HandOverTest, WaitForOnAThreadNeverStartedReturnsAtOnce) {
  TFunctionThread worker([](TThread&) {});
  worker.WaitFor();
  EXPECT_FALSE(worker.Finished());
}

TEST_F(HandOverTest, WaitForFromTheThreadItselfRaises) {
  bool raised = false;
  TFunctionThread worker([&](TThread& self) {
    try {
      self.WaitFor();
    } catch (const Exception&) {
      raised = true;
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(raised);
}

TEST_F(HandOverTest, StartingTwiceRaises) {
  TFunctionThread worker([](TThread&) {});
  worker.Start();
  EXPECT_THROW(worker.Start(), Exception);
}

TEST_F(HandOverTest, WorkerWithoutOnTerminateCanBeJoinedOffTheMainThread) {
  TFunctionThread worker([](TThread&) {});
  worker.Start();
  bool joined = false;
  std::thread joiner([&] {
    worker.WaitFor();  // the main thread serves nothing meanwhile
    joined = true;
  });
  joiner.join();
  EXPECT_TRUE(joined);
}

TEST_F(HandOverTest, QueuedItemsRunInOrderAndAFailingOneDoesNotStopTheRest) {
  std::vector<int> order;
  TFunctionThread worker([&](TThread&) {
    for (int i = 0; i < 100; ++i) {
      TThread::Queue([&order, i] {
        if (i == 50)
          throw std::runtime_error("queued item 50 fails on purpose");
        order.push_back(i);
      });
    }
  });
  // OnTerminate is queued behind the items, so WaitFor returns after all of them.
  worker.OnTerminate = [] {};
  worker.Start();
  worker.WaitFor();
  ASSERT_EQ(order.size(), 99u);
  for (size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k < 50 ? int(k) : int(k) + 1);
}

TEST_F(HandOverTest, QueueOnTheMainThreadDefersToCheckSynchronize) {
  int calls = 0;
  TThread::Queue([&] { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(CheckSynchronize());
  EXPECT_EQ(calls, 1);
}

TEST_F(HandOverTest, CheckSynchronizeReturnsFalseWhenNothingArrivesInTime) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CheckSynchronize(milliseconds{30}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds{30});
  EXPECT_FALSE(CheckSynchronize());
}

TEST_F(HandOverTest, CheckSynchronizeWakesForTheFirstItem) {
  bool ran = false;
  std::thread poster([&] { TThread::Queue([&] { ran = true; }); });
  // A long limit: the call returns as soon as the item arrives.
  const bool any = CheckSynchronize(milliseconds{20000});
  poster.join();
  EXPECT_TRUE(any);
  EXPECT_TRUE(ran);
}

TEST_F(HandOverTest, CheckSynchronizeOffTheMainThreadRaises) {
  bool raised = false;
  std::thread other([&] {
    try {
      CheckSynchronize();
    } catch (const Exception&) {
      raised = true;
    }
  });
  other.join();
  EXPECT_TRUE(raised);
}

TEST_F(HandOverTest, ConcurrentSynchronizeCallsEachRunExactlyOnce) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;
  int total = 0;  // touched on the main thread only; TSan checks that
  std::vector<int> perThread(kThreads, 0);
  std::vector<std::unique_ptr<TFunctionThread>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::make_unique<TFunctionThread>([&, t](TThread&) {
      for (int i = 0; i < kCalls; ++i) {
        TThread::Synchronize([&] {
          ++total;
          ++perThread[t];
        });
      }
    }));
  }
  for (auto& w : workers) w->Start();
  for (auto& w : workers) w->WaitFor();
  EXPECT_EQ(total, kThreads * kCalls);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kCalls) << "thread " << t;
}

#if defined(__linux__)
milliseconds ThreadCpuTime() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::duration_cast<milliseconds>(std::chrono::seconds(t.tv_sec) +
                                                  std::chrono::nanoseconds(t.tv_nsec));
}
#endif

// The main loop's way of serving: calls that come back to back (which the main thread looks
// for before it sleeps) each run once, in order, seeing what the worker wrote before the call;
// once they stop, the main thread sleeps rather than spends the wait looking.
TEST_F(HandOverTest, BackToBackCallsRunInOrderAndAnIdleMainThreadSleeps) {
  constexpr int kCalls = 2000;
  int written = 0;        // the worker's, read by the items: TSan checks the hand-over orders it
  std::vector<int> seen;  // the main thread's own: the loop below reads it there
  TFunctionThread worker([&](TThread&) {
    for (int i = 1; i <= kCalls; ++i) {
      written = i;
      TThread::Synchronize([&] { seen.push_back(written); });
    }
  });
  worker.Start();
  // Served until the last call ran, so the worker leaves nothing queued behind: a wake-up item
  // of its own could outlive the join (which serves only while the worker runs) and be what
  // the idle wait below finds.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (seen.size() < kCalls && std::chrono::steady_clock::now() < limit)
    CheckSynchronize(milliseconds{200});
  worker.WaitFor();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(seen[i], i + 1);
#if defined(__linux__)
  const milliseconds before = ThreadCpuTime();
  EXPECT_FALSE(CheckSynchronize(milliseconds{300}));
  EXPECT_LT(ThreadCpuTime() - before, milliseconds{30});
#endif
}

}  // namespace
}  // namespace kyt
