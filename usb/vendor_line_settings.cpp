#include "usb/vendor_line_settings.h"

#include <fmt/printf.h>

#include <charconv>

#include "runtime/exception.h"

namespace kyt {

int32_t TextToInteger(const std::string& Text) {
  const char* first = Text.data();
  const char* last = first + Text.size();
  // from_chars takes a minus but no plus.
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-')
    ++first;
  int32_t value = 0;
  auto [end, error] = std::from_chars(first, last, value);
  if (Text.empty() || error != std::errc() || end != last)
    throw EConvertError(fmt::sprintf("'%s' is not a valid integer value", Text));
  return value;
}

bool AllDigits(const std::string& Text) {
  for (char c : Text) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

int32_t StopBitsFromText(const std::string& Text) {
  return Text == "1" ? 0 : TextToInteger(Text);
}

std::string StopBitsText(int32_t StopBits) {
  return StopBits == 0 ? "1" : std::to_string(StopBits);
}

std::string ParityText(int32_t Parity) {
  if (Parity >= 0 && static_cast<size_t>(Parity) < ParityNames().Size())
    return ParityNames().Text(static_cast<size_t>(Parity));
  return std::to_string(Parity);
}

std::string LineSummary(const TVendorSettings& Settings) {
  return fmt::sprintf("%s (%d,%d,%d,%s)", Settings.Name, Settings.BaudRate, Settings.DataBits,
                      Settings.StopBits,
                      ParityLetters().Text(static_cast<size_t>(Settings.Parity)));
}

}  // namespace kyt
