#pragma once

#include <string>
#include <vector>

#include "runtime/export.h"

namespace kyt {

// The host's remoting type registry: type names a plug-in makes known for its types.
struct TRegisteredTypeName {
  std::string Name;
  std::string Namespace;
  std::string TypeName;  // the C++ type it stands for, e.g. "uint16_t"
};

// Registers a name once; a second registration of the same Name and Namespace is ignored.
KYT_RT_API void RegisterTypeName(const std::string& name, const std::string& ns,
                                 const std::string& typeName);
KYT_RT_API std::vector<TRegisteredTypeName> RegisteredTypeNames();

}  // namespace kyt
