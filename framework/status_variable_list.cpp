#include "framework/status_variable_list.h"

#include <algorithm>
#include <cctype>

namespace kyt {

std::string TStatusVariableList::Key(const std::string& ident) {
  std::string key = ident;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

TKYTStatusVariable* TStatusVariableList::Find(const std::string& ident) const {
  auto it = index_.find(Key(ident));
  return it == index_.end() ? nullptr : it->second;
}

TKYTStatusVariable& TStatusVariableList::Add(TKYTStatusVariable var) {
  auto item = std::make_unique<TKYTStatusVariable>(std::move(var));
  TKYTStatusVariable& ref = *item;
  index_[Key(ref.VariableIdent)] = &ref;
  items_.push_back(std::move(item));
  return ref;
}

void TStatusVariableList::Clear() {
  index_.clear();
  items_.clear();
}

TKYTStatusVariables TStatusVariableList::Copies() const {
  TKYTStatusVariables out;
  out.reserve(items_.size());
  for (const auto& item : items_) out.push_back(*item);  // the copy drops the action handler
  return out;
}

void TStatusVariableList::AssignCopiesOf(const TStatusVariableList& other) {
  if (&other == this)
    return;
  Clear();
  for (const auto& item : other.items_) Add(*item);
}

}  // namespace kyt
