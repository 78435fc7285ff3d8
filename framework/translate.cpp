#include "framework/translate.h"

#include <libintl.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/module_path.h"

namespace kyt {
namespace {
constexpr const char* kTextDomain = "default";
std::once_flag bound;
}  // namespace

std::string Translate(const char* text) {
  // Code linked without the plug-in's load-time set-up (tests, the host's own modules) still
  // finds the catalogues.
  std::call_once(bound, InitTranslation);
  return dgettext(kTextDomain, text);
}

std::string CatalogueDirectory() {
  if (const char* dir = std::getenv("KYT_LOCALEDIR"); dir != nullptr && *dir != '\0')
    return dir;
  std::filesystem::path self = LoadedObjectPath(reinterpret_cast<const void*>(&CatalogueDirectory));
  return (self.parent_path() / "locale").string();
}

void InitTranslation() {
  // The binding is process-wide. A program that links this code as well as loading the plug-in
  // (the reference host) has no catalogues beside itself when installed, and must not take the
  // plug-in's binding away.
  const std::string dir = CatalogueDirectory();
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec))
    return;
  bindtextdomain(kTextDomain, dir.c_str());
  // Texts reach the host as UTF-8 whatever the charset of the process locale.
  bind_textdomain_codeset(kTextDomain, "UTF-8");
}

}  // namespace kyt
