// The HID module through the reference host, on the fake HID layer.

#include "usb/hid_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <future>

#include "framework/codes.h"
#include "tests/fakes/hid_fake.h"
#include "tests/support/host_test.h"
#include "tests/usb/hid_descriptors.h"

namespace kyt {
namespace {

using test::Bytes;
using test::TFakeHidDevice;
using test_support::EventKind;

constexpr TInstanceID kHID = 10;
constexpr uint16_t kVendor = 0x1234;
constexpr uint16_t kProduct = 0x5678;

TFakeHidDevice Device(uint32_t instance, std::optional<std::string> serial,
                      const std::string& descriptor = test::kSmallNumbered) {
  TFakeHidDevice d;
  d.InstanceNumber = instance;
  d.VendorID = kVendor;
  d.ProductID = kProduct;
  d.Serial = std::move(serial);
  d.Manufacturer = "Maker";
  d.Product = "Gadget " + std::to_string(instance);
  d.ReportDescriptor = descriptor;
  return d;
}

class HidModuleTest : public test_support::HostTest {
 protected:
  HidModuleTest() { Host().RegisterModule(&TKYTHID::Class, &TypeInfoOf<IKYTHID>(), "HID"); }
  // Instances go before the fake layer they use.
  void TearDown() override { Host().DeleteAllInstances(); }

  void Configure(const std::string& serial, bool open = true) {
    Host().StoreSetting(kHID, {"Settings"}, "Open", Variant(open));
    Host().StoreSetting(kHID, {"Settings"}, "DeviceSerial", Variant(serial));
    Host().StoreSetting(kHID, {"Settings"}, "DeviceVendorID", Variant(int32_t{kVendor}));
    Host().StoreSetting(kHID, {"Settings"}, "DeviceProductID", Variant(int32_t{kProduct}));
  }
  IKYTHID& Module() { return *Supports<IKYTHID>(Host().Instance(kHID)); }
  TInstanceID Console(TInstanceID id) { return Host().CreateInstance("Console", id, kHID); }
  // Report ID and data of each report a console received.
  std::vector<std::pair<int, std::string>> Reports(TInstanceID console) {
    std::vector<std::pair<int, std::string>> out;
    for (const auto& e : Host().Events(EventKind::Data, console)) {
      if (e.HasReportID)
        out.emplace_back(e.Code, e.Text);
    }
    return out;
  }
  bool Logged(const std::string& text, int32_t code = KL_WARNING) {
    auto logs = LogTexts(kHID, code);
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  std::string ErrorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }

  test::TFakeHidPlatform fake;
};

TEST_F(HidModuleTest, ListsDevicesAndSelectsNothingUntilConfigured) {
  fake.PlugQuietly(Device(3, std::nullopt));
  fake.PlugQuietly(Device(5, "ABC"));
  Host().CreateInstance("HID", kHID);
  EXPECT_EQ(Host().Status(kHID), IS_INACTIVE);
  EXPECT_EQ(Host().Summary(kHID), "");
  EXPECT_FALSE(Module().GetOpen());

  THIDDevices devices = Module().GetDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].DeviceSerial, "3");  // no serial number: the instance number
  EXPECT_EQ(devices[1].DeviceSerial, "ABC");
  EXPECT_EQ(devices[1].VendorID, kVendor);
  EXPECT_EQ(devices[1].ProductID, kProduct);
  EXPECT_EQ(devices[1].DeviceVendor, "Maker");
  EXPECT_EQ(devices[1].DeviceName, "Gadget 5");
  EXPECT_EQ(ErrorOf([&] { Module().SendEvent(1, "x"); }), "No HID Device selected/found");

  // Open with an empty serial number still selects nothing.
  Module().SetOpen(true);
  Host().Instance(kHID)->ApplyChanges();
  EXPECT_EQ(Host().Status(kHID), IS_INACTIVE);
  EXPECT_EQ(fake.Readers(3) + fake.Readers(5), 0);
}

TEST_F(HidModuleTest, TheInstanceNumberSelectsADeviceWithoutSerial) {
  fake.PlugQuietly(Device(3, std::nullopt));
  Configure("3");
  Host().CreateInstance("HID", kHID);
  EXPECT_EQ(Host().Status(kHID), IS_ACTIVE);
  EXPECT_EQ(Host().Summary(kHID), "Gadget 3");
  EXPECT_EQ(Host().ReadSetting(kHID, {"Settings"}, "DeviceName")->AsString(), "Gadget 3");
  EXPECT_TRUE(fake.WaitForReaders(3, 1));
}

