#include "cli/call_target.h"

#include <fmt/format.h>

#include <algorithm>

#include "host/ascii.h"

namespace kyt::host {

namespace {

std::optional<TInstanceID> ExistingInstance(const TReferenceHost& host,
                                            const std::vector<Variant>& args) {
  if (args.empty() || args[0].GetKind() != Variant::Kind::Integer)
    return std::nullopt;
  int64_t id = args[0].AsInt64();
  std::vector<TInstanceID> ids = host.InstanceIDs();
  if (std::find(ids.begin(), ids.end(), id) == ids.end())
    return std::nullopt;
  return static_cast<TInstanceID>(id);
}

// The registration name of the instance's module, as a config names it.
std::string ModuleOf(const TReferenceHost& host, TInstanceID id) {
  std::string moduleID = host.Kernel()->GetInstanceManager()->GetInstance(id).ModuleInfo.ModuleID;
  for (const auto& module : host.RegisteredModules()) {
    if (SameTextIgnoringCase(module.Class->ModuleID, moduleID))
      return module.Name;
  }
  return moduleID;
}

// The module whose script prefix begins the function name, spelt as registered.
std::string ModuleNamed(const TReferenceHost& host, const std::string& function) {
  std::string prefix = function.substr(0, function.find('_'));
  for (const auto& module : host.RegisteredModules()) {
    if (SameTextIgnoringCase(module.Name, prefix))
      return module.Name;
  }
  return prefix;
}

}  // namespace

std::optional<std::string> CallMismatch(const TReferenceHost& host, const std::string& function,
                                        const std::vector<Variant>& args) {
  std::optional<TInstanceID> instance = ExistingInstance(host, args);
  if (!instance)
    return std::nullopt;
  std::vector<std::string> offered = host.FunctionNames(*instance);
  if (std::any_of(offered.begin(), offered.end(),
                  [&](const std::string& name) { return SameTextIgnoringCase(name, function); }))
    return std::nullopt;
  if (!host.FunctionExists(function))
    return "Unknown function: " + function;
  return fmt::format("{}: instance #{} is a {}, not a {}", function, *instance,
                     ModuleOf(host, *instance), ModuleNamed(host, function));
}

}  // namespace kyt::host
