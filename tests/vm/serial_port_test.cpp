// The Serial Port module ("COMPort") in kyt-host inside the test machine, on the emulated FTDI
// adapter with the kernel's ftdi_sio driver: data both ways, line settings reaching the chip,
// GetDevices, and the adapter unplugged under the open port and plugged back.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "tests/vm/byte_blocks.h"
#include "tests/vm/guest_kyt_host.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;
using host::TJson;

constexpr int kPort = 20;
constexpr int kConsole = 21;

TJson Config(const std::string& port) {
  return {{"instances",
           {{{"id", kPort},
             {"module", "COMPort"},
             {"settings",
              {{"Open", true},
               {"Port", port},
               {"BaudRate", "115200"},
               {"DataBits", "8"},
               {"StopBits", "1"},
               {"Parity", "None"}}}},
            {{"id", kConsole}, {"module", "Console"}, {"parent", kPort}}}}};
}

std::string Describe(TGuestKytHost& host) {
  std::string text = "kyt-host events:\n";
  for (const auto& event : host.Events()) {
    std::string line = host::DumpLine(event);
    text += line.substr(0, 300) + "\n";
  }
  return text + "guest: " + host.Machine().JobFile("host.err") + host.Machine().JobFile("stderr") +
         "\njob state: " + host.Machine().JobFile("state") +
         "\nQEMU: " + host.Machine().QemuState() + "\nQEMU trace:\n" + host.Machine().TraceLog() +
         "\nconsole:\n" + host.Machine().ConsoleLog();
}

auto StatusOf(int status) {
  return [status](const TJson& event) { return IsStatus(event, kPort, status); };
}

// Sends bytes through COMPort_SendText in calls small enough for one input line each.
void SendThroughModule(TGuestKytHost& host, const std::string& bytes) {
  constexpr size_t kPerCall = 256 * 1024;
  for (size_t at = 0; at < bytes.size(); at += kPerCall)
    host.Call("COMPort_SendText", {kPort, host::BytesToJson(bytes.substr(at, kPerCall))});
}

int CountAnswers(TGuestKytHost& host, const std::string& function, const std::string& kind) {
  const auto& events = host.Events();
  return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const TJson& event) {
    return event.value("event", "") == kind && event.value("call", "") == function;
  }));
}

void ExpectCleanEnd(TGuestKytHost& host) {
  TGuestResult result = host.Stop();
  ASSERT_TRUE(result.Finished) << result.Failure;
  EXPECT_EQ(result.Status, 0) << "kyt-host's exit status\n" << Describe(host);
}

class SerialPortOnAdapter : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(MachineAvailable(&why)) << why;
  }
};

// A mebibyte each way; sanitizer builds, there to find races and memory faults rather than lost
// bytes, move a smaller block (the mebibyte takes over four minutes under TSan).
constexpr size_t kBulk = kSlowdown > 1 ? 128 * 1024 : 1 << 20;

TEST_F(SerialPortOnAdapter, EveryByteValueAndAMebibyteCrossBothWays) {
  TGuestKytHost host({.Serial = true}, Config("ttyUSB0"));
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);
  const std::string inbound = AllByteValues() + SeededBlock(kBulk, 3);
  host.Machine().SerialLine().WriteAll(inbound);
  ASSERT_TRUE(host.WaitForConsoleData(kConsole, inbound.size(), Limit(240s)))
      << host.ConsoleData(kConsole).size() << " of " << inbound.size() << " bytes arrived";
  EXPECT_TRUE(host.ConsoleData(kConsole) == inbound) << "the bytes differ or are out of order";

  const std::string outbound = AllByteValues() + SeededBlock(kBulk, 4);
  SendThroughModule(host, outbound);
  const std::string arrived = host.Machine().SerialLine().Read(outbound.size(), Limit(240s));
  EXPECT_EQ(arrived.size(), outbound.size());
  EXPECT_TRUE(arrived == outbound) << "the bytes differ or are out of order";
  EXPECT_EQ(CountAnswers(host, "COMPort_SendText", "error"), 0) << Describe(host);

  host.Call("COMPort_GetDevices", {kPort});
  TJson devices = host.WaitForAnswer("COMPort_GetDevices", Limit(60s));
  ASSERT_EQ(devices.value("event", ""), "result") << devices.dump();
  // Without udevd there are no by-id links: the adapter is listed by its kernel name.
  EXPECT_NE(std::find(devices["value"].begin(), devices["value"].end(), "ttyUSB0"),
            devices["value"].end())
      << devices.dump();
  ExpectCleanEnd(host);
}

