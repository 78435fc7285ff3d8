#include "framework/module_class.h"

#include "framework/module_object.h"
#include "framework/translate.h"

namespace kyt {

TStringArray TKYTModuleClass::GetParentRequirements() const {
  if (ModuleType == TKYTModuleType::mtIO) {
    throw EKYTModuleObject(Translate("I/O Modules have no Parents"));
  }
  return {};
}

TStringArray TKYTModuleClass::GetChildRequirements() const {
  if (ModuleType == TKYTModuleType::mtCore || ModuleType == TKYTModuleType::mtDevice) {
    throw EKYTModuleObject(Translate("Device/Core Modules have no Children"));
  }
  return ChildRequirements;
}

}  // namespace kyt
