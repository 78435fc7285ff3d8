#pragma once

// The base of every module: what the host sees of an instance. TKYTMessageObject counts
// references and receives host messages; TKYTModuleObject adds the instance identity, the script
// functions, the property store (property_store.cpp), the data flow (data_flow.cpp) and the
// status variables (status_variables.cpp).

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/codes.h"
#include "framework/instance_lock.h"
#include "framework/interfaces.h"
#include "framework/module_class.h"
#include "framework/property_registry.h"
#include "framework/status_variable_list.h"
#include "runtime/exception.h"

namespace kyt {

class EKYTModuleObject : public Exception {
 public:
  using Exception::Exception;
};

class TKYTMessageObject : public virtual IKYTMessageSink {
 public:
  explicit TKYTMessageObject(const TRef<IKYTKernel>& Kernel);
  virtual ~TKYTMessageObject();
  TKYTMessageObject(const TKYTMessageObject&) = delete;
  TKYTMessageObject& operator=(const TKYTMessageObject&) = delete;

  // IInterface / IKYTInterface
  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t AddRef() override;
  int32_t Release() override;
  int32_t GetRefCount() override;

  // IKYTMessageSink: dispatches 10010 and 10055; other messages are ignored.
  void MessageSink(const TKYTMessage& Message) override;

 protected:
  virtual void KernelRunlevelChanged(int32_t Runlevel);
  virtual void HandleInstanceMessage(TKYTID SenderID, int32_t Value);
  // Interfaces beyond the base ones; modules answer through their TInterfaceList.
  virtual void* FindInterface(const TGUID& iid);

  TRef<IKYTKernel> Kernel;
  std::atomic<int32_t> KernelRunlevel{0};

 private:
  // The first data element of a host message; raises EConvertError when there is none.
  static const Variant& FirstArgument(const TKYTMessage& Message);

  std::atomic<int32_t> refCount_{1};  // the creator's reference, adopted by the factory

 protected:
  // What the object is counted alive under (runtime/teardown.h), once fully constructed.
  const void* countedAs_ = nullptr;
};

class TKYTCallableObject : public TKYTMessageObject {
 public:
  using TKYTMessageObject::TKYTMessageObject;
  virtual TStringArray GetCallableFunctions();
};

// A pending and an applied copy of a module's settings, copied whole.
template <class S>
struct TSettingsPair {
  S Pending{};
  S Applied{};
  void Apply() { Applied = Pending; }
  void Reset() { Pending = Applied; }
};

// A failure's message, for a log line: what() of a standard exception, else "Unknown
// exception".
std::string FailureText(std::exception_ptr failure);

class TKYTModuleObject : public TKYTCallableObject, public virtual IKYTModule {
 public:
  TKYTModuleObject(const TKYTModuleClass& Class, const TRef<IKYTKernel>& Kernel,
                   TInstanceID InstanceID);
  ~TKYTModuleObject() override;

  // IKYTModule: status variables (fixed base operations).
  bool StatusVariableExists(const std::string& VariableIdent) override;
  TKYTStatusVariable GetStatusVariable(const std::string& VariableIdent) override;
  TKYTStatusVariables GetStatusVariables() override;
  TStringArray GetStatusVariableIDs() override;
  TVariableID GetStatusVariableID(const std::string& VariableIdent) override;
  void SetStatusVariableID(const std::string& VariableIdent, TVariableID VariableID) override;
  void RequestAction(const std::string& VariableIdent, const Variant& Value) override;
  // IKYTModule: the virtual operations of the same names.
  bool SupportsSearching() override;
  void DoSearching(bool Enable) override;
  void SelectDevice(int32_t SearchID) override;
  bool IsSearching() override;
  void LoadSettings() override;
  void SaveSettings() override;
  bool HasChanges() override;
  void ResetChanges() override;
  void ApplyChanges() override;

  void MessageSink(const TKYTMessage& Message) override { TKYTMessageObject::MessageSink(Message); }

  // Fails with "PHP function was not handled: %s".
  virtual Variant CallFunction(const std::string& FunctionName,
                               const std::vector<Variant>& Arguments);

  TInstanceID GetInstanceID() const { return InstanceID; }
  const TKYTModuleClass& GetClass() const { return class_; }
  // Instance forms of the class operations.
  std::string GetModuleID() const { return class_.GetModuleID(); }
  std::string GetModuleName() const { return class_.GetModuleName(); }
  TKYTModuleType GetModuleType() const { return class_.GetModuleType(); }

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;

 protected:
  // Called at the end of every module constructor: LoadSettings, then ApplyChanges (a failure
  // of the apply is logged as 10025 and construction completes).
  virtual void LoadAndApplySettings();
  // Called first in every module destructor: logs "Deleting...", drops pending edits and stores
  // the applied settings.
  virtual void PrepareDelete();

