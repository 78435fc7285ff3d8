#pragma once

#include <vector>

#include "framework/module_class.h"
#include "framework/typeinfo.h"

namespace kyt {

// One row per module class the plug-in registers, in registration order.
struct TModuleTableRow {
  const char* Name;  // registration name, e.g. "CSCK"
  const TKYTModuleClass* Class;
  const TInterfaceTypeInfo* TypeInfo;  // of the module interface
};

const std::vector<TModuleTableRow>& ModuleTable();

}  // namespace kyt