TEST_F(SerialPortOnAdapter, LineSettingsChangedWhileOpenReachTheAdapter) {
  TGuestKytHost host({.Serial = true, .Trace = {"usb_serial_set_*"}}, Config("ttyUSB0"));
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);
  // The chip's divisor makes 115200 into 3 MHz / 26.
  EXPECT_NE(host.Machine().TraceLog().find("baud rate 115384"), std::string::npos)
      << host.Machine().TraceLog();

  size_t before = host.Events().size();
  host.Call("COMPort_SetBaudRate", {kPort, "9600"});
  host.Call("COMPort_SetDataBits", {kPort, "7"});
  host.Call("COMPort_SetStopBits", {kPort, "2"});
  host.Call("COMPort_SetParity", {kPort, "even"});
  host.Call("KYT_ApplyChanges", {kPort});
  TJson applied = host.WaitForAnswer("KYT_ApplyChanges", Limit(120s), before);
  ASSERT_EQ(applied.value("event", ""), "result") << applied.dump() << Describe(host);
  EXPECT_GE(host.WaitForEvent(
                "summary",
                [](const TJson& event) {
                  return event.value("instance", 0) == kPort &&
                         event.value("text", "") == "ttyUSB0 9600,7,2,E";
                },
                Limit(30s), before),
            0)
      << Describe(host);
  std::string trace = host.Machine().TraceLog();
  EXPECT_NE(trace.find("baud rate 9600"), std::string::npos) << trace;
  EXPECT_NE(trace.find("parity E, data bits 7, stop bits 2"), std::string::npos) << trace;

  // Still open, still carrying data both ways, with no apply by hand.
  host.Machine().SerialLine().WriteAll("ping");
  EXPECT_TRUE(host.WaitForConsoleData(kConsole, 4, Limit(60s)));
  EXPECT_EQ(host.ConsoleData(kConsole), "ping");
  host.Call("COMPort_SendText", {kPort, "pong"});
  EXPECT_EQ(host.Machine().SerialLine().Read(4, Limit(60s)), "pong");
  ExpectCleanEnd(host);
}

auto ClosedLog() {
  return [](const TJson& event) { return IsLog(event, 10021, "SerialPort - Closed"); };
}

// Unplugs the adapter under the open port and waits for the one report of its loss; `whileOut`
// runs before it is plugged back. Then the port must carry data both ways again with no apply
// by hand.
void UnplugAndExpectResume(TGuestKytHost& host, const std::function<void()>& whileOut) {
  size_t before = host.Events().size();
  host.Machine().Unplug(kSerialDevice);
  ASSERT_GE(host.WaitForEvent("log", ClosedLog(), Limit(120s), before), 0) << Describe(host);
  EXPECT_GE(host.WaitForEvent("status", StatusOf(200), Limit(30s), before), 0) << Describe(host);
  whileOut();

  host.Machine().Plug(kSerialDevice);
  auto opening = [](const TJson& event) {
    return IsLog(event, 10021, "SerialPort - Opening... #1");
  };
  EXPECT_GE(host.WaitForEvent("log", opening, Limit(120s), before), 0) << Describe(host);
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(120s), before), 0) << Describe(host);

  host.Machine().SerialLine().WriteAll("after replug");
  EXPECT_TRUE(host.WaitForConsoleData(kConsole, 12, Limit(60s))) << Describe(host);
  EXPECT_EQ(host.ConsoleData(kConsole), "after replug");
  host.Call("COMPort_SendText", {kPort, "answer"});
  EXPECT_EQ(host.Machine().SerialLine().Read(6, Limit(60s)), "answer");

  const auto& events = host.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), ClosedLog()), 1) << Describe(host);
}

// By its by-id link, which follows the adapter wherever the kernel puts it.
TEST_F(SerialPortOnAdapter, UnpluggedWhileOpenClosesOnceIdlesAndReconnectsWhenBack) {
  TGuestKytHost host({.Serial = true, .Udev = true}, Config(kAdapterByIdPath));
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);
  host.Call("COMPort_GetDevices", {kPort});
  TJson devices = host.WaitForAnswer("COMPort_GetDevices", Limit(60s));
  EXPECT_NE(std::find(devices["value"].begin(), devices["value"].end(), kAdapterByIdPath),
            devices["value"].end())
      << devices.dump();

  UnplugAndExpectResume(host, [&] {
    // The lost port keeps reporting a hang-up on every poll; the process must not spin on it.
    TCpuSample first = host.SampleCpu();
    auto window = std::chrono::steady_clock::now() + 4s;
    while (std::chrono::steady_clock::now() < window) std::this_thread::sleep_for(100ms);
    TCpuSample second = host.SampleCpu();
    double share = (second.CpuSeconds - first.CpuSeconds) / (second.Uptime - first.Uptime);
    RecordProperty("cpu_share_unplugged", std::to_string(share));
    EXPECT_LT(share, 0.2) << "kyt-host used " << share * 100 << "% of a CPU while unplugged";
  });
  ExpectCleanEnd(host);
}

// By its plain kernel name: the module must let go of the dead port at once, or the kernel
// gives the adapter that comes back the next name and ttyUSB0 never returns.
TEST_F(SerialPortOnAdapter, UnpluggedUnderItsPlainNameComesBackUnderIt) {
  TGuestKytHost host({.Serial = true}, Config("ttyUSB0"));
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);
  UnplugAndExpectResume(host, [] {});
  ExpectCleanEnd(host);
}

}  // namespace
}  // namespace kyt::vm
