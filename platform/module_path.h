#pragma once

#include <string>
#include <vector>

namespace kyt {

// The file of the loaded object (shared library or executable) that contains `address`;
// empty when it cannot be told.
std::string LoadedObjectPath(const void* address);

// The files of the shared objects loaded into the process, in load order (empty on Windows).
std::vector<std::string> LoadedObjectPaths();

}  // namespace kyt
