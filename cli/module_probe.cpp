#include "cli/module_probe.h"

#include "framework/codes.h"
#include "framework/interfaces.h"
#include "gateway/gateway_modules.h"
#include "host/ascii.h"
#include "runtime/thread.h"

namespace kyt::host {

namespace {

void ServeHandOvers() {
  while (CheckSynchronize()) {
  }
}

}  // namespace

TModuleProbe::TModuleProbe(const std::string& library) {
  host_.LoadLibrary(library);
  RegisterBuiltinModules(host_);
  gateway::RegisterGatewayModules(host_);
}

TModuleProbe::TModuleProbe(const TReferenceHost& loaded) {
  for (const auto& module : loaded.RegisteredModules())
    host_.RegisterModule(module.Class, module.TypeInfo, module.Name);
}

TModuleProbe::~TModuleProbe() {
  try {
    host_.DeleteAllInstances();
  } catch (...) {
  }
  // A device notice the plug-in queued must run while its code is still loaded.
  ServeHandOvers();
  try {
    host_.UnloadLibrary();
  } catch (...) {
  }
  ServeHandOvers();
}

std::vector<std::string> TModuleProbe::ModuleNames() const {
  std::vector<std::string> names;
  for (const auto& module : host_.RegisteredModules()) names.push_back(module.Name);
  return names;
}

std::optional<std::string> TModuleProbe::Resolve(const std::string& module) const {
  for (const auto& registered : host_.RegisteredModules()) {
    if (SameTextIgnoringCase(registered.Name, module))
      return registered.Name;
  }
  TGUID wanted;
  if (!TGUID::TryParse(module, wanted))
    return std::nullopt;
  for (const auto& registered : host_.RegisteredModules()) {
    TGUID id;
    if (TGUID::TryParse(registered.Class->ModuleID, id) && id == wanted)
      return registered.Name;
  }
  return std::nullopt;
}

const TModuleFacts& TModuleProbe::Facts(const std::string& module) {
  auto known = facts_.find(module);
  if (known != facts_.end())
    return known->second;
  TModuleFacts facts;
  facts.Name = module;
  TProbeResult made = Probe(module, {}, [&](TInstanceID id) {
    facts.TakesData = Supports<IKYTSendData>(host_.Instance(id)).Get() != nullptr;
  });
  facts.Failure = made.Failure.value_or("");
  facts.Properties = std::move(made.Saved);
  return facts_.emplace(module, std::move(facts)).first->second;
}

TProbeResult TModuleProbe::Probe(const std::string& module, const TSettingList& settings,
                                 const std::function<void(TInstanceID)>& use) {
  TInstanceID id = nextID_++;
  for (const auto& [name, value] : settings) host_.StoreSetting(id, {kSettingsKey}, name, value);
  host_.ClearEvents();
  // What the instance stored goes with it, so that a check of thousands of instances does not
  // look through the settings of all those before.
  struct TForget {
    TReferenceHost& Host;
    TInstanceID ID;
    ~TForget() { Host.Kernel()->GetSettings()->DeleteEntry(ID, {}); }
  } forget{host_, id};
  TProbeResult result;
  try {
    host_.CreateInstance(module, id);
  } catch (const std::exception& e) {
    result.Failure = e.what();
    return result;
  }
  result.Saved = host_.SettingsAt(id, {kSettingsKey});
  try {
    if (use)
      use(id);
  } catch (...) {
    host_.DeleteInstance(id);
    throw;
  }
  host_.DeleteInstance(id);
  result.Log = host_.Events(THostEvent::Kind::Log, id);
  return result;
}

}  // namespace kyt::host
