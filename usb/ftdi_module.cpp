#include "usb/ftdi_module.h"

#include "framework/translate.h"

namespace kyt {

const TKYTModuleClass TKYTFTDI::Class = MakeModuleClass<TKYTFTDI>({
    .ClassName = "TKYTFTDI",
    .ModuleID = IKYTFTDI::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "FTDI",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TKYTFTDI::TKYTFTDI(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TVendorSerialModule(Class, Kernel, InstanceID),
      controller_(LoadController()),
      // Registered before the first apply, so a device that cannot be opened at creation is
      // retried from the first tick once the kernel runs.
      reconnect_(Kernel, InstanceID, InstanceTimer([this] { Reconnect(); })) {
  if (controller_)
    controller_->OnReceive = [this](const std::string& Data, int32_t) { Received(Data); };
  RegisterLineProperties();
  LoadAndApplySettings();
  // A failed first apply still takes the settings, so the timer retries them.
  settings_.Apply();
}

TKYTFTDI::~TKYTFTDI() {
  PrepareDelete();
  // The writer reports to the timer and uses the controller: it ends first.
  StopOutput();
  // No timer tick may reach an instance that is going away.
  reconnect_.Unregister();
  if (controller_) {
    try {
      controller_->Unload();
    } catch (...) {
      LogMessage(KL_WARNING, Translate(">Failed unloading FTDI Driver!"));
    }
    controller_.reset();
  }
}

std::unique_ptr<TD2XXController> TKYTFTDI::LoadController() {
  try {
    auto controller = std::make_unique<TD2XXController>();
    LogMessage(KL_VERSION, controller->GetLibraryVersion());
    return controller;
  } catch (const EVendorLibraryLoad& e) {
    LogMessage(KL_WARNING, Translate(">Failed loading FTDI DLL!"));
    LogMessage(KL_WARNING, e.Detail());
    return nullptr;
  } catch (...) {
    LogMessage(KL_WARNING, Translate(">Failed loading FTDI DLL!"));
    return nullptr;
  }
}

void TKYTFTDI::RaiseInvalidParity() {
  throw EKYTFTDI(Translate("Invalid Parity Value"));
}

TFTDIDevices TKYTFTDI::GetDevices() {
  const TInstanceLock::THold hold = Using();
  TFTDIDevices devices;
  if (!controller_)
    return devices;
  for (const TD2XXDevice& found : ListDevices(*controller_)) {
    TFTDIDevice device;
    device.SerialNumber = found.SerialNumber;
    device.Description = found.Description;
    device.InUse = found.InUse;
    devices.push_back(std::move(device));
  }
  return devices;
}

// The text goes on the device's queue and its writer thread writes it, so the caller never
// waits for the line. A closed device, or a write that failed since, takes the failure path.
void TKYTFTDI::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  if (!controller_)
    throw Exception(Translate("Cannot send Data when FTDI Port is not connected!"));
  SendDebug("TRANSMITTED", Text);
  try {
    SendQueued(Text);
  } catch (const EFTDIException&) {
    LineLost();
    throw;
  }
}

void TKYTFTDI::LineLost() {
  SetStatus(IS_ERROR);
  LogMessage(KL_MESSAGE, "FTDI - " + Translate("Closed"));
  reconnect_.Lost();
}

// On the writer thread: nobody waits for the write to raise its failure, so it is logged.
void TKYTFTDI::WriteFailed(const std::exception_ptr& Failure) {
  LogMessage(KL_WARNING, "FTDI - " + FailureText(Failure));
  LineLost();
}

void TKYTFTDI::ApplyChanges() {
  if (ApplyLaterWhenDelivering())
    return;
  const TInstanceLock::THold hold = Changing();
  if (!controller_) {
    SetStatus(IS_ERROR);
  } else {
    if (controller_->Opened()) {
      try {
        CloseLine(*controller_);
      } catch (...) {
        SetStatus(IS_ERROR);
      }
    }
    TakeDeviceName(*controller_);
    if (settings_.Pending.Open) {
      try {
        OpenAndConfigure(*controller_);
      } catch (...) {
        SetStatus(IS_ERROR);
        throw;
      }
    } else {
      SetStatus(IS_INACTIVE);
    }
    if (controller_->Opened()) {
      SetStatus(IS_ACTIVE);
      reconnect_.Opened();
    }
  }
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  SetSummary(LineSummary(settings_.Applied));
}

void TKYTFTDI::Reconnect() {
  if (KernelRunlevel != KR_READY)
    return;
  if (!controller_ || !settings_.Applied.Open) {
    reconnect_.Stop();
    return;
  }
  try {
    const int32_t attempt = reconnect_.NextAttempt();
    LogMessage(KL_MESSAGE, "FTDI - " + TranslateFormat("Opening... #%d", attempt));
    ApplyChanges();
  } catch (const std::exception& e) {
    LogMessage(KL_ERROR, e.what());
  }
}

}  // namespace kyt
