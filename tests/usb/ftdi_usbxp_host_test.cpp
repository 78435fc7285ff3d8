// The FTDI and USBXpress modules in the built plug-in, run by kyt-host on the vendor doubles.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "host/com_port_control.h"
#include "host/telnet_reader.h"
#include "platform/sockets.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"
#include "tests/usb/vendor_fake.h"

namespace kyt::test_support {
namespace {

using host::TJson;
constexpr auto kLimit = std::chrono::seconds(30);

// kyt-host inherits the environment: the doubles, and two echoing devices in each.
void UseDoubles() {
  setenv("KYT_FTD2XX_LIBRARY", test::FakeVendorLibrary("libftd2xx.so").c_str(), 1);
  setenv("KYT_SIUSBXP_LIBRARY", test::FakeVendorLibrary("libSiUSBXp.so").c_str(), 1);
  setenv("KYT_FAKE_DEVICES", "FT000001=FTDI test adapter;SI000001=USBXpress test device", 1);
}

TEST(VendorModulesEndToEndTest, BytesTravelThroughBothModulesToTheirConsoles) {
  UseDoubles();
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "FTDI", "settings": {"Open": true, "Port": "FT000001", "BaudRate": "115200"}},
      {"id": 11, "module": "Console", "parent": 10},
      {"id": 20, "module": "USBXp", "settings": {"Open": true, "Port": "SI000001", "Parity": "Even"}},
      {"id": 21, "module": "Console", "parent": 20}]})");
  TKytHost process({"run", config});
  for (int instance : {10, 20}) {
    ASSERT_TRUE(process.WaitForEvent("status", [&](const TJson& e) {
      return e["instance"] == instance && e["status"] == 102;
    })) << process.Stderr();
  }
  EXPECT_TRUE(process.WaitForEvent("summary", [](const TJson& e) {
    return e["instance"] == 10 && e["text"] == "FTDI test adapter (115200,8,0,N)";
  }));
  EXPECT_TRUE(process.WaitForEvent("summary", [](const TJson& e) {
    return e["instance"] == 20 && e["text"] == "USBXpress test device (19200,8,0,E)";
  }));

  // The devices echo what they are sent, so each Console gets the bytes back.
  process.SendCall("FTDI_SendText", TJson::array({10, {{"hex", "00ff41"}}}));
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) {
    return e["instance"] == 11 && e["hex"] == "00ff41";
  })) << process.Stderr();
  process.SendCall("USBXp_SendText", TJson::array({20, {{"hex", "0001fe"}}}));
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) {
    return e["instance"] == 21 && e["hex"] == "0001fe";
  })) << process.Stderr();

  process.SendCall("FTDI_GetDevices", TJson::array({10}));
  EXPECT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "FTDI_GetDevices" && e["value"].size() == 2 &&
           e["value"][0]["SerialNumber"] == "FT000001" && e["value"][0]["InUse"] == true;
  })) << process.Stderr();

  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

TEST(VendorModulesEndToEndTest, MissingLibrariesAreReportedAndNothingElseBreaks) {
  setenv("KYT_FTD2XX_LIBRARY", "/nonexistent/libftd2xx.so", 1);
  setenv("KYT_SIUSBXP_LIBRARY", "/nonexistent/libSiUSBXp.so", 1);
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "FTDI", "settings": {"Open": true, "Port": "FT000001"}},
      {"id": 20, "module": "USBXp"}]})");
  TKytHost process({"run", config});
  EXPECT_TRUE(process.WaitForEvent("log", [](const TJson& e) {
    return e["sender"] == 10 && e["code"] == 10024 && e["text"] == ">Failed loading FTDI DLL!";
  })) << process.Stderr();
  EXPECT_TRUE(process.WaitForEvent("log", [](const TJson& e) {
    return e["sender"] == 20 && e["code"] == 10024 && e["text"] == ">Failed loading USBXpress DLL!";
  }));
  process.SendCall("FTDI_SendText", TJson::array({10, "hi"}));
  EXPECT_TRUE(process.WaitForEvent("error", [](const TJson& e) {
    return e["message"] == "Cannot send Data when FTDI Port is not connected!";
  }));
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

// An RFC 2217 client on an FTDI adapter: the line settings its properties take are answered as
// taken, what they cannot take (1.5 stop bits, a rate beyond an Integer) with the value in force,
// DTR (which the module does not drive) as off; the echoed bytes come back with IAC doubled.
TEST(VendorModulesEndToEndTest, ComPortControlSetsAnFtdiAdaptersLine) {
  using namespace host::telnet;
  UseDoubles();
  uint16_t port = 0;
  {
    net::Socket probe = net::Listen(0, "127.0.0.1");
    port = net::LocalPort(probe);
  }
  TTempDir dir;
  TKytHost process({"run", dir.Write("config.json", fmt::format(R"({{"instances": [
      {{"id": 10, "module": "FTDI", "settings": {{"Open": true, "Port": "FT000001"}}}},
      {{"id": 20, "module": "SSCK", "settings": {{"Open": true, "Port": {}}}}},
      {{"id": 21, "module": "ComPortControl", "parent": 20, "settings": {{"Target": 10}}}},
      {{"id": 11, "module": "Bridge", "parent": 10, "settings": {{"Target": 21}}}}]}})",
                                                                port))});
  process.SendCall("FTDI_GetOpen", TJson::array({10}));
  ASSERT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "FTDI_GetOpen";
  })) << process.Stderr();
  net::Socket client = net::Connect(net::Resolve("127.0.0.1", port), kLimit);
  const auto command = [](int code, std::string value) {
    return Subnegotiation(COM_PORT_OPTION, std::string(1, static_cast<char>(code)) + value);
  };
  const std::string request = Negotiation(WILL, COM_PORT_OPTION) +
                              command(1, std::string("\0\0\xE1\0", 4)) + command(4, "\x03") +
                              command(2, "\x07") + command(1, std::string("\xEE\x6B\x28\x00", 4)) +
                              command(5, "\x08") + Escape(std::string("a\xFF", 2));
  net::SendAll(client, request);
  TReader reader;
  std::vector<TEvent> events;
  std::string data, answers;
  char buffer[4096];
  const auto until = std::chrono::steady_clock::now() + kLimit;
  while ((data.size() < 2 || answers.size() < 5) && std::chrono::steady_clock::now() < until) {
    if (net::WaitReadable(client, kLimit) != net::WaitResult::Ready)
      break;
    const std::size_t n = net::Receive(client, buffer);
    if (n == 0)
      break;
    reader.Feed({buffer, n}, events);
    for (TEvent& e : events) {
      if (e.Kind == TEvent::TKind::Data)
        data += e.Bytes;
      else if (e.Kind == TEvent::TKind::Subnegotiation && e.Bytes.size() > 1 &&
               e.Bytes[0] != '\x6B')  // NOTIFY-MODEMSTATE
        answers += fmt::format("{} {:02x}{} ", int(e.Bytes[0]), static_cast<uint8_t>(e.Bytes[1]),
                               e.Bytes.size() > 2 ? "..." : "");
    }
    events.clear();
  }
  EXPECT_EQ(data, std::string("a\xFF", 2));
  // 105 (control) comes first, the line answers after the apply.
  EXPECT_EQ(answers, "105 09 101 00... 104 01 102 07 101 00... ");
  process.SendCall("FTDI_GetBaudRate", TJson::array({10}));
  EXPECT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "FTDI_GetBaudRate" && e["value"] == "57600";
  }));
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

}  // namespace
}  // namespace kyt::test_support
