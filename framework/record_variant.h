#pragma once

// Converts contract values to Variants: records become named arrays of their published
// properties (in order), arrays of records become arrays of those.

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/records.h"
#include "runtime/variant.h"

namespace kyt {

template <class T>
Variant ToVariant(const T& value);

namespace record_detail {
struct Collector {
  std::vector<std::string>* names;
  Variant::Array* values;
  template <class F>
  void operator()(const char* name, const F& field) const {
    names->push_back(name);
    values->push_back(ToVariant(field));
  }
};
}  // namespace record_detail

template <class T>
Variant ToVariant(const T& value) {
  if constexpr (std::is_same_v<T, Variant>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return Variant(value);
  } else if constexpr (std::is_enum_v<T>) {
    return Variant(static_cast<int64_t>(value));
  } else if constexpr (std::is_integral_v<T>) {
    return Variant(static_cast<int64_t>(value));
  } else if constexpr (std::is_floating_point_v<T>) {
    return Variant(static_cast<double>(value));
  } else if constexpr (std::is_same_v<T, std::string>) {
    return Variant(value);
  } else if constexpr (std::is_pointer_v<T>) {
    return value ? ToVariant(*value) : Variant();
  } else if constexpr (std::is_base_of_v<TKYTRemotable, T>) {
    std::vector<std::string> names;
    Variant::Array values;
    value.Publish(record_detail::Collector{&names, &values});
    return Variant::Record(std::move(names), std::move(values));
  } else {
    // Any vector of the above.
    Variant::Array items;
    items.reserve(value.size());
    for (const auto& item : value) items.push_back(ToVariant(item));
    return Variant(std::move(items));
  }
}

}  // namespace kyt
