#pragma once

#include <string>

#include <fmt/printf.h>

namespace kyt {

// Looks a user-visible text up in the text domain "default"; a text without translation comes
// back unchanged. Property names, debug titles and the device layers' own texts never pass here.
std::string Translate(const char* text);

// Translates a printf-style text, then formats it ("Socket: Connecting... #%d").
template <class... A>
std::string TranslateFormat(const char* text, const A&... args) {
  return fmt::sprintf(Translate(text), args...);
}

// Where the catalogues are looked for: $KYT_LOCALEDIR when set, otherwise the "locale" folder
// beside the loaded plug-in (build tree and installed tree alike).
std::string CatalogueDirectory();
// Binds the text domain to CatalogueDirectory(); runs when the plug-in is loaded.
void InitTranslation();

}  // namespace kyt
