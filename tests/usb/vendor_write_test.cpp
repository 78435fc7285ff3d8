// The FTDI and USBXpress modules on a line that takes nothing (the doubles' stalled writes):
// the caller never waits for it, what was sent before still goes out in order once the line
// moves, and a write that times out is reported and dropped bytes counted.

#include <gtest/gtest.h>

#include <algorithm>

#include "framework/codes.h"
#include "tests/support/host_test.h"
#include "tests/usb/vendor_fake.h"
#include "usb/ftdi_module.h"
#include "usb/usbxp_module.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;

constexpr TInstanceID kLine = 60;
constexpr TInstanceID kConsole = 61;
constexpr const char* kSerial = "LINE0001";

struct TVendorCase {
  const char* Name;
  const char* Library;
  const char* Variable;
  const TKYTModuleClass* Class;
  const TInterfaceTypeInfo& (*Type)();
  const char* Module;
  const char* Prefix;  // of the module's log lines
  bool Reconnects;     // a failed write is status 200 and a reconnect (FTDI)
};

const TVendorCase kCases[] = {
    {"FTDI", "libftd2xx.so", "KYT_FTD2XX_LIBRARY", &TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>, "FTDI",
     "FTDI - ", true},
    {"USBXp", "libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY", &TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>,
     "USBXp", "USBXpress - ", false},
};

class VendorWriteTest : public test_support::HostTest,
                        public ::testing::WithParamInterface<TVendorCase> {
 protected:
  VendorWriteTest() : fake_(GetParam().Library, GetParam().Variable) {
    TVendorController::Defaults() = {5ms, false};
    Host().RegisterModule(GetParam().Class, &GetParam().Type(), GetParam().Module);
    fake_.AddDevice(kSerial, "USB serial line");
    Host().StoreSetting(kLine, {"Settings"}, "Open", Variant(true));
    Host().StoreSetting(kLine, {"Settings"}, "Port", Variant(std::string(kSerial)));
    Host().CreateInstance(GetParam().Module, kLine);
    Host().CreateInstance("Console", kConsole, kLine);
  }
  ~VendorWriteTest() override {
    fake_.StallWrites(false);
    TVendorController::Defaults() = {};
  }

  void Send(const std::string& text) {
    Supports<IKYTSendData>(Host().Instance(kLine))->SendData(text);
  }
  bool Logged(const std::string& text) {
    const auto logs = LogTexts(kLine, KL_WARNING);
    return std::find(logs.begin(), logs.end(), GetParam().Prefix + text) != logs.end();
  }

  test::TFakeVendor fake_;
};

TEST_P(VendorWriteTest, AStalledLineHoldsOnlyItsWriter) {
  ASSERT_EQ(Host().Status(kLine), IS_ACTIVE);
  fake_.StallWrites(true);
  // The write waits in the library on the line's own thread; the sends return meanwhile.
  Send("first ");
  ASSERT_TRUE(WaitUntil([&] { return fake_.WritesWaiting() == 1; }));
  Send("second");
  fake_.StallWrites(false);
  ASSERT_TRUE(WaitUntil([&] { return fake_.Written(kSerial) == "first second"; }));

  // A write the line takes nothing of within the library's time-out fails: it is logged at
  // once, and the next send raises it.
  fake_.StallWrites(true);
  Send("lost");
  Send("queued");
  ASSERT_TRUE(WaitUntil([&] { return Logged("BytesWritten does not match Bufferlength"); }));
  if (GetParam().Reconnects) {
    // Status, log line and timer, in that order, on the writer thread.
    ASSERT_TRUE(WaitUntil([&] { return Host().TimerInterval(kLine, "Reconnect") == 10; }));
    EXPECT_EQ(Host().Status(kLine), IS_ERROR);
  } else {
    EXPECT_EQ(Statuses(kLine), std::vector<int32_t>{IS_ACTIVE});
  }
  try {
    Send("refused");
    ADD_FAILURE() << "a send after the failed write was taken";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "BytesWritten does not match Bufferlength");
  }

  // Reopening counts what the failed writer dropped (all of both), and the line carries bytes
  // again.
  fake_.StallWrites(false);
  Host().Instance(kLine)->ApplyChanges();
  EXPECT_TRUE(Logged("10 bytes could not be sent"));
  Send("again");
  ASSERT_TRUE(WaitUntil([&] { return fake_.Written(kSerial) == "first secondagain"; }));
}

INSTANTIATE_TEST_SUITE_P(Vendors, VendorWriteTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kyt
