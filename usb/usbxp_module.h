#pragma once

// The USBXpress module ("USBXp"): one Silicon Labs USBXpress device, chosen by its serial
// number, whose received bytes reach every child and which writes what the children send. It
// has no reconnect timer and reports only an active status.

#include <memory>
#include <string>

#include "usb/usbxp_controller.h"
#include "usb/vendor_serial_module.h"

namespace kyt {

class EKYTUSBXp : public Exception {
 public:
  using Exception::Exception;
};

class TKYTUSBXp final : public TVendorSerialModule<IKYTUSBXp> {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTUSBXp>;
  static const TKYTModuleClass Class;

  TKYTUSBXp(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTUSBXp() override;

  TUSBXpDevices GetDevices() override;
  void SendText(const std::string& Text) override;

  void ApplyChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }
  [[noreturn]] void RaiseInvalidParity() override;
  std::string LogPrefix() const override { return "USBXpress - "; }
  void WriteFailed(const std::exception_ptr& Failure) override;

 private:
  std::unique_ptr<TUSBXpController> LoadController();

  // Missing when the driver library could not be loaded.
  std::unique_ptr<TUSBXpController> controller_;
};

}  // namespace kyt
