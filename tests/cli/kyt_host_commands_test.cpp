// kyt-host's check, devices and doctor commands, the warnings of run, and its answers to bad
// input: the built command with the built plug-in.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;

constexpr auto kLimit = std::chrono::seconds(60);
const std::string kExamples = KYT_SOURCE_DIR "/examples";
const std::string kFakeVendor = KYT_BUILD_DIR "/tests/fakes/vendor";

// Sets environment variables for the commands started meanwhile (none: unset), and puts the
// old values back.
class TScopedEnvironment {
 public:
  TScopedEnvironment(std::map<std::string, std::optional<std::string>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      Set(name, value);
    }
  }
  ~TScopedEnvironment() {
    for (const auto& [name, value] : saved_) Set(name, value);
  }

 private:
  static void Set(const std::string& name, const std::optional<std::string>& value) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

std::vector<TJson> RunToEnd(const std::vector<std::string>& args, int expectedExit) {
  TKytHost process(args);
  process.CloseStdin();
  EXPECT_EQ(process.Wait(kLimit), expectedExit) << process.Stderr();
  return process.Events();
}

TEST(KytHostCheckTest, FindsEveryKindOfFaultOnceAndNothingElse) {
  TTempDir dir;
  std::string config = dir.Write("faults.json", R"({"instances": [
      {"id": 10, "module": "SSCK", "settings": {"Open": true, "Port": "47100", "Limt": 2}},
      {"id": 11, "module": "ssck", "settings": {"Open": "yes", "Port": 70000}},
      {"id": 12, "module": "Bridge", "settings": {"Target": 12}},
      {"id": 13, "module": "Bridge", "settings": {"Target": 14}},
      {"id": 14, "module": "Console"},
      {"id": 15, "module": "Bridge"},
      {"id": 16, "module": "Bridge", "settings": {"Target": 99}},
      {"id": 17, "module": "Bridge", "settings": {"Target": 18}},
      {"id": 18, "module": "CSCK", "settings": {"Host": "127.0.0.1", "Port": 7000.5}},
      {"id": 20, "module": "COMPort", "settings": {"Port": "/tmp/none", "BaudRate": "11520",
                                                  "Parity": "even", "Data": 8}},
      {"id": 30, "module": "FTDI", "settings": {"Parity": "x", "BaudRate": "9600"}},
      {"id": 40, "module": "MQTT", "parent": 18, "settings": {"Port": "1883", "QoS": 2,
                                                             "KeepAlive": 0, "Topic": "x"}},
      {"id": 21, "module": "Consol"}]})");
  using TFinding = std::tuple<int, std::string, std::string, std::string>;
  // instance, setting, problem, a part of what is expected
  const std::vector<TFinding> expected = {
      {10, "Port", "wrong type", "an Integer: 47100 without the quotes"},
      {10, "Limt", "unknown setting", "nearest Limit"},
      {11, "Open", "wrong type", "true without the quotes"},
      {11, "Port", "bad value", "1 to 65535"},
      {12, "Target", "bad value", "not the Bridge itself"},
      {13, "Target", "bad value", "#14 is a Console"},
      {15, "Target", "missing", "takes data"},
      {16, "Target", "bad value", "#99 is not configured"},
      {18, "Port", "wrong type", "an Integer"},
      {20, "Data", "unknown setting", "nearest DataBits"},
      {20, "BaudRate", "bad value", "default \"9600\""},
      {30, "Parity", "refused", "Invalid Parity Value"},
      {40, "Port", "wrong type", "an Integer: 1883 without the quotes"},
      {40, "Topic", "unknown setting", "nearest TxTopic"},
      {40, "QoS", "bad value", "0 to 1"},
      {40, "KeepAlive", "bad value", "5 to 65535"},
      {21, "", "unknown module", "nearest Console"},
  };
  std::vector<TJson> lines = RunToEnd({"--library", kPluginPath, "check", config}, 2);
  std::vector<TFinding> found;
  for (const auto& line : lines) {
    ASSERT_EQ(line["event"], "warning") << line.dump();
    std::string setting = line["setting"].is_null() ? "" : line["setting"].get<std::string>();
    found.emplace_back(line["instance"], setting, line["problem"], line["expected"]);
  }
  ASSERT_EQ(found.size(), expected.size()) << TJson(lines).dump(1);
  for (size_t i = 0; i < expected.size(); ++i) {
    auto [instance, setting, problem, part] = expected[i];
    EXPECT_EQ(std::get<0>(found[i]), instance) << i;
    EXPECT_EQ(std::get<1>(found[i]), setting) << i;
    EXPECT_EQ(std::get<2>(found[i]), problem) << i;
    EXPECT_NE(std::get<3>(found[i]).find(part), std::string::npos) << std::get<3>(found[i]);
  }
  EXPECT_EQ(lines[0]["given"], "47100");
}

