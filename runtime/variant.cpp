#include "runtime/variant.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <system_error>

#include "runtime/exception.h"

namespace kyt {
namespace {

// Indexes of Variant::value_'s alternatives, in declaration order.
enum Index : size_t { kEmpty, kBoolean, kInteger, kFloat, kString, kArray };

// Longest piece of a value that an error message quotes; a conversion error about a megabyte of
// serial data must not become a megabyte of log.
constexpr size_t kMessageStringLimit = 64;
constexpr size_t kMessageValueLimit = 200;

// 2^63: the first double beyond int64_t; every double below it and at or above -2^63 fits.
constexpr double kTwoPow63 = 9223372036854775808.0;

std::string_view TypeName(const Variant& v) {
  switch (v.GetKind()) {
    case Variant::Kind::Empty:
      return "Empty";
    case Variant::Kind::Boolean:
      return "Boolean";
    case Variant::Kind::Integer:
      return "Integer";
    case Variant::Kind::Float:
      return "Float";
    case Variant::Kind::String:
      return "String";
    case Variant::Kind::Array:
      return v.IsRecord() ? "Record" : "Array";
  }
  return "?";
}

void AppendQuoted(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  out += '"';
}

std::string FloatText(double d) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, result.ptr);
}

std::string Describe(const Variant& v) {
  if (v.GetKind() == Variant::Kind::String) {
    const std::string s = v.AsString();
    if (s.size() > kMessageStringLimit) {
      std::string out;
      AppendQuoted(out, std::string_view(s).substr(0, kMessageStringLimit));
      return out + "... (" + std::to_string(s.size()) + " bytes)";
    }
  }
  std::string text = v.ToDebugString();
  if (text.size() > kMessageValueLimit)
    text = text.substr(0, kMessageValueLimit) + "...";
  return text;
}

[[noreturn]] void Fail(const Variant& v, std::string_view target, std::string_view reason = {}) {
  std::string message = "Could not convert variant of type (";
  message += TypeName(v);
  message += ") ";
  message += Describe(v);
  message += " into type (";
  message += target;
  message += ")";
  if (!reason.empty()) {
    message += ": ";
    message += reason;
  }
  throw EConvertError(std::move(message));
}

std::string_view Trim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v";
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos)
    return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// from_chars takes no '+'; people and devices write one.
std::string_view DropPlus(std::string_view s) {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+')
    s.remove_prefix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i]))
      return false;
  }
  return true;
}

enum class Parse { kOk, kNotANumber, kOutOfRange };

Parse ParseInt64(std::string_view text, int64_t& out) {
  text = DropPlus(text);
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  if (ptr != end || text.empty())
    return Parse::kNotANumber;
  if (ec == std::errc::result_out_of_range)
    return Parse::kOutOfRange;
  return ec == std::errc() ? Parse::kOk : Parse::kNotANumber;
}

Parse ParseDouble(std::string_view text, double& out) {
  text = DropPlus(text);
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out, std::chars_format::general);
  if (ptr != end || text.empty())
    return Parse::kNotANumber;
  if (ec == std::errc::result_out_of_range)
    return Parse::kOutOfRange;
  return ec == std::errc() ? Parse::kOk : Parse::kNotANumber;
}

int64_t FloatToInt64(double d, const Variant& source, std::string_view target) {
  if (std::isnan(d) || std::trunc(d) != d)
    Fail(source, target, "not an integral value");
  if (d < -kTwoPow63 || d >= kTwoPow63)
    Fail(source, target, "value out of range");
  return static_cast<int64_t>(d);
}

int64_t StringToInt64(const std::string& s, const Variant& source, std::string_view target) {
  const auto text = Trim(s);
  int64_t i = 0;
  switch (ParseInt64(text, i)) {
    case Parse::kOk:
      return i;
    case Parse::kOutOfRange:
      Fail(source, target, "value out of range");
    case Parse::kNotANumber:
      break;
  }
  double d = 0;
  switch (ParseDouble(text, d)) {
    case Parse::kOk:
      return FloatToInt64(d, source, target);
    case Parse::kOutOfRange:
      Fail(source, target, "value out of range");
    case Parse::kNotANumber:
      break;
  }
  Fail(source, target);
}

int64_t ToInt64(const Variant& v, std::string_view target) {
  switch (v.GetKind()) {
    case Variant::Kind::Empty:
      return 0;
    case Variant::Kind::Boolean:
      return v.AsBoolean() ? 1 : 0;
    case Variant::Kind::Integer:
      return v.AsInt64();
    case Variant::Kind::Float:
      return FloatToInt64(v.AsFloat(), v, target);
    case Variant::Kind::String:
      return StringToInt64(v.AsString(), v, target);
    case Variant::Kind::Array:
      break;
  }
  Fail(v, target);
}

}  // namespace

Variant::Variant(Array items)
    : value_(std::make_shared<const ArrayData>(ArrayData{std::move(items), {}, false})) {}

