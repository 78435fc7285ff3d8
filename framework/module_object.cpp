#include "framework/module_object.h"

#include <fmt/format.h>

#include <utility>

#include "framework/translate.h"
#include "framework/typeinfo.h"
#include "runtime/teardown.h"

namespace kyt {

// ---- TKYTMessageObject --------------------------------------------------------------------

TKYTMessageObject::TKYTMessageObject(const TRef<IKYTKernel>& kernel) : Kernel(kernel) {
  KernelRunlevel = Kernel->GetKernelRunlevel();
}

TKYTMessageObject::~TKYTMessageObject() {
  // Ended without a teardown: a constructor raised after the object was counted.
  if (countedAs_ != nullptr)
    CountObjectLost(countedAs_);
}

HRESULT TKYTMessageObject::QueryInterface(const TGUID& iid, void** obj) {
  void* found = nullptr;
  if (iid == IInterface::IID || iid == IKYTInterface::IID) {
    found = static_cast<IKYTInterface*>(this);
  } else if (iid == IKYTMessageSink::IID) {
    found = static_cast<IKYTMessageSink*>(this);
  } else {
    found = FindInterface(iid);
  }
  *obj = found;
  if (found == nullptr)
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

int32_t TKYTMessageObject::AddRef() {
  return ++refCount_;
}

int32_t TKYTMessageObject::Release() {
  int32_t count = --refCount_;
  if (count == 0) {
    // The last reference may drop on one of the instance's own workers, or inside a delivery
    // that a worker waits for: the runtime then tears it down elsewhere.
    const void* owner = std::exchange(countedAs_, nullptr);
    TearDownObject(
        owner, [](void* object) { delete static_cast<TKYTMessageObject*>(object); }, this);
  }
  return count;
}

int32_t TKYTMessageObject::GetRefCount() {
  return refCount_.load();
}

void TKYTMessageObject::MessageSink(const TKYTMessage& Message) {
  switch (Message.Message) {
    case IM_CHANGERUNLEVEL:
      // Converted before it is stored, so a bad value leaves the run level as it was.
      KernelRunlevel = FirstArgument(Message).AsInteger();
      KernelRunlevelChanged(KernelRunlevel);
      break;
    case IM_INSTANCEMESSAGE:
      HandleInstanceMessage(Message.SenderID, FirstArgument(Message).AsInteger());
      break;
    default:
      break;
  }
}

const Variant& TKYTMessageObject::FirstArgument(const TKYTMessage& Message) {
  if (Message.Data.empty()) {
    throw EConvertError(fmt::format("Message {} carries no data", Message.Message));
  }
  return Message.Data.front();
}

void TKYTMessageObject::KernelRunlevelChanged(int32_t) {}
void TKYTMessageObject::HandleInstanceMessage(TKYTID, int32_t) {}
void* TKYTMessageObject::FindInterface(const TGUID&) {
  return nullptr;
}

TStringArray TKYTCallableObject::GetCallableFunctions() {
  return {};
}

// ---- TKYTModuleObject ---------------------------------------------------------------------

TKYTModuleObject::TKYTModuleObject(const TKYTModuleClass& Class, const TRef<IKYTKernel>& Kernel,
                                   TInstanceID InstanceID)
    : TKYTCallableObject(Kernel), InstanceID(InstanceID), class_(Class) {
  CanSearch = false;
  LogMessage(KL_MESSAGE, Translate("Creating..."));
  RegisterScriptFunctions();
  // Counted from here: a host keeps the code of the class loaded while any is alive.
  countedAs_ = &class_;
  CountObjectMade(countedAs_);
}

TKYTModuleObject::~TKYTModuleObject() {
  try {
    Kernel->GetScriptEngine()->UnregisterFunctions(InstanceID);
  } catch (...) {
    // A host that fails here cannot be told anything more; the object goes regardless.
  }
}

HRESULT TKYTModuleObject::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IKYTModule::IID) {
    *obj = static_cast<IKYTModule*>(this);
    AddRef();
    return S_OK;
  }
  return TKYTMessageObject::QueryInterface(iid, obj);
}

void TKYTModuleObject::RegisterScriptFunctions() {
  TRef<IKYTModuleLoaderEx> loader = Kernel->GetModuleLoader();
  const std::string moduleID = GetModuleID();
  const std::string prefix = loader->GetModulePrefix(moduleID);
  const bool flag = loader->GetModuleFunctionFlag(moduleID);
  TRef<IKYTScriptEngineEx> engine = Kernel->GetScriptEngine();
  TCallFunctionHandler handler = [this](const std::string& name, const std::vector<Variant>& args) {
    return CallFunction(name, args);
  };
  for (const TGUID& iid : class_.Interfaces) {
    const TInterfaceTypeInfo* info = loader->GetInterfaceTypeInfo(iid);
    if (info == nullptr)
      continue;
    if (iid == IKYTModule::IID) {
      engine->RegisterFunctions(info, "KYT", handler, InstanceID, false);
    } else {
      engine->RegisterFunctions(info, prefix, handler, InstanceID, flag);
    }
  }
}

Variant TKYTModuleObject::CallFunction(const std::string& FunctionName,
                                       const std::vector<Variant>&) {
  throw EKYTModuleObject(TranslateFormat("PHP function was not handled: %s", FunctionName));
}

TTimerCallback TKYTModuleObject::InstanceTimer(std::function<void()> Tick) {
  return [this, tick = std::move(Tick)] {
    const TInstanceLock::THold hold = Changing();
    tick();
  };
}

bool TKYTModuleObject::SupportsSearching() {
  return Read(CanSearch);
}

void TKYTModuleObject::DoSearching(bool Enable) {
  const TInstanceLock::THold hold = Using();
  Searching = Enable;
  Kernel->SendMessage(InstanceID, IM_SEARCHING, {Variant(Enable)});
}

void TKYTModuleObject::SelectDevice(int32_t) {
  throw EKYTModuleObject(Translate("This module does not support selective seaching!"));
}

bool TKYTModuleObject::IsSearching() {
  return Read(Searching);
}
bool TKYTModuleObject::HasChanges() {
  return Read(Changed);
}

}  // namespace kyt
