#include "framework/mo_catalogue.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace kyt {

namespace {

constexpr uint32_t kMagic = 0x950412DE;

uint32_t Word(std::string_view image, std::size_t offset, bool swapped) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<uint8_t>(image[offset + i]);
    value |= uint32_t{byte} << (swapped ? 8 * (3 - i) : 8 * i);
  }
  return value;
}

// Language names from one environment value: "de_DE.UTF-8@euro" gives "de_DE", "de".
void AddLanguage(std::vector<std::string>& out, std::string name) {
  name = name.substr(0, name.find_first_of(".@"));
  for (char& c : name)
    if (c == '-')
      c = '_';
  if (name.empty())
    return;
  for (const std::string& n : {name, name.substr(0, name.find('_'))}) {
    bool known = false;
    for (const std::string& o : out) known = known || o == n;
    if (!known)
      out.push_back(n);
  }
}

}  // namespace

std::optional<TMoCatalogue> TMoCatalogue::Parse(std::string_view image) {
  if (image.size() < 20)
    return std::nullopt;
  bool swapped = false;
  if (Word(image, 0, false) != kMagic) {
    if (Word(image, 0, true) != kMagic)
      return std::nullopt;
    swapped = true;
  }
  const uint32_t count = Word(image, 8, swapped);
  const uint32_t originals = Word(image, 12, swapped);
  const uint32_t translations = Word(image, 16, swapped);
  auto tableFits = [&](uint64_t table) { return table + uint64_t{count} * 8 <= image.size(); };
  if (!tableFits(originals) || !tableFits(translations))
    return std::nullopt;
  auto text = [&](uint32_t table, uint32_t index) -> std::optional<std::string_view> {
    const uint32_t length = Word(image, table + index * 8, swapped);
    const uint32_t offset = Word(image, table + index * 8 + 4, swapped);
    if (uint64_t{offset} + length > image.size())
      return std::nullopt;
    return image.substr(offset, length);
  };
  TMoCatalogue catalogue;
  for (uint32_t i = 0; i < count; ++i) {
    auto original = text(originals, i);
    auto translation = text(translations, i);
    if (!original || !translation)
      return std::nullopt;
    // The header has the empty text; plural entries hold a zero between their forms.
    if (original->empty() || original->find('\0') != std::string_view::npos)
      continue;
    catalogue.texts_.emplace(std::string(*original),
                             std::string(translation->substr(0, translation->find('\0'))));
  }
  return catalogue;
}

std::optional<TMoCatalogue> TMoCatalogue::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Parse(image);
}

const std::string* TMoCatalogue::Find(const std::string& text) const {
  auto it = texts_.find(text);
  return it == texts_.end() || it->second.empty() ? nullptr : &it->second;
}

std::vector<std::string> CatalogueLanguages(const std::string& systemLanguage) {
  std::vector<std::string> out;
  auto env = [](const char* name) -> std::string {
    const char* value = std::getenv(name);
    return value ? value : "";
  };
  std::string locale = env("LC_ALL");
  if (locale.empty())
    locale = env("LC_MESSAGES");
  if (locale.empty())
    locale = env("LANG");
  if (locale == "C" || locale == "POSIX")
    return out;
  const std::string list = env("LANGUAGE");
  for (std::size_t start = 0; start < list.size();) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos)
      end = list.size();
    AddLanguage(out, list.substr(start, end - start));
    start = end + 1;
  }
  AddLanguage(out, locale);
  if (locale.empty())
    AddLanguage(out, systemLanguage);
  return out;
}

}  // namespace kyt
