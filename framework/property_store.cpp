// The property store: registration, loading and saving through the host's settings service,
// and the change cycle (NotifyChange, ApplyChanges, ResetChanges).

#include <strings.h>

#include "framework/module_object.h"
#include "framework/translate.h"

namespace kyt {
namespace {

const TStringArray kSettingsPath = {kSettingsKey};

enum : uint8_t { kBoolean = 0, kInteger = 1, kFloat = 2, kString = 3 };

[[noreturn]] void Unsupported(const std::string& name) {
  throw EKYTModuleObject(TranslateFormat("Cannot load unsupported Property: %s", name));
}

// Reads one value with the read operation of its type; empty when nothing is stored.
template <class T, class Read>
std::optional<Variant> ReadTyped(Read read) {
  T value{};
  if (read(value) < 0)
    return std::nullopt;
  return Variant(value);
}

std::optional<Variant> ReadProperty(IKYTSettings& settings, TInstanceID id, const std::string& name,
                                    uint8_t type) {
  switch (type) {
    case kBoolean:
      return ReadTyped<bool>(
          [&](bool& v) { return settings.ReadBoolean(id, kSettingsPath, name, v); });
    case kInteger:
      return ReadTyped<int32_t>(
          [&](int32_t& v) { return settings.ReadInteger(id, kSettingsPath, name, v); });
    case kFloat:
      return ReadTyped<double>(
          [&](double& v) { return settings.ReadFloat(id, kSettingsPath, name, v); });
    case kString:
      return ReadTyped<std::string>(
          [&](std::string& v) { return settings.ReadString(id, kSettingsPath, name, v); });
    default:
      Unsupported(name);
  }
}

void WriteProperty(IKYTSettings& settings, TInstanceID id, const std::string& name, uint8_t type,
                   const Variant& value) {
  switch (type) {
    case kBoolean:
      return settings.WriteBoolean(id, kSettingsPath, name, value.AsBoolean());
    case kInteger:
      return settings.WriteInteger(id, kSettingsPath, name, value.AsInteger());
    case kFloat:
      return settings.WriteFloat(id, kSettingsPath, name, value.AsFloat());
    case kString:
      return settings.WriteString(id, kSettingsPath, name, value.AsString());
    default:
      Unsupported(name);
  }
}

}  // namespace

const TPropertyHolder* TPropertyRegistry::Find(const std::string& name) const {
  for (const auto& [key, holder] : items_) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0)
      return &holder;
  }
  return nullptr;
}

bool TPropertyRegistry::Add(const std::string& name, TPropertyHolder holder) {
  if (Find(name) != nullptr)
    return false;
  items_.emplace_back(name, std::move(holder));
  return true;
}

void TKYTModuleObject::RegisterProperty(const std::string& Name, uint8_t PropertyType,
                                        std::function<Variant()> Getter,
                                        std::function<void(const Variant&)> Setter) {
  if (!properties_.Add(Name, {PropertyType, std::move(Getter), std::move(Setter)})) {
    throw EKYTModuleObject(TranslateFormat("Property \"%s\" already exists", Name));
  }
}

void TKYTModuleObject::RegisterPropertyBoolean(const std::string& Name,
                                               std::function<bool()> Getter,
                                               std::function<void(bool)> Setter) {
  RegisterProperty(
      Name, kBoolean, [g = std::move(Getter)] { return Variant(g()); },
      [s = std::move(Setter)](const Variant& v) { s(v.AsBoolean()); });
}

void TKYTModuleObject::RegisterPropertyInteger(const std::string& Name,
                                               std::function<int32_t()> Getter,
                                               std::function<void(int32_t)> Setter) {
  RegisterProperty(
      Name, kInteger, [g = std::move(Getter)] { return Variant(g()); },
      [s = std::move(Setter)](const Variant& v) { s(v.AsInteger()); });
}

void TKYTModuleObject::RegisterPropertyString(const std::string& Name,
                                              std::function<std::string()> Getter,
                                              std::function<void(const std::string&)> Setter) {
  RegisterProperty(
      Name, kString, [g = std::move(Getter)] { return Variant(g()); },
      [s = std::move(Setter)](const Variant& v) { s(v.AsString()); });
}

void TKYTModuleObject::LoadSettings() {
  const TInstanceLock::THold hold = Changing();
  TRef<IKYTSettings> settings = Kernel->GetSettings();
  for (const auto& [name, holder] : properties_.Items()) {
    std::optional<Variant> value = ReadProperty(*settings, InstanceID, name, holder.PropertyType);
    if (value)
      holder.Setter(*value);
  }
  LoadStatusVariables();
}

void TKYTModuleObject::SaveSettings() {
  const TInstanceLock::THold hold = Changing();
  TRef<IKYTSettings> settings = Kernel->GetSettings();
  for (const auto& var : StatusVariables.Items()) {
    settings->WriteInteger(InstanceID, {kSettingsKey, kStatusVariablesKey}, var->VariableIdent,
                           var->VariableID);
  }
  for (const auto& [name, holder] : properties_.Items()) {
    if (holder.PropertyType > kString)
      Unsupported(name);
    WriteProperty(*settings, InstanceID, name, holder.PropertyType, holder.Getter());
  }
}

void TKYTModuleObject::NotifyChange() {
  const TInstanceLock::THold hold = Using();
  Changed = true;
  PostChangeState();
}

void TKYTModuleObject::PostChangeState() {
  if (KernelRunlevel == KR_READY) {
    Kernel->SendMessage(InstanceID, IM_CHANGESETTINGS, {Variant(static_cast<bool>(Changed))});
  }
}

void TKYTModuleObject::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  StatusVariables.AssignCopiesOf(AppliedStatusVariables);
  Changed = false;
  PostChangeState();
}

void TKYTModuleObject::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  AppliedStatusVariables.Clear();
  MaintainStatusVariables();
  AppliedStatusVariables.AssignCopiesOf(StatusVariables);
  Changed = false;
  PostChangeState();
  SaveSettings();
}

void TKYTModuleObject::LoadAndApplySettings() {
  const TInstanceLock::THold hold = Changing();
  LoadSettings();
  try {
    ApplyChanges();
  } catch (const std::exception& e) {
    LogMessage(KL_ERROR, e.what());
  }
}

void TKYTModuleObject::PrepareDelete() {
  // Runs inside destructors: a failing host call is reported, never thrown.
  try {
    const TInstanceLock::THold hold = Changing();
    LogMessage(KL_MESSAGE, Translate("Deleting..."));
    ResetChanges();
    SaveSettings();
  } catch (const std::exception& e) {
    try {
      LogMessage(KL_ERROR, e.what());
    } catch (...) {
    }
  }
}

}  // namespace kyt
