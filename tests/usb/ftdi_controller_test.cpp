// TD2XXController against the D2XX double: loading, the device list, the open/close
// discipline, configuring, writing and the watch thread.

#include "usb/ftdi_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "tests/usb/vendor_fake.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSerial = "FT4XK2QA";

// What OnReceive delivered, with a bounded wait.
struct TCollected {
  std::mutex Lock;
  std::condition_variable Changed;
  std::string Bytes;
  int Blocks = 0;
  bool CountsMatch = true;

  void Take(const std::string& data, int32_t count) {
    std::lock_guard guard(Lock);
    Bytes += data;
    ++Blocks;
    CountsMatch = CountsMatch && count == static_cast<int32_t>(data.size());
    Changed.notify_all();
  }
  bool WaitFor(size_t size, std::chrono::milliseconds limit = 10s) {
    std::unique_lock guard(Lock);
    return Changed.wait_for(guard, limit, [&] { return Bytes.size() >= size; });
  }
};

class D2XXControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TVendorController::Defaults() = {};
    fake_.AddDevice(kSerial, "USB <-> Serial Cable");
  }
  void TearDown() override { TVendorController::Defaults() = {}; }

  std::unique_ptr<TD2XXController> OpenController() {
    auto controller = std::make_unique<TD2XXController>();
    controller->OnReceive = [this](const std::string& d, int32_t n) { collected_.Take(d, n); };
    controller->Open(kSerial);
    return controller;
  }

  test::TFakeVendor fake_{"libftd2xx.so", "KYT_FTD2XX_LIBRARY"};
  TCollected collected_;
};

