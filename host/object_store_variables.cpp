// TObjectStore: variable entries.

#include <fmt/format.h>

#include "host/object_store.h"
#include "runtime/exception.h"

namespace kyt::host {

namespace {

void ResetValue(TKYTVariable& variable, TKYTVarType type) {
  variable.VariableValue = TKYTVarValue{};
  variable.VariableValue.ValueType = type;
  variable.VariableIsBinary = false;
  variable.VariableUpdated = variable.VariableChanged = NowAsDateTime();
}

}  // namespace

TVariableID TObjectStore::AddVariable(TKYTVarType type, TVariableID id) {
  std::lock_guard lock(mutex_);
  id = AddLocked(TKYTObjectType::otVariable, id, true);
  TKYTVariable& variable = objects_[id].Variable.emplace();
  variable.VariableID = id;
  ResetValue(variable, type);
  return id;
}

void TObjectStore::RetypeVariable(TVariableID id, TKYTVarType type) {
  std::lock_guard lock(mutex_);
  ResetValue(VariableLocked(id), type);
}

TKYTVariable TObjectStore::Variable(TVariableID id) const {
  std::lock_guard lock(mutex_);
  return VariableLocked(id);
}

TKYTVariable& TObjectStore::VariableLocked(TVariableID id) {
  TEntry& entry = EntryLocked(id);
  if (!entry.Variable)
    throw Exception(fmt::format("Object #{} is no variable", id));
  return *entry.Variable;
}

const TKYTVariable& TObjectStore::VariableLocked(TVariableID id) const {
  const TEntry& entry = EntryLocked(id);
  if (!entry.Variable)
    throw Exception(fmt::format("Object #{} is no variable", id));
  return *entry.Variable;
}

}  // namespace kyt::host
