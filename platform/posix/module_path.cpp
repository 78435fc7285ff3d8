#include "platform/module_path.h"

#include <dlfcn.h>

namespace kyt {

std::string LoadedObjectPath(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    return {};
  return info.dli_fname;
}

}  // namespace kyt
