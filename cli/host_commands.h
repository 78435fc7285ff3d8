#pragma once

// The commands of kyt-host. Each returns the process exit code: 0 success, 1 a failure
// while running (the settings file could not be written), 2 a config, settings file or
// plug-in error, 3 (`run`) a run without the instances its config's findings concern.

#include <cstdio>
#include <optional>
#include <string>

namespace kyt::host {

inline constexpr int kExitOK = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitConfigError = 2;
// `run` ended as asked, but not all of the config ran: it had findings (`check`), and the
// instances they concern were left out.
inline constexpr int kExitIncomplete = 3;

struct TCommonOptions {
  std::string Library;  // empty: the config's "library", else DefaultLibraryPath()
  bool Json = false;
};

int ModulesCommand(const TCommonOptions& options, std::FILE* out);

struct TRunOptions : TCommonOptions {
  std::string SettingsFile;
  std::string ConfigFile;
  std::optional<double> Seconds;  // none: until SIGINT or SIGTERM
  int InputFd = 0;                // the calls; -1 for none
  bool Debug = false;             // print debug entries (one per block a module moves)
};

// Exit 2 when the config has findings (printed one a line), 0 when it is clean.
int CheckCommand(const TRunOptions& options, std::FILE* out);
// Every device a config can name, through the modules' own GetDevices.
int DevicesCommand(const TCommonOptions& options, std::FILE* out);
// One line per check of this machine; exit 0 only when none fails.
int DoctorCommand(const TCommonOptions& options, std::FILE* out);

// Expects SIGINT and SIGTERM blocked (BlockStopSignals) and the calling thread to be the
// main thread.
int RunCommand(const TRunOptions& options, std::FILE* out);

}  // namespace kyt::host
