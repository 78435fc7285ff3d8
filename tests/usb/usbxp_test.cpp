// The USBXpress controller and module on the USBXpress double.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "framework/codes.h"
#include "tests/support/host_test.h"
#include "tests/usb/vendor_fake.h"
#include "usb/usbxp_api.h"
#include "usb/usbxp_controller.h"
#include "usb/usbxp_module.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSerial = "SI0042";
constexpr TInstanceID kUSBXp = 40;
constexpr TInstanceID kConsole = 41;

template <class F>
void ExpectFailure(F&& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

class USBXpControllerTest : public ::testing::Test {
 protected:
  USBXpControllerTest() {
    TVendorController::Defaults() = {5ms, false};
    fake_.AddDevice("SI0001", "first");
    fake_.AddDevice(kSerial, "CP2102 USBXpress Device");
  }
  ~USBXpControllerTest() override { TVendorController::Defaults() = {}; }

  test::TFakeVendor fake_{"libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY"};
};

TEST_F(USBXpControllerTest, ListsAndOpensBySerialNumber) {
  TUSBXpController controller;
  EXPECT_EQ(controller.GetLibraryVersion(), "Unknown");
  ASSERT_EQ(controller.GetDeviceCount(), 2u);
  TUSBXpDeviceInfo device;
  controller.GetDeviceInfo(1, device);
  EXPECT_EQ(device.SerialNumber, kSerial);
  EXPECT_EQ(device.Description, "CP2102 USBXpress Device");

  ExpectFailure([&] { controller.Open("SI9999"); }, "Could not open Device");
  controller.Open(kSerial);
  EXPECT_TRUE(fake_.IsOpen(kSerial));
  EXPECT_FALSE(fake_.IsOpen("SI0001"));
  ExpectFailure([&] { controller.Open(kSerial); }, "Device already open");
  controller.Close();
  EXPECT_FALSE(fake_.IsOpen(kSerial));
  ExpectFailure([&] { controller.Write("x"); }, "Device is not open");
}

TEST_F(USBXpControllerTest, ProductStringsUpToTheLibrarysLongestAreKept) {
  const std::string longName(SI_MAX_DEVICE_STRLEN - 1, 'n');
  fake_.AddDevice("SILONG", longName);
  TUSBXpController controller;
  controller.GetDeviceCount();
  TUSBXpDeviceInfo device;
  controller.GetDeviceInfo(2, device);
  EXPECT_EQ(device.Description, longName);
  fake_.Fail("SI_GetProductString", SI_DEVICE_NOT_FOUND, 1);
  ExpectFailure([&] { controller.GetDeviceInfo(0, device); }, "Could not get DeviceInfo");
  fake_.Fail("SI_GetNumDevices", SI_DEVICE_NOT_FOUND, 1);
  ExpectFailure([&] { controller.GetDeviceCount(); }, "Could not get Device Count");
}

TEST_F(USBXpControllerTest, ConfigureSendsTheLineControlWordAndStopsAtTheFirstFailure) {
  TUSBXpController controller;
  controller.Open(kSerial);
  fake_.TakeCalls();
  controller.Configure(19200, 8, 0, 2, 0);  // 8 data bits, even parity, one stop bit
  EXPECT_EQ(fake_.TakeCalls(),
            (std::vector<std::string>{"SI_SetBaudRate(19200)", "SI_SetLineControl(0x0820)",
                                      "SI_FlushBuffers(1,1)"}));
  controller.Configure(9600, 7, 2, 1, 0);
  EXPECT_EQ(fake_.TakeCalls()[1], "SI_SetLineControl(0x0712)");

  fake_.Fail("SI_SetBaudRate", SI_INVALID_HANDLE, 1);
  ExpectFailure([&] { controller.Configure(19200, 8, 0, 2, 0); }, "Device could not be configured");
  EXPECT_EQ(fake_.TakeCalls(), std::vector<std::string>{"SI_SetBaudRate(19200)"});

  // A parity beyond its four bits would change the word length: refused before it is sent.
  ExpectFailure([&] { controller.Configure(19200, 8, 0, 17, 0); },
                "Device could not be configured");
  EXPECT_EQ(fake_.TakeCalls(), std::vector<std::string>{"SI_SetBaudRate(19200)"});
  EXPECT_TRUE(controller.Opened());
}

TEST_F(USBXpControllerTest, WritesAndPolledReception) {
  TUSBXpController controller;
  std::mutex lock;
  std::condition_variable changed;
  std::string received;
  controller.OnReceive = [&](const std::string& data, int32_t) {
    std::lock_guard guard(lock);
    received += data;
    changed.notify_all();
  };
  controller.Open(kSerial);
  const std::string bytes = test::EveryByte();
  controller.Write(bytes);
  EXPECT_EQ(fake_.Written(kSerial), bytes);
  fake_.LimitWrites(10);
  ExpectFailure([&] { controller.Write(bytes); }, "BytesWritten does not match Bufferlength");
  fake_.Fail("SI_Write", SI_WRITE_ERROR, 1);
  ExpectFailure([&] { controller.Write(bytes); }, "Error writing Buffer");

  fake_.Inject(kSerial, bytes);
  std::unique_lock guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return received.size() >= bytes.size(); }));
  EXPECT_EQ(received, bytes);
}

