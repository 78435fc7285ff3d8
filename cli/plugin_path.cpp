#include "cli/plugin_path.h"

#include <filesystem>
#include <system_error>

#ifndef KYT_PLUGIN_RELATIVE_DIR
#define KYT_PLUGIN_RELATIVE_DIR "lib/vidiridaz"
#endif

namespace kyt::host {

std::string DefaultLibraryPath() {
  namespace fs = std::filesystem;
  constexpr const char* kPluginFile = "VidiridAZ.so";
  std::error_code error;
  fs::path executable = fs::read_symlink("/proc/self/exe", error);
  fs::path folder = error ? fs::current_path() : executable.parent_path();
  fs::path beside = folder / kPluginFile;
  fs::path installed = folder / ".." / KYT_PLUGIN_RELATIVE_DIR / kPluginFile;
  if (!fs::exists(beside, error) && fs::exists(installed, error)) {
    return installed.lexically_normal().string();
  }
  return beside.string();
}

}  // namespace kyt::host
