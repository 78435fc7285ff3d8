#pragma once

// The checks of `kyt-host doctor`: what the modules need of this machine, each with the fix
// where it fails, and "skip" where there is nothing to check.

#include <optional>
#include <string>
#include <vector>

#include "cli/module_probe.h"
#include "cli/report_format.h"

namespace kyt::host {

// The udev rules and the group they grant the devices to, as installed by `make install`.
inline constexpr const char* kUdevRulesFile = "70-kyt-host.rules";
inline constexpr const char* kDeviceGroup = "kyt-host";

// `probe` is none when the plug-in did not load (`loadError` says why).
std::vector<TCheckResult> DoctorChecks(const std::string& library, TModuleProbe* probe,
                                       const std::string& loadError);

}  // namespace kyt::host
