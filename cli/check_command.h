#pragma once

#include <string>
#include <vector>

#include "cli/config_check.h"
#include "cli/event_output.h"
#include "cli/host_config.h"

namespace kyt::host {

// The plug-in `run` loads for a config: --library, else the config's, else the default.
std::string ConfigLibraryPath(const std::string& option, const THostConfig& config);

// What `check` would find, printed as warnings and returned; a plug-in that does not load is
// left for the run itself to report.
std::vector<TConfigFinding> WarnAboutConfig(const std::string& library, const THostConfig& config,
                                            TEventOutput& output);

}  // namespace kyt::host
