// The FTDI module through the reference host, on the D2XX double.

#include "usb/ftdi_module.h"

#include <gtest/gtest.h>

#include "framework/codes.h"
#include "tests/support/host_test.h"
#include "tests/usb/vendor_fake.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;
using Kind = host::THostEvent::Kind;

constexpr TInstanceID kFTDI = 20;
constexpr TInstanceID kConsole = 21;
constexpr const char* kSerial = "FT4XK2QA";

class FTDIModuleTest : public test_support::HostTest {
 protected:
  FTDIModuleTest() {
    TVendorController::Defaults() = {};
    Host().RegisterModule(&TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>(), "FTDI");
    fake_.AddDevice(kSerial, "FT232R USB UART");
  }
  ~FTDIModuleTest() override { TVendorController::Defaults() = {}; }

  void Store(bool open, const std::string& port) {
    Host().StoreSetting(kFTDI, {"Settings"}, "Open", Variant(open));
    Host().StoreSetting(kFTDI, {"Settings"}, "Port", Variant(port));
  }
  // An instance with a Console child, opened on the device.
  void CreateOpen() {
    Store(true, kSerial);
    Host().CreateInstance("FTDI", kFTDI);
    Host().CreateInstance("Console", kConsole, kFTDI);
  }
  IKYTFTDI& FTDI() { return *Supports<IKYTFTDI>(Host().Instance(kFTDI)); }
  std::optional<int32_t> Timer() { return Host().TimerInterval(kFTDI, "Reconnect"); }
  std::string ConsoleData() {
    std::string all;
    for (const auto& block : Received(kConsole)) all += block;
    return all;
  }
  bool Logged(int32_t code, const std::string& text) {
    auto logs = LogTexts(kFTDI, code);
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  void ExpectSendFails(const std::string& message) {
    try {
      FTDI().SendText("hello");
      ADD_FAILURE() << "SendText succeeded";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }

  // The send is queued; its write fails on the writer thread, which logs it, and the next
  // send raises the failure.
  void ExpectWriteFails(const std::string& message) {
    FTDI().SendText("hello");
    // The reason, the status, "Closed" and the timer, in that order, on the writer thread.
    ASSERT_TRUE(WaitUntil([&] { return Timer() == 10; }));
    EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
    EXPECT_TRUE(Logged(KL_WARNING, "FTDI - " + message));
    EXPECT_TRUE(Logged(KL_MESSAGE, "FTDI - Closed"));
    ExpectSendFails(message);
  }

  test::TFakeVendor fake_{"libftd2xx.so", "KYT_FTD2XX_LIBRARY"};
};

TEST_F(FTDIModuleTest, NewInstanceShowsDefaultsAndTheLibraryVersion) {
  Host().CreateInstance("FTDI", kFTDI);
  EXPECT_EQ(LogTexts(kFTDI, KL_VERSION), std::vector<std::string>{"Library: 3.1.x"});
  EXPECT_EQ(Host().Status(kFTDI), IS_INACTIVE);
  EXPECT_EQ(Host().Summary(kFTDI), " (9600,8,0,N)");
  EXPECT_EQ(Timer(), 1);
  EXPECT_EQ(FTDI().GetBaudRate(), "9600");
  EXPECT_EQ(FTDI().GetStopBits(), "1");
  EXPECT_EQ(FTDI().GetDataBits(), "8");
  EXPECT_EQ(FTDI().GetParity(), "None");

  auto devices = FTDI().GetDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].SerialNumber, kSerial);
  EXPECT_EQ(devices[0].Description, "FT232R USB UART");
  EXPECT_FALSE(devices[0].InUse);
}

