#include <fmt/format.h>

#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

const char* VarTypeName(TKYTVarType type) {
  switch (type) {
    case TKYTVarType::vtBoolean:
      return "Boolean";
    case TKYTVarType::vtInteger:
      return "Integer";
    case TKYTVarType::vtFloat:
      return "Float";
    case TKYTVarType::vtString:
      return "String";
    case TKYTVarType::vtVariant:
      return "Variant";
    case TKYTVarType::vtArray:
      return "Array";
  }
  return "unknown";
}

void RequireType(const TKYTVariable& variable, TKYTVarType type) {
  if (variable.VariableValue.ValueType != type) {
    throw Exception(fmt::format("Variable #{} holds a {} value, not a {} value",
                                variable.VariableID, VarTypeName(variable.VariableValue.ValueType),
                                VarTypeName(type)));
  }
}

template <class T>
void Store(TKYTVariable& variable, T& field, const T& value) {
  TDateTime now = NowAsDateTime();
  if (!(field == value))
    variable.VariableChanged = now;
  variable.VariableUpdated = now;
  field = value;
}

class TVariableManagerService final : public THostObject<IKYTVariableManager>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  TVariableID CreateVariable(TKYTVarType VarType) override {
    return Core()->Objects.AddVariable(VarType, 0);
  }
  TVariableID CreateVariableEx(TKYTVarType VarType, TVariableID VariableID) override {
    auto core = Core();
    if (core->Objects.Exists(VariableID, TKYTObjectType::otVariable)) {
      core->Objects.RetypeVariable(VariableID, VarType);
      return VariableID;
    }
    return core->Objects.AddVariable(VarType, VariableID);
  }
  void DeleteVariable(TVariableID VariableID) override {
    auto core = Core();
    core->Objects.Check(VariableID, TKYTObjectType::otVariable);
    core->Objects.Remove(VariableID);
  }
  void SetVariableUseCustomProfile(TVariableID VariableID, bool UseCustomProfile) override {
    Change(VariableID, [&](TKYTVariable& v) { v.UseCustomProfile = UseCustomProfile; });
  }
  void SetVariableCustomProfile(TVariableID VariableID, const TKYTVarProfile& Profile) override {
    auto shared = std::make_shared<const TKYTVarProfile>(Profile);
    Change(VariableID, [&](TKYTVariable& v) { v.CustomProfile = shared; });
  }
  bool ReadVariableBoolean(TVariableID VariableID) override {
    return Read(VariableID, TKYTVarType::vtBoolean).ValueBoolean;
  }
  void WriteVariableBoolean(TVariableID VariableID, bool VarValue) override {
    Write(VariableID, TKYTVarType::vtBoolean, &TKYTVarValue::ValueBoolean, VarValue);
  }
  int32_t ReadVariableInteger(TVariableID VariableID) override {
    return Read(VariableID, TKYTVarType::vtInteger).ValueInteger;
  }
  void WriteVariableInteger(TVariableID VariableID, int32_t VarValue) override {
    Write(VariableID, TKYTVarType::vtInteger, &TKYTVarValue::ValueInteger, VarValue);
  }
  double ReadVariableFloat(TVariableID VariableID) override {
    return Read(VariableID, TKYTVarType::vtFloat).ValueFloat;
  }
  void WriteVariableFloat(TVariableID VariableID, double VarValue) override {
    Write(VariableID, TKYTVarType::vtFloat, &TKYTVarValue::ValueFloat, VarValue);
  }
  std::string ReadVariableString(TVariableID VariableID) override {
    return Read(VariableID, TKYTVarType::vtString).ValueString;
  }
  void WriteVariableString(TVariableID VariableID, const std::string& VarValue) override {
    WriteVariableStringEx(VariableID, VarValue, false);
  }
  std::string ReadVariableStringEx(TVariableID VariableID, bool& Base64Encoded) override {
    TKYTVariable variable = Core()->Objects.Variable(VariableID);
    RequireType(variable, TKYTVarType::vtString);
    Base64Encoded = variable.VariableIsBinary;
    return variable.VariableValue.ValueString;
  }
  void WriteVariableStringEx(TVariableID VariableID, const std::string& VarValue,
                             bool Base64Encoded) override {
    Change(VariableID, [&](TKYTVariable& v) {
      RequireType(v, TKYTVarType::vtString);
      Store(v, v.VariableValue.ValueString, VarValue);
      v.VariableIsBinary = Base64Encoded;
    });
  }
  TVariableID GetVariableID(const std::string& VarName) override {
    return Core()->Objects.FindByNameAnywhere(VarName, TKYTObjectType::otVariable);
  }
  bool VariableExists(TVariableID VariableID) override {
    return Core()->Objects.Exists(VariableID, TKYTObjectType::otVariable);
  }
  void CheckVariable(TVariableID VariableID) override {
    Core()->Objects.Check(VariableID, TKYTObjectType::otVariable);
  }
  TKYTVariable GetVariable(TVariableID VariableID) override {
    return Core()->Objects.Variable(VariableID);
  }
  TKYTVariables GetVariables(const TVariableIDs& VariableIDs) override {
    auto core = Core();
    TKYTVariables variables;
    for (TVariableID id : VariableIDs) variables.push_back(core->Objects.Variable(id));
    return variables;
  }
  TVariableIDs GetVariableList() override {
    return Core()->Objects.List(TKYTObjectType::otVariable);
  }
  TVariableID GetVariableIDByName(const std::string& Name, TKYTID ParentID) override {
    return Core()->Objects.FindByName(Name, ParentID, TKYTObjectType::otVariable);
  }

 private:
  template <class F>
  void Change(TVariableID id, F&& change) {
    Core()->Objects.ChangeVariable(id, std::forward<F>(change));
  }
  TKYTVarValue Read(TVariableID id, TKYTVarType type) {
    TKYTVariable variable = Core()->Objects.Variable(id);
    RequireType(variable, type);
    return variable.VariableValue;
  }
  template <class T>
  void Write(TVariableID id, TKYTVarType type, T TKYTVarValue::*field, const T& value) {
    Change(id, [&](TKYTVariable& v) {
      RequireType(v, type);
      Store(v, v.VariableValue.*field, value);
    });
  }
};

}  // namespace

TRef<IKYTVariableManager> MakeVariableManagerService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTVariableManager>(new TVariableManagerService(std::move(core)));
}

}  // namespace kyt::host
