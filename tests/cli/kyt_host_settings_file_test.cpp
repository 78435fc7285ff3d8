// The settings file through the real kyt-host: who owns it, how it is written, and what is left
// behind when writing fails or is cut short.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>

#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
namespace fs = std::filesystem;

constexpr auto kLimit = std::chrono::seconds(30);
// A WWW Reader stores a dozen properties, a password among them: more than 512 bytes.
const std::string kConfig = R"({"instances": [{"id": 10, "module": "WWWReader",
    "settings": {"UseBasicAuth": true, "AuthUser": "op", "AuthPass": "s3cret"}}]})";
const std::string kPrevious =
    R"({"version": 1, "values": [{"instance": 10, "path": ["Settings"], "name": "AuthUser",
    "type": "string", "value": "previous"}]})";
const std::string kVictim = "not to be overwritten\n";

struct TFileCase {
  const char* Name;
  std::function<void(const TTempDir&)> Prepare;
  // The shell prefix kyt-host is started with ("" for none).
  const char* Shell;
  bool Twin;
  int Exit;
  const char* Stderr;
  // What settings.json holds afterwards: "previous", "new" or "" (no check).
  const char* Content;
};

std::vector<std::string> Command(const std::string& shell, const TTempDir& dir,
                                 const std::string& config, bool untilStopped) {
  std::vector<std::string> args = {kKytHostPath, "--json", "--settings", dir.File("settings.json"),
                                   "run",        config};
  if (!untilStopped)
    args.insert(args.end(), {"--for", "0"});
  if (shell[0] != '\0')
    args.insert(args.begin(), {"/bin/sh", "-c", std::string(shell) + "; exec \"$0\" \"$@\""});
  return args;
}

std::vector<std::string> Leftovers(const TTempDir& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("settings.json.tmp-"))
      found.push_back(name);
  }
  return found;
}

TEST(KytHostSettingsFileTest, FileCases) {
  const TFileCase cases[] = {
      {"a replaced 0644 file comes back 0600 with the new values",
       [](const TTempDir& d) {
         d.Write("settings.json", kPrevious);
         fs::permissions(d.File("settings.json"), fs::perms(0644));
       },
       "", false, 0, "", "new"},
      {"a settings path that is a symbolic link is refused and its target kept",
       [](const TTempDir& d) {
         fs::create_symlink(d.Write("victim.txt", kVictim), d.File("settings.json"));
       },
       "", false, 2, "is a symbolic link", ""},
      {"a link planted at the old temporary name is never written through",
       [](const TTempDir& d) {
         d.Write("settings.json", kPrevious);
         fs::create_symlink(d.Write("victim.txt", kVictim), d.File("settings.json.tmp"));
       },
       "", false, 0, "", "new"},
      {"a second kyt-host on the same file exits 2 naming the owner",
       [](const TTempDir& d) { d.Write("settings.json", kPrevious); }, "", true, 2, "process ",
       "new"},
      {"a full disk fails the save and keeps the previous file",
       [](const TTempDir& d) { d.Write("settings.json", kPrevious); }, "trap '' XFSZ; ulimit -f 1",
       false, 1, "settings.json.tmp-", "previous"},
      {"what a save killed midway left is cleared and the file stays whole",
       [](const TTempDir& d) {
         d.Write("settings.json", kPrevious);
         d.Write("settings.json.tmp-Ab12Cd", R"({"version": 1, "values": [{"inst)");
       },
       "", false, 0, "", "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    const std::string config = dir.Write("config.json", kConfig);
    c.Prepare(dir);
    std::unique_ptr<TKytHost> owner;
    if (c.Twin) {
      owner = std::make_unique<TKytHost>(
          std::vector<std::string>{"--settings", dir.File("settings.json"), "run", config});
      ASSERT_TRUE(owner->WaitForEvent("summary", [](const TJson& e) {
        return e["instance"] == 10;
      })) << owner->Stderr();
    }
    TSubprocess process(Command(c.Shell, dir, config, false));
    process.CloseStdin();
    EXPECT_EQ(process.Wait(kLimit), c.Exit) << process.Stderr();
    EXPECT_NE(process.Stderr().find(c.Stderr), std::string::npos) << process.Stderr();
    if (owner) {
      EXPECT_NE(process.Stderr().find("process " + std::to_string(owner->Pid())), std::string::npos)
          << process.Stderr();
      owner->Signal(SIGTERM);
      EXPECT_EQ(owner->Wait(kLimit), 0) << owner->Stderr();
    }

    EXPECT_EQ(Leftovers(dir), std::vector<std::string>{});
    if (fs::exists(dir.File("victim.txt"))) {
      EXPECT_EQ(dir.Read("victim.txt"), kVictim);
    }
    const std::string content = c.Content;
    if (content.empty())
      continue;
    struct stat info {};
    ASSERT_EQ(lstat(dir.File("settings.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    TJson saved = TJson::parse(dir.Read("settings.json"));
    bool newValues = saved["values"].size() > 1;
    EXPECT_EQ(newValues, content == "new") << saved.dump();
    if (newValues) {
      EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
  }
}

}  // namespace
}  // namespace kyt::test_support
