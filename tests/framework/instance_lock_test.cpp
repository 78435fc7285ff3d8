// The instance lock on its own: the lending that keeps a join from deadlocking against an answer
// on the main thread, and the refusal of a change that would wait for itself.

#include "framework/instance_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/thread.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;
using TEntry = TInstanceLock::TEntry;

// Serves hand-overs until `done` or a generous limit.
bool ServeUntilDone(const std::atomic<bool>& done) {
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (!done && std::chrono::steady_clock::now() < until) CheckSynchronize(10ms);
  return done;
}

// A worker that hands one block to the main thread, where a child answers through a Use entry.
class TAnsweringWorker : public TThread {
 public:
  explicit TAnsweringWorker(TInstanceLock& lock) : lock_(lock) {}
  ~TAnsweringWorker() override { TerminateAndWait(); }
  std::atomic<bool> Answered{false};

 protected:
  void Execute() override {
    Synchronize([this] {
      const TInstanceLock::THold hold = lock_.Enter(TEntry::Use);
      Answered = true;
    });
  }

 private:
  TInstanceLock& lock_;
};

TEST(InstanceLockTest, JoinUnderAChangeLetsTheMainThreadsAnswerThrough) {
  TInstanceLock lock;
  std::atomic<bool> holding{false};
  std::atomic<bool> done{false};
  TAnsweringWorker worker(lock);
  std::thread applier([&] {
    const TInstanceLock::THold hold = lock.Enter(TEntry::Change);
    holding = true;
    worker.Start();
    worker.WaitFor();  // the worker waits for the main thread, which waits for the lock
    done = true;
  });
  ASSERT_TRUE(ServeUntilDone(done));
  applier.join();
  EXPECT_TRUE(worker.Answered);
}

// Changes exclude each other and every use; while the holder waits for another thread (and
// changes nothing), uses come in one at a time.
TEST(InstanceLockTest, OneEntryInsideAtATimeAndOneLentUseDuringAWait) {
  for (const bool lending : {false, true}) {
    TInstanceLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> crowded{false};
    std::atomic<bool> lent{false};
    std::atomic<int> lentUses{0};
    std::atomic<bool> lenderDone{false};
    // Until the first lent use has come, the lender waits however long a loaded machine takes
    // to schedule one; after that, it takes a short look at each wait. The users keep coming
    // until the lender has finished: on a loaded machine they could otherwise be through all
    // their rounds before the lender's first wait, which then has no one to lend to.
    const auto firstUseBy = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto in = [&] {
      if (++inside > 1)
        crowded = true;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        for (int round = 0; round < 2000 || (i % 2 && !lenderDone); ++round) {
          const TInstanceLock::THold hold = lock.Enter(i % 2 ? TEntry::Use : TEntry::Change);
          in();
          if (i == 0 && lending) {
            --inside;
            const int before = lentUses;
            {
              const TWaitScope waiting;
              lent = true;
              for (int look = 0;
                   lentUses < before + 2 &&
                   (look < 100 || (lentUses == 0 && std::chrono::steady_clock::now() < firstUseBy));
                   ++look)
                std::this_thread::yield();
              lent = false;
            }
            in();
          } else if (i % 2 && lent) {
            ++lentUses;  // and stays a while: a second use let in beside it would show
            for (int look = 0; look < 10; ++look) std::this_thread::yield();
          }
          --inside;
        }
        if (i == 0)
          lenderDone = true;
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(crowded) << "lending " << lending;
    EXPECT_EQ(lentUses > 0, lending);
  }
}

TEST(InstanceLockTest, ChangeFromTheLentUseIsRefusedAndADeferredOneRunsAfterTheHolder) {
  TInstanceLock lock;
  std::atomic<bool> refused{false};
  std::atomic<bool> done{false};
  std::vector<std::string> order;
  TFunctionThread worker([&](TThread&) {
    TThread::Synchronize([&] {
      const TInstanceLock::THold use = lock.Enter(TEntry::Use);
      try {
        const TInstanceLock::THold change = lock.Enter(TEntry::Change);
      } catch (const EInstanceBusy&) {
        refused = true;
      }
      lock.ChangeOrDefer([&] { order.push_back("deferred"); });
    });
  });
  std::thread applier([&] {
    {
      const TInstanceLock::THold hold = lock.Enter(TEntry::Change);
      worker.Start();
      worker.WaitFor();
      order.push_back("holder");
    }
    done = true;
  });
  ASSERT_TRUE(ServeUntilDone(done));
  applier.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(order, (std::vector<std::string>{"holder", "deferred"}));
}

}  // namespace
}  // namespace kyt
