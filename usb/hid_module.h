#pragma once

// The HID module ("HID"): one USB human-interface device chosen by vendor ID, product ID and
// serial number. Its input reports reach every child with their report ID; children send
// output reports through it; unplugging and plugging the device back is followed.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/module_object.h"
#include "usb/hid_controller.h"

namespace kyt {

class TKYTHID final : public TKYTModuleObject,
                      public virtual IKYTHIDSendData,
                      public virtual IKYTHID {
 public:
  using Interfaces = TInterfaceList<IKYTHIDSendData, IKYTHID>;
  static const TKYTModuleClass Class;

  TKYTHID(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTHID() override;

  // IKYTHID
  void SetOpen(bool Open) override { ChangeSetting(settings_.Pending.Open, Open); }
  void SetDeviceSerial(const std::string& Serial) override;
  void SetDeviceVendorID(int32_t VID) override;
  void SetDeviceProductID(int32_t PID) override;
  bool GetOpen() override { return Read(settings_.Pending.Open); }
  std::string GetDeviceSerial() override { return Read(settings_.Pending.Device.DeviceSerial); }
  int32_t GetDeviceVendorID() override { return Read(settings_.Pending.Device.VendorID); }
  int32_t GetDeviceProductID() override { return Read(settings_.Pending.Device.ProductID); }
  THIDDevices GetDevices() override;
  // IKYTHID and IKYTHIDSendData
  void SendEvent(uint8_t ReportID, const std::string& Text) override;

  void ResetChanges() override;
  void ApplyChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  using TDevicePtr = TJvHidDeviceController::TDevicePtr;

  struct TSettings {
    bool Open = false;
    THIDDevice Device;
  };

  void SetDeviceName(const std::string& Name) { settings_.Pending.Device.DeviceName = Name; }
  void CreateController();
  TDevicePtr FindConfiguredDevice() const;
  bool MatchesConfiguredIdentity(TJvHidDevice& HidDev) const;
  TDevicePtr Selected() const;
  // Makes `HidDev` the selected device; the earlier one, if another, stops reporting to us.
  void Select(TDevicePtr HidDev);
  void Attach(TJvHidDevice& HidDev);
  static void Detach(TJvHidDevice& HidDev);

  // Controller and device events.
  void DeviceChanged();
  bool DeviceEnumerated(TJvHidDevice& HidDev);
  void DeviceArrived(TJvHidDevice& HidDev);
  void DeviceUnplugged(TJvHidDevice& HidDev);
  void ReportReceived(uint8_t ReportID, const uint8_t* Data, uint16_t Size);

  TSettingsPair<TSettings> settings_;
  std::unique_ptr<TJvHidDeviceController> controller_;
  std::vector<TDevicePtr> devices_;
  // SendEvent and GetDevices run on their callers' threads while device events change these.
  mutable std::mutex lock_;
  TDevicePtr selected_;
};

}  // namespace kyt
