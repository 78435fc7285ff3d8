#include "framework/translate.h"

#include <libintl.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

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
  if (const char* dir = std::getenv("KYT_LOCALEDIR"); dir != nullptr && *dir != '\0') return dir;
  std::filesystem::path self = LoadedObjectPath(reinterpret_cast<const void*>(&CatalogueDirectory));
  return (self.parent_path() / "locale").string();
}

void InitTranslation() {
  bindtextdomain(kTextDomain, CatalogueDirectory().c_str());
  // Texts reach the host as UTF-8 whatever the charset of the process locale.
  bind_textdomain_codeset(kTextDomain, "UTF-8");
}

}  // namespace kyt