TEST_F(HidModuleTest, ReportsReachEveryChildWithTheirID) {
  fake.PlugQuietly(Device(1, "S1"));
  Configure("S1");
  Host().CreateInstance("HID", kHID);
  TInstanceID first = Console(11), second = Console(12);
  ASSERT_TRUE(fake.WaitForReaders(1, 1));

  fake.SendInput(1, Bytes({1, 'x', 'y', 'z'}));
  fake.SendInput(1, Bytes({1, 0, 0, 0}));
  ASSERT_TRUE(WaitUntil([&] { return Reports(second).size() == 2; }));
  const std::vector<std::pair<int, std::string>> expected = {{1, "xyz"}, {1, Bytes({0, 0, 0})}};
  EXPECT_EQ(Reports(first), expected);
  EXPECT_EQ(Reports(second), expected);
  EXPECT_EQ(DebugData(kHID, "RECEIVED, ReportID: 1"),
            (std::vector<std::string>{"xyz", Bytes({0, 0, 0})}));
}

TEST_F(HidModuleTest, SendEventFillsTheOutputReportToItsLength) {
  fake.PlugQuietly(Device(1, "S1"));
  fake.PlugQuietly(Device(2, "S2", test::kLongOutput));
  Configure("S1");
  Host().CreateInstance("HID", kHID);

  Module().SendEvent(2, "AB");
  Host().Call("HID_SendEvent", {Variant(kHID), Variant(2), Variant("ABCDEFG")});
  EXPECT_EQ(fake.Written(1),
            (std::vector<std::string>{Bytes({2, 'A', 'B', 0, 0}), Bytes({2, 'A', 'B', 'C', 'D'})}));
  EXPECT_EQ(DebugData(kHID, "TRANSMITTED, ReportID: 2"),
            (std::vector<std::string>{"AB", "ABCDEFG"}));

  // Children send through IKYTHIDSendData; a report longer than 65 bytes goes out whole.
  Module().SetDeviceSerial("S2");
  Host().Instance(kHID)->ApplyChanges();
  const std::string text(100, 'q');
  Supports<IKYTHIDSendData>(Host().Instance(kHID))->SendEvent(3, text);
  EXPECT_EQ(fake.Written(2), std::vector<std::string>{"\x03" + text});
}

TEST_F(HidModuleTest, AFailedWriteIsReportedAndRaised) {
  fake.PlugQuietly(Device(1, "S1"));
  Configure("S1");
  Host().CreateInstance("HID", kHID);
  fake.FailWrites(1, EPIPE);
  EXPECT_EQ(ErrorOf([&] { Module().SendEvent(2, "AB"); }), "Could not write Buffer");
  EXPECT_EQ(DebugData(kHID, "WriteError"), std::vector<std::string>{hid::ErrorText(EPIPE)});
}

TEST_F(HidModuleTest, ConfigurationsThatCannotBeMetFailTheApply) {
  TFakeHidDevice readOnly = Device(1, "RO");
  readOnly.ReadWrite = false;
  fake.PlugQuietly(readOnly);
  Configure("RO");
  Host().CreateInstance("HID", kHID);
  EXPECT_EQ(Host().Status(kHID), IS_ERROR);
  EXPECT_TRUE(Logged("Device has no write access", KL_ERROR));
  EXPECT_EQ(fake.Readers(1), 0);

  Module().SetDeviceSerial("nowhere");
  EXPECT_EQ(ErrorOf([&] { Host().Instance(kHID)->ApplyChanges(); }),
            "Selected Device could not be found");
  EXPECT_EQ(Host().Status(kHID), IS_ERROR);
  EXPECT_EQ(ErrorOf([&] { Module().SendEvent(1, "x"); }), "No HID Device selected/found");
  // The vendor and product must match too.
  Module().SetDeviceSerial("RO");
  Module().SetDeviceVendorID(1);
  EXPECT_EQ(ErrorOf([&] { Host().Instance(kHID)->ApplyChanges(); }),
            "Selected Device could not be found");
}

