#pragma once

// The FTDI module ("FTDI"): one FTDI USB serial converter, chosen by its serial number, whose
// received bytes reach every child and which writes what the children send. After a failed
// write it reopens the device on its "Reconnect" timer.

#include <memory>
#include <string>

#include "framework/reconnect_timer.h"
#include "usb/ftdi_controller.h"
#include "usb/vendor_serial_module.h"

namespace kyt {

class EKYTFTDI : public Exception {
 public:
  using Exception::Exception;
};

class TKYTFTDI final : public TVendorSerialModule<IKYTFTDI> {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTFTDI>;
  static const TKYTModuleClass Class;

  TKYTFTDI(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTFTDI() override;

  TFTDIDevices GetDevices() override;
  void SendText(const std::string& Text) override;

  void ApplyChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }
  [[noreturn]] void RaiseInvalidParity() override;
  std::string LogPrefix() const override { return "FTDI - "; }
  void WriteFailed(const std::exception_ptr& Failure) override;

 private:
  std::unique_ptr<TD2XXController> LoadController();
  void Reconnect();
  // Status 200, "Closed" logged, the next attempt in 10 seconds.
  void LineLost();

  // Missing when the driver library could not be loaded.
  std::unique_ptr<TD2XXController> controller_;
  TReconnectTimer reconnect_;
};

}  // namespace kyt
