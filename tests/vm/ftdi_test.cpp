// The FTDI module ("FTDI") in kyt-host inside the test machine, on the emulated FT232 through our
// D2XX library (libkyt_ftd2xx.so on libftdi1, which the module takes as FTDI's is not
// installed): data both ways, line settings reaching the chip, ftdi_sio taken and given back,
// and the adapter unplugged under the open device and plugged back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/usb/d2xx_promises.h"
#include "tests/vm/byte_blocks.h"
#include "tests/vm/guest_kyt_host.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;
using host::TJson;

constexpr int kFtdi = 30;
constexpr int kConsole = 31;
constexpr int kPorts = 32;  // a closed COMPort, for its list of ftdi_sio's ports

TJson Config() {
  return {{"instances",
           {{{"id", kFtdi},
             {"module", "FTDI"},
             {"settings",
              {{"Open", true},
               {"Port", kAdapterSerialNumber},
               {"BaudRate", "115200"},
               {"DataBits", "8"},
               {"StopBits", "1"},
               {"Parity", "None"}}}},
            {{"id", kConsole}, {"module", "Console"}, {"parent", kFtdi}},
            {{"id", kPorts}, {"module", "COMPort"}, {"settings", {{"Open", false}}}}}}};
}

std::string Describe(TGuestKytHost& host) {
  std::string text = "kyt-host events:\n";
  const auto& events = host.Events();
  // The data events of a mebibyte would drown the rest.
  for (const auto& event : events) {
    if (event.value("event", "") != "data")
      text += host::DumpLine(event).substr(0, 300) + "\n";
  }
  return text + "guest: " + host.Machine().JobFile("host.err") + host.Machine().JobFile("stderr") +
         "\nQEMU: " + host.Machine().QemuState() + "\nconsole:\n" + host.Machine().ConsoleLog();
}

auto StatusOf(int status) {
  return [status](const TJson& event) { return IsStatus(event, kFtdi, status); };
}

int CountAnswers(TGuestKytHost& host, const std::string& function, const std::string& kind) {
  const auto& events = host.Events();
  return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const TJson& event) {
    return event.value("event", "") == kind && event.value("call", "") == function;
  }));
}

// Whether ftdi_sio serves the adapter: its port is in the COMPort's list.
bool KernelHasThePort(TGuestKytHost& host) {
  size_t before = host.Events().size();
  host.Call("COMPort_GetDevices", {kPorts});
  TJson devices = host.WaitForAnswer("COMPort_GetDevices", Limit(60s), before);
  const TJson& list = devices["value"];
  return list.is_array() && std::find(list.begin(), list.end(), "ttyUSB0") != list.end();
}

bool WaitForKernelPort(TGuestKytHost& host, bool present) {
  auto deadline = std::chrono::steady_clock::now() + Limit(30s);
  while (KernelHasThePort(host) != present) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(200ms);
  }
  return true;
}

// Blocks small enough that each goes out within the module's write time-out (1 s).
void SendThroughModule(TGuestKytHost& host, const std::string& bytes) {
  constexpr size_t kPerCall = 4096;
  for (size_t at = 0; at < bytes.size(); at += kPerCall)
    host.Call("FTDI_SendText", {kFtdi, host::BytesToJson(bytes.substr(at, kPerCall))});
}

void ExpectCleanEnd(TGuestKytHost& host) {
  TGuestResult result = host.Stop();
  ASSERT_TRUE(result.Finished) << result.Failure;
  EXPECT_EQ(result.Status, 0) << "kyt-host's exit status\n" << Describe(host);
}

bool HasSummary(TGuestKytHost& host, const std::string& text, size_t from) {
  return host.WaitForEvent(
             "summary",
             [&](const TJson& event) {
               return event.value("instance", 0) == kFtdi && event.value("text", "") == text;
             },
             Limit(30s), from) >= 0;
}

class FtdiOnAdapter : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(MachineAvailable(&why)) << why;
#ifdef KYT_VM_NO_D2XX_PROVIDER
    GTEST_SKIP() << "built without libftdi1: no libkyt_ftd2xx.so (scripts/install-deps)";
