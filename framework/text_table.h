#pragma once

// Fixed lists of texts indexed by an ordinal: the line-setting names of the serial modules
// ("None", "Odd", ...), parity letters, baud-rate texts.

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kyt {

// Upper-cases the letters a to z only; every other byte stays as it is.
std::string AsciiUpperCase(std::string_view Text);

class TTextTable {
 public:
  TTextTable(std::initializer_list<const char*> Texts) : texts_(Texts) {}

  size_t Size() const { return texts_.size(); }
  // The text at an ordinal; empty outside the table.
  std::string Text(size_t Ordinal) const;
  // The first ordinal whose text equals Text, comparing the upper-case forms (AsciiUpperCase).
  std::optional<size_t> Find(std::string_view Text) const;

 private:
  std::vector<const char*> texts_;
};

// The parity settings of the serial-line modules, in the order of their ordinals.
const TTextTable& ParityNames();    // "None", "Odd", "Even", "Mark", "Space"
const TTextTable& ParityLetters();  // "N", "O", "E", "M", "S" (summaries)

}  // namespace kyt
