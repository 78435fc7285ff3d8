#include "framework/guid.h"

#include <fmt/format.h>

#include "runtime/exception.h"

namespace kyt {

TGUID TGUID::Parse(const std::string& text) {
  TGUID g;
  if (!TryParse(text, g))
    throw EConvertError(fmt::format("'{}' is not a valid GUID", text));
  return g;
}

bool TGUID::TryParse(const std::string& text, TGUID& out) {
  // The parser stops at the first NUL, so an embedded one must not pass as the end.
  if (text.find('\0') != std::string::npos)
    return false;
  TGUID g;
  if (!guid_detail::ParseInto(text.c_str(), g))
    return false;
  out = g;
  return true;
}

std::string TGUID::ToString() const {
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     D1, D2, D3, D4[0], D4[1], D4[2], D4[3], D4[4], D4[5], D4[6], D4[7]);
}

}  // namespace kyt
