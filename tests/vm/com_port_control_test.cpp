// The shipped RFC 2217 gateway (examples/rfc2217-gateway.json) in kyt-host inside the test
// machine, on the emulated FTDI adapter with the kernel's ftdi_sio, and pyserial's rfc2217://
// client running beside it in the guest: what the client asks for must reach the guest's tty and
// the chip, and every byte value must cross both ways.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/vm/guest_kyt_host.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;
using host::TJson;

constexpr int kPort = 10;    // the example's COMPort
constexpr int kServer = 20;  // and its Server Socket
constexpr int kListen = 47040;

TJson ExampleOnTheAdapter() {
  std::ifstream in(std::string(KYT_SOURCE_DIR) + "/examples/rfc2217-gateway.json");
  std::stringstream text;
  text << in.rdbuf();
  TJson config = TJson::parse(text.str());
  for (TJson& instance : config["instances"]) {
    if (instance["id"] == kPort)
      instance["settings"]["Port"] = "ttyUSB0";
  }
  return config;
}

// pyserial's client, fed its commands through a file the guest follows.
const std::string kClient = std::string(R"(/usr/sbin/ip link set lo up
: > client.in
tail ---disable-inotify -f -s 0.1 client.in | /usr/bin/python3 -u )") +
                            KYT_SOURCE_DIR +
                            "/tests/network/pyserial_rfc2217_client.py > client.out 2> "
                            "client.err &\n";

// One command to the client and its one-line answer.
std::string Ask(TGuestKytHost& host, const std::string& command) {
  auto lines = [&] {
    std::string out = host.Machine().JobFile("client.out");
    return std::count(out.begin(), out.end(), '\n');
  };
  const auto before = lines();
  host.Machine().AppendJobFile("client.in", command + "\n");
  const auto deadline = std::chrono::steady_clock::now() + Limit(60s);
  while (lines() == before) {
    if (std::chrono::steady_clock::now() > deadline || host.Machine().QemuEnded())
      return "(no answer; client: " + host.Machine().JobFile("client.err") + ")";
    std::this_thread::sleep_for(50ms);
  }
  std::string out = host.Machine().JobFile("client.out");
  out.pop_back();
  return out.substr(out.rfind('\n') + 1);
}

std::string Hex(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) text += fmt::format("{:02x}", c);
  return text;
}

std::string TestBytes() {
  std::string bytes;
  for (int i = 0; i < 4096 + 256; ++i) bytes += static_cast<char>(i * 7 + i / 256);
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(0xFF);  // IAC, which Telnet doubles
  return bytes;
}

std::string Describe(TGuestKytHost& host) {
  std::string text = "kyt-host events:\n";
  for (const auto& event : host.Events()) text += host::DumpLine(event).substr(0, 300) + "\n";
  return text + "client: " + host.Machine().JobFile("client.err") +
         "\nguest: " + host.Machine().JobFile("host.err") + host.Machine().JobFile("stderr") +
         "\nQEMU: " + host.Machine().QemuState();
}

TEST(ComPortControlOnAdapter, PyserialSetsTheAdaptersLineAndMovesEveryByteValue) {
  std::string why;
  ASSERT_TRUE(MachineAvailable(&why)) << why;
  TGuestKytHost host({.Serial = true, .Trace = {"usb_serial_set_*", "usb_serial_handle_control"}},
                     ExampleOnTheAdapter(), kClient);
  for (int instance : {kPort, kServer}) {
    ASSERT_GE(host.WaitForEvent(
                  "status", [&](const TJson& event) { return IsStatus(event, instance, 102); },
                  Limit(240s)),
              0)
        << Describe(host);
  }
  ASSERT_EQ(Ask(host, fmt::format("open rfc2217://127.0.0.1:{} 9600 8 N 1", kListen)), "ok")
      << Describe(host);

  // What the client asks for, as the guest's tty shows it and as QEMU's chip was told.
  struct TCase {
    const char* Settings;
    const char* Tty;
    const char* ChipRate;
    const char* ChipFraming;
  };
  const TCase cases[] = {
      {"19200 7 E 2", "tty 19200 7 E 2", "baud rate 19200", "parity E, data bits 7, stop bits 2"},
      {"115200 8 O 1", "tty 115200 8 O 1", "baud rate 115384",
       "parity O, data bits 8, stop bits 1"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Settings);
    ASSERT_EQ(Ask(host, fmt::format("set {}", c.Settings)), "ok") << Describe(host);
    EXPECT_EQ(Ask(host, "tty /dev/ttyUSB0"), c.Tty);
    const std::string trace = host.Machine().TraceLog();
    EXPECT_NE(trace.find(c.ChipRate), std::string::npos) << trace;
    EXPECT_NE(trace.find(c.ChipFraming), std::string::npos) << trace;
  }
  // The modem lines as QEMU's chip was told them (FTDI's SET_MODEM_CTRL: mask << 8 | value).
  const struct {
    const char* Command;
    const char* Request;
  } lines[] = {{"dtr 0", "value 0x100"},
               {"rts 1", "value 0x202"},
               {"dtr 1", "value 0x101"},
               {"rts 0", "value 0x200"}};
  for (const auto& line : lines) {
    const size_t before = host.Machine().TraceLog().size();
    ASSERT_EQ(Ask(host, line.Command), "ok");
    const std::string told = host.Machine().TraceLog().substr(before);
    EXPECT_NE(told.find(std::string("got control 0x4001, ") + line.Request), std::string::npos)
        << line.Command << ": " << told;
  }
  EXPECT_EQ(Ask(host, "break"), "ok");

  const std::string bytes = TestBytes();
  ASSERT_EQ(Ask(host, "write " + Hex(bytes)), "ok");
  const std::string arrived = host.Machine().SerialLine().Read(bytes.size(), Limit(60s));
  EXPECT_EQ(Hex(arrived), Hex(bytes)) << "client to line";
  host.Machine().SerialLine().WriteAll(bytes);
  EXPECT_EQ(Ask(host, fmt::format("read {}", bytes.size())), "data " + Hex(bytes))
      << "line to client";

  // The modem inputs the chip reports (QEMU's, without a real line behind it, has CTS, DSR and
  // CD up) reach the client as the guest's tty has them.
  EXPECT_EQ(Ask(host, "inputs /dev/ttyUSB0"), "inputs 1 1 0 1");
  EXPECT_EQ(Ask(host, "modem"), "modem 1 1 0 1");

  EXPECT_EQ(Ask(host, "close"), "ok");
  TGuestResult result = host.Stop();
  ASSERT_TRUE(result.Finished) << result.Failure;
  EXPECT_EQ(result.Status, 0) << Describe(host);
}

}  // namespace
}  // namespace kyt::vm
