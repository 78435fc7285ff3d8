#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/records.h"

namespace kyt {

// An owning list of status variables in insertion order, looked up without regard to letter case.
class TStatusVariableList {
 public:
  TKYTStatusVariable* Find(const std::string& ident) const;
  // Appends; the caller has checked that the identifier is new.
  TKYTStatusVariable& Add(TKYTStatusVariable var);
  void Clear();
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  // Entries in insertion order.
  const std::vector<std::unique_ptr<TKYTStatusVariable>>& Items() const { return items_; }
  // Copies of every entry (published properties only, no action handlers), in order.
  TKYTStatusVariables Copies() const;
  // Replaces the content with copies of another list's entries.
  void AssignCopiesOf(const TStatusVariableList& other);

 private:
  static std::string Key(const std::string& ident);
  std::vector<std::unique_ptr<TKYTStatusVariable>> items_;
  std::unordered_map<std::string, TKYTStatusVariable*> index_;
};

}  // namespace kyt