TEST_F(HidModuleTest, UnplugAndReplugResumeWithoutAnApply) {
  fake.PlugQuietly(Device(1, "S1"));
  Configure("S1");
  Host().CreateInstance("HID", kHID);
  TInstanceID console = Console(11);
  ASSERT_TRUE(fake.WaitForReaders(1, 1));

  fake.Unplug(1);
  ASSERT_TRUE(WaitUntil([&] { return Logged("HID Device removed"); }));
  EXPECT_EQ(Host().Status(kHID), IS_ERROR);
  EXPECT_EQ(ErrorOf([&] { Module().SendEvent(1, "x"); }), "No HID Device selected/found");

  fake.Plug(Device(1, "S1"));
  ASSERT_TRUE(WaitUntil([&] { return Logged("HID Device arrived"); }));
  EXPECT_EQ(Host().Status(kHID), IS_ACTIVE);
  ASSERT_TRUE(fake.WaitForReaders(1, 1));
  fake.SendInput(1, Bytes({1, 'n', 'e', 'w'}));
  ASSERT_TRUE(WaitUntil([&] { return !Reports(console).empty(); }));
  EXPECT_EQ(Reports(console).front(), std::make_pair(1, std::string("new")));
  Module().SendEvent(2, "ok");
  EXPECT_EQ(fake.Written(1), std::vector<std::string>{Bytes({2, 'o', 'k', 0, 0})});
  EXPECT_FALSE(Host().Instance(kHID)->HasChanges());
  EXPECT_EQ(Statuses(kHID), (std::vector<int32_t>{IS_ACTIVE, IS_ERROR, IS_ACTIVE}));
}

TEST_F(HidModuleTest, ClosingOrReconfiguringLetsGoOfTheEarlierDevice) {
  fake.PlugQuietly(Device(1, "S1"));
  fake.PlugQuietly(Device(2, "S2"));
  Configure("S1");
  Host().CreateInstance("HID", kHID);
  ASSERT_TRUE(fake.WaitForReaders(1, 1));

  Module().SetDeviceSerial("S2");
  Host().Instance(kHID)->ApplyChanges();
  EXPECT_EQ(fake.Readers(1), 0);
  ASSERT_TRUE(fake.WaitForReaders(2, 1));

  Module().SetOpen(false);
  Host().Instance(kHID)->ApplyChanges();
  EXPECT_EQ(Host().Status(kHID), IS_INACTIVE);
  EXPECT_EQ(fake.Readers(2), 0);
  EXPECT_EQ(ErrorOf([&] { Module().SendEvent(1, "x"); }), "No HID Device selected/found");

  // A closed instance stays closed when its device comes back.
  fake.Unplug(2);
  fake.Plug(Device(2, "S2"));
  ASSERT_TRUE(WaitUntil([&] { return Module().GetDevices().size() == 2; }));
  EXPECT_FALSE(Logged("HID Device arrived"));
  EXPECT_FALSE(Logged("HID Device removed"));
  EXPECT_EQ(fake.Readers(2), 0);
}

TEST_F(HidModuleTest, DeletingTheInstanceIsNoRemoval) {
  fake.PlugQuietly(Device(1, "S1"));
  Configure("S1");
  Host().CreateInstance("HID", kHID);
  ASSERT_TRUE(fake.WaitForReaders(1, 1));
  // The device leaves while its read thread is inside a report, and its removal waits in the
  // queue: the delete, stopping that thread, serves the queue, and the removal must not reach
  // the module then.
  std::promise<void> opened;
  const std::shared_future<void> gate = opened.get_future().share();
  std::atomic<bool> inReport{false};
  Host().SetEventListener([&](const host::THostEvent& e) {
    if (e.EventKind == host::THostEvent::Kind::Debug && !inReport.exchange(true))
      gate.wait();
  });
  fake.SendInput(1, Bytes({1, 'x'}));
  ASSERT_TRUE(WaitUntil([&] { return inReport.load(); }));
  fake.Unplug(1);
  TThread::Queue([&] { opened.set_value(); });
  Host().DeleteInstance(kHID);
  Host().SetEventListener(nullptr);
  EXPECT_EQ(fake.Readers(1), 0);
  EXPECT_FALSE(Logged("HID Device removed"));
  EXPECT_EQ(LogTexts(kHID).back(), "Deleting...");
  EXPECT_EQ(Host().ReadSetting(kHID, {"Settings"}, "DeviceSerial")->AsString(), "S1");
}

}  // namespace
}  // namespace kyt
