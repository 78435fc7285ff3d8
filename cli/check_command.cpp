#include "cli/check_command.h"

#include <fmt/format.h>

#include "cli/config_check.h"
#include "cli/host_commands.h"
#include "cli/plugin_path.h"
#include "cli/report_format.h"

namespace kyt::host {

std::string ConfigLibraryPath(const std::string& option, const THostConfig& config) {
  if (!option.empty())
    return option;
  return config.Library ? *config.Library : DefaultLibraryPath();
}

std::vector<TConfigFinding> WarnAboutConfig(const std::string& library, const THostConfig& config,
                                            TEventOutput& output) {
  std::vector<TConfigFinding> findings;
  try {
    TModuleProbe probe(library);
    findings = CheckConfig(config, probe);
  } catch (const std::exception&) {
    return {};
  }
  for (const auto& finding : findings) output.Line(FindingToJson(finding), FindingToText(finding));
  return findings;
}

int CheckCommand(const TRunOptions& options, std::FILE* out) {
  THostConfig config;
  try {
    config = ReadConfigFile(options.ConfigFile);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: {}\n", e.what());
    return kExitConfigError;
  }
  std::string library = ConfigLibraryPath(options.Library, config);
  std::vector<TConfigFinding> findings;
  try {
    TModuleProbe probe(library);
    findings = CheckConfig(config, probe);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: cannot load {}: {}\n", library, e.what());
    return kExitConfigError;
  }
  TEventOutput output(out, options.Json);
  for (const auto& finding : findings) output.Line(FindingToJson(finding), FindingToText(finding));
  return findings.empty() ? kExitOK : kExitConfigError;
}

}  // namespace kyt::host