TEST_F(FTDIModuleTest, LineSettingTextsConvert) {
  Host().CreateInstance("FTDI", kFTDI);
  auto& module = *Host().Instance(kFTDI);
  FTDI().SetParity("even");
  EXPECT_EQ(FTDI().GetParity(), "Even");
  FTDI().SetParity("4");
  EXPECT_EQ(FTDI().GetParity(), "Space");
  EXPECT_THROW(FTDI().SetParity("Evens"), EKYTFTDI);
  EXPECT_THROW(FTDI().SetParity(""), EConvertError);
  EXPECT_EQ(FTDI().GetParity(), "Space");

  FTDI().SetStopBits("2");
  EXPECT_EQ(FTDI().GetStopBits(), "2");
  FTDI().SetStopBits("1");
  EXPECT_EQ(FTDI().GetStopBits(), "1");
  EXPECT_THROW(FTDI().SetBaudRate("fast"), EConvertError);
  EXPECT_THROW(FTDI().SetDataBits("99999999999"), EConvertError);
  FTDI().SetBaudRate("+115200");
  EXPECT_EQ(FTDI().GetBaudRate(), "115200");
  module.ApplyChanges();
  EXPECT_FALSE(module.HasChanges());

  // Script calls reach the same accessors.
  Host().Call("FTDI_SetPort", {Variant(kFTDI), Variant(std::string(kSerial))});
  module.ApplyChanges();
  EXPECT_EQ(Host().Summary(kFTDI), "FT232R USB UART (115200,8,0,S)");
  module.ResetChanges();
  EXPECT_FALSE(module.HasChanges());
}

TEST_F(FTDIModuleTest, StoredTextsLoadAndFlowControlIsAlwaysNone) {
  auto store = [&](const char* name, const char* value) {
    Host().StoreSetting(kFTDI, {"Settings"}, name, Variant(std::string(value)));
  };
  store("Name", "my adapter");
  store("Parity", "odd");
  store("StopBits", "2");
  store("FlowControl", "RTS/CTS");
  Host().CreateInstance("FTDI", kFTDI);
  EXPECT_EQ(Host().Summary(kFTDI), "my adapter (9600,8,2,O)");
  auto& module = *Host().Instance(kFTDI);
  EXPECT_FALSE(module.HasChanges());
  EXPECT_EQ(Host().ReadSetting(kFTDI, {"Settings"}, "FlowControl")->AsString(), "None");
  EXPECT_EQ(Host().ReadSetting(kFTDI, {"Settings"}, "Parity")->AsString(), "Odd");
  EXPECT_EQ(Host().ReadSetting(kFTDI, {"Settings"}, "StopBits")->AsString(), "2");

  // Any flow control text is an edit, even though it changes nothing.
  store("FlowControl", "None");
  module.LoadSettings();
  EXPECT_TRUE(module.HasChanges());

  // A parity number beyond the names is kept as it was given, so saving and loading it again
  // cannot turn into a failure.
  FTDI().SetParity("7");
  EXPECT_EQ(FTDI().GetParity(), "7");
  module.ApplyChanges();
  EXPECT_EQ(Host().ReadSetting(kFTDI, {"Settings"}, "Parity")->AsString(), "7");
  EXPECT_NO_THROW(module.LoadSettings());
  EXPECT_EQ(FTDI().GetParity(), "7");
}

TEST_F(FTDIModuleTest, WithoutTheLibraryTheInstanceStillExists) {
  setenv("KYT_FTD2XX_LIBRARY", "/nonexistent/libftd2xx.so", 1);
  Store(true, kSerial);
  Host().CreateInstance("FTDI", kFTDI);
  // The module's own text, then the loader's reason with the file tried.
#ifdef _WIN32
  const std::string reason = "Module not found.";
#else
  const std::string reason = "cannot open shared object file: No such file or directory";
#endif
  EXPECT_EQ(LogTexts(kFTDI, KL_WARNING),
            (std::vector<std::string>{">Failed loading FTDI DLL!",
                                      "Loader: /nonexistent/libftd2xx.so: " + reason +
                                          " (file tried: /nonexistent/libftd2xx.so)"}));
  EXPECT_TRUE(LogTexts(kFTDI, KL_VERSION).empty());
  EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
  EXPECT_TRUE(FTDI().GetDevices().empty());
  ExpectSendFails("Cannot send Data when FTDI Port is not connected!");
  // The timer finds no controller and stops.
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(Timer(), 0);
}

