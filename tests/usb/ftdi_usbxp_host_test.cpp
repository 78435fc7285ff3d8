// The FTDI and USBXpress modules in the built plug-in, run by kyt-host on the vendor doubles.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

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

}  // namespace
}  // namespace kyt::test_support