Variant Variant::Record(std::vector<std::string> names, Array values) {
  if (names.size() != values.size()) {
    throw Exception("Variant::Record: " + std::to_string(names.size()) + " field names for " +
                    std::to_string(values.size()) + " values");
  }
  Variant v;
  v.value_ =
      std::make_shared<const ArrayData>(ArrayData{std::move(values), std::move(names), true});
  return v;
}

Variant::Kind Variant::GetKind() const {
  switch (value_.index()) {
    case kBoolean:
      return Kind::Boolean;
    case kInteger:
      return Kind::Integer;
    case kFloat:
      return Kind::Float;
    case kString:
      return Kind::String;
    case kArray:
      return Kind::Array;
    default:
      return Kind::Empty;
  }
}

bool Variant::IsRecord() const {
  return value_.index() == kArray && std::get<kArray>(value_)->record;
}

bool Variant::AsBoolean() const {
  switch (value_.index()) {
    case kEmpty:
      return false;
    case kBoolean:
      return std::get<kBoolean>(value_);
    case kInteger:
      return std::get<kInteger>(value_) != 0;
    case kFloat: {
      const double d = std::get<kFloat>(value_);
      if (std::isnan(d))
        Fail(*this, "Boolean", "not a number");
      return d != 0;
    }
    case kString: {
      const auto text = Trim(std::get<kString>(value_));
      if (EqualsIgnoringCase(text, "true"))
        return true;
      if (EqualsIgnoringCase(text, "false"))
        return false;
      double d = 0;
      if (ParseDouble(text, d) == Parse::kOk && !std::isnan(d))
        return d != 0;
      Fail(*this, "Boolean");
    }
    default:
      Fail(*this, "Boolean");
  }
}

int64_t Variant::AsInt64() const {
  if (value_.index() == kInteger)
    return std::get<kInteger>(value_);
  return ToInt64(*this, "Int64");
}

int32_t Variant::AsInteger() const {
  const int64_t i =
      value_.index() == kInteger ? std::get<kInteger>(value_) : ToInt64(*this, "Integer");
  if (i < INT32_MIN || i > INT32_MAX)
    Fail(*this, "Integer", "value out of range");
  return static_cast<int32_t>(i);
}

double Variant::AsFloat() const {
  switch (value_.index()) {
    case kEmpty:
      return 0.0;
    case kBoolean:
      return std::get<kBoolean>(value_) ? 1.0 : 0.0;
    case kInteger:
      return static_cast<double>(std::get<kInteger>(value_));
    case kFloat:
      return std::get<kFloat>(value_);
    case kString: {
      double d = 0;
      switch (ParseDouble(Trim(std::get<kString>(value_)), d)) {
        case Parse::kOk:
          return d;
        case Parse::kOutOfRange:
          Fail(*this, "Float", "value out of range");
        case Parse::kNotANumber:
          break;
      }
      Fail(*this, "Float");
    }
    default:
      Fail(*this, "Float");
  }
}

std::string Variant::AsString() const {
  switch (value_.index()) {
    case kEmpty:
      return {};
    case kBoolean:
      return std::get<kBoolean>(value_) ? "true" : "false";
    case kInteger:
      return std::to_string(std::get<kInteger>(value_));
    case kFloat:
      return FloatText(std::get<kFloat>(value_));
    case kString:
      return std::get<kString>(value_);
    default:
      Fail(*this, "String");
  }
}

const Variant::Array& Variant::AsArray() const {
  if (value_.index() != kArray)
    Fail(*this, "Array");
  return std::get<kArray>(value_)->items;
}

const std::vector<std::string>& Variant::FieldNames() const {
  static const std::vector<std::string> kNone;
  if (value_.index() != kArray)
    return kNone;
  return std::get<kArray>(value_)->names;
}

std::string Variant::ToDebugString() const {
  switch (value_.index()) {
    case kEmpty:
      return "(empty)";
    case kFloat: {
      // "2.0", not "2": the log should tell a float from an integer.
      std::string text = FloatText(std::get<kFloat>(value_));
      if (text.find_first_not_of("-0123456789") == std::string::npos)
        text += ".0";
      return text;
    }
    case kString: {
      std::string out;
      AppendQuoted(out, std::get<kString>(value_));
      return out;
    }
    case kArray: {
      const auto& data = *std::get<kArray>(value_);
      std::string out(data.record ? "{" : "[");
      for (size_t i = 0; i < data.items.size(); ++i) {
        if (i > 0)
          out += ", ";
        if (data.record)
          out += data.names[i] + ": ";
        out += data.items[i].ToDebugString();
      }
      out += data.record ? "}" : "]";
      return out;
    }
    default:
      return AsString();
  }
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.value_.index() != b.value_.index())
    return false;
  if (a.value_.index() != kArray)
    return a.value_ == b.value_;
  const auto& x = *std::get<kArray>(a.value_);
  const auto& y = *std::get<kArray>(b.value_);
  return x.record == y.record && x.names == y.names && x.items == y.items;
}

}  // namespace kyt
