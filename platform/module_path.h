#pragma once

#include <string>

namespace kyt {

// The file of the loaded object (shared library or executable) that contains `address`;
// empty when it cannot be told.
std::string LoadedObjectPath(const void* address);

}  // namespace kyt