TEST_F(FTDIModuleTest, OpenDeviceCarriesEveryByteBothWays) {
  CreateOpen();
  EXPECT_EQ(Host().Status(kFTDI), IS_ACTIVE);
  EXPECT_EQ(Host().Summary(kFTDI), "FT232R USB UART (9600,8,0,N)");
  EXPECT_EQ(Timer(), 0);
  EXPECT_TRUE(FTDI().GetDevices()[0].InUse);

  const std::string bytes = test::EveryByte();
  fake_.Inject(kSerial, bytes);
  ASSERT_TRUE(WaitUntil([&] { return ConsoleData().size() >= bytes.size(); }));
  EXPECT_EQ(ConsoleData(), bytes);
  std::string debugged;
  for (const auto& d : DebugData(kFTDI, "RECEIVED")) debugged += d;
  EXPECT_EQ(debugged, bytes);

  Host().Call("FTDI_SendText", {Variant(kFTDI), Variant(bytes)});
  EXPECT_TRUE(WaitUntil([&] { return fake_.Written(kSerial) == bytes; }));
  EXPECT_EQ(DebugData(kFTDI, "TRANSMITTED"), std::vector<std::string>{bytes});

  // Turning it off closes the device.
  FTDI().SetOpen(false);
  Host().Instance(kFTDI)->ApplyChanges();
  EXPECT_EQ(Host().Status(kFTDI), IS_INACTIVE);
  EXPECT_FALSE(fake_.IsOpen(kSerial));
}

TEST_F(FTDIModuleTest, ReceivedBlocksAreReportedBeforeTheChildrenGetThem) {
  CreateOpen();
  Host().CreateInstance("Bridge", 22, kFTDI);  // no target: refuses every block
  Host().CreateInstance("Console", 23, kFTDI);
  fake_.Inject(kSerial, "ping");
  ASSERT_TRUE(WaitUntil([&] { return Received(23) == std::vector<std::string>{"ping"}; }));
  EXPECT_EQ(ConsoleData(), "ping");
  EXPECT_EQ(LogTexts(kFTDI, KL_WARNING).size(), 1u);
  auto events = Host().Events();
  auto debug = std::find_if(events.begin(), events.end(), [](const auto& e) {
    return e.EventKind == Kind::Debug && e.Name == "RECEIVED";
  });
  auto data = std::find_if(events.begin(), events.end(),
                           [](const auto& e) { return e.EventKind == Kind::Data; });
  ASSERT_NE(debug, events.end());
  EXPECT_LT(debug - events.begin(), data - events.begin());
}

