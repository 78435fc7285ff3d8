#include "platform/module_path.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>
#include <system_error>

namespace kyt {

std::string LoadedObjectPath(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    return {};
  // The main program's name can be relative to the folder it was started from; pin it down
  // while that is still the current folder.
  std::error_code ec;
  auto path = std::filesystem::weakly_canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : path.string();
}

std::vector<std::string> LoadedObjectPaths() {
  std::vector<std::string> paths;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        if (info->dlpi_name && *info->dlpi_name)
          static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name);
        return 0;
      },
      &paths);
  return paths;
}

}  // namespace kyt
