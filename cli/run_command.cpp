#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "cli/call_dispatcher.h"
#include "cli/check_command.h"
#include "cli/config_check.h"
#include "cli/config_reload.h"
#include "cli/event_output.h"
#include "cli/host_commands.h"
#include "cli/host_config.h"
#include "cli/input_watcher.h"
#include "cli/plugin_path.h"
#include "cli/report_format.h"
#include "cli/stop_sequence.h"
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

void CreateConfigured(TReferenceHost& host, const TInstanceConfig& instance) {
  try {
    host.CreateInstance(instance.Module, instance.ID, instance.Parent, instance.Name);
  } catch (const std::exception& e) {
    throw EConfigError(
        fmt::format("instance #{} ({}): {}", instance.ID, instance.Module, e.what()));
  }
}

// Yields to a stop: the instances not made yet are left out (a connect in progress gives up
// on the run level the stop announces).
void CreateInstances(TReferenceHost& host, const THostConfig& config,
                     const std::set<TInstanceID>& leftOut, const TStopSequence& stop) {
  for (const auto& instance : config.Instances) {
    if (!leftOut.contains(instance.ID))
      StoreConfiguredSettings(host, instance);
  }
  for (const auto& instance : CreationOrder(config.Instances)) {
    if (stop.Begun())
      return;
    if (leftOut.contains(instance.ID)) {
      LogHost(host, instance.ID, KL_ERROR,
              leftOut.contains(instance.Parent)
                  ? fmt::format("Not created: its parent #{} is not", instance.Parent)
                  : std::string("Not created: its settings have findings (the warnings above)"));
      continue;
    }
    try {
      CreateConfigured(host, instance);
    } catch (const EConfigError&) {
      if (!stop.Begun())
        throw;
    }
  }
}

// SIGHUP: the config is read and checked again; one with findings (or that cannot be read) is
// refused and the running one kept. Otherwise the instances that are gone or changed are
// deleted, the new and changed ones made, and the others keep running untouched.
void Reload(TReferenceHost& host, TEventOutput& output, const TRunOptions& options,
            THostConfig& running) {
  THostConfig next;
  std::vector<TConfigFinding> findings;
  try {
    next = ReadConfigFile(options.ConfigFile);
    TModuleProbe probe(host);
    findings = CheckConfig(next, probe);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: reload refused, the running config is kept: {}\n", e.what());
    std::fflush(stderr);
    return;
  }
  if (!findings.empty()) {
    for (const auto& finding : findings) {
      output.Line(FindingToJson(finding), FindingToText(finding));
    }
    fmt::print(stderr,
               "kyt-host: reload refused, the running config is kept: {} has {} finding{} (the "
               "warning lines)\n",
               options.ConfigFile, findings.size(), findings.size() == 1 ? "" : "s");
    std::fflush(stderr);
    return;
  }
  const TReloadPlan plan = PlanReload(running, next);
  for (TInstanceID id : plan.Delete) {
    try {
      host.DeleteInstance(id);
    } catch (const std::exception& e) {
      fmt::print(stderr, "kyt-host: reload: deleting #{}: {}\n", id, e.what());
    }
  }
  for (const auto& instance : plan.Create) StoreConfiguredSettings(host, instance);
  for (const auto& instance : plan.Create) {
    try {
      CreateConfigured(host, instance);
    } catch (const std::exception& e) {
      fmt::print(stderr, "kyt-host: reload: {}\n", e.what());
    }
  }
  for (const auto& [child, parent] : plan.Reconnect) {
    try {
      host.ConnectInstance(child, parent);
    } catch (const std::exception& e) {
      fmt::print(stderr, "kyt-host: reload: connecting #{} to #{}: {}\n", child, parent, e.what());
    }
  }
  running = std::move(next);
  fmt::print(stderr, "kyt-host: reloaded {}: {} added, {} removed, {} changed, {} kept\n",
             options.ConfigFile, plan.Added, plan.Removed, plan.Changed, plan.Kept);
  std::fflush(stderr);
}

