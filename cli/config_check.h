#pragma once

// Checks a config against what its modules register: setting names, JSON types, and values a
// module cannot take. `check` prints the findings and fails; `run` prints them as warnings and
// goes on.

#include <optional>
#include <string>
#include <vector>

#include "cli/host_config.h"
#include "cli/module_probe.h"
#include "runtime/variant.h"

namespace kyt::host {

struct TConfigFinding {
  TInstanceID Instance = 0;
  std::string Module;                  // registered name, or as the config gives it if unknown
  std::optional<std::string> Setting;  // none: the instance as a whole
  std::string Problem;           // "unknown module", "unknown setting", "wrong type", "bad value",
                                 // "missing", "refused", "duplicate key", "data loop"
  std::optional<Variant> Given;  // what the config holds; none when it holds nothing
  std::string Expected;
};

std::vector<TConfigFinding> CheckConfig(const THostConfig& config, TModuleProbe& probe);

// Passwords and the like, by name ("AuthPass", "ProxyPass", "Password", ...): their values are
// shown as kMaskedValue wherever kyt-host reports a setting.
bool IsSecretSetting(const std::string& name);
inline constexpr const char* kMaskedValue = "***";

// The known name nearest to `name` by edit distance, letter case aside; the first on a tie.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

}  // namespace kyt::host
