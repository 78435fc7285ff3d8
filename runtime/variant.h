#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "runtime/export.h"

namespace kyt {

// A dynamically typed value: what script calls and host messages carry.
// Strings are byte strings (every byte 0-255, zeros included). An array may carry field names,
// one per element; a record published to the host travels as such a named array.
class KYT_RT_API Variant {
 public:
  enum class Kind { Empty, Boolean, Integer, Float, String, Array };
  using Array = std::vector<Variant>;

  Variant() = default;
  Variant(bool value) : value_(value) {}                    // NOLINT(google-explicit-constructor)
  Variant(int value) : value_(int64_t{value}) {}            // NOLINT
  Variant(unsigned value) : value_(int64_t{value}) {}       // NOLINT
  Variant(int64_t value) : value_(value) {}                 // NOLINT
  Variant(uint16_t value) : value_(int64_t{value}) {}       // NOLINT
  Variant(uint8_t value) : value_(int64_t{value}) {}        // NOLINT
  Variant(double value) : value_(value) {}                  // NOLINT
  Variant(std::string value) : value_(std::move(value)) {}  // NOLINT
  // A null pointer gives "" rather than undefined behaviour.
  Variant(const char* value) : value_(std::string(value ? value : "")) {}  // NOLINT
  Variant(Array items);                                                    // NOLINT

  // An array whose elements carry names (a record's published properties, in order). Raises
  // Exception when the counts differ. A record without fields is still a record.
  static Variant Record(std::vector<std::string> names, Array values);

  Kind GetKind() const;
  bool IsEmpty() const { return GetKind() == Kind::Empty; }
  bool IsArray() const { return GetKind() == Kind::Array; }
  bool IsRecord() const;

  // Conversions. Each raises EConvertError when the value has no such meaning:
  // empty converts to false, 0, 0.0 and ""; numeric text converts to numbers ("12", "-3", "1.5");
  // "true"/"false" (any case) convert to Boolean; an integer out of the target range raises;
  // an array converts to nothing but an array.
  //
  // The finer points, chosen so that no conversion loses data silently:
  // - Text is read in the C locale, decimal only, surrounding ASCII blanks ignored; "" and
  //   anything else that is not a whole number raises ("12abc", "0x1F", " ").
  // - A float converts to an integer only when it is integral and in range: 3.0 -> 3, but 2.5,
  //   NaN and infinities raise. Integral text in float notation ("1e3", "12.0") likewise.
  // - Boolean: true -> 1 / 1.0 / "true", false -> 0 / 0.0 / "false". Numbers and numeric text
  //   convert to Boolean as "not zero"; NaN raises.
  // - AsString of a float is the shortest text that reads back to the same double ("0.1", "2",
  //   "1e+20"), so AsString/AsFloat round-trip.
  // - AsFloat of an integer beyond 2^53 rounds to the nearest double.
  bool AsBoolean() const;
  int64_t AsInt64() const;
  int32_t AsInteger() const;
  double AsFloat() const;
  std::string AsString() const;
  const Array& AsArray() const;
  // Field names of a record (empty for a plain array and for every non-array).
  const std::vector<std::string>& FieldNames() const;

  // A readable form for logs and messages: 12, 1.5, 2.0, true, "text", [1, 2], {A: 1, B: "x"},
  // (empty). Bytes outside printable ASCII in strings appear as \xHH escapes.
  std::string ToDebugString() const;

  // Deep and strict: same kind and same value, without conversion, so 1 != 1.0 != "1". Records
  // compare field names too; a record never equals a plain array. NaN equals nothing.
  // A friend takes no export from its class: it is marked itself for the Windows DLL.
  friend KYT_RT_API bool operator==(const Variant& a, const Variant& b);

 private:
  struct ArrayData {
    Array items;
    std::vector<std::string> names;
    bool record = false;
  };
  std::variant<std::monostate, bool, int64_t, double, std::string, std::shared_ptr<const ArrayData>>
      value_;
};

}  // namespace kyt
