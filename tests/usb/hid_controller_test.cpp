// The HID device controller on the fake HID layer: scans, device changes, check-out and
// check-in, serial numbers and report delivery.

#include "usb/hid_controller.h"

#include <gtest/gtest.h>

#include <functional>

#include "runtime/thread.h"
#include "tests/fakes/hid_fake.h"
#include "tests/usb/hid_descriptors.h"

namespace kyt {
namespace {

using test::TFakeHidDevice;

TFakeHidDevice Device(uint32_t instance, const std::string& descriptor = test::kNumberedVendor) {
  TFakeHidDevice d;
  d.InstanceNumber = instance;
  d.VendorID = 0x1234;
  d.ProductID = 0x5678;
  d.Serial = "SN" + std::to_string(instance);
  d.Manufacturer = "Maker";
  d.Product = "Gadget";
  d.ReportDescriptor = descriptor;
  return d;
}

class HidControllerTest : public ::testing::Test {
 protected:
  // Serves the main thread's queue until `done` or ten seconds passed.
  bool Pump(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end)
        return false;
      CheckSynchronize(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Drains notices left in the queue, so no test sees another's.
  void TearDown() override { CheckSynchronize(); }

  TJvHidDevice* Find(TJvHidDeviceController& controller, uint32_t instance) {
    for (const auto& device : controller.Devices()) {
      if (device->DeviceID() == instance && device->IsPluggedIn())
        return device.get();
    }
    return nullptr;
  }
  std::unique_ptr<TJvHidDeviceController> Scanned() {
    auto controller = std::make_unique<TJvHidDeviceController>();
    controller->SetOnArrival([this](TJvHidDevice& d) { arrivals.push_back(d.DeviceID()); });
    controller->SetOnDeviceChange([this](TJvHidDeviceController&) { ++changes; });
    return controller;
  }

  test::TFakeHidPlatform fake;
  std::vector<uint32_t> arrivals;
  int changes = 0;
};

TEST_F(HidControllerTest, ListsWhatOpensAndGivesQueryOnlyDevicesNoReadThread) {
  fake.PlugQuietly(Device(0));
  TFakeHidDevice locked = Device(1);
  locked.Openable = false;
  fake.PlugQuietly(locked);
  TFakeHidDevice queryOnly = Device(2);
  queryOnly.ReadWrite = false;
  fake.PlugQuietly(queryOnly);

  auto controller = Scanned();
  ASSERT_EQ(controller->Devices().size(), 2u);
  EXPECT_EQ(arrivals, (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(changes, 1);
  TJvHidDevice& readOnly = *Find(*controller, 2);
  EXPECT_FALSE(readOnly.HasReadWriteAccess());
  EXPECT_TRUE(Find(*controller, 0)->HasReadWriteAccess());
  EXPECT_EQ(readOnly.VendorID(), 0x1234);
  EXPECT_EQ(readOnly.Caps().OutputReportByteLength, 5);

  ASSERT_TRUE(controller->CheckOut(readOnly));
  EXPECT_FALSE(controller->CheckOut(readOnly));
  readOnly.SetOnData([](TJvHidDevice&, uint8_t, const uint8_t*, uint16_t) {});
  EXPECT_FALSE(readOnly.HasReadThread());
  EXPECT_EQ(fake.Readers(2), 0);
  uint32_t written = 0;
  EXPECT_FALSE(
      readOnly.WriteReport("\x02"
                           "abcd",
                           5, written));
  EXPECT_EQ(controller->CheckedOutCount(), 1);
  EXPECT_EQ(controller->CheckedInCount(), 1);
}

TEST_F(HidControllerTest, SerialNumbersThatAreTheLanguageListAreNone) {
  TFakeHidDevice echo = Device(0);
  echo.Serial = hid::Utf16ToUtf8(std::u16string(1, char16_t{0x0409}));
  fake.PlugQuietly(echo);
  TFakeHidDevice longer = Device(1);
  longer.Serial = hid::Utf16ToUtf8(std::u16string{char16_t{0x0409}, u'7'});
  fake.PlugQuietly(longer);
  TFakeHidDevice unreadableList = Device(2);
  unreadableList.LanguageList.reset();
  fake.PlugQuietly(unreadableList);
  TFakeHidDevice plain = Device(3);
  plain.LanguageList = std::u16string{char16_t{0x0409}, char16_t{0x0407}};
  fake.PlugQuietly(plain);
  TFakeHidDevice none = Device(4);
  none.Serial.reset();
  fake.PlugQuietly(none);

  auto controller = Scanned();
  controller->SetOnEnumerate([&](TJvHidDevice& d, int) { return controller->CheckOut(d); });
  EXPECT_EQ(controller->Enumerate(), 5);
  EXPECT_EQ(Find(*controller, 0)->SerialNumber(), u"");
  // Starting with the language list is enough to be taken for it.
  EXPECT_EQ(Find(*controller, 1)->SerialNumber(), u"");
  // A list that cannot be read says nothing against the serial number.
  EXPECT_EQ(Find(*controller, 2)->SerialNumber(), u"SN2");
  EXPECT_EQ(Find(*controller, 3)->SerialNumber(), u"SN3");
  EXPECT_EQ(Find(*controller, 4)->SerialNumber(), u"");
  EXPECT_EQ(Find(*controller, 3)->ProductName(), u"Gadget");
  EXPECT_EQ(Find(*controller, 3)->VendorName(), u"Maker");
}

TEST_F(HidControllerTest, TextsAreAskedOnlyOfAccessibleDevices) {
  fake.PlugQuietly(Device(0));
  auto controller = Scanned();
  TJvHidDevice& device = *Find(*controller, 0);
  EXPECT_EQ(device.SerialNumber(), u"");
  ASSERT_TRUE(controller->CheckOut(device));
  EXPECT_EQ(device.SerialNumber(), u"SN0");
}

TEST_F(HidControllerTest, ReportsReachOnDataWithTheirIDSplitOff) {
  fake.PlugQuietly(Device(0));
  fake.PlugQuietly(Device(1, test::kBootKeyboard));
  auto controller = Scanned();

  std::mutex lock;
  std::vector<std::pair<int, std::string>> reports;
  auto collect = [&](TJvHidDevice&, uint8_t id, const uint8_t* data, uint16_t size) {
    std::lock_guard guard(lock);
    reports.emplace_back(id, std::string(reinterpret_cast<const char*>(data), size));
  };
  auto count = [&] {
    std::lock_guard guard(lock);
    return reports.size();
  };
  for (uint32_t instance : {0u, 1u}) {
    TJvHidDevice& device = *Find(*controller, instance);
    device.SetOnData(collect);
    EXPECT_FALSE(device.HasReadThread());  // not checked out yet
    ASSERT_TRUE(controller->CheckOut(device));
    ASSERT_TRUE(fake.WaitForReaders(instance, 1));
  }

  fake.SendInput(0, test::Bytes({2, 1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_TRUE(Pump([&] { return count() == 1; }));
  fake.SendInput(0, test::Bytes({1, 'x', 'y', 'z'}));
  ASSERT_TRUE(Pump([&] { return count() == 2; }));
  fake.SendInput(1, test::Bytes({0, 0, 4, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(Pump([&] { return count() == 3; }));

  std::lock_guard guard(lock);
  EXPECT_EQ(reports[0], std::make_pair(2, test::Bytes({1, 2, 3, 4, 5, 6, 7, 8})));
  // Every report has the device's input report length, as the shorter report 1 shows.
  EXPECT_EQ(reports[1], std::make_pair(1, test::Bytes({'x', 'y', 'z', 0, 0, 0, 0, 0})));
  // Without numbered reports the ID is 0 and the data is the whole report.
  EXPECT_EQ(reports[2], std::make_pair(0, test::Bytes({0, 0, 4, 0, 0, 0, 0, 0})));
}

TEST_F(HidControllerTest, ScansKeepTheirDevicesAndSeeAQuickReplug) {
  fake.PlugQuietly(Device(0));
  auto controller = Scanned();
  std::shared_ptr<TJvHidDevice> first = controller->Devices().front();
  controller->DeviceChange();
  EXPECT_EQ(controller->Devices().front(), first);
  EXPECT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(changes, 1);
  controller->DeviceChange(true);
  EXPECT_EQ(changes, 2);

  // Out and in again before anyone looked: the same instance number, another appearance.
  int unplugs = 0;
  first->SetOnUnplug([&](TJvHidDevice&) { ++unplugs; });
  fake.PlugQuietly(Device(0));
  controller->DeviceChange();
  EXPECT_EQ(unplugs, 1);
  EXPECT_FALSE(first->IsPluggedIn());
  EXPECT_EQ(arrivals.size(), 2u);
  ASSERT_EQ(controller->Devices().size(), 1u);
  EXPECT_NE(controller->Devices().front(), first);
}

// A module that keeps its device checked out through an unplug: the old object waits in the
// list for its CheckIn, and a device just like it that comes meanwhile is a new arrival.
TEST_F(HidControllerTest, ALookAlikeOfACheckedOutDeviceThatLeftIsListedAndAnnounced) {
  fake.PlugQuietly(Device(0));
  auto controller = Scanned();
  std::shared_ptr<TJvHidDevice> first = controller->Devices().front();
  int removals = 0;
  controller->SetOnRemoval([&](TJvHidDevice&) { ++removals; });
  ASSERT_TRUE(controller->CheckOut(*first));
  fake.UnplugQuietly(0);
  controller->DeviceChange();
  EXPECT_EQ(removals, 1);
  EXPECT_FALSE(first->IsPluggedIn());

  // Even under the very name the system gave the one that left.
  TFakeHidDevice lookAlikeDevice = Device(0);
  lookAlikeDevice.Identity = first->Identity();
  fake.PlugQuietly(lookAlikeDevice);
  controller->DeviceChange();
  EXPECT_EQ(removals, 1);
  EXPECT_EQ(arrivals, (std::vector<uint32_t>{0, 0}));
  TJvHidDevice* lookAlike = Find(*controller, 0);
  ASSERT_NE(lookAlike, nullptr);
  EXPECT_NE(lookAlike, first.get());
  EXPECT_EQ(controller->Enumerate(), 1);
  EXPECT_TRUE(controller->CheckOut(*lookAlike));
  controller->CheckIn(first);
  ASSERT_EQ(controller->Devices().size(), 1u);
  EXPECT_EQ(controller->Devices().front().get(), lookAlike);
}

TEST_F(HidControllerTest, ARemovedDeviceEndsItsReadLoopOnceAndIsNoticedWithoutANotice) {
  fake.PlugQuietly(Device(0));
  auto controller = Scanned();
  std::shared_ptr<TJvHidDevice> device = controller->Devices().front();
  int unplugs = 0;
  device->SetOnUnplug([&](TJvHidDevice& d) {
    ++unplugs;
    auto self = d.shared_from_this();
    controller->CheckIn(self);
  });
  device->SetOnData([](TJvHidDevice&, uint8_t, const uint8_t*, uint16_t) {});
  ASSERT_TRUE(controller->CheckOut(*device));
  ASSERT_TRUE(fake.WaitForReaders(0, 1));

  CheckSynchronize();  // the controller's first notice, so only the read loop can tell

  fake.UnplugQuietly(0);
  ASSERT_TRUE(Pump([&] { return unplugs == 1; }));
  EXPECT_TRUE(controller->Devices().empty());
  EXPECT_FALSE(device->HasReadThread());
  EXPECT_EQ(fake.GoneReads(), 1);
  controller->DeviceChange();
  EXPECT_EQ(unplugs, 1);
}

TEST_F(HidControllerTest, ANoticeDuringAChangeRunsAfterItInsteadOfBeingLost) {
  fake.PlugQuietly(Device(0));
  auto controller = Scanned();
  controller->Devices().front()->SetOnUnplug([&](TJvHidDevice&) {
    // What a notice served while this handler waits on a read thread would do.
    fake.PlugQuietly(Device(1));
    controller->DeviceChange();
  });
  fake.UnplugQuietly(0);
  controller->DeviceChange();
  EXPECT_EQ(arrivals, (std::vector<uint32_t>{0, 1}));
  ASSERT_EQ(controller->Devices().size(), 1u);
  EXPECT_EQ(controller->Devices().front()->DeviceID(), 1u);
}

TEST_F(HidControllerTest, NoticesArriveThroughTheMainThreadAndEndWithTheController) {
  auto controller = Scanned();
  EXPECT_EQ(fake.Watches(), 1);
  fake.Plug(Device(3));
  ASSERT_TRUE(Pump([&] { return arrivals.size() == 1; }));

  std::shared_ptr<TJvHidDevice> device = controller->Devices().front();
  bool unplugged = false;
  device->SetOnUnplug([&](TJvHidDevice&) { unplugged = true; });
  device->SetOnData([](TJvHidDevice&, uint8_t, const uint8_t*, uint16_t) {});
  ASSERT_TRUE(controller->CheckOut(*device));
  ASSERT_TRUE(fake.WaitForReaders(3, 1));
  fake.Plug(Device(4));
  controller.reset();
  // Checked-out devices are unplugged by the controller's end, their reading stopped, and the
  // notice still queued finds no controller.
  EXPECT_TRUE(unplugged);
  EXPECT_EQ(fake.Readers(3), 0);
  EXPECT_EQ(fake.Watches(), 0);
  CheckSynchronize();
  EXPECT_EQ(arrivals.size(), 1u);
}

}  // namespace
}  // namespace kyt
