// What kyt-host says about a config and what it then runs: duplicate keys, data loops, instances
// left out, the config winning over saved values, and passwords never shown.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

constexpr auto kLimit = std::chrono::seconds(60);

struct TFindingCase {
  const char* Name;
  const char* Command;  // "check" or "run" (for no time)
  const char* Config;
  const char* Settings;  // the settings file before the run, "" for none
  int Exit;
  std::vector<std::string> Want;   // each in the output
  std::vector<std::string> Never;  // none in the output or on standard error
};

std::string SavedValue(int instance, const char* name, const std::string& json) {
  return R"({"instance": )" + std::to_string(instance) + R"(, "path": ["Settings"], "name": ")" +
         name + "\", " + json + "}";
}

TEST(KytHostConfigFindingsTest, FindingsAndWhatRuns) {
  const std::string savedTarget = SavedValue(10, "Target", R"("type": "integer", "value": 12)");
  const std::string savedPass =
      SavedValue(30, "AuthPass", R"("type": "string", "value": "0ld-pw")");
  const std::string settings =
      R"({"version": 1, "values": [)" + savedTarget + "," + savedPass + "]}";
  const TFindingCase cases[] = {
      {"a setting given twice is reported at both places",
       "check",
       R"({"instances": [
  {"id": 10, "module": "SSCK", "settings": {
    "Port": 47100,
    "Port": 47101}}]})",
       "",
       2,
       {R"("instance":10,"module":"SSCK","setting":"Port","problem":"duplicate key")",
        "line 3, column 5 and again at line 4, column 5"},
       {}},
      {"a top-level key given twice is reported for the config",
       "check",
       R"({"instances": [{"id": 10, "module": "Console"}],
 "instances": []})",
       "",
       2,
       {R"("instance":0,"module":"config","setting":null,"problem":"duplicate key")",
        "line 1, column 2 and again at line 2, column 2"},
       {}},
      {"bridges crossing a client aimed at its own server are a data loop",
       "check",
       R"({"instances": [
  {"id": 10, "module": "SSCK", "settings": {"Open": true, "Port": 47102}},
  {"id": 11, "module": "Bridge", "parent": 10, "settings": {"Target": 12}},
  {"id": 12, "module": "CSCK", "settings": {"Open": true, "Host": "localhost", "Port": 47102}},
  {"id": 13, "module": "Bridge", "parent": 12, "settings": {"Target": 10}}]})",
       "",
       2,
       {R"("instance":11,"module":"Bridge","setting":"Target","problem":"data loop")",
        "#10 SSCK -> #11 Bridge -> #10 SSCK", R"("instance":13,"module":"Bridge")"},
       {}},
      {"a relay to another port is no loop",
       "check",
       R"({"instances": [
  {"id": 10, "module": "SSCK", "settings": {"Open": true, "Port": 47102}},
  {"id": 11, "module": "Bridge", "parent": 10, "settings": {"Target": 12}},
  {"id": 12, "module": "CSCK", "settings": {"Open": true, "Host": "localhost", "Port": 47103}},
  {"id": 13, "module": "Bridge", "parent": 12, "settings": {"Target": 10}}]})",
       "",
       0,
       {},
       {"data loop"}},
      {"passwords are masked whatever their type or spelling",
       "check",
       R"({"instances": [{"id": 20, "module": "WWWReader",
  "settings": {"AuthPass": 12345678, "ProxyPas": "hunter2"}}]})",
       "",
       2,
       {R"("setting":"AuthPass","problem":"wrong type","given":"***","expected":"a String")",
        R"("setting":"ProxyPas","problem":"unknown setting","given":"***")"},
       {"12345678", "hunter2"}},
      {"an instance check rejects is left out with its children, the rest run",
       "run",
       R"({"instances": [
  {"id": 10, "module": "SSCK", "settings": {"Open": true, "Port": "47104"}},
  {"id": 11, "module": "Console", "parent": 10},
  {"id": 12, "module": "Console"}]})",
       "",
       3,
       {R"("sender":10,"name":"kyt-host","text":"Not created: its settings have findings)",
        R"("sender":11,"name":"kyt-host","text":"Not created: its parent #10 is not")",
        R"("sender":12,"name":"Console","text":"Creating...")"},
       {R"("instance":10,"status")", "Port 0"}},
      {"the config wins over saved values and says so, passwords masked",
       "run",
       R"({"instances": [
  {"id": 10, "module": "Bridge", "settings": {"Target": 20}},
  {"id": 20, "module": "CSCK"},
  {"id": 30, "module": "WWWReader", "settings": {"AuthPass": "n3w-pw"}}]})",
       settings.c_str(),
       0,
       {R"("sender":10,"name":"kyt-host","text":"Target: the config's 20 is used, not the saved 12")",
        R"("text":"AuthPass: the config's *** is used, not the saved ***")"},
       {"0ld-pw", "n3w-pw"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    std::vector<std::string> args = {c.Command, dir.Write("config.json", c.Config)};
    if (std::string(c.Command) == "run") {
      args.insert(args.end(), {"--for", "0", "--settings", dir.File("settings.json")});
      if (c.Settings[0] != '\0')
        dir.Write("settings.json", c.Settings);
    }
    TKytHost process(args);
    process.CloseStdin();
    EXPECT_EQ(process.Wait(kLimit), c.Exit) << process.Stderr();
    std::string output;
    for (const auto& line : process.Lines()) output += line + "\n";
    for (const auto& wanted : c.Want) EXPECT_NE(output.find(wanted), std::string::npos) << wanted;
    for (const auto& never : c.Never) {
      EXPECT_EQ(output.find(never), std::string::npos) << never << " in\n" << output;
      EXPECT_EQ(process.Stderr().find(never), std::string::npos) << never;
    }
  }
}

}  // namespace
}  // namespace kyt::test_support
