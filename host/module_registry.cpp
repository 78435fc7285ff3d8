#include "host/module_registry.h"

#include <fmt/format.h>

#include <algorithm>

#include "host/ascii.h"
#include "runtime/exception.h"

namespace kyt::host {

namespace {

const TInterfaceTypeInfo* FindInChain(const TInterfaceTypeInfo* info, const TGUID& iid) {
  for (; info != nullptr; info = info->Parent) {
    if (info->IID == iid)
      return info;
  }
  return nullptr;
}

}  // namespace

bool SameModuleID(const std::string& a, const std::string& b) {
  TGUID ga, gb;
  if (TGUID::TryParse(a, ga) && TGUID::TryParse(b, gb))
    return ga == gb;
  return SameTextIgnoringCase(a, b);
}

void TModuleRegistry::Register(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info,
                               const std::string& name, bool fromLibrary) {
  if (cls == nullptr)
    throw Exception(fmt::format("RegisterModule \"{}\": no class", name));
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (SameTextIgnoringCase(entry.Module.Name, name)) {
      throw Exception(fmt::format("Module \"{}\" is already registered", name));
    }
  }
  entries_.push_back({{name, cls, info}, fromLibrary});
}

void TModuleRegistry::RemoveLibraryModules() {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [](const TEntry& entry) { return entry.FromLibrary; });
}

std::vector<TReferenceHost::TRegisteredModule> TModuleRegistry::All() const {
  std::lock_guard lock(mutex_);
  std::vector<TReferenceHost::TRegisteredModule> out;
  for (const auto& entry : entries_) out.push_back(entry.Module);
  return out;
}

std::vector<const TKYTModuleClass*> TModuleRegistry::LibraryClasses() const {
  std::lock_guard lock(mutex_);
  std::vector<const TKYTModuleClass*> out;
  for (const auto& entry : entries_) {
    if (entry.FromLibrary)
      out.push_back(entry.Module.Class);
  }
  return out;
}

std::optional<TModuleRegistry::TEntry> TModuleRegistry::Find(
    const std::string& nameOrModuleID) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (SameTextIgnoringCase(entry.Module.Name, nameOrModuleID))
      return entry;
  }
  if (const TEntry* entry = FindByModuleIDLocked(nameOrModuleID))
    return *entry;
  return std::nullopt;
}

std::optional<TModuleRegistry::TEntry> TModuleRegistry::FindByModuleID(
    const std::string& moduleID) const {
  std::lock_guard lock(mutex_);
  if (const TEntry* entry = FindByModuleIDLocked(moduleID))
    return *entry;
  return std::nullopt;
}

std::string TModuleRegistry::Prefix(const std::string& moduleID) const {
  std::lock_guard lock(mutex_);
  const TEntry* entry = FindByModuleIDLocked(moduleID);
  if (entry == nullptr)
    throw Exception(fmt::format("Module {} is not registered", moduleID));
  return entry->Module.Name;
}

bool TModuleRegistry::FunctionFlag(const std::string& moduleID) const {
  TGUID id;
  if (!TGUID::TryParse(moduleID, id))
    return false;
  std::lock_guard lock(mutex_);
  auto it = functionFlags_.find(id);
  return it != functionFlags_.end() && it->second;
}

void TModuleRegistry::SetFunctionFlag(const std::string& moduleID, bool flag) {
  TGUID id = TGUID::Parse(moduleID);
  std::lock_guard lock(mutex_);
  functionFlags_[id] = flag;
}

const TInterfaceTypeInfo* TModuleRegistry::TypeInfo(const TGUID& iid) const {
  if (auto* found = FindInChain(&TypeInfoOf<IKYTModule>(), iid))
    return found;
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (auto* found = FindInChain(entry.Module.TypeInfo, iid))
      return found;
  }
  return nullptr;
}

const TModuleRegistry::TEntry* TModuleRegistry::FindByModuleIDLocked(
    const std::string& moduleID) const {
  for (const auto& entry : entries_) {
    if (SameModuleID(entry.Module.Class->ModuleID, moduleID))
      return &entry;
  }
  return nullptr;
}

}  // namespace kyt::host
