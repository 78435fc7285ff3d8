#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/variant.h"

namespace kyt {

// One registered property: its type code (the TKYTVarType ordinal) and the module's getter and
// setter, bridged through Variant so one registry serves every type.
struct TPropertyHolder {
  uint8_t PropertyType = 0;
  std::function<Variant()> Getter;
  std::function<void(const Variant&)> Setter;
};

// Properties in registration order; names are unique without regard to letter case.
class TPropertyRegistry {
 public:
  const TPropertyHolder* Find(const std::string& name) const;
  // False (and nothing changes) when the name is taken.
  bool Add(const std::string& name, TPropertyHolder holder);
  const std::vector<std::pair<std::string, TPropertyHolder>>& Items() const { return items_; }

 private:
  std::vector<std::pair<std::string, TPropertyHolder>> items_;
};

}  // namespace kyt
