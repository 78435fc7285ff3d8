#include <fmt/format.h>

#include "cli/event_output.h"
#include "cli/host_commands.h"
#include "cli/plugin_path.h"
#include "host/reference_host.h"

namespace kyt::host {

int ModulesCommand(const TCommonOptions& options, std::FILE* out) {
  std::string library = options.Library.empty() ? DefaultLibraryPath() : options.Library;
  TReferenceHost host;
  try {
    host.LoadLibrary(library);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: cannot load {}: {}\n", library, e.what());
    return kExitConfigError;
  }
  TEventOutput output(out, options.Json);
  for (const auto& module : host.RegisteredModules()) output.Module(module);
  host.UnloadLibrary();
  return kExitOK;
}

}  // namespace kyt::host