#endif
  }
};

constexpr size_t kBulk = kSlowdown > 1 ? 128 * 1024 : 1 << 20;

TEST_F(FtdiOnAdapter, OpensThroughOurD2XXCarriesAMebibyteBothWaysAndSetsTheLine) {
  TGuestKytHost host({.Serial = true, .Trace = {"usb_serial_set_*"}}, Config());
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);
  EXPECT_TRUE(HasSummary(host, "QEMU USB SERIAL (115200,8,0,N)", 0)) << Describe(host);
  // The open device is ours alone: ftdi_sio has let go of it.
  EXPECT_TRUE(WaitForKernelPort(host, false)) << Describe(host);

  const auto inStart = std::chrono::steady_clock::now();
  const std::string inbound = AllByteValues() + SeededBlock(kBulk, 5);
  host.Machine().SerialLine().WriteAll(inbound);
  ASSERT_TRUE(host.WaitForConsoleData(kConsole, inbound.size(), Limit(300s)))
      << host.ConsoleData(kConsole).size() << " of " << inbound.size() << " bytes arrived\n"
      << Describe(host);
  RecordProperty(
      "inbound_seconds",
      std::to_string(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - inStart).count()));
  EXPECT_TRUE(host.ConsoleData(kConsole) == inbound) << "the bytes differ or are out of order";

  const auto outStart = std::chrono::steady_clock::now();
  const std::string outbound = AllByteValues() + SeededBlock(kBulk, 6);
  SendThroughModule(host, outbound);
  const std::string arrived = host.Machine().SerialLine().Read(outbound.size(), Limit(300s));
  RecordProperty(
      "outbound_seconds",
      std::to_string(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - outStart).count()));
  EXPECT_EQ(arrived.size(), outbound.size());
  EXPECT_TRUE(arrived == outbound) << "the bytes differ or are out of order";
  EXPECT_EQ(CountAnswers(host, "FTDI_SendText", "error"), 0) << Describe(host);

  // The chip's divisor makes 115200 into 3 MHz / 26.
  EXPECT_NE(host.Machine().TraceLog().find("baud rate 115384"), std::string::npos)
      << host.Machine().TraceLog();
  size_t before = host.Events().size();
  host.Call("FTDI_SetBaudRate", {kFtdi, "9600"});
  host.Call("FTDI_SetDataBits", {kFtdi, "7"});
  host.Call("FTDI_SetStopBits", {kFtdi, "2"});
  host.Call("FTDI_SetParity", {kFtdi, "even"});
  host.Call("KYT_ApplyChanges", {kFtdi});
  TJson applied = host.WaitForAnswer("KYT_ApplyChanges", Limit(120s), before);
  ASSERT_EQ(applied.value("event", ""), "result") << applied.dump() << Describe(host);
  EXPECT_TRUE(HasSummary(host, "QEMU USB SERIAL (9600,7,2,E)", before)) << Describe(host);
  std::string trace = host.Machine().TraceLog();
  EXPECT_NE(trace.find("baud rate 9600"), std::string::npos) << trace;
  EXPECT_NE(trace.find("parity E, data bits 7, stop bits 2"), std::string::npos) << trace;
  host.Machine().SerialLine().WriteAll("ping");
  EXPECT_TRUE(host.WaitForConsoleData(kConsole, inbound.size() + 4, Limit(60s)));
  host.Call("FTDI_SendText", {kFtdi, "pong"});
  EXPECT_EQ(host.Machine().SerialLine().Read(4, Limit(60s)), "pong");

  // Closed, the adapter goes back to ftdi_sio.
  before = host.Events().size();
  host.Call("FTDI_SetOpen", {kFtdi, false});
  host.Call("KYT_ApplyChanges", {kFtdi});
  EXPECT_GE(host.WaitForEvent("status", StatusOf(104), Limit(60s), before), 0) << Describe(host);
  EXPECT_TRUE(WaitForKernelPort(host, true)) << Describe(host);
  ExpectCleanEnd(host);
}