class USBXpModuleTest : public test_support::HostTest {
 protected:
  USBXpModuleTest() {
    TVendorController::Defaults() = {5ms, false};
    Host().RegisterModule(&TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>(), "USBXp");
    fake_.AddDevice(kSerial, "CP2102 USBXpress Device");
  }
  ~USBXpModuleTest() override { TVendorController::Defaults() = {}; }

  IKYTUSBXp& USBXp() { return *Supports<IKYTUSBXp>(Host().Instance(kUSBXp)); }
  std::string ConsoleData() {
    std::string all;
    for (const auto& block : Received(kConsole)) all += block;
    return all;
  }

  test::TFakeVendor fake_{"libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY"};
};

TEST_F(USBXpModuleTest, NewInstanceDefaults) {
  Host().CreateInstance("USBXp", kUSBXp);
  EXPECT_EQ(LogTexts(kUSBXp, KL_VERSION), std::vector<std::string>{"Unknown"});
  EXPECT_EQ(USBXp().GetBaudRate(), "19200");
  EXPECT_EQ(Host().Summary(kUSBXp), " (19200,8,0,N)");
  EXPECT_TRUE(Statuses(kUSBXp).empty());
  EXPECT_EQ(Host().TimerInterval(kUSBXp, "Reconnect"), std::nullopt);
  ExpectFailure([&] { USBXp().SetParity("Parity"); }, "Invalid Parity Value");
  EXPECT_THROW(USBXp().SetParity("x"), EKYTUSBXp);
  auto devices = USBXp().GetDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].Description, "CP2102 USBXpress Device");
}

TEST_F(USBXpModuleTest, OpenDeviceCarriesEveryByteBothWays) {
  Host().StoreSetting(kUSBXp, {"Settings"}, "Open", Variant(true));
  Host().StoreSetting(kUSBXp, {"Settings"}, "Port", Variant(std::string(kSerial)));
  Host().StoreSetting(kUSBXp, {"Settings"}, "Parity", Variant(std::string("Even")));
  Host().CreateInstance("USBXp", kUSBXp);
  Host().CreateInstance("Console", kConsole, kUSBXp);
  EXPECT_EQ(Host().Status(kUSBXp), IS_ACTIVE);
  EXPECT_EQ(Host().Summary(kUSBXp), "CP2102 USBXpress Device (19200,8,0,E)");

  const std::string bytes = test::EveryByte();
  fake_.Inject(kSerial, bytes);
  ASSERT_TRUE(WaitUntil([&] { return ConsoleData().size() >= bytes.size(); }));
  EXPECT_EQ(ConsoleData(), bytes);
  Host().Call("USBXp_SendText", {Variant(kUSBXp), Variant(bytes)});
  EXPECT_TRUE(WaitUntil([&] { return fake_.Written(kSerial) == bytes; }));
  EXPECT_EQ(DebugData(kUSBXp, "TRANSMITTED"), std::vector<std::string>{bytes});
}

TEST_F(USBXpModuleTest, FailuresReachTheCallerAndChangeNoStatus) {
  Host().CreateInstance("USBXp", kUSBXp);
  ExpectFailure([&] { USBXp().SendText("hello"); }, "Device is not open");
  EXPECT_TRUE(Statuses(kUSBXp).empty());

  USBXp().SetOpen(true);
  USBXp().SetPort("SI9999");
  USBXp().SetBaudRate("57600");
  ExpectFailure([&] { Host().Instance(kUSBXp)->ApplyChanges(); }, "Could not open Device");
  // The applied settings and the summary stay as they were.
  EXPECT_EQ(Host().Summary(kUSBXp), " (19200,8,0,N)");
  Host().Instance(kUSBXp)->ResetChanges();
  EXPECT_EQ(USBXp().GetBaudRate(), "19200");
  EXPECT_FALSE(USBXp().GetOpen());
  EXPECT_TRUE(Statuses(kUSBXp).empty());
}

TEST_F(USBXpModuleTest, WithoutTheLibrary) {
  setenv("KYT_SIUSBXP_LIBRARY", "/nonexistent/libSiUSBXp.so", 1);
  Host().CreateInstance("USBXp", kUSBXp);
  ASSERT_EQ(LogTexts(kUSBXp, KL_WARNING).size(), 2u);
  EXPECT_EQ(LogTexts(kUSBXp, KL_WARNING)[0], ">Failed loading USBXpress DLL!");
  EXPECT_EQ(LogTexts(kUSBXp, KL_WARNING)[1].find("Loader: /nonexistent/libSiUSBXp.so: "), 0u);
  ExpectFailure([&] { USBXp().SendText("x"); },
                "Cannot send Data when USBXpress Port is not connected!");
  EXPECT_TRUE(USBXp().GetDevices().empty());
  Host().Instance(kUSBXp)->ApplyChanges();
  EXPECT_TRUE(Statuses(kUSBXp).empty());
}

}  // namespace
}  // namespace kyt
