#include <fmt/format.h>

#include <algorithm>

#include "cli/doctor_checks.h"
#include "cli/event_output.h"
#include "cli/host_commands.h"
#include "cli/plugin_path.h"

namespace kyt::host {

int DoctorCommand(const TCommonOptions& options, std::FILE* out) {
  std::string library = options.Library.empty() ? DefaultLibraryPath() : options.Library;
  std::optional<TModuleProbe> probe;
  std::string loadError;
  try {
    probe.emplace(library);
  } catch (const std::exception& e) {
    loadError = e.what();
  }
  std::vector<TCheckResult> checks = DoctorChecks(library, probe ? &*probe : nullptr, loadError);
  TEventOutput output(out, options.Json);
  for (const auto& check : checks) output.Line(CheckToJson(check), CheckToText(check));
  bool failed = std::any_of(checks.begin(), checks.end(), [](const TCheckResult& check) {
    return check.Result == TCheckResult::Outcome::Fail;
  });
  return failed ? kExitFailure : kExitOK;
}

}  // namespace kyt::host
