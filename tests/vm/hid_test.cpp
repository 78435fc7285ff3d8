// The HID module ("HID") in kyt-host inside the test machine, on QEMU's USB keyboard and mouse
// with the kernel's usbhid and hidraw drivers: finding the device by vendor, product and serial
// number among two with the same IDs, key and mouse reports reaching a Console, the keyboard's
// LED report reaching the device, and the keyboard unplugged and plugged back.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/vm/guest_kyt_host.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;
using host::TJson;

// The example config's instances: the module and its Console.
constexpr int kHid = 10;
constexpr int kConsole = 11;
constexpr int kQemuVendor = 0x0627;
constexpr int kQemuProduct = 0x0001;

TJson ExampleConfig() {
  std::ifstream in(std::string(KYT_SOURCE_DIR) + "/examples/hid.json");
  return TJson::parse(in);
}

TJson Config(const std::string& serial) {
  return {{"instances",
           {{{"id", kHid},
             {"module", "HID"},
             {"settings",
              {{"Open", true},
               {"DeviceVendorID", kQemuVendor},
               {"DeviceProductID", kQemuProduct},
               {"DeviceSerial", serial}}}},
            {{"id", kConsole}, {"module", "Console"}, {"parent", kHid}}}}};
}

std::string Describe(TGuestKytHost& host) {
  std::string text = "kyt-host events:\n";
  for (const auto& event : host.Events()) text += host::DumpLine(event).substr(0, 300) + "\n";
  return text + "guest: " + host.Machine().JobFile("host.err") + host.Machine().JobFile("stderr") +
         "\nconsole:\n" + host.Machine().ConsoleLog();
}

auto StatusOf(int status) {
  return [status](const TJson& event) { return IsStatus(event, kHid, status); };
}

// A report as the Console shows it: report ID and data bytes in hex.
auto ReportOf(int reportId, const std::string& hex) {
  return [reportId, hex](const TJson& event) {
    return event.value("instance", 0) == kConsole && event.value("report_id", -1) == reportId &&
           event.value("hex", "") == hex;
  };
}

// The read thread opens the node only after the status says the device is attached, and
// hidraw keeps no reports for a node nobody has open: the input is sent again until a report
// shows the reader in place. Returns the report's event index, or -1.
int SendUntilReported(TGuestKytHost& host, const std::function<void()>& send,
                      const std::function<bool(const TJson&)>& report, size_t from) {
  auto deadline = std::chrono::steady_clock::now() + Limit(120s);
  int found = -1;
  while (found < 0 && std::chrono::steady_clock::now() < deadline) {
    send();
    found = host.WaitForEvent("data", report, Limit(2s), from);
  }
  return found;
}

bool WaitForStatus(TGuestKytHost& host, int status, std::chrono::seconds limit, size_t from = 0) {
  return host.WaitForEvent("status", StatusOf(status), Limit(limit), from) >= 0;
}

// The LED bytes of every SET_REPORT(Output) request in a usbmon capture, in order. A control
// submission record holds the 8 setup bytes at offset 40 and its data at offset 64, so the data
// byte of a one-byte request is 24 bytes behind the setup's start.
std::string LedReportsIn(const std::string& capture) {
  const std::string setup("\x21\x09\x00\x02\x00\x00\x01\x00", 8);
  std::string leds;
  for (size_t at = capture.find(setup); at != std::string::npos && at + 24 < capture.size();
       at = capture.find(setup, at + 1)) {
    leds += capture[at + 24];
  }
  return leds;
}

bool WaitForLedReport(TTestMachine& machine, char value, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (LedReportsIn(machine.CaptureLog(kKeyboardDevice)).find(value) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

void ExpectCleanEnd(TGuestKytHost& host) {
  TGuestResult result = host.Stop();
  ASSERT_TRUE(result.Finished) << result.Failure;
  EXPECT_EQ(result.Status, 0) << "kyt-host's exit status\n" << Describe(host);
}

class HidOnEmulatedDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(MachineAvailable(&why)) << why;
  }
};