TEST(KytHostCheckTest, TheShippedExamplesAreClean) {
  for (const auto& entry : std::filesystem::directory_iterator(kExamples)) {
    SCOPED_TRACE(entry.path().string());
    EXPECT_EQ(RunToEnd({"--library", kPluginPath, "check", entry.path().string()}, 0),
              std::vector<TJson>{});
  }
}

TEST(KytHostCheckTest, RunWarnsBeforeLeavingTheInstanceOut) {
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "SSCK", "settings": {"Open": false, "Port": "47100"}}]})");
  std::vector<TJson> events = RunToEnd({"run", config, "--for", "0"}, 3);
  auto first = [&](const std::string& kind) {
    return std::find_if(events.begin(), events.end(),
                        [&](const TJson& e) { return e["event"] == kind; });
  };
  ASSERT_NE(first("warning"), events.end());
  EXPECT_EQ((*first("warning"))["setting"], "Port");
  auto created = std::find_if(events.begin(), events.end(), [](const TJson& e) {
    return e["event"] == "log" && e["name"] == "kyt-host" && e["sender"] == 10 &&
           e["text"].get<std::string>().starts_with("Not created");
  });
  ASSERT_NE(created, events.end());
  EXPECT_LT(first("warning"), created);
}

TEST(KytHostInputTest, BadFilesFailAtOnceWithAClearLine) {
  TTempDir dir;
  const std::string empty = kExamples + "/empty.json";
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::vector<TCase> cases = {
      {{"--settings", "/dev/zero", "run", empty}, "/dev/zero: is not a regular file"},
      {{"--settings", dir.Path(), "run", empty}, dir.Path() + ": is a directory"},
      {{"--settings", dir.File("none/settings.json"), "run", empty}, "does not exist"},
      {{"run", "/dev/zero"}, "/dev/zero: is not a regular file"},
      {{"check", dir.Path()}, ": is a directory"},
  };
  for (const auto& test : cases) {
    TKytHost process(test.Args);
    process.CloseStdin();
    EXPECT_EQ(process.Wait(kLimit), 2) << test.Says;
    EXPECT_NE(process.Stderr().find(test.Says), std::string::npos) << process.Stderr();
    EXPECT_TRUE(process.Lines().empty()) << test.Says;
  }
}

TEST(KytHostInputTest, CallsOfAnotherModuleOrNoFunctionSayWhy) {
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "CSCK"}, {"id": 11, "module": "Console", "parent": 10}]})");
  TKytHost process({"run", config});
  const std::vector<std::pair<std::string, std::string>> calls = {
      {"CSCK_SendText", "CSCK_SendText: instance #11 is a Console, not a CSCK"},
      {"CSCK_Nope", "Unknown function: CSCK_Nope"},
      {"KYT_Nope", "Unknown function: KYT_Nope"},
  };
  process.SendCall("CSCK_SendText", TJson::array({11, "x"}));
  process.SendCall("CSCK_Nope", TJson::array({10}));
  process.SendCall("KYT_Nope", TJson::array({10}));
  process.SendCall("csck_gethost", TJson::array({10}));
  ASSERT_TRUE(process.WaitForEvent("result", [](const TJson&) { return true; }))
      << process.Stderr();
  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  std::vector<TJson> errors = process.Events("error");
  ASSERT_EQ(errors.size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(errors[i]["call"], calls[i].first);
    EXPECT_EQ(errors[i]["message"], calls[i].second);
  }
}

