// Status variables: the seven IKYTModule methods, declaration, and keeping the bindings to host
// variables (at apply) and loading them (both storage forms).

#include "framework/module_object.h"
#include "framework/translate.h"

namespace kyt {
namespace {

constexpr uint8_t kVisibleFlag = 1;

std::string TrimBlanks(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

[[noreturn]] void Missing(const std::string& ident) {
  throw EKYTModuleObject(TranslateFormat("StatusVariable \"%s\" does not exist", ident));
}

void EnsureFlag(IKYTObjectManager& objects, TVariableID id) {
  if (!objects.HasFlag(id, kVisibleFlag))
    objects.SetFlag(id, kVisibleFlag, true);
}

}  // namespace

TKYTStatusVariable& TKYTModuleObject::RegisterStatusVariable(const std::string& Ident,
                                                             const std::string& Name,
                                                             TKYTVarType Type,
                                                             std::optional<TKYTVarProfile> Profile,
                                                             TStatusVariableAction Action) {
  if (StatusVariables.Find(Ident) != nullptr) {
    throw EKYTModuleObject(TranslateFormat("StatusVariable \"%s\" already exists", Ident));
  }
  TKYTStatusVariable var;
  var.VariableIdent = Ident;
  var.VariableName = Name;
  var.VariableType = Type;
  var.VariableProfile = std::move(Profile);
  var.VariableHasAction = static_cast<bool>(Action);
  var.ActionHandler = std::move(Action);
  return StatusVariables.Add(std::move(var));
}

bool TKYTModuleObject::StatusVariableExists(const std::string& VariableIdent) {
  const TInstanceLock::THold hold = Using();
  return StatusVariables.Find(VariableIdent) != nullptr;
}

TKYTStatusVariable TKYTModuleObject::GetStatusVariable(const std::string& VariableIdent) {
  const TInstanceLock::THold hold = Using();
  const TKYTStatusVariable* var = StatusVariables.Find(VariableIdent);
  if (var == nullptr)
    Missing(VariableIdent);
  return *var;
}

TKYTStatusVariables TKYTModuleObject::GetStatusVariables() {
  const TInstanceLock::THold hold = Using();
  return StatusVariables.Copies();
}

TStringArray TKYTModuleObject::GetStatusVariableIDs() {
  const TInstanceLock::THold hold = Using();
  TStringArray idents;
  for (const auto& var : StatusVariables.Items()) idents.push_back(var->VariableIdent);
  return idents;
}

TVariableID TKYTModuleObject::GetStatusVariableID(const std::string& VariableIdent) {
  const TInstanceLock::THold hold = Using();
  const TKYTStatusVariable* var = StatusVariables.Find(VariableIdent);
  if (var == nullptr)
    Missing(VariableIdent);
  return var->VariableID;
}

void TKYTModuleObject::SetStatusVariableID(const std::string& VariableIdent,
                                           TVariableID VariableID) {
  const TInstanceLock::THold hold = Using();
  TKYTStatusVariable* var = StatusVariables.Find(VariableIdent);
  if (var == nullptr)
    Missing(VariableIdent);
  if (VariableID > 0) {
    TKYTVariable host = Kernel->GetVariableManager()->GetVariable(VariableID);
    if (host.VariableValue.ValueType != var->VariableType) {
      throw EKYTModuleObject(
          TranslateFormat("VariableType of StatusVariable \"%s\" and Variable #%d do not match",
                          VariableIdent, VariableID));
    }
  }
  var->VariableID = VariableID;
  NotifyChange();
}

void TKYTModuleObject::RequestAction(const std::string& VariableIdent, const Variant& Value) {
  const TInstanceLock::THold hold = Using();
  TKYTStatusVariable* var = StatusVariables.Find(VariableIdent);
  if (var == nullptr)
    Missing(VariableIdent);
  if (!var->ActionHandler) {
    throw EKYTModuleObject(
        TranslateFormat("No action for StatusVariable \"%s\" definied", VariableIdent));
  }
  var->ActionHandler(*var, Value);
}

void TKYTModuleObject::MaintainStatusVariables() {
  if (StatusVariables.Empty())
    return;
  TRef<IKYTVariableManager> variables = Kernel->GetVariableManager();
  TRef<IKYTObjectManager> objects = Kernel->GetObjectManager();
  bool created = false;
  for (const auto& var : StatusVariables.Items()) {
    if (var->VariableID > 0) {
      // A variable the host deleted, or whose type changed, is replaced by a new one.
      if (!variables->VariableExists(var->VariableID) ||
          variables->GetVariable(var->VariableID).VariableValue.ValueType != var->VariableType) {
        var->VariableID = 0;
      }
    }
    if (var->VariableID == 0) {
      created = true;
      var->VariableID = variables->CreateVariable(var->VariableType);
      objects->SetParent(var->VariableID, InstanceID);
      objects->SetName(var->VariableID, var->VariableName);
    }
    if (var->VariableProfile) {
      Kernel->GetProfileService()->SetVariableProfile(var->VariableID, *var->VariableProfile);
    }
    EnsureFlag(*objects, var->VariableID);
  }
  if (created)
    NotifyChange();
}

void TKYTModuleObject::LoadStatusVariables() {
  if (StatusVariables.Empty())
    return;
  TRef<IKYTSettings> settings = Kernel->GetSettings();
  TRef<IKYTObjectManager> objects = Kernel->GetObjectManager();
  // Older form: the bound variable's name as a string beside the properties; read, then removed.
  for (const auto& var : StatusVariables.Items()) {
    const std::string ident = var->VariableIdent;
    std::string name;
    if (settings->ReadString(InstanceID, {kSettingsKey}, ident, name) < 0)
      continue;
    if (TrimBlanks(name).empty())
      continue;
    try {
      TVariableID id = Kernel->GetVariableManager()->GetVariableID(name);
      SetStatusVariableID(ident, id);
      EnsureFlag(*objects, id);
      objects->SetParent(id, InstanceID);
    } catch (const std::exception& e) {
      LogMessage(KL_ERROR, e.what());
    }
    settings->DeleteEntry(InstanceID, {kSettingsKey, ident});
  }
  // Current form: the variable ID under Settings/StatusVariables.
  for (const auto& var : StatusVariables.Items()) {
    const std::string ident = var->VariableIdent;
    int32_t stored = 0;
    if (settings->ReadInteger(InstanceID, {kSettingsKey, kStatusVariablesKey}, ident, stored) < 0) {
      continue;
    }
    try {
      auto id = static_cast<TVariableID>(stored);
      SetStatusVariableID(ident, id);
      // An unbound entry is stored as 0; there is no object 0 to flag.
      if (id > 0)
        EnsureFlag(*objects, id);
    } catch (const std::exception& e) {
      LogMessage(KL_ERROR, e.what());
    }
  }
}

}  // namespace kyt
