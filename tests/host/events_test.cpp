// Recording from many threads at once: nothing lost, the listener sees every event.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class EventsTest : public HostTest {};

TEST_F(EventsTest, EventsFromManyThreadsAreAllRecordedAndHeard) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::atomic<int> heard{0};
  Host().SetEventListener([&](const THostEvent&) { ++heard; });
  TRef<IKYTKernel> kernel = Host().Kernel();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto sender = static_cast<TKYTID>(t + 1);
      for (int i = 0; i < kEach; ++i) {
        kernel->PostLogMessage(10021, sender, "T", std::to_string(i));
        kernel->GetDebugService()->SendDebug(sender, "RECEIVED", "x");
        kernel->GetStatusService()->SetInstanceStatus(sender, 102);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(Host().Events().size(), size_t{kThreads * kEach * 3});
  EXPECT_EQ(heard.load(), kThreads * kEach * 3);
  // Each thread's own entries keep their order.
  auto log = Host().Events(EventKind::Log, 3);
  ASSERT_EQ(log.size(), size_t{kEach});
  for (int i = 0; i < kEach; ++i) EXPECT_EQ(log[i].Text, std::to_string(i));
}

TEST_F(EventsTest, FiltersAndClearing) {
  TRef<IKYTKernel> kernel = Host().Kernel();
  kernel->PostLogMessage(10021, 5, "A", "one");
  kernel->SendMessage(5, 10056, {Variant(true)});
  kernel->PostLogMessage(10024, 6, "B", "two");
  EXPECT_EQ(Host().Events(EventKind::Log).size(), 2u);
  EXPECT_EQ(Host().Events(EventKind::Log, 6).size(), 1u);
  auto messages = Host().Events(EventKind::Message, 5);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Code, 10056);
  EXPECT_EQ(messages[0].Data, std::vector<Variant>{Variant(true)});
  Host().ClearEvents();
  EXPECT_TRUE(Host().Events().empty());
}

TEST_F(EventsTest, AListenerMayCallBackIntoTheHost) {
  Host().SetEventListener([&](const THostEvent& event) {
    if (event.EventKind != EventKind::Log)
      return;
    THostEvent summary;
    summary.EventKind = EventKind::Summary;
    Host().RecordEvent(summary);
  });
  Host().Kernel()->PostLogMessage(10021, 1, "A", "text");
  EXPECT_EQ(Host().Events(EventKind::Summary).size(), 1u);
}

}  // namespace
}  // namespace kyt::test_support