TEST(KytHostDevicesTest, ListsWhatTheModulesOfferAndWhyALibraryIsMissing) {
  TScopedEnvironment doubles({{"KYT_FTD2XX_LIBRARY", kFakeVendor + "/libftd2xx.so"},
                              {"KYT_SIUSBXP_LIBRARY", "/nonexistent/libSiUSBXp.so"},
                              {"KYT_FAKE_DEVICES", "FT000001=FTDI test adapter"}});
  std::vector<TJson> lines = RunToEnd({"--library", kPluginPath, "devices"}, 0);
  std::vector<TJson> vendor;
  for (const auto& line : lines) {
    if (line["module"] == "COMPort") {
      EXPECT_TRUE(line["port"].is_string() && line["node"].is_string()) << line.dump();
    } else if (line["module"] != "HID") {
      vendor.push_back(line);
    }
  }
  ASSERT_EQ(vendor.size(), 2u) << TJson(lines).dump(1);
  EXPECT_EQ(vendor[0], (TJson{{"event", "device"},
                              {"module", "FTDI"},
                              {"serial", "FT000001"},
                              {"description", "FTDI test adapter"},
                              {"in_use", false}}));
  EXPECT_EQ(vendor[1]["event"], "unavailable");
  std::string reason = vendor[1]["reason"];
  // The module's own text, then the loader's reason with the file tried.
  EXPECT_EQ(reason.find(">Failed loading USBXpress DLL!; Loader: "), 0u) << reason;
  EXPECT_NE(reason.find("(file tried: /nonexistent/libSiUSBXp.so)"), std::string::npos) << reason;
}

TEST(KytHostDoctorTest, OneLineForEachCheckAndExit0OnlyWhenNoneFails) {
  using Env = std::map<std::string, std::optional<std::string>>;
  const Env base = {{"KYT_FTD2XX_LIBRARY", kFakeVendor + "/libftd2xx.so"},
                    {"KYT_SIUSBXP_LIBRARY", kFakeVendor + "/libSiUSBXp.so"},
                    {"KYT_LOCALEDIR", std::nullopt},
                    {"LANGUAGE", std::nullopt},
                    {"LC_ALL", "C"}};
  struct TCase {
    std::string Name;
    Env Changes;
    std::string Library;
    std::map<std::string, std::string> Results;  // check name -> pass, fail or skip
  };
  const std::vector<TCase> cases = {
      {"doubles, C locale",
       {},
       kPluginPath,
       {{"plug-in", "pass"},
        {"FTDI library", "pass"},
        {"USBXpress library", "pass"},
        {"message catalogues", "skip"}}},
      {"German",
       {{"LANGUAGE", "de"}, {"LC_ALL", "C.UTF-8"}},
       kPluginPath,
       {{"message catalogues", "pass"}}},
      {"French",
       {{"LANGUAGE", "fr"}, {"LC_ALL", "C.UTF-8"}},
       kPluginPath,
       {{"message catalogues", "fail"}}},
      {"no FTDI library",
       {{"KYT_FTD2XX_LIBRARY", "/nonexistent/libftd2xx.so"}},
       kPluginPath,
       {{"FTDI library", "fail"}}},
#ifdef KYT_HAVE_D2XX_PROVIDER
      // FTDI's libftd2xx.so is not installed here: the module takes ours beside the plug-in.
      {"our D2XX library",
       {{"KYT_FTD2XX_LIBRARY", std::nullopt}},
       kPluginPath,
       {{"FTDI library", "pass"}}},
#endif
      {"no plug-in",
       {},
       KYT_BUILD_DIR "/nonexistent.so",
       {{"plug-in", "fail"}, {"serial ports", "skip"}, {"FTDI library", "skip"}}},
  };
  const std::set<std::string> names = {"plug-in",  "serial ports",      "ModemManager",
                                       "ftdi_sio", "FTDI library",      "USBXpress library",
                                       "hidraw",   "message catalogues"};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.Name);
    Env env = base;
    for (const auto& [name, value] : test.Changes) env[name] = value;
    TScopedEnvironment scoped(env);
    TKytHost process({"--library", test.Library, "doctor"});
    std::optional<int> code = process.Wait(kLimit);
    std::map<std::string, std::string> results;
    bool failed = false;
    for (const auto& check : process.Events()) {
      ASSERT_EQ(check["event"], "check") << check.dump();
      EXPECT_TRUE(results.emplace(check["name"], check["result"]).second) << check.dump();
      // Which library the module took is named.
      if (test.Name == "our D2XX library" && check["name"] == "FTDI library") {
        EXPECT_NE(check.value("text", "").find("/libkyt_ftd2xx.so)"), std::string::npos) << check;
      }
      if (check["result"] == "fail") {
        failed = true;
        EXPECT_FALSE(check.value("fix", "").empty()) << check.dump();
      }
    }
    std::set<std::string> seen;
    for (const auto& [name, result] : results) seen.insert(name);
    EXPECT_EQ(seen, names);
    for (const auto& [name, result] : test.Results) EXPECT_EQ(results[name], result) << name;
    EXPECT_EQ(code, failed ? 1 : 0) << process.Stderr();
  }
}

}  // namespace
}  // namespace kyt::test_support