  // ---- Property store ----
  void RegisterPropertyBoolean(const std::string& Name, std::function<bool()> Getter,
                               std::function<void(bool)> Setter);
  void RegisterPropertyInteger(const std::string& Name, std::function<int32_t()> Getter,
                               std::function<void(int32_t)> Setter);
  void RegisterPropertyString(const std::string& Name, std::function<std::string()> Getter,
                              std::function<void(const std::string&)> Setter);
  // The common registration; codes other than 0 to 3 make loading and saving fail.
  void RegisterProperty(const std::string& Name, uint8_t PropertyType,
                        std::function<Variant()> Getter,
                        std::function<void(const Variant&)> Setter);
  void NotifyChange();
  // Stores `value` in a pending setting and notifies only when it differs.
  template <class T, class U>
  void ChangeSetting(T& field, U&& value) {
    const TInstanceLock::THold hold = Using();
    if (field == value)
      return;
    field = std::forward<U>(value);
    NotifyChange();
  }

  // ---- The instance lock (framework/instance_lock.h) ----
  // Every entry point of a module enters it first: applying, resetting, loading, timer ticks
  // and device changes as a Change; sending and the property accessors as a Use. Receive
  // paths enter nothing.
  [[nodiscard]] TInstanceLock::THold Changing() {
    return lock_.Enter(TInstanceLock::TEntry::Change);
  }
  [[nodiscard]] TInstanceLock::THold Using() { return lock_.Enter(TInstanceLock::TEntry::Use); }
  // A copy of `field` taken inside a Use entry, for property getters.
  template <class T>
  T Read(const T& field) {
    const TInstanceLock::THold hold = Using();
    return field;
  }
  // A host timer's callback that ticks inside a Change entry.
  TTimerCallback InstanceTimer(std::function<void()> Tick);
  // For ApplyChanges overrides, first thing: an apply asked for from inside this instance's own
  // delivery (a child applying its parent from ReceiveData) would stop and wait for the very
  // thread that delivers, or for a worker that waits for it. It is queued to the service thread
  // instead (runtime/teardown.h), which runs it once the instance is free, and the answer is
  // true. A failure of the queued apply is logged as 10025.
  bool ApplyLaterWhenDelivering();
  TInstanceLock& InstanceLock() { return lock_; }

  // ---- Data flow and reporting ----
  void LogMessage(int32_t Code, const std::string& Text);
  void SendDebug(const std::string& Title, const std::string& Data);
  void SetStatus(int32_t Status);
  void SetSummary(const std::string& Summary);
  // The live module objects below this instance, in the host's order; built afresh each call.
  std::vector<TRef<IKYTModule>> GetChildInterfaces();
  // Hands one received block to every child that takes IKYTReceiveData; a child's failure is
  // logged as 10024 and the next child is still served.
  void DeliverToChildren(const std::string& Data);
  // The same for IKYTHIDReceiveData, with the report ID.
  void DeliverEventToChildren(uint8_t ReportID, const std::string& Data);

  // ---- Status variables ----
  // Declares a pending status variable; fails when the identifier exists (any letter case).
  TKYTStatusVariable& RegisterStatusVariable(const std::string& Ident, const std::string& Name,
                                             TKYTVarType Type,
                                             std::optional<TKYTVarProfile> Profile = std::nullopt,
                                             TStatusVariableAction Action = nullptr);

  void PostChangeState();

  bool Changed = false;
  bool Searching = false;
  bool CanSearch = false;
  const TInstanceID InstanceID;
  TStatusVariableList StatusVariables;
  TStatusVariableList AppliedStatusVariables;

 private:
  void RegisterScriptFunctions();
  template <class I, class F>
  void HandToChildren(const F& call);
  void LoadStatusVariables();
  void MaintainStatusVariables();

  const TKYTModuleClass& class_;
  TPropertyRegistry properties_;
  TInstanceLock lock_;
};

// The interfaces a module class declares beyond IKYTModule, in declaration order. Each
// interface is followed by the interfaces it extends (through its `Parent`).
template <class... I>
struct TInterfaceList {
  template <class T>
  static void* Find(T* self, const TGUID& iid) {
    void* found = nullptr;
    ((found = found ? found : FindIn<I>(self, iid)), ...);
    return found;
  }
  static std::vector<TGUID> Declared() {
    std::vector<TGUID> out;
    (AppendWithParents<I>(out), ...);
    out.push_back(IKYTModule::IID);
    return out;
  }

 private:
  template <class J, class T>
  static void* FindIn(T* self, const TGUID& iid) {
    if (iid == J::IID)
      return static_cast<J*>(self);
    if constexpr (requires { typename J::Parent; }) {
      return FindIn<typename J::Parent>(self, iid);
    } else {
      return nullptr;
    }
  }
  template <class J>
  static void AppendWithParents(std::vector<TGUID>& out) {
    out.push_back(J::IID);
    if constexpr (requires { typename J::Parent; })
      AppendWithParents<typename J::Parent>(out);
  }
};

// Builds a class descriptor for module class T (which declares `using Interfaces = ...`).
template <class T>
TKYTModuleClass MakeModuleClass(TKYTModuleClass cls) {
  cls.Interfaces = T::Interfaces::Declared();
  cls.Create = [](const TRef<IKYTKernel>& kernel, TInstanceID id) {
    T* obj = new T(kernel, id);
    return TRef<IKYTModule>::Adopt(static_cast<IKYTModule*>(obj));
  };
  return cls;
}

}  // namespace kyt
