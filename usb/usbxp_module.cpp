#include "usb/usbxp_module.h"

#include "framework/translate.h"

namespace kyt {

const TKYTModuleClass TKYTUSBXp::Class = MakeModuleClass<TKYTUSBXp>({
    .ClassName = "TKYTUSBXp",
    .ModuleID = IKYTUSBXp::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "SI USBXpress",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TKYTUSBXp::TKYTUSBXp(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TVendorSerialModule(Class, Kernel, InstanceID), controller_(LoadController()) {
  if (controller_)
    controller_->OnReceive = [this](const std::string& Data, int32_t) { Received(Data); };
  settings_.Pending.BaudRate = 19200;
  RegisterLineProperties();
  LoadAndApplySettings();
  settings_.Apply();
}

TKYTUSBXp::~TKYTUSBXp() {
  PrepareDelete();
  StopOutput();
  if (controller_) {
    try {
      controller_->Unload();
    } catch (...) {
      LogMessage(KL_WARNING, Translate(">Failed unloading USBXpress Driver!"));
    }
    controller_.reset();
  }
}

std::unique_ptr<TUSBXpController> TKYTUSBXp::LoadController() {
  try {
    auto controller = std::make_unique<TUSBXpController>();
    LogMessage(KL_VERSION, controller->GetLibraryVersion());
    return controller;
  } catch (const EVendorLibraryLoad& e) {
    LogMessage(KL_WARNING, Translate(">Failed loading USBXpress DLL!"));
    LogMessage(KL_WARNING, e.Detail());
    return nullptr;
  } catch (...) {
    LogMessage(KL_WARNING, Translate(">Failed loading USBXpress DLL!"));
    return nullptr;
  }
}

void TKYTUSBXp::RaiseInvalidParity() {
  throw EKYTUSBXp(Translate("Invalid Parity Value"));
}

TUSBXpDevices TKYTUSBXp::GetDevices() {
  const TInstanceLock::THold hold = Using();
  TUSBXpDevices devices;
  if (!controller_)
    return devices;
  for (const TUSBXpDeviceInfo& found : ListDevices(*controller_)) {
    TUSBXpDevice device;
    device.SerialNumber = found.SerialNumber;
    device.Description = found.Description;
    devices.push_back(std::move(device));
  }
  return devices;
}

void TKYTUSBXp::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  if (!controller_)
    throw Exception(Translate("Cannot send Data when USBXpress Port is not connected!"));
  SendDebug("TRANSMITTED", Text);
  // Queued for the writer thread; a write that failed since raises here, unchanged.
  SendQueued(Text);
}

// On the writer thread: the failure reaches the next send; until then the log tells of it.
void TKYTUSBXp::WriteFailed(const std::exception_ptr& Failure) {
  LogMessage(KL_WARNING, LogPrefix() + FailureText(Failure));
}

void TKYTUSBXp::ApplyChanges() {
  if (ApplyLaterWhenDelivering())
    return;
  const TInstanceLock::THold hold = Changing();
  // Nothing is caught here: a failure ends the apply and the applied settings stay as they were.
  if (controller_) {
    if (controller_->Opened())
      CloseLine(*controller_);
    TakeDeviceName(*controller_);
    if (settings_.Pending.Open)
      OpenAndConfigure(*controller_);
    if (controller_->Opened())
      SetStatus(IS_ACTIVE);
  }
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  SetSummary(LineSummary(settings_.Applied));
}

}  // namespace kyt