auto ClosedLog() {
  return [](const TJson& event) { return IsLog(event, 10021, "FTDI - Closed"); };
}

TEST_F(FtdiOnAdapter, UnpluggedWhileOpenFailsTheNextWriteAndReopensWhenBack) {
  TGuestKytHost host({.Serial = true}, Config());
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(240s)), 0) << Describe(host);

  size_t before = host.Events().size();
  host.Machine().Unplug(kSerialDevice);
  // As with FTDI's library, the loss shows at the next write. The call only queues it; the
  // device's writer meets the failure and logs it.
  host.Call("FTDI_SendText", {kFtdi, "into the void"});
  ASSERT_GE(host.WaitForEvent("log", ClosedLog(), Limit(60s), before), 0) << Describe(host);
  EXPECT_GE(host.WaitForEvent("status", StatusOf(200), Limit(30s), before), 0) << Describe(host);

  host.Machine().Plug(kSerialDevice);
  auto opening = [](const TJson& event) {
    return event.value("code", 0) == 10021 &&
           event.value("text", "").rfind("FTDI - Opening... #", 0) == 0;
  };
  EXPECT_GE(host.WaitForEvent("log", opening, Limit(120s), before), 0) << Describe(host);
  ASSERT_GE(host.WaitForEvent("status", StatusOf(102), Limit(120s), before), 0) << Describe(host);

  host.Machine().SerialLine().WriteAll("after replug");
  EXPECT_TRUE(host.WaitForConsoleData(kConsole, 12, Limit(60s))) << Describe(host);
  EXPECT_EQ(host.ConsoleData(kConsole), "after replug");
  host.Call("FTDI_SendText", {kFtdi, "answer"});
  EXPECT_EQ(host.Machine().SerialLine().Read(6, Limit(60s)), "answer");
  const auto& events = host.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), ClosedLog()), 1) << Describe(host);
  ExpectCleanEnd(host);
}

// Serves the probe's requests for the line's far end until the job ends.
void PlayFarEnd(TTestMachine& machine) {
  for (int n = 1; !machine.Finished() && !machine.QemuEnded();) {
    const std::string request = machine.JobFile("req-" + std::to_string(n));
    if (request.empty()) {
      std::this_thread::sleep_for(20ms);
      continue;
    }
    std::string answer = "done";
    if (request.rfind("send ", 0) == 0) {
      std::string bytes;
      for (size_t at = 5; at + 1 < request.size(); at += 3)
        bytes += static_cast<char>(std::stoi(request.substr(at, 2), nullptr, 16));
      machine.SerialLine().WriteAll(bytes);
    } else {
      const std::string got = machine.SerialLine().Read(std::stoul(request.substr(8)), Limit(60s));
      answer.clear();
      char hex[4];
      for (unsigned char c : got) {
        std::snprintf(hex, sizeof hex, answer.empty() ? "%02x" : " %02x", c);
        answer += hex;
      }
    }
    machine.AppendJobFile("resp-" + std::to_string(n), answer + "\n");
    ++n;
  }
}

// The same sequence runs against the double in tests/usb/d2xx_promises_test.cpp.
TEST_F(FtdiOnAdapter, D2XXPromisesHoldOnTheChip) {
  TTestMachine machine({.Serial = true,
                        .Job = std::string(KYT_VM_PROBE) + " d2xx-promises " + KYT_BUILD_DIR +
                               "/libkyt_ftd2xx.so " + kAdapterSerialNumber + "\n"});
  PlayFarEnd(machine);
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << result.Failure << "\n" << result.Console;
  test::TD2XXResults seen;
  std::istringstream lines(result.Stdout);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && line.rfind("ftdi_sio", 0) != 0)
      seen.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  EXPECT_EQ(seen, test::kD2XXPromises) << result.Stdout << result.Stderr;
  EXPECT_NE(result.Stdout.find("ftdi_sio_after_close=yes"), std::string::npos) << result.Stdout;
  EXPECT_EQ(result.Status, 0) << result.Stdout << result.Stderr;
}

}  // namespace
}  // namespace kyt::vm
