#pragma once

// A compiled message catalogue (a gettext .mo file) read without libintl, for systems that
// have none (Windows). Only singular texts are kept; plural entries and the header are skipped.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kyt {

class TMoCatalogue {
 public:
  // Parses the file's bytes; nullopt when they are not a .mo file or an entry points outside
  // them.
  static std::optional<TMoCatalogue> Parse(std::string_view image);
  // Reads and parses a file; nullopt when it cannot be read or parsed.
  static std::optional<TMoCatalogue> Load(const std::string& path);

  // The translation of `text`, or nullptr when the catalogue has none.
  const std::string* Find(const std::string& text) const;
  std::size_t Size() const { return texts_.size(); }

 private:
  std::map<std::string, std::string, std::less<>> texts_;
};

// The languages to look for, best first, from LANGUAGE (a colon-separated list), else LC_ALL,
// LC_MESSAGES or LANG, each also without its region ("de_DE.UTF-8" gives "de_DE", "de");
// `systemLanguage` (a locale name such as "de-DE") comes last. "C" and "POSIX" stop the search.
std::vector<std::string> CatalogueLanguages(const std::string& systemLanguage);

}  // namespace kyt
