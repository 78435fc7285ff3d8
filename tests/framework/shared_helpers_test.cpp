// The helpers several modules share: text tables and the Reconnect timer's schedule.

#include <gtest/gtest.h>

#include "framework/reconnect_timer.h"
#include "framework/text_table.h"
#include "host/reference_host.h"

namespace kyt {
namespace {

TEST(TextTableTest, MatchesLettersWithoutRegardToCaseAndNothingElse) {
  const TTextTable parity{"None", "Odd", "Even", "Mark", "Space"};
  EXPECT_EQ(parity.Find("even"), 2u);
  EXPECT_EQ(parity.Find("SPACE"), 4u);
  EXPECT_EQ(parity.Find(" even"), std::nullopt);  // nothing is trimmed
  EXPECT_EQ(parity.Find(""), std::nullopt);
  EXPECT_EQ(parity.Text(1), "Odd");
  EXPECT_EQ(parity.Text(5), "");
  // Only a to z change case: bytes above 127 are compared as they are.
  EXPECT_EQ(AsciiUpperCase("\xe4\xc4z"), "\xe4\xc4Z");
}

TEST(TextTableTest, FirstEqualEntryWins) {
  const TTextTable t{"A", "a", "b"};
  EXPECT_EQ(t.Find("a"), 0u);
}

TEST(ReconnectTimerTest, FollowsTheScheduleAndUnregistersOnce) {
  host::TReferenceHost host;
  TRef<IKYTKernel> kernel = host.Kernel();
  int ticks = 0;
  TTimerID id = 0;
  {
    TReconnectTimer timer(kernel, 7, [&] { ++ticks; });
    id = timer.ID();
    TRef<IKYTTimerPoolEx> pool = kernel->GetTimerPool();
    EXPECT_EQ(pool->GetTimerName(id), "Reconnect");
    EXPECT_EQ(pool->GetTimerInterval(id), 1);
    timer.Lost();
    EXPECT_EQ(pool->GetTimerInterval(id), 10);
    EXPECT_EQ(timer.NextAttempt(), 1);
    EXPECT_EQ(pool->GetTimerInterval(id), 5);
    EXPECT_EQ(timer.NextAttempt(), 2);
    EXPECT_EQ(timer.NextAttempt(), 3);
    EXPECT_EQ(pool->GetTimerInterval(id), 7);
    timer.Opened();
    EXPECT_EQ(pool->GetTimerInterval(id), 0);
    EXPECT_EQ(timer.NextAttempt(), 1);
    timer.Unregister();
    EXPECT_FALSE(pool->TimerExists(id));
    timer.Lost();  // ignored once the timer is gone
  }
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace kyt
