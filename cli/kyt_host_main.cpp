// kyt-host: runs the plug-in's instances from a config, for people and for end-to-end tests.
// docs/host.md describes the command.

#include <CLI/CLI.hpp>

#include <clocale>
#include <csignal>
#include <cstdio>

#include "cli/host_commands.h"
#include "cli/input_watcher.h"
#include "runtime/thread.h"

int main(int argc, char** argv) {
  using namespace kyt::host;
  // Before any thread exists, so that every thread inherits the mask and the stop signals
  // reach only the watcher.
  BlockStopSignals();
  // A reader that closed our standard output must not kill the host mid-shutdown.
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
  kyt::InitMainThread();
  // The plug-in's texts follow the environment's language (LANGUAGE, LC_ALL, LC_MESSAGES,
  // LANG); numbers keep the "C" form.
#ifdef LC_MESSAGES
  std::setlocale(LC_MESSAGES, "");
#endif

  CLI::App app{"Runs VidiridAZ plug-in instances from a config."};
  app.require_subcommand(1);
  app.fallthrough();
  TRunOptions options;
  app.add_option("--library", options.Library, "Plug-in file to load")->type_name("FILE");
  app.add_option("--settings", options.SettingsFile, "Settings file to read and write")
      ->type_name("FILE");
  app.add_flag("--json", options.Json, "One JSON object per line");
  app.add_flag("--debug", options.Debug, "Also print debug entries (one per block moved)");

  CLI::App* modules = app.add_subcommand("modules", "List the plug-in's module classes");
  CLI::App* run = app.add_subcommand("run", "Run the instances of a config");
  run->add_option("CONFIG", options.ConfigFile, "Config file")->required();
  CLI::App* check = app.add_subcommand("check", "Check a config against the plug-in's modules");
  check->add_option("CONFIG", options.ConfigFile, "Config file")->required();
  CLI::App* devices = app.add_subcommand("devices", "List the devices a config can name");
  CLI::App* doctor = app.add_subcommand("doctor", "Check this machine for what the modules need");
  double seconds = 0;
  CLI::Option* forOption = run->add_option("--for", seconds, "Stop after SECONDS")
                               ->type_name("SECONDS")
                               ->check(CLI::Validator(
                                   [](std::string& text) {
                                     double value = -1;
                                     return CLI::detail::lexical_cast(text, value) && value >= 0
                                                ? std::string()
                                                : "expected a number of seconds, 0 or more";
                                   },
                                   "SECONDS >= 0"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? kExitOK : kExitConfigError;
  }
  if (modules->parsed())
    return ModulesCommand(options, stdout);
  if (check->parsed())
    return CheckCommand(options, stdout);
  if (devices->parsed())
    return DevicesCommand(options, stdout);
  if (doctor->parsed())
    return DoctorCommand(options, stdout);
  if (forOption->count() > 0)
    options.Seconds = seconds;
  return RunCommand(options, stdout);
}
