#pragma once

// A module class as the host sees it: a factory plus the class operations, and the ordered list
// of interfaces the class declares. C++ has no virtual class methods, so a module class publishes
// one such descriptor and the base object's constructor receives it.

#include <string>
#include <vector>

#include "framework/guid.h"
#include "framework/interfaces.h"
#include "framework/types.h"

namespace kyt {

struct TKYTModuleClass {
  std::string ClassName;  // "TKYTClientSocket"
  std::string ModuleID;   // the module GUID in text form
  TKYTModuleType ModuleType = TKYTModuleType::mtIO;
  std::string ModuleName;  // display name
  TStringArray ChildRequirements{};
  TStringArray Implemented{};
  std::string ModuleExtraText{};
  TStringArray ModuleExtraList{};
  // The interfaces the class itself declares, in declaration order (script registration order).
  std::vector<TGUID> Interfaces{};
  // Creates an instance; the returned reference is the only one.
  TRef<IKYTModule> (*Create)(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID) = nullptr;

  // The class operations.
  std::string GetModuleID() const { return ModuleID; }
  TKYTModuleType GetModuleType() const { return ModuleType; }
  std::string GetModuleName() const { return ModuleName; }
  // Fails with "I/O Modules have no Parents" for an I/O module.
  TStringArray GetParentRequirements() const;
  // Fails with "Device/Core Modules have no Children" for a core or device module.
  TStringArray GetChildRequirements() const;
  TStringArray GetImplemented() const { return Implemented; }
  std::string GetModuleExtraText() const { return ModuleExtraText; }
  TStringArray GetModuleExtraList() const { return ModuleExtraList; }
};

}  // namespace kyt
