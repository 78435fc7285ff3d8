#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/module_class.h"
#include "framework/typeinfo.h"
#include "host/reference_host.h"

namespace kyt::host {

// The registered module classes and the interface descriptions the loader knows.
class TModuleRegistry {
 public:
  struct TEntry {
    TReferenceHost::TRegisteredModule Module;
    bool FromLibrary = false;  // registered by the loaded plug-in's register hook
  };

  // Raises Exception for a missing class or a name registered before (any letter case).
  void Register(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info, const std::string& name,
                bool fromLibrary);
  // Forgets what the plug-in registered, before its code goes away.
  void RemoveLibraryModules();

  std::vector<TReferenceHost::TRegisteredModule> All() const;
  std::vector<const TKYTModuleClass*> LibraryClasses() const;
  // By registration name (any letter case) or by module GUID text (any form TGUID parses).
  std::optional<TEntry> Find(const std::string& nameOrModuleID) const;
  std::optional<TEntry> FindByModuleID(const std::string& moduleID) const;

  // Raises Exception for a module GUID nobody registered.
  std::string Prefix(const std::string& moduleID) const;
  bool FunctionFlag(const std::string& moduleID) const;
  void SetFunctionFlag(const std::string& moduleID, bool flag);
  // IKYTModule's description, every registered one and their parents; nullptr otherwise.
  const TInterfaceTypeInfo* TypeInfo(const TGUID& iid) const;

 private:
  const TEntry* FindByModuleIDLocked(const std::string& moduleID) const;

  mutable std::mutex mutex_;
  std::vector<TEntry> entries_;
  std::map<TGUID, bool> functionFlags_;
};

// Module GUID texts compare as GUIDs when both parse, as text otherwise.
bool SameModuleID(const std::string& a, const std::string& b);

}  // namespace kyt::host