void ExpectFailure(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const EFTDIException& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

TEST_F(D2XXControllerTest, MissingLibraryIsNamedInTheFailure) {
  setenv("KYT_FTD2XX_LIBRARY", "/nonexistent/libftd2xx.so", 1);
  ExpectFailure([] { TD2XXController c; }, "Failed loading DLL: /nonexistent/libftd2xx.so");
}

TEST_F(D2XXControllerTest, VersionAndOutdatedDriversFollowTheExports) {
  EXPECT_EQ(TD2XXController().GetLibraryVersion(), "Library: 3.1.x");

  test::TFakeVendor noDetail("libftd2xx_nodetail.so", "KYT_FTD2XX_LIBRARY");
  noDetail.AddDevice(kSerial, "x");
  TD2XXController v30;
  EXPECT_EQ(v30.GetLibraryVersion(), "Library: 3.0.x");
  EXPECT_EQ(v30.GetDeviceCount(), 1u);
  TD2XXDevice device;
  ExpectFailure([&] { v30.GetDeviceInfo(0, device); },
                "Installed driver is outdated. Please install new drivers");

  test::TFakeVendor old("libftd2xx_old.so", "KYT_FTD2XX_LIBRARY");
  TD2XXController v2;
  EXPECT_EQ(v2.GetLibraryVersion(), "Library: 2.x.x");
  try {
    v2.GetDeviceCount();
    ADD_FAILURE();
  } catch (const EFTDIException& e) {
    EXPECT_EQ(e.Message().rfind("Installed FTDI driver is outdated.\r\n"
                                "Please install newest FTDI drivers from ",
                                0),
              0u);
  }
}

TEST_F(D2XXControllerTest, DeviceListTakesWholeFieldsAndTheOpenHandle) {
  fake_.AddDevice("0123456789ABCDEF", std::string(64, 'd'));  // both fields without a NUL
  TD2XXController controller;
  ASSERT_EQ(controller.GetDeviceCount(), 2u);
  TD2XXDevice full;
  controller.GetDeviceInfo(1, full);
  EXPECT_EQ(full.SerialNumber, "0123456789ABCDEF");
  EXPECT_EQ(full.Description, std::string(64, 'd'));
  EXPECT_FALSE(full.InUse);

  controller.Open(kSerial);
  controller.GetDeviceCount();
  TD2XXDevice first;
  controller.GetDeviceInfo(0, first);
  EXPECT_EQ(first.SerialNumber, kSerial);
  EXPECT_EQ(first.Description, "USB <-> Serial Cable");
  EXPECT_TRUE(first.InUse);

  fake_.Fail("FT_GetDeviceInfoDetail");
  ExpectFailure([&] { controller.GetDeviceInfo(0, first); }, "Could not get DeviceInfo");
  fake_.Fail("FT_CreateDeviceInfoList");
  ExpectFailure([&] { controller.GetDeviceCount(); }, "Could not get Device Count");
}

TEST_F(D2XXControllerTest, OpenAndCloseKeepTheirOrder) {
  TD2XXController controller;
  ExpectFailure([&] { controller.Close(); }, "Device is not open");
  ExpectFailure([&] { controller.Configure(9600, 8, 0, 0, 0); }, "Device is not open");
  ExpectFailure([&] { controller.Write("x"); }, "Device is not open");
  ExpectFailure([&] { controller.Open("NOSUCHDEV"); }, "Could not open Device");
  EXPECT_FALSE(controller.Opened());

  controller.Open(kSerial);
  EXPECT_TRUE(controller.Opened());
  EXPECT_EQ(controller.OpenSerialNumber(), kSerial);
  ExpectFailure([&] { controller.Open(kSerial); }, "Device already open");
  controller.Close();
  EXPECT_FALSE(controller.Opened());
  EXPECT_FALSE(fake_.IsOpen(kSerial));
  controller.Open(kSerial);  // a closed controller opens again
  EXPECT_TRUE(fake_.IsOpen(kSerial));

  fake_.Fail("FT_Close", 4, 1);
  ExpectFailure([&] { controller.Close(); }, "Error closing Device");
  EXPECT_FALSE(controller.Opened());
}

TEST_F(D2XXControllerTest, FailedEventRegistrationLeavesTheDeviceFree) {
  TD2XXController controller;
  fake_.Fail("FT_SetEventNotification", 4, 1);
  ExpectFailure([&] { controller.Open(kSerial); }, "Could not set event notification");
  EXPECT_FALSE(controller.Opened());
  // The handle was given back, so the device can be opened again.
  EXPECT_FALSE(fake_.IsOpen(kSerial));
  controller.Open(kSerial);
  EXPECT_TRUE(controller.Opened());
}

TEST_F(D2XXControllerTest, ConfigureStopsAtTheFirstFailingCall) {
  auto controller = OpenController();
  fake_.TakeCalls();
  controller->Configure(115200, 7, 2, 1, 0);
  EXPECT_EQ(fake_.TakeCalls(),
            (std::vector<std::string>{"FT_SetBaudRate(115200)", "FT_SetDataCharacteristics(7,2,1)",
                                      "FT_SetFlowControl(0,0,0)", "FT_SetTimeouts(1000,1000)"}));

  fake_.Fail("FT_SetBaudRate", 4, 1);
  ExpectFailure([&] { controller->Configure(9600, 8, 0, 0, 0); }, "Device could not be configured");
  EXPECT_EQ(fake_.TakeCalls(), std::vector<std::string>{"FT_SetBaudRate(9600)"});

  fake_.Fail("FT_SetFlowControl", 4, 1);
  ExpectFailure([&] { controller->Configure(9600, 8, 0, 0, 0); }, "Device could not be configured");
  EXPECT_EQ(fake_.TakeCalls().size(), 3u);  // no FT_SetTimeouts
  EXPECT_TRUE(controller->Opened());
}

TEST_F(D2XXControllerTest, WritesAreCheckedForStatusAndCount) {
  auto controller = OpenController();
  const std::string bytes = test::EveryByte();
  controller->Write(bytes);
  EXPECT_EQ(fake_.Written(kSerial), bytes);

  fake_.Fail("FT_Write", 4, 1);
  ExpectFailure([&] { controller->Write("abc"); }, "Error writing Buffer");
  // Success from the library, but fewer bytes taken than given.
  fake_.LimitWrites(2);
  ExpectFailure([&] { controller->Write("abc"); }, "BytesWritten does not match Bufferlength");
  EXPECT_TRUE(controller->Opened());
}

TEST_F(D2XXControllerTest, EveryByteValueArrivesWithItsCount) {
  auto controller = OpenController();
  const std::string bytes = test::EveryByte() + std::string(3, '\0');
  fake_.Inject(kSerial, bytes);
  ASSERT_TRUE(collected_.WaitFor(bytes.size()));
  std::lock_guard guard(collected_.Lock);
  EXPECT_EQ(collected_.Bytes, bytes);
  EXPECT_TRUE(collected_.CountsMatch);
}

// With a poll interval far beyond the test's limit, only the driver's event can bring the bytes.
// A signal sent in the instant between a poll that found nothing and the wait is lost (the
// watch would then see the bytes at its next poll); an empty receipt signals again, so the test
// does not depend on that instant.
TEST_F(D2XXControllerTest, ReceptionWakesOnTheDriversEvent) {
  TVendorController::Defaults().PollInterval = 1h;
  auto controller = OpenController();
  for (int i = 0; i < 5; ++i) {
    fake_.Inject(kSerial, "ping");
    bool arrived = collected_.WaitFor(4u * (i + 1), 1s);
    for (int nudge = 0; !arrived && nudge < 10; ++nudge) {
      fake_.Inject(kSerial, "");
      arrived = collected_.WaitFor(4u * (i + 1), 1s);
    }
    ASSERT_TRUE(arrived) << "block " << i;
  }
  // Closing does not wait out the interval either.
  controller->Close();
}

TEST_F(D2XXControllerTest, PollingAloneStillFetchesAndSkipsFailedPolls) {
  TVendorController::Defaults() = {5ms, false};
  auto controller = OpenController();
  fake_.Fail("FT_GetStatus", 4, 3);
  fake_.Inject(kSerial, "abc");
  ASSERT_TRUE(collected_.WaitFor(3));
  fake_.Fail("FT_Read", 4, 2);
  fake_.Inject(kSerial, "def");
  ASSERT_TRUE(collected_.WaitFor(6));
  std::lock_guard guard(collected_.Lock);
  EXPECT_EQ(collected_.Bytes, "abcdef");
}

}  // namespace
}  // namespace kyt
