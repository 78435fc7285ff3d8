#include "framework/text_table.h"

namespace kyt {

std::string AsciiUpperCase(std::string_view Text) {
  std::string upper(Text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string TTextTable::Text(size_t Ordinal) const {
  return Ordinal < texts_.size() ? texts_[Ordinal] : std::string();
}

std::optional<size_t> TTextTable::Find(std::string_view Text) const {
  const std::string wanted = AsciiUpperCase(Text);
  for (size_t i = 0; i < texts_.size(); ++i) {
    if (AsciiUpperCase(texts_[i]) == wanted)
      return i;
  }
  return std::nullopt;
}

const TTextTable& ParityNames() {
  static const TTextTable names{"None", "Odd", "Even", "Mark", "Space"};
  return names;
}

const TTextTable& ParityLetters() {
  static const TTextTable letters{"N", "O", "E", "M", "S"};
  return letters;
}

}  // namespace kyt
