#pragma once

// Byte strings and Variants in the host's JSON files and streams. Text that is valid UTF-8
// travels as a JSON string; any other byte string as {"hex": "00ff"}.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/variant.h"

namespace kyt::host {

// Objects keep their keys in insertion order, so a record's fields print in published order and
// "event" leads every output line.
using TJson = nlohmann::ordered_json;

bool IsValidUtf8(std::string_view bytes);
std::string HexEncode(std::string_view bytes);  // lower case, two digits a byte
// Raises Exception for an odd length or a character that is no hex digit.
std::string HexDecode(std::string_view hex);

// A JSON string when the bytes are valid UTF-8, {"hex": ...} otherwise.
TJson BytesToJson(const std::string& bytes);
// The reverse; raises Exception for anything but a string or {"hex": ...}.
std::string BytesFromJson(const TJson& value);
bool IsHexObject(const TJson& value);

// Empty -> null, records -> objects keyed by field name, arrays -> arrays, strings as above.
TJson VariantToJson(const Variant& value);
// null -> empty, numbers -> Integer or Float, strings and {"hex"} -> String, arrays -> Array.
// Raises Exception for other objects, for integers beyond the signed 64-bit range and for
// arrays nested deeper than kMaxArrayNesting.
inline constexpr int kMaxArrayNesting = 64;
Variant VariantFromJson(const TJson& value);

// One line of output: compact, with invalid UTF-8 in strings replaced rather than fatal.
std::string DumpLine(const TJson& value);

}  // namespace kyt::host