TEST_F(FTDIModuleTest, FailedWriteStartsReconnection) {
  CreateOpen();
  fake_.Fail("FT_Write", 4, 1);
  ExpectWriteFails("Error writing Buffer");

  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_TRUE(Logged(KL_MESSAGE, "FTDI - Opening... #1"));
  EXPECT_EQ(Host().Status(kFTDI), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
  FTDI().SendText("again");
  EXPECT_TRUE(WaitUntil([&] { return fake_.Written(kSerial) == "again"; }));
}

TEST_F(FTDIModuleTest, SendingWhileClosedTakesTheFailurePath) {
  Host().CreateInstance("FTDI", kFTDI);
  ExpectSendFails("Device is not open");
  EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
  EXPECT_TRUE(Logged(KL_MESSAGE, "FTDI - Closed"));
  EXPECT_EQ(Timer(), 10);
  // Open is off: the timer stops at its next tick.
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(Timer(), 0);
}

TEST_F(FTDIModuleTest, MissingDeviceIsRetriedWithGrowingWaits) {
  Store(true, "FTABSENT");
  Host().CreateInstance("FTDI", kFTDI);
  EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
  EXPECT_EQ(LogTexts(kFTDI, KL_ERROR), std::vector<std::string>{"Could not open Device"});
  EXPECT_EQ(Timer(), 1);

  std::vector<int32_t> intervals;
  for (int i = 0; i < 3; ++i) {
    Host().FireTimer(kFTDI, "Reconnect");
    intervals.push_back(*Timer());
  }
  EXPECT_EQ(intervals, (std::vector<int32_t>{5, 6, 7}));
  EXPECT_TRUE(Logged(KL_MESSAGE, "FTDI - Opening... #3"));
  EXPECT_EQ(LogTexts(kFTDI, KL_ERROR).size(), 4u);

  fake_.AddDevice("FTABSENT", "late arrival");
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(Host().Status(kFTDI), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
  EXPECT_EQ(Host().Summary(kFTDI), "late arrival (9600,8,0,N)");
}

TEST_F(FTDIModuleTest, ReconnectWaitsForTheKernel) {
  Host().SetRunlevel(KR_READY - 1);
  Store(true, "FTABSENT");
  Host().CreateInstance("FTDI", kFTDI);
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_FALSE(Logged(KL_MESSAGE, "FTDI - Opening... #1"));
  EXPECT_EQ(Timer(), 1);
}

TEST_F(FTDIModuleTest, DeviceThatDisappearsWhileOpenIsReopenedWhenBack) {
  CreateOpen();
  fake_.SetPresent(kSerial, false);
  // Polls of the missing device fail quietly; the first write shows the loss.
  ExpectWriteFails("Error writing Buffer");

  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(LogTexts(kFTDI, KL_ERROR), std::vector<std::string>{"Could not open Device"});
  EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
  EXPECT_EQ(Timer(), 5);

  fake_.SetPresent(kSerial, true);
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(Host().Status(kFTDI), IS_ACTIVE);
  fake_.Inject(kSerial, "back");
  ASSERT_TRUE(WaitUntil([&] { return ConsoleData() == "back"; }));
}

TEST_F(FTDIModuleTest, FailedConfigureIsAnErrorAndTheDeviceIsReopenedLater) {
  fake_.Fail("FT_SetDataCharacteristics", 4, 1);
  CreateOpen();
  EXPECT_EQ(Host().Status(kFTDI), IS_ERROR);
  EXPECT_EQ(LogTexts(kFTDI, KL_ERROR), std::vector<std::string>{"Device could not be configured"});
  Host().FireTimer(kFTDI, "Reconnect");
  EXPECT_EQ(Host().Status(kFTDI), IS_ACTIVE);
}

TEST_F(FTDIModuleTest, DeletingAnOpenInstanceClosesTheDevice) {
  CreateOpen();
  Host().DeleteInstance(kFTDI);
  EXPECT_FALSE(fake_.IsOpen(kSerial));
  EXPECT_TRUE(LogTexts(kFTDI, KL_WARNING).empty());

  // A close that fails on the way out is reported, and nothing else breaks.
  constexpr TInstanceID kOther = 30;
  Host().CreateInstance("FTDI", kOther);
  Supports<IKYTFTDI>(Host().Instance(kOther))->SetPort(kSerial);
  Supports<IKYTFTDI>(Host().Instance(kOther))->SetOpen(true);
  Host().Instance(kOther)->ApplyChanges();
  ASSERT_EQ(Host().Status(kOther), IS_ACTIVE);
  fake_.Fail("FT_Close");
  Host().DeleteInstance(kOther);
  EXPECT_EQ(LogTexts(kOther, KL_WARNING),
            std::vector<std::string>{">Failed unloading FTDI Driver!"});
}

}  // namespace
}  // namespace kyt
