// The built-in children: Console shows what it receives, Bridge passes it on.

#include <gtest/gtest.h>

#include "tests/host/test_io_module.h"
#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class BuiltinModulesTest : public HostTest {
 protected:
  BuiltinModulesTest() { RegisterTestIO(Host()); }
  TInstanceID MakeBridge(TInstanceID id, TInstanceID parent, int32_t target) {
    Host().StoreSetting(id, {"Settings"}, "Target", Variant(target));
    return Host().CreateInstance("Bridge", id, parent);
  }
  std::vector<std::string> FailuresOf(TInstanceID parent) { return LogTexts(parent, 10024); }
};

TEST_F(BuiltinModulesTest, ConsoleRecordsEveryBlockWithItsBytes) {
  TInstanceID io = Host().CreateInstance("TIO", 10);
  TInstanceID console = Host().CreateInstance("Console", 11, io);
  const std::string binary("\x00\x01\xFF", 3);
  TestIO(Host(), io).Inject("hello");
  TestIO(Host(), io).Inject(binary);
  EXPECT_EQ(Received(console), (std::vector<std::string>{"hello", binary}));
  auto events = Host().Events(EventKind::Data, console);
  EXPECT_FALSE(events[0].HasReportID);
}

TEST_F(BuiltinModulesTest, ConsoleRecordsHidReportsWithTheirID) {
  TInstanceID console = Host().CreateInstance("Console", 11);
  TRef<IKYTHIDReceiveData> hid = Supports<IKYTHIDReceiveData>(Host().Instance(console));
  ASSERT_TRUE(hid);
  hid->ReceiveEvent(3, "report");
  auto events = Host().Events(EventKind::Data, console);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].HasReportID);
  EXPECT_EQ(events[0].Code, 3);
  EXPECT_EQ(events[0].Text, "report");
}

TEST_F(BuiltinModulesTest, TwoBridgesMakeAGatewayBetweenTwoInstances) {
  TInstanceID serial = Host().CreateInstance("TIO", 10);
  TInstanceID tcp = Host().CreateInstance("TIO", 20);
  MakeBridge(11, serial, tcp);
  MakeBridge(21, tcp, serial);

  TestIO(Host(), serial).Inject("to tcp");
  TestIO(Host(), tcp).Inject(std::string("to\0serial", 9));
  EXPECT_EQ(TestIO(Host(), tcp).Sent(), std::vector<std::string>{"to tcp"});
  EXPECT_EQ(TestIO(Host(), serial).Sent(), std::vector<std::string>{std::string("to\0serial", 9)});
  EXPECT_TRUE(FailuresOf(serial).empty());
}

TEST_F(BuiltinModulesTest, TheBridgeTargetIsAPersistedProperty) {
  TInstanceID io = Host().CreateInstance("TIO", 10);
  TInstanceID bridge = Host().CreateInstance("Bridge", 11, io);
  EXPECT_EQ(*Host().ReadSetting(bridge, {"Settings"}, "Target"), Variant(0));
  // Through the module's own property cycle: a change takes effect when applied.
  Host().StoreSetting(bridge, {"Settings"}, "Target", Variant(20));
  Host().Call("KYT_LoadSettings", {Variant(bridge)});
  Host().Call("KYT_ApplyChanges", {Variant(bridge)});
  Host().CreateInstance("TIO", 20);
  TestIO(Host(), io).Inject("x");
  EXPECT_EQ(TestIO(Host(), 20).Sent(), std::vector<std::string>{"x"});
  EXPECT_EQ(Host().Summary(bridge), "#20");
}

TEST_F(BuiltinModulesTest, ABridgeWithoutAUsableTargetFailsClearly) {
  TInstanceID io = Host().CreateInstance("TIO", 10);
  MakeBridge(11, io, 0);
  MakeBridge(12, io, 99);
  TInstanceID console = Host().CreateInstance("Console", 13);
  MakeBridge(14, io, console);
  TestIO(Host(), io).Inject("x");
  EXPECT_EQ(FailuresOf(io), (std::vector<std::string>{
                                "Bridge #11: no target instance set",
                                "Bridge #12: target #99 does not exist",
                                "Bridge #14: target #13 does not take data",
                            }));
}

}  // namespace
}  // namespace kyt::test_support