// The example config, with the mouse beside the keyboard: both are 0627:0001, so only the
// serial number tells them apart.
TEST_F(HidOnEmulatedDevices, ExampleFindsTheKeyboardReportsKeysAndWritesItsLedReport) {
  TGuestKytHost host({.Keyboard = true, .Mouse = true, .Capture = true}, ExampleConfig());
  ASSERT_TRUE(WaitForStatus(host, 102, 240s)) << Describe(host);
  EXPECT_GE(host.WaitForEvent(
                "summary",
                [](const TJson& event) {
                  return event.value("instance", 0) == kHid &&
                         event.value("text", "") == "QEMU USB Keyboard";
                },
                Limit(30s)),
            0)
      << Describe(host);

  host.Call("HID_GetDevices", {kHid});
  TJson devices = host.WaitForAnswer("HID_GetDevices", Limit(60s));
  ASSERT_EQ(devices.value("event", ""), "result") << devices.dump();
  ASSERT_EQ(devices["value"].size(), 2u) << devices.dump();
  for (const auto& [serial, name] : {std::pair{kKeyboardSerialNumber, "QEMU USB Keyboard"},
                                     std::pair{kMouseSerialNumber, "QEMU USB Mouse"}}) {
    auto device =
        std::find_if(devices["value"].begin(), devices["value"].end(),
                     [&](const TJson& d) { return d.value("DeviceSerial", "") == serial; });
    ASSERT_NE(device, devices["value"].end()) << serial << " missing: " << devices.dump();
    EXPECT_EQ(device->value("VendorID", 0), kQemuVendor);
    EXPECT_EQ(device->value("ProductID", 0), kQemuProduct);
    EXPECT_EQ(device->value("DeviceName", ""), name);
    EXPECT_EQ(device->value("DeviceVendor", ""), "QEMU");
  }

  // Unnumbered reports: report ID 0 and the 8-byte boot keyboard report, press then release.
  size_t before = host.Events().size();
  auto pressA = [&] { host.Machine().Qmp().SendKeys({"a"}); };
  int press = SendUntilReported(host, pressA, ReportOf(0, "0000040000000000"), before);
  ASSERT_GE(press, 0) << Describe(host);
  EXPECT_GE(host.WaitForEvent("data", ReportOf(0, "0000000000000000"), Limit(60s), press), 0)
      << Describe(host);
  host.Machine().Qmp().SendKeys({"shift", "b"});
  EXPECT_GE(host.WaitForEvent("data", ReportOf(0, "0200050000000000"), Limit(60s), before), 0)
      << Describe(host);

  // Num Lock and Scroll Lock: the one-byte output report after its ID, as a SET_REPORT request.
  before = host.Events().size();
  host.Call("HID_SendEvent", {kHid, 0, host::BytesToJson("\x05")});
  TJson sent = host.WaitForAnswer("HID_SendEvent", Limit(60s), before);
  EXPECT_EQ(sent.value("event", ""), "result") << sent.dump();
  EXPECT_TRUE(WaitForLedReport(host.Machine(), '\x05', Limit(30s)))
      << "LED reports seen: " << LedReportsIn(host.Machine().CaptureLog(kKeyboardDevice)).size();
  ExpectCleanEnd(host);
}

TEST_F(HidOnEmulatedDevices, MouseChosenBySerialNumberReportsMovesAndButtons) {
  TGuestKytHost host({.Keyboard = true, .Mouse = true}, Config(kMouseSerialNumber));
  ASSERT_TRUE(WaitForStatus(host, 102, 240s)) << Describe(host);

  auto send = [&](TJson events) {
    host.Machine().Qmp().Execute("input-send-event", {{"events", std::move(events)}});
  };
  size_t before = host.Events().size();
  auto move = [&] {
    send({{{"type", "rel"}, {"data", {{"axis", "x"}, {"value", 5}}}},
          {{"type", "rel"}, {"data", {{"axis", "y"}, {"value", -3}}}}});
  };
  // Buttons, X, Y, wheel.
  ASSERT_GE(SendUntilReported(host, move, ReportOf(0, "0005fd00"), before), 0) << Describe(host);
  send({{{"type", "btn"}, {"data", {{"down", true}, {"button", "left"}}}}});
  EXPECT_GE(host.WaitForEvent("data", ReportOf(0, "01000000"), Limit(60s), before), 0)
      << Describe(host);

  // The keyboard beside it is not the configured device: its keys reach nobody.
  host.Machine().Qmp().SendKeys({"a"});
  send({{{"type", "btn"}, {"data", {{"down", false}, {"button", "left"}}}}});
  EXPECT_GE(host.WaitForEvent("data", ReportOf(0, "00000000"), Limit(60s), before), 0)
      << Describe(host);
  for (const auto& event : host.Events()) {
    if (event.value("event", "") == "data") {
      EXPECT_EQ(event.value("hex", "").size(), 8u) << "not a mouse report: " << event.dump();
    }
  }
  ExpectCleanEnd(host);
}

