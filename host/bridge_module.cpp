#include "host/bridge_module.h"

#include <fmt/format.h>

#include "framework/codes.h"

namespace kyt::host {

const TKYTModuleClass TKYTBridge::Class = MakeModuleClass<TKYTBridge>({
    .ClassName = "TKYTBridge",
    .ModuleID = "{9757E309-0C6D-472C-A686-11020899D3BE}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Bridge",
    .Implemented = {IKYTReceiveData::IID.ToString()},
});

TKYTBridge::TKYTBridge(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  RegisterPropertyInteger(
      "Target", [this] { return Read(target_.Pending); },
      [this](int32_t v) { ChangeSetting(target_.Pending, v); });
  LoadAndApplySettings();
}

TKYTBridge::~TKYTBridge() {
  PrepareDelete();
}

void TKYTBridge::ReceiveData(const std::string& Data) {
  Target()->SendData(Data);
}

void TKYTBridge::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  target_.Apply();
  appliedTarget_ = target_.Applied;
  TKYTModuleObject::ApplyChanges();
  SetSummary(target_.Applied > 0 ? fmt::format("#{}", target_.Applied) : "");
  SetStatus(target_.Applied > 0 ? IS_ACTIVE : IS_INACTIVE);
}

void TKYTBridge::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  target_.Reset();
  TKYTModuleObject::ResetChanges();
}

TRef<IKYTSendData> TKYTBridge::Target() const {
  int32_t id = appliedTarget_;
  if (id <= 0 || id > 0xFFFF) {
    throw EKYTModuleObject(fmt::format("Bridge #{}: no target instance set", InstanceID));
  }
  auto instances = Kernel->GetInstanceManager();
  if (!instances->InstanceExists(static_cast<TInstanceID>(id))) {
    throw EKYTModuleObject(fmt::format("Bridge #{}: target #{} does not exist", InstanceID, id));
  }
  TKYTInstance target = instances->GetInstance(static_cast<TInstanceID>(id));
  TRef<IKYTSendData> send = Supports<IKYTSendData>(target.InstanceInterface);
  if (!send) {
    throw EKYTModuleObject(
        fmt::format("Bridge #{}: target #{} does not take data", InstanceID, id));
  }
  return send;
}

}  // namespace kyt::host
