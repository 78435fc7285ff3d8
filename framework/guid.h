#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace kyt {

// A 128-bit interface or module identifier. Compares as its 128 bits; prints in the braced
// upper-case form "{3211679B-9A2A-45A8-BF66-7AB0B23BB2BD}".
struct TGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};

  // Parses the braced form (braces optional, either letter case). Invalid text in a constant
  // expression fails to compile; at run time it raises EConvertError (see Parse).
  static constexpr TGUID FromText(const char* text);
  // Run-time parse of untrusted text; raises EConvertError.
  static TGUID Parse(const std::string& text);
  static bool TryParse(const std::string& text, TGUID& out);

  std::string ToString() const;
  bool IsNull() const { return *this == TGUID{}; }

  friend constexpr bool operator==(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3)
      return false;
    for (int i = 0; i < 8; ++i) {
      if (a.D4[i] != b.D4[i])
        return false;
    }
    return true;
  }
  // Orders by the big-endian reading of the text form, so sorting matches the printed order.
  friend constexpr std::strong_ordering operator<=>(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1)
      return a.D1 <=> b.D1;
    if (a.D2 != b.D2)
      return a.D2 <=> b.D2;
    if (a.D3 != b.D3)
      return a.D3 <=> b.D3;
    for (int i = 0; i < 8; ++i) {
      if (a.D4[i] != b.D4[i])
        return a.D4[i] <=> b.D4[i];
    }
    return std::strong_ordering::equal;
  }
};

namespace guid_detail {
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}
// Returns false for malformed text instead of throwing, so both parsers can share it.
constexpr bool ParseInto(const char* text, TGUID& out) {
  int pos = 0;
  bool braced = text[0] == '{';
  if (braced)
    ++pos;
  auto hex = [&](int digits, uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
      int v = HexValue(text[pos]);
      if (v < 0)
        return false;
      value = value * 16 + static_cast<uint64_t>(v);
      ++pos;
    }
    return true;
  };
  auto dash = [&]() { return text[pos++] == '-'; };
  uint64_t v = 0;
  if (!hex(8, v))
    return false;
  out.D1 = static_cast<uint32_t>(v);
  if (!dash() || !hex(4, v))
    return false;
  out.D2 = static_cast<uint16_t>(v);
  if (!dash() || !hex(4, v))
    return false;
  out.D3 = static_cast<uint16_t>(v);
  if (!dash())
    return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !dash())
      return false;
    if (!hex(2, v))
      return false;
    out.D4[i] = static_cast<uint8_t>(v);
  }
  if (braced && text[pos++] != '}')
    return false;
  return text[pos] == '\0';
}
inline void InvalidGUIDConstant() {}  // not constexpr: reaching it at compile time is an error
}  // namespace guid_detail

constexpr TGUID TGUID::FromText(const char* text) {
  TGUID g;
  if (!guid_detail::ParseInto(text, g))
    guid_detail::InvalidGUIDConstant();
  return g;
}

}  // namespace kyt
