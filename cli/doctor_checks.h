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

// A device node this user may not read and write, as the fix for it needs to know it.
struct TNodeAccess {
  std::string Node, User;
  std::string Group;  // the node's group
  bool GroupIsRoot = false;
  unsigned Mode = 0;            // permission bits
  bool InGroup = false;         // this process has the group
  bool InGroupAtLogin = false;  // the account has it, so a new login would
};
// What would give the user access: the node's group when it may read and write the node and is
// not root (membership in root is no fix), else a udev rule giving it to `ruleGroup`.
std::string NodeAccessFix(const TNodeAccess& access, const std::string& ruleGroup);

// `probe` is none when the plug-in did not load (`loadError` says why).
std::vector<TCheckResult> DoctorChecks(const std::string& library, TModuleProbe* probe,
                                       const std::string& loadError);

}  // namespace kyt::host
