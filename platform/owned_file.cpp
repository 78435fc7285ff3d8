#include "platform/owned_file.h"

#include <fmt/format.h>

namespace kyt::platform {

EFileLocked::EFileLocked(const std::string& path, long ownerPid)
    : Exception(ownerPid > 0 ? fmt::format("{} is locked by process {}", path, ownerPid)
                             : fmt::format("{} is locked by another process", path)),
      ownerPid_(ownerPid) {}

std::string TemporaryPrefix(const std::string& path) {
  return path + ".tmp-";
}

}  // namespace kyt::platform
