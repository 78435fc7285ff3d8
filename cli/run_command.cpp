#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "cli/call_dispatcher.h"
#include "cli/check_command.h"
#include "cli/event_output.h"
#include "cli/host_commands.h"
#include "cli/host_config.h"
#include "cli/input_watcher.h"
#include "cli/plugin_path.h"
#include "framework/codes.h"
#include "gateway/gateway_modules.h"
#include "host/reference_host.h"
#include "runtime/thread.h"

namespace kyt::host {

namespace {

using Clock = std::chrono::steady_clock;

// Instances with findings are left out, and the instances below them, rather than made with
// defaults in place of what the config says.
std::set<TInstanceID> LeftOut(const THostConfig& config,
                              const std::vector<TConfigFinding>& findings) {
  std::set<TInstanceID> out;
  for (const auto& finding : findings) {
    // An unknown module is no instance to leave out: making it fails the run (exit code 2).
    if (finding.Instance != 0 && finding.Problem != "unknown module")
      out.insert(finding.Instance);
  }
  for (const auto& instance : CreationOrder(config.Instances)) {
    if (out.contains(instance.Parent))
      out.insert(instance.ID);
  }
  return out;
}

void LogHost(TReferenceHost& host, TInstanceID instance, int32_t code, std::string text) {
  THostEvent event;
  event.EventKind = THostEvent::Kind::Log;
  event.Instance = instance;
  event.Code = code;
  event.Name = "kyt-host";
  event.Text = std::move(text);
  host.RecordEvent(std::move(event));
}

std::string Shown(const std::string& name, const Variant& value) {
  return IsSecretSetting(name) ? kMaskedValue : DumpLine(VariantToJson(value));
}

// The config wins over the settings file for every setting it names; a value saved by an
// earlier run (an edit through standard input) that it replaces is reported.
void StoreConfiguredSettings(TReferenceHost& host, const TInstanceConfig& instance) {
  for (const auto& [name, value] : instance.Settings) {
    std::optional<Variant> saved = host.ReadSetting(instance.ID, {kSettingsKey}, name);
    if (saved && !(*saved == value)) {
      LogHost(host, instance.ID, KL_MESSAGE,
              fmt::format("{}: the config's {} is used, not the saved {}", name, Shown(name, value),
                          Shown(name, *saved)));
    }
    host.StoreSetting(instance.ID, {kSettingsKey}, name, value);
  }
}

void CreateInstances(TReferenceHost& host, const THostConfig& config,
                     const std::set<TInstanceID>& leftOut) {
  for (const auto& instance : config.Instances) {
    if (!leftOut.contains(instance.ID))
      StoreConfiguredSettings(host, instance);
  }
  for (const auto& instance : CreationOrder(config.Instances)) {
    if (leftOut.contains(instance.ID)) {
      LogHost(host, instance.ID, KL_ERROR,
              leftOut.contains(instance.Parent)
                  ? fmt::format("Not created: its parent #{} is not", instance.Parent)
                  : std::string("Not created: its settings have findings (the warnings above)"));
      continue;
    }
    try {
      host.CreateInstance(instance.Module, instance.ID, instance.Parent, instance.Name);
    } catch (const std::exception& e) {
      throw EConfigError(
          fmt::format("instance #{} ({}): {}", instance.ID, instance.Module, e.what()));
    }
  }
}

// Serves hand-overs until a stop signal arrives or the time is up. The signal handler queues
// an item, so the wait ends at once.
void RunMainLoop(const std::atomic<bool>& stop, std::optional<double> seconds) {
  std::optional<Clock::time_point> deadline;
  if (seconds) {
    deadline = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
  }
  constexpr auto kSlice = std::chrono::milliseconds(200);
  while (!stop) {
    auto wait = kSlice;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left <= std::chrono::milliseconds::zero())
        return;
      wait = std::min(wait, left);
    }
    CheckSynchronize(wait);
  }
}

void DrainHandOvers() {
  while (CheckSynchronize()) {
  }
}

// How long the stop waits for a call still running (fetches are cancelled by the run level
// 10014, and every wait of the plug-in is bounded, so this is only reached by a call that
// waits far longer than it should).
constexpr auto kCallGrace = std::chrono::seconds(3);

int Serve(TReferenceHost& host, TEventOutput& output, const TRunOptions& options) {
  std::atomic<bool> stop{false};
  TCallDispatcher calls(host, output);
  TInputWatcher watcher(
      options.InputFd, [&calls](TInputLine line) { calls.Post(std::move(line)); },
      [&stop](int) {
        stop = true;
        TThread::Queue([] {});
      });
  RunMainLoop(stop, options.Seconds);
  host.SetRunlevel(KR_SHUTDOWN);
  watcher.Stop();
  if (!calls.Close(kCallGrace)) {
    // Its instance cannot be destroyed under it: leave as it is.
    fmt::print(stderr,
               "kyt-host: a call is still running; stopping without deleting the instances\n");
    std::fflush(nullptr);
    std::_Exit(kExitOK);
  }
  DrainHandOvers();
  return kExitOK;
}

int StartAndServe(TReferenceHost& host, TEventOutput& output, const THostConfig& config,
                  const TRunOptions& options, bool& incomplete) {
  std::string library = ConfigLibraryPath(options.Library, config);
  const std::vector<TConfigFinding> findings = WarnAboutConfig(library, config, output);
  incomplete = !findings.empty();
  try {
    host.LoadLibrary(library);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: cannot load {}: {}\n", library, e.what());
    return kExitConfigError;
  }
  try {
    RegisterBuiltinModules(host);
    gateway::RegisterGatewayModules(host);
    host.SetRunlevel(KR_READY);
    CreateInstances(host, config, LeftOut(config, findings));
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}: {}\n", options.ConfigFile, e.what());
    return kExitConfigError;
  }
  try {
    return Serve(host, output, options);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    return kExitFailure;
  }
}

}  // namespace

int RunCommand(const TRunOptions& options, std::FILE* out) {
  THostConfig config;
  std::optional<TReferenceHost> host;
  try {
    config = ReadConfigFile(options.ConfigFile);
    THostOptions hostOptions;
    hostOptions.TestMode = false;
    hostOptions.SettingsFile = options.SettingsFile;
    // Not ready while the plug-in registers; ready before the instances are made.
    hostOptions.InitialRunlevel = 0;
    host.emplace(hostOptions);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    return kExitConfigError;
  }
  TEventOutput output(out, options.Json);
  host->SetKeepEvents(false);
  host->SetRecordDebug(options.Debug);
  host->SetEventListener([&output](const THostEvent& event) { output.Event(event); });
  bool incomplete = false;
  int code = StartAndServe(*host, output, config, options, incomplete);
  try {
    host->DeleteAllInstances();
    host->UnloadLibrary();
    // A run that never got going leaves the settings file as it was.
    if (code == kExitOK)
      host->SaveSettingsFile();
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    if (code == kExitOK)
      code = kExitFailure;
  }
  return code == kExitOK && incomplete ? kExitIncomplete : code;
}

}  // namespace kyt::host
