#pragma once

// The records that travel between host and library. Each record lists its published properties
// in their external order through Publish(visitor): visitor(name, field) per property. Owned
// sub-records are plain members, so a record frees what it owns and nothing else.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/interface.h"
#include "framework/types.h"
#include "runtime/variant.h"

namespace kyt {

struct IKYTModule;

// Base of every host record: a serialisable value with no fields of its own.
struct TKYTRemotable {};

struct TKYTBasicModuleInformation : TKYTRemotable {
  std::string ModuleID;
  std::string ModuleName;  // at most 255 characters
  TKYTModuleType ModuleType = TKYTModuleType::mtCore;

  template <class V>
  void Publish(V&& v) const {
    v("ModuleID", ModuleID);
    v("ModuleName", ModuleName);
    v("ModuleType", ModuleType);
  }
};

struct TKYTObject : TKYTRemotable {
  TKYTID ParentID = 0;
  TKYTID ObjectID = 0;
  std::string ObjectName;
  std::string ObjectInfo;
  std::string ObjectSummary;
  TKYTObjectType ObjectType = TKYTObjectType::otCategory;
  uint16_t ObjectPosition = 0;
  uint32_t ObjectFlag = 0;
  bool IsPersistent = false;
  bool HasChildren = false;
  TKYTIDs ChildrenIDs;

  template <class V>
  void Publish(V&& v) const {
    v("ParentID", ParentID);
    v("ObjectID", ObjectID);
    v("ObjectName", ObjectName);
    v("ObjectInfo", ObjectInfo);
    v("ObjectSummary", ObjectSummary);
    v("ObjectType", ObjectType);
    v("ObjectPosition", ObjectPosition);
    v("ObjectFlag", ObjectFlag);
    v("IsPersistent", IsPersistent);
    v("HasChildren", HasChildren);
    v("ChildrenIDs", ChildrenIDs);
  }
};

struct TKYTInstance : TKYTRemotable {
  TInstanceID InstanceID = 0;
  TInstanceID ParentID = 0;
  bool NeedParent = false;
  TInstanceIDs ChildrenIDs;
  int32_t InstanceStatus = 0;
  TDateTime LastChange = 0;
  TKYTBasicModuleInformation ModuleInfo;
  // Unpublished: the live module object of the instance, or none. The host fills it.
  TRef<IKYTModule> InstanceInterface;

  template <class V>
  void Publish(V&& v) const {
    v("InstanceID", InstanceID);
    v("ParentID", ParentID);
    v("NeedParent", NeedParent);
    v("ChildrenIDs", ChildrenIDs);
    v("InstanceStatus", InstanceStatus);
    v("LastChange", LastChange);
    v("ModuleInfo", ModuleInfo);
  }
};

struct TKYTVarIndex : TKYTRemotable {
  TKYTVarIndexType IndexType = TKYTVarIndexType::itInt;
  int32_t IndexInt = 0;
  std::string IndexStr;

  template <class V>
  void Publish(V&& v) const {
    v("IndexType", IndexType);
    v("IndexInt", IndexInt);
    v("IndexStr", IndexStr);
  }
};

struct TKYTVarValue : TKYTRemotable {
  TKYTVarIndex ValueIndex;
  TKYTVarType ValueType = TKYTVarType::vtBoolean;
  bool ValueBoolean = false;
  int32_t ValueInteger = 0;
  double ValueFloat = 0;
  std::string ValueString;
  Variant ValueVariant;
  std::vector<TKYTVarValue> ValueArray;

  template <class V>
  void Publish(V&& v) const {
    v("ValueIndex", ValueIndex);
    v("ValueType", ValueType);
    v("ValueBoolean", ValueBoolean);
    v("ValueInteger", ValueInteger);
    v("ValueFloat", ValueFloat);
    v("ValueString", ValueString);
    v("ValueVariant", ValueVariant);
    v("ValueArray", ValueArray);
  }
};
using TKYTVarValues = std::vector<TKYTVarValue>;

struct TKYTNamedValue : TKYTRemotable {
  int32_t Value = 0;
  std::string Name;

  template <class V>
  void Publish(V&& v) const {
    v("Value", Value);
    v("Name", Name);
  }
};
using TKYTNamedValues = std::vector<TKYTNamedValue>;

struct TKYTVarProfile : TKYTRemotable {
  std::string ProfileName;
  std::string Prefix;
  std::string Suffix;
  int32_t MinValue = 0;
  int32_t MaxValue = 0;
  float StepSize = 0;
  int32_t Digits = 0;
  TKYTNamedValues NamedValues;

