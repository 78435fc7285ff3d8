#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

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

void CreateInstances(TReferenceHost& host, const THostConfig& config) {
  for (const auto& instance : config.Instances) {
    for (const auto& [name, value] : instance.Settings) {
      host.StoreSetting(instance.ID, {kSettingsKey}, name, value);
    }
  }
  for (const auto& instance : CreationOrder(config.Instances)) {
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
                  const TRunOptions& options) {
  std::string library = ConfigLibraryPath(options.Library, config);
  WarnAboutConfig(library, config, output);
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
    CreateInstances(host, config);
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
  int code = StartAndServe(*host, output, config, options);
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
  return code;
}

}  // namespace kyt::host