// Serves hand-overs until the stop begins or the time is up, reloading on SIGHUP. The signal
// handler queues an item, so the wait ends at once.
void RunMainLoop(TStopSequence& stop, std::atomic<bool>& reload, std::optional<double> seconds,
                 const std::function<void()>& onReload) {
  std::optional<Clock::time_point> deadline;
  if (seconds) {
    deadline = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
  }
  constexpr auto kSlice = std::chrono::milliseconds(200);
  while (!stop.Begun()) {
    if (reload.exchange(false)) {
      onReload();
      continue;
    }
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

// The stop, within TStopSequence's bound: the run level is announced and the settings file
// written first (TStopSequence::Begin), then the instances are told, input and calls end, and
// the instances are deleted and the plug-in unloaded; the settings file is written once more
// for what the instances stored meanwhile.
int Stop(TReferenceHost& host, TEventOutput& output, TStopSequence& stop, TInputWatcher& watcher,
         TCallDispatcher& calls) {
  stop.Begin();
  host.SetRunlevel(KR_SHUTDOWN);
  watcher.Stop();
  if (!calls.Close(stop.Left())) {
    // Its instance cannot be destroyed under it: leave as it is.
    output.Flush(std::min(stop.Left(), std::chrono::milliseconds(1000)));
    stop.ExitNow("a call is still running; stopping without deleting the instances");
  }
  DrainHandOvers();
  int code = kExitOK;
  try {
    host.DeleteAllInstances();
    host.UnloadLibrary();
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    code = kExitFailure;
  }
  stop.SaveSettings();
  return std::max(code, stop.Finish());
}

int StartAndServe(TReferenceHost& host, TEventOutput& output, THostConfig config,
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
  TStopSequence stop(host);
  std::atomic<bool> reload{false};
  std::atomic<bool> serving{false};  // standard input is read once the instances exist
  TCallDispatcher calls(host, output);
  try {
    RegisterBuiltinModules(host);
    gateway::RegisterGatewayModules(host);
    host.SetRunlevel(KR_READY);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}: {}\n", options.ConfigFile, e.what());
    return kExitConfigError;
  }
  // Watching from before the instances are made, so a stop during the start is seen at once.
  TInputWatcher watcher(
      options.InputFd, [&calls](TInputLine line) { calls.Post(std::move(line)); },
      [&stop, &reload]([[maybe_unused]] int signal) {
#ifdef SIGHUP
        if (signal == SIGHUP) {
          reload = true;
          TThread::Queue([] {});
          return;
        }
#endif
        stop.Begin();
        TThread::Queue([] {});
      },
      [&serving, &calls] { return serving && calls.HasRoom(); });
  calls.OnRoom([&watcher] { watcher.Wake(); });
  try {
    CreateInstances(host, config, LeftOut(config, findings), stop);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}: {}\n", options.ConfigFile, e.what());
    watcher.Stop();
    calls.Close();
    stop.Finish();
    return kExitConfigError;
  }
  serving = true;
  watcher.Wake();
  try {
    RunMainLoop(stop, reload, options.Seconds, [&] { Reload(host, output, options, config); });
    return Stop(host, output, stop, watcher, calls);
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
  int code = StartAndServe(*host, output, std::move(config), options, incomplete);
  // After a stop this finds nothing left; after a failed start it ends what was made. A run
  // that never got going leaves the settings file as it was.
  try {
    host->DeleteAllInstances();
    host->UnloadLibrary();
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    if (code == kExitOK)
      code = kExitFailure;
  }
  if (code == kExitOK && incomplete)
    code = kExitIncomplete;
  if (host->LibraryKeptLoaded()) {
    // An object of the plug-in still runs on one of its threads: no exit handler may run
    // under it.
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace kyt::host