  template <class V>
  void Publish(V&& v) const {
    v("ProfileName", ProfileName);
    v("Prefix", Prefix);
    v("Suffix", Suffix);
    v("MinValue", MinValue);
    v("MaxValue", MaxValue);
    v("StepSize", StepSize);
    v("Digits", Digits);
    v("NamedValues", NamedValues);
  }
};

struct TKYTVariable : TKYTRemotable {
  TVariableID VariableID = 0;
  TDateTime VariableUpdated = 0;
  TDateTime VariableChanged = 0;
  TKYTVarValue VariableValue;
  bool VariableIsBinary = false;

  // The standard profile is owned; the custom one is shared with whoever set it. Reading
  // VariableProfile follows the switch, so it is the custom profile (possibly none) when the
  // use-custom flag is set.
  const TKYTVarProfile* VariableProfile() const {
    return UseCustomProfile ? CustomProfile.get() : &StandardProfile;
  }
  void SetVariableProfile(const TKYTVarProfile& profile) { StandardProfile = profile; }
  bool UseCustomProfile = false;
  std::shared_ptr<const TKYTVarProfile> CustomProfile;

  template <class V>
  void Publish(V&& v) const {
    v("VariableID", VariableID);
    v("VariableProfile", VariableProfile());
    v("VariableUpdated", VariableUpdated);
    v("VariableChanged", VariableChanged);
    v("VariableValue", VariableValue);
    v("VariableIsBinary", VariableIsBinary);
  }

 private:
  TKYTVarProfile StandardProfile;
};

struct TKYTStatusVariable;
using TStatusVariableAction = std::function<void(TKYTStatusVariable&, const Variant&)>;

// A field that never travels with a copy: copies of a status variable carry no action handler.
class TUncopiedAction {
 public:
  TUncopiedAction() = default;
  TUncopiedAction(TStatusVariableAction fn) : fn_(std::move(fn)) {}  // NOLINT
  TUncopiedAction(const TUncopiedAction&) {}
  TUncopiedAction& operator=(const TUncopiedAction&) {
    fn_ = nullptr;
    return *this;
  }
  TUncopiedAction(TUncopiedAction&&) noexcept = default;
  TUncopiedAction& operator=(TUncopiedAction&&) noexcept = default;
  explicit operator bool() const { return static_cast<bool>(fn_); }
  void operator()(TKYTStatusVariable& var, const Variant& value) const { fn_(var, value); }

 private:
  TStatusVariableAction fn_;
};

struct TKYTStatusVariable : TKYTRemotable {
  std::string VariableIdent;
  std::string VariableName;
  TKYTVarType VariableType = TKYTVarType::vtBoolean;
  std::optional<TKYTVarProfile> VariableProfile;
  TVariableID VariableID = 0;
  bool VariableHasAction = false;
  // Unpublished; see TUncopiedAction.
  TUncopiedAction ActionHandler;

  template <class V>
  void Publish(V&& v) const {
    v("VariableIdent", VariableIdent);
    v("VariableName", VariableName);
    v("VariableType", VariableType);
    v("VariableProfile", VariableProfile ? &*VariableProfile : nullptr);
    v("VariableID", VariableID);
    v("VariableHasAction", VariableHasAction);
  }
};

struct THIDDevice : TKYTRemotable {
  std::string DeviceSerial;
  int32_t ProductID = 0;
  int32_t VendorID = 0;
  std::string DeviceName;
  std::string DeviceVendor;

  template <class V>
  void Publish(V&& v) const {
    v("DeviceSerial", DeviceSerial);
    v("ProductID", ProductID);
    v("VendorID", VendorID);
    v("DeviceName", DeviceName);
    v("DeviceVendor", DeviceVendor);
  }
};

struct TFTDIDevice : TKYTRemotable {
  std::string SerialNumber;
  std::string Description;
  bool InUse = false;

  template <class V>
  void Publish(V&& v) const {
    v("SerialNumber", SerialNumber);
    v("Description", Description);
    v("InUse", InUse);
  }
};

struct TUSBXpDevice : TKYTRemotable {
  std::string SerialNumber;
  std::string Description;

  template <class V>
  void Publish(V&& v) const {
    v("SerialNumber", SerialNumber);
    v("Description", Description);
  }
};

using TKYTObjects = std::vector<TKYTObject>;
using TKYTInstances = std::vector<TKYTInstance>;
using TKYTVariables = std::vector<TKYTVariable>;
using TKYTStatusVariables = std::vector<TKYTStatusVariable>;
using THIDDevices = std::vector<THIDDevice>;
using TFTDIDevices = std::vector<TFTDIDevice>;
using TUSBXpDevices = std::vector<TUSBXpDevice>;

}  // namespace kyt