// Without udevd the module hears the kernel's own notices; with it, udevd's processed ones.
void UnplugAndPlugBackTheKeyboard(bool udev) {
  TGuestKytHost host({.Keyboard = true, .Udev = udev, .Capture = true},
                     Config(kKeyboardSerialNumber));
  ASSERT_TRUE(WaitForStatus(host, 102, 240s)) << Describe(host);

  size_t before = host.Events().size();
  host.Machine().Unplug(kKeyboardDevice);
  auto removed = [](const TJson& event) { return IsLog(event, 10024, "HID Device removed"); };
  ASSERT_GE(host.WaitForEvent("log", removed, Limit(120s), before), 0) << Describe(host);
  EXPECT_TRUE(WaitForStatus(host, 200, 30s, before)) << Describe(host);
  host.Call("HID_SendEvent", {kHid, 0, host::BytesToJson("\x01")});
  // (WaitForAnswer would wait its whole limit for a result before it looks at errors.)
  auto refusal = [](const TJson& event) {
    return event.value("call", "") == "HID_SendEvent" &&
           event.value("message", "") == "No HID Device selected/found";
  };
  EXPECT_GE(host.WaitForEvent("error", refusal, Limit(60s), before), 0) << Describe(host);

  // A gone hidraw node reports a hang-up on every poll; nothing may spin on it.
  TCpuSample first = host.SampleCpu();
  auto window = std::chrono::steady_clock::now() + 4s;
  while (std::chrono::steady_clock::now() < window) std::this_thread::sleep_for(100ms);
  TCpuSample second = host.SampleCpu();
  double share = (second.CpuSeconds - first.CpuSeconds) / (second.Uptime - first.Uptime);
  ::testing::Test::RecordProperty("cpu_share_unplugged", std::to_string(share));
  EXPECT_LT(share, 0.2) << "kyt-host used " << share * 100 << "% of a CPU while unplugged";

  before = host.Events().size();
  host.Machine().Plug(kKeyboardDevice);
  auto arrived = [](const TJson& event) { return IsLog(event, 10024, "HID Device arrived"); };
  EXPECT_GE(host.WaitForEvent("log", arrived, Limit(120s), before), 0) << Describe(host);
  ASSERT_TRUE(WaitForStatus(host, 102, 120s, before)) << Describe(host);

  auto pressA = [&] { host.Machine().Qmp().SendKeys({"a"}); };
  EXPECT_GE(SendUntilReported(host, pressA, ReportOf(0, "0000040000000000"), before), 0)
      << Describe(host);

  size_t calls = host.Events().size();
  host.Call("HID_SendEvent", {kHid, 0, host::BytesToJson("\x02")});
  TJson sent = host.WaitForAnswer("HID_SendEvent", Limit(60s), calls);
  EXPECT_EQ(sent.value("event", ""), "result") << sent.dump();
  EXPECT_TRUE(WaitForLedReport(host.Machine(), '\x02', Limit(30s)));

  // The device that left is not listed beside the one that came back.
  calls = host.Events().size();
  host.Call("HID_GetDevices", {kHid});
  TJson devices = host.WaitForAnswer("HID_GetDevices", Limit(60s), calls);
  ASSERT_EQ(devices.value("event", ""), "result") << devices.dump();
  ASSERT_EQ(devices["value"].size(), 1u) << devices.dump();
  EXPECT_EQ(devices["value"][0].value("DeviceSerial", ""), kKeyboardSerialNumber);

  const auto& events = host.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), removed), 1) << Describe(host);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), arrived), 1) << Describe(host);
  ExpectCleanEnd(host);
}

TEST_F(HidOnEmulatedDevices, KeyboardUnpluggedAndPluggedBackResumesWithoutAnApply) {
  UnplugAndPlugBackTheKeyboard(false);
}

TEST_F(HidOnEmulatedDevices, KeyboardReplugFollowedThroughUdevd) {
  UnplugAndPlugBackTheKeyboard(true);
}

}  // namespace
}  // namespace kyt::vm
