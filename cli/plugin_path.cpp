#include "cli/plugin_path.h"

#include <filesystem>
#include <system_error>

#include "platform/module_path.h"

#ifndef KYT_PLUGIN_RELATIVE_DIR
#define KYT_PLUGIN_RELATIVE_DIR "lib/vidiridaz"
#endif

namespace kyt::host {

std::string DefaultLibraryPath() {
  namespace fs = std::filesystem;
#ifdef _WIN32
  constexpr const char* kPluginFile = "VidiridAZ.dll";
  std::error_code error;
  fs::path executable = LoadedObjectPath(reinterpret_cast<const void*>(&DefaultLibraryPath));
  error = executable.empty() ? std::make_error_code(std::errc::no_such_file_or_directory)
                             : std::error_code();
#else
  constexpr const char* kPluginFile = "VidiridAZ.so";
  std::error_code error;
  fs::path executable = fs::read_symlink("/proc/self/exe", error);
#endif
  fs::path folder = error ? fs::current_path() : executable.parent_path();
  fs::path beside = folder / kPluginFile;
  fs::path installed = folder / ".." / KYT_PLUGIN_RELATIVE_DIR / kPluginFile;
  if (!fs::exists(beside, error) && fs::exists(installed, error)) {
    return installed.lexically_normal().string();
  }
  return beside.string();
}

}  // namespace kyt::host
