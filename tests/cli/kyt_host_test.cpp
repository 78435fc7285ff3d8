// kyt-host end to end: the built command with the built plug-in, driven through its standard
// streams and signals.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <csignal>
#include <string_view>

#include "platform/sockets.h"

#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;

constexpr auto kLimit = std::chrono::seconds(30);
const std::string kEmptyConfig = KYT_SOURCE_DIR "/examples/empty.json";

std::vector<std::string> LibraryLog(const TKytHost& process) {
  std::vector<std::string> texts;
  for (const auto& event : process.Events("log")) {
    if (event["sender"] == 0 && event["name"] == "I/O Library")
      texts.push_back(event["text"]);
  }
  return texts;
}

// Every class of the plug-in, in the order of its table, with the identity stored
// configurations name it by.
TEST(KytHostTest, ModulesListsThePluginsClasses) {
  TKytHost process({"--library", kPluginPath, "modules"});
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  const char* const kClasses[][3] = {
      {"WWWReader", "{4CB91589-CE01-4700-906F-26320EFCF6C4}", "WWW Reader"},
      {"COMPort", "{6DC3D946-0D31-450F-A8C6-C42DB8D7D4F1}", "Serial Port"},
      {"CSCK", "{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3}", "Client Socket"},
      {"SSCK", "{8062CF2B-600E-41D6-AD4B-1BA66C32D6ED}", "Server Socket"},
      {"HID", "{E6D7692A-7F4C-441D-827B-64062CFE1C02}", "HID"},
      {"FTDI", "{C1D478E9-2A3E-4344-BCC4-37C892F58751}", "FTDI"},
      {"USBXp", "{BFC698E9-1F43-45CD-BD79-47EA79CE21AD}", "SI USBXpress"}};
  std::vector<TJson> expected;
  for (const auto& [name, id, display] : kClasses) {
    expected.push_back(
        {{"event", "module"}, {"name", name}, {"module_id", id}, {"display_name", display}});
  }
  EXPECT_EQ(process.Events(), expected);
}

TEST(KytHostTest, RunningAnEmptyConfigRegistersAndUnregistersTheLibrary) {
  TKytHost process({"run", kEmptyConfig, "--for", "1"});
  process.CloseStdin();
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  EXPECT_EQ(LibraryLog(process), (std::vector<std::string>{"Register", "Unregister"}));
}

TEST(KytHostTest, CallsAreAnsweredInOrderAndMalformedLinesGetAnError) {
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "Bridge", "settings": {"Target": 12}},
      {"id": 11, "module": "Console"},
      {"id": 12, "module": "CSCK"}]})");
  TKytHost process({"run", config});
  process.WriteStdin("this is no json\n");
  process.SendCall("KYT_HasChanges", TJson::array({10}));
  process.SendCall("KYT_GetStatusVariableIDs", TJson::array({11}));
  process.SendCall("KYT_Nope", TJson::array({99}));
  ASSERT_TRUE(process.WaitForEvent("error", [](const TJson& e) { return e["call"] == "KYT_Nope"; }))
      << process.Stderr();
  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();

  std::vector<TJson> answers;
  for (const auto& event : process.Events()) {
    if (event["event"] == "result" || event["event"] == "error")
      answers.push_back(event);
  }
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0]["event"], "error");
  EXPECT_TRUE(answers[0]["call"].is_null());
  EXPECT_EQ(answers[1], TJson({{"event", "result"}, {"call", "KYT_HasChanges"}, {"value", false}}));
  EXPECT_EQ(answers[2]["value"], TJson::array());
  EXPECT_EQ(answers[3]["message"], "KYT_Nope: instance #99 does not exist");
}

TEST(KytHostTest, SigtermStopsItCleanlyAndTheSettingsAreSaved) {
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 20, "module": "Console", "parent": 10},
      {"id": 10, "module": "Bridge", "settings": {"Target": 30}},
      {"id": 30, "module": "CSCK"}]})");
  TKytHost process({"--settings", dir.File("settings.json"), "run", config});
  // The Console is made last (after its parent); a stop before it would leave it out.
  ASSERT_TRUE(process.WaitForEvent("log", [](const TJson& e) { return e["sender"] == 20; }))
      << process.Stderr();
  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  EXPECT_EQ(LibraryLog(process).back(), "Unregister");
  // Children go first: the Console (20) below the Bridge (10) logs its deletion first.
  std::vector<int> deleted;
  for (const auto& event : process.Events("log")) {
    if (event["text"] == "Deleting..." && event["sender"] != 30)  // the target, on its own
      deleted.push_back(event["sender"]);
  }
  EXPECT_EQ(deleted, (std::vector<int>{20, 10}));
  TJson saved = TJson::parse(dir.Read("settings.json"));
  EXPECT_EQ(saved["values"][0], TJson({{"instance", 10},
                                       {"path", {"Settings"}},
                                       {"name", "Target"},
                                       {"type", "integer"},
                                       {"value", 30}}));
}

TEST(KytHostTest, AStalledFetchHoldsUpNeitherDataNorTheStop) {
  // A web server that sends a status line and then nothing, and a peer for a Client Socket.
  const net::Socket web = net::Listen(0, "127.0.0.1");
  const net::Socket peer = net::Listen(0, "127.0.0.1");
  TTempDir dir;
  std::string config = dir.Write("config.json", fmt::format(R"({{"instances": [
      {{"id": 10, "module": "WWWReader"}},
      {{"id": 11, "module": "CSCK", "settings": {{"Open": true, "Host": "127.0.0.1", "Port": {}}}}},
      {{"id": 12, "module": "Console", "parent": 11}}]}})",
                                                            net::LocalPort(peer)));
  TKytHost process({"run", config});
  const net::Socket connection = net::Accept(peer, kLimit);
  ASSERT_TRUE(connection) << process.Stderr();
  process.SendCall("WWWReader_RetrievePage",
                   TJson::array({10, fmt::format("http://127.0.0.1:{}/", net::LocalPort(web))}));
  const net::Socket fetch = net::Accept(web, kLimit);
  ASSERT_TRUE(fetch) << process.Stderr();
  net::SendAll(fetch, std::string_view("HTTP/1.1 200 OK\r\n"));

  net::SendAll(connection, std::string_view("while the page trickles"));
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) { return e["instance"] == 12; }))
      << process.Stderr();
  const auto stopped = std::chrono::steady_clock::now();
  process.Signal(SIGINT);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  // The fetch is cancelled, not waited out (its read time-out is 10 s).
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
}

TEST(KytHostTest, ConfigAndPluginErrorsExitWithCode2) {
  TTempDir dir;
  TKytHost badConfig({"run", dir.Write("bad.json", R"({"instances": [{"id": 1}]})")});
  EXPECT_EQ(badConfig.Wait(kLimit), 2);
  EXPECT_NE(badConfig.Stderr().find("\"module\" is missing"), std::string::npos);

  TKytHost unknownModule(
      {"run", dir.Write("unknown.json", R"({"instances": [{"id": 1, "module": "Nope"}]})")});
  EXPECT_EQ(unknownModule.Wait(kLimit), 2);
  EXPECT_NE(unknownModule.Stderr().find("Nope"), std::string::npos);

  TKytHost badPlugin({"--library", dir.Write("fake.so", "no ELF"), "run", kEmptyConfig});
  EXPECT_EQ(badPlugin.Wait(kLimit), 2);
  EXPECT_NE(badPlugin.Stderr().find("fake.so"), std::string::npos);
}

}  // namespace
}  // namespace kyt::test_support
