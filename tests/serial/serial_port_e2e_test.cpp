// The Serial Port in the built plug-in, run by kyt-host on a pseudo-terminal.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/serial/pty_pair.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
constexpr auto kLimit = std::chrono::seconds(30);

TEST(SerialPortEndToEndTest, ModulesListsTheSerialPortBeforeTheClientSocket) {
  TKytHost process({"--library", kPluginPath, "modules"});
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  std::vector<std::string> names;
  for (const TJson& m : process.Events("module")) names.push_back(m["name"]);
  const TJson comPort = {{"event", "module"},
                         {"name", "COMPort"},
                         {"module_id", "{6DC3D946-0D31-450F-A8C6-C42DB8D7D4F1}"},
                         {"display_name", "Serial Port"}};
  const auto modules = process.Events("module");
  EXPECT_NE(std::find(modules.begin(), modules.end(), comPort), modules.end());
  const auto at = [&](const std::string& n) { return std::find(names.begin(), names.end(), n); };
  EXPECT_LT(at("COMPort"), at("CSCK"));
}

TEST(SerialPortEndToEndTest, BytesTravelBetweenThePtyAndAConsoleBothWays) {
  test::PtyPair pty;
  TTempDir dir;
  const std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "COMPort", "settings": {"Open": true, "Port": ")" +
                                                          pty.SlavePath() +
                                                          R"("}},
      {"id": 11, "module": "Console", "parent": 10}]})");
  TKytHost process({"run", config});
  ASSERT_TRUE(process.WaitForEvent("status", [](const TJson& e) {
    return e["instance"] == 10 && e["status"] == 102;
  })) << process.Stderr();

  pty.Write(std::string("\x00\xff hi", 5));
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) {
    return e["instance"] == 11 && e["hex"] == "00ff206869";
  })) << process.Stderr();

  process.SendCall("COMPort_SendText", TJson::array({10, {{"hex", "00ff01"}}}));
  EXPECT_EQ(pty.Read(3), std::string("\x00\xff\x01", 3));
  EXPECT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "COMPort_SendText" && e["value"].is_null();
  }));

  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

TEST(SerialPortEndToEndTest, TheExampleConfigRunsWithOrWithoutItsAdapter) {
  TKytHost process({"run", KYT_SOURCE_DIR "/examples/serial.json", "--for", "0.5"});
  process.CloseStdin();
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  // Active where the adapter is plugged in, an error (and a retry later) where it is not.
  bool reported = false;
  for (const TJson& e : process.Events("status")) {
    if (e["instance"] == 20)
      reported = e["status"] == 102 || e["status"] == 200;
  }
  EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace kyt::test_support
