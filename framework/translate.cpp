#include "framework/translate.h"

#ifdef _WIN32
#include <windows.h>

#include "framework/mo_catalogue.h"
#else
#include <libintl.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/module_path.h"

namespace kyt {
namespace {
constexpr const char* kTextDomain = "default";
std::once_flag bound;

#ifdef _WIN32
// Windows has no libintl: the catalogue of the first language found is read once, when the
// text domain is bound, and kept for the life of the process.
std::mutex catalogueMutex;
std::optional<TMoCatalogue> catalogue;

std::string SystemLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  const int size = ::GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
  return size > 1 ? std::string(name, name + size - 1) : std::string();
}

void BindCatalogue(const std::string& dir) {
  for (const std::string& language : CatalogueLanguages(SystemLanguage())) {
    auto found = TMoCatalogue::Load(
        (std::filesystem::path(dir) / language / "LC_MESSAGES" / kTextDomain).string() + ".mo");
    if (found) {
      std::lock_guard lock(catalogueMutex);
      catalogue = std::move(found);
      return;
    }
  }
}
#endif
}  // namespace

std::string Translate(const char* text) {
  // Code linked without the plug-in's load-time set-up (tests, the host's own modules) still
  // finds the catalogues.
  std::call_once(bound, InitTranslation);
#ifdef _WIN32
  std::lock_guard lock(catalogueMutex);
  const std::string* found = catalogue ? catalogue->Find(text) : nullptr;
  return found ? *found : text;
#else
  return dgettext(kTextDomain, text);
#endif
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
#ifdef _WIN32
  BindCatalogue(dir);
#else
  bindtextdomain(kTextDomain, dir.c_str());
  // Texts reach the host as UTF-8 whatever the charset of the process locale.
  bind_textdomain_codeset(kTextDomain, "UTF-8");
#endif
}

}  // namespace kyt
