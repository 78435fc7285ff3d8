#include "host/json_values.h"

#include <fmt/format.h>

#include <limits>

#include "runtime/exception.h"

namespace kyt::host {

namespace {

// Length of the UTF-8 sequence starting at bytes[i], 0 when it is not a valid one
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t Utf8SequenceLength(std::string_view bytes, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  unsigned char lead = at(i);
  if (lead < 0x80)
    return 1;
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > bytes.size())
    return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80)
      return 0;
  }
  unsigned char second = at(i + 1);
  if (lead == 0xE0 && second < 0xA0)
    return 0;  // overlong
  if (lead == 0xED && second >= 0xA0)
    return 0;  // surrogate
  if (lead == 0xF0 && second < 0x90)
    return 0;  // overlong
  if (lead == 0xF4 && second >= 0x90)
    return 0;  // above U+10FFFF
  return length;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

TJson RecordToJson(const Variant& value) {
  TJson out = TJson::object();
  const auto& names = value.FieldNames();
  const auto& items = value.AsArray();
  for (size_t i = 0; i < items.size(); ++i) out[names[i]] = VariantToJson(items[i]);
  return out;
}

Variant IntegerFromJson(const TJson& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return Variant(value.get<int64_t>());
  }
  auto number = value.get<uint64_t>();
  if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    throw Exception(fmt::format("Integer {} is out of range", number));
  }
  return Variant(static_cast<int64_t>(number));
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0)
      return false;
    i += length;
  }
  return true;
}

std::string HexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::string HexDecode(std::string_view hex) {
  if (hex.size() % 2 != 0)
    throw Exception("Hex text has an odd number of digits");
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexDigit(hex[i]);
    int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      throw Exception(fmt::format("Hex text holds a character that is no digit at {}", i));
    }
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

TJson BytesToJson(const std::string& bytes) {
  if (IsValidUtf8(bytes))
    return bytes;
  return {{"hex", HexEncode(bytes)}};
}

bool IsHexObject(const TJson& value) {
  return value.is_object() && value.size() == 1 && value.contains("hex") &&
         value["hex"].is_string();
}

std::string BytesFromJson(const TJson& value) {
  if (value.is_string())
    return value.get<std::string>();
  if (IsHexObject(value))
    return HexDecode(value["hex"].get<std::string>());
  throw Exception("Expected a string or {\"hex\": ...}");
}

TJson VariantToJson(const Variant& value) {
  switch (value.GetKind()) {
    case Variant::Kind::Empty:
      return nullptr;
    case Variant::Kind::Boolean:
      return value.AsBoolean();
    case Variant::Kind::Integer:
      return value.AsInt64();
    case Variant::Kind::Float:
      return value.AsFloat();
    case Variant::Kind::String:
      return BytesToJson(value.AsString());
    case Variant::Kind::Array:
      break;
  }
  if (value.IsRecord())
    return RecordToJson(value);
  TJson out = TJson::array();
  for (const auto& item : value.AsArray()) out.push_back(VariantToJson(item));
  return out;
}

namespace {

Variant VariantFromJson(const TJson& value, int depth) {
  switch (value.type()) {
    case TJson::value_t::null:
      return Variant();
    case TJson::value_t::boolean:
      return Variant(value.get<bool>());
    case TJson::value_t::number_integer:
    case TJson::value_t::number_unsigned:
      return IntegerFromJson(value);
    case TJson::value_t::number_float:
      return Variant(value.get<double>());
    case TJson::value_t::string:
      return Variant(value.get<std::string>());
    case TJson::value_t::array: {
      // Each level costs a stack frame here and in the Variant's copies and destructor: a
      // line of brackets must be refused, not end the process.
      if (depth >= kMaxArrayNesting)
        throw Exception(fmt::format("arrays nest deeper than {} levels", kMaxArrayNesting));
      Variant::Array items;
      for (const auto& item : value) items.push_back(VariantFromJson(item, depth + 1));
      return Variant(std::move(items));
    }
    default:
      break;
  }
  if (IsHexObject(value))
    return Variant(BytesFromJson(value));
  throw Exception("Objects other than {\"hex\": ...} have no value here");
}

}  // namespace

Variant VariantFromJson(const TJson& value) {
  return VariantFromJson(value, 0);
}

std::string DumpLine(const TJson& value) {
  return value.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

}  // namespace kyt::host
