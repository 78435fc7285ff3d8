#pragma once

// The part the FTDI and USBXpress modules share: the eight line-setting properties with their
// conversions, the IKYTSerialControl accessors, the receive path on the controller's watch
// thread, the writes on a thread of the device's own, and reading the device list. I is the
// module interface (IKYTFTDI or IKYTUSBXp).

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "framework/module_object.h"
#include "framework/translate.h"
#include "usb/vendor_line_settings.h"
#include "usb/vendor_output.h"

namespace kyt {

template <class I>
class TVendorSerialModule : public TKYTModuleObject, public virtual IKYTSendData, public virtual I {
 public:
  // IKYTSerialControl
  void SetBaudRate(const std::string& BaudRate) override {
    ChangeSetting(settings_.Pending.BaudRate, TextToInteger(BaudRate));
  }
  void SetStopBits(const std::string& StopBits) override {
    ChangeSetting(settings_.Pending.StopBits, StopBitsFromText(StopBits));
  }
  void SetDataBits(const std::string& DataBits) override {
    ChangeSetting(settings_.Pending.DataBits, TextToInteger(DataBits));
  }
  void SetParity(const std::string& Parity) override {
    const TInstanceLock::THold hold = this->Using();
    if (AllDigits(Parity)) {
      settings_.Pending.Parity = TextToInteger(Parity);
      NotifyChange();
      return;
    }
    const auto index = ParityNames().Find(Parity);
    if (!index)
      RaiseInvalidParity();
    ChangeSetting(settings_.Pending.Parity, static_cast<int32_t>(*index));
  }
  std::string GetBaudRate() override { return std::to_string(settings_.Pending.BaudRate); }
  std::string GetStopBits() override { return StopBitsText(settings_.Pending.StopBits); }
  std::string GetDataBits() override { return std::to_string(settings_.Pending.DataBits); }
  std::string GetParity() override { return ParityText(settings_.Pending.Parity); }

  // The module interface's property accessors.
  void SetOpen(bool Open) override { ChangeSetting(settings_.Pending.Open, Open); }
  void SetPort(const std::string& Port) override { ChangeSetting(settings_.Pending.Port, Port); }
  bool GetOpen() override { return Read(settings_.Pending.Open); }
  std::string GetPort() override { return Read(settings_.Pending.Port); }

  // IKYTSendData
  void SendData(const std::string& Data) override { this->SendText(Data); }

  void ResetChanges() override {
    const TInstanceLock::THold hold = Changing();
    settings_.Reset();
    TKYTModuleObject::ResetChanges();
  }

 protected:
  TVendorSerialModule(const TKYTModuleClass& Class, const TRef<IKYTKernel>& Kernel,
                      TInstanceID InstanceID)
      : TKYTModuleObject(Class, Kernel, InstanceID) {}

  // The properties in their registration order; values live in the pending settings.
  void RegisterLineProperties() {
    auto text = [this](const char* name, std::string (TVendorSerialModule::*get)(),
                       void (TVendorSerialModule::*set)(const std::string&)) {
      RegisterPropertyString(
          name, [this, get] { return (this->*get)(); },
          [this, set](const std::string& v) { (this->*set)(v); });
    };
    RegisterPropertyBoolean(
        "Open", [this] { return GetOpen(); }, [this](bool v) { SetOpen(v); });
    text("Port", &TVendorSerialModule::GetPort, &TVendorSerialModule::SetPort);
    // The name follows the device; editing it is no change of the settings.
    RegisterPropertyString(
        "Name", [this] { return Read(settings_.Pending.Name); },
        [this](const std::string& v) { ChangeName(v); });
    text("BaudRate", &TVendorSerialModule::GetBaudRate, &TVendorSerialModule::SetBaudRate);
    text("StopBits", &TVendorSerialModule::GetStopBits, &TVendorSerialModule::SetStopBits);
    text("DataBits", &TVendorSerialModule::GetDataBits, &TVendorSerialModule::SetDataBits);
    text("Parity", &TVendorSerialModule::GetParity, &TVendorSerialModule::SetParity);
    // There is no flow control to choose: any text means none, and still counts as an edit.
    RegisterPropertyString(
        "FlowControl", [] { return std::string("None"); },
        [this](const std::string&) {
          const TInstanceLock::THold hold = Using();
          settings_.Pending.FlowControl = 0;
          NotifyChange();
        });
  }

  void ChangeName(const std::string& Name) {
    const TInstanceLock::THold hold = Using();
    settings_.Pending.Name = Name;
  }
  // The receive handler, on the controller's watch thread.
  void Received(const std::string& Data) {
    SendDebug("RECEIVED", Data);
    DeliverToChildren(Data);
  }

  template <class C>
  static std::vector<typename C::TDeviceInfo> ListDevices(C& Controller) {
    std::vector<typename C::TDeviceInfo> devices(Controller.GetDeviceCount());
    for (uint32_t i = 0; i < devices.size(); ++i) Controller.GetDeviceInfo(i, devices[i]);
    return devices;
  }

  // Names the instance after the device whose serial number is the pending Port (its description
  // text).
  template <class C>
  void TakeDeviceName(C& Controller) {
    if (settings_.Pending.Port.empty())
      return;
    for (const auto& device : ListDevices(Controller)) {
      if (device.SerialNumber == settings_.Pending.Port)
        settings_.Pending.Name = device.Description;
    }
  }

  template <class C>
  void OpenAndConfigure(C& Controller) {
    const TVendorSettings& s = settings_.Pending;
    if (!s.Port.empty())
      Controller.Open(s.Port);
    if (Controller.Opened()) {
      // An open device takes writes, configured or not.
      output_.Start(Controller,
                    [this](const std::exception_ptr& failure) { WriteFailed(failure); });
      // The library takes bytes and a 16-bit flow control word, like the original interface.
      Controller.Configure(static_cast<uint32_t>(s.BaudRate), static_cast<uint8_t>(s.DataBits),
                           static_cast<uint8_t>(s.StopBits), static_cast<uint8_t>(s.Parity),
                           static_cast<uint16_t>(s.FlowControl));
    }
  }

  // What was queued before goes out first (a second at most); what could not is logged.
  template <class C>
  void CloseLine(C& Controller) {
    StopOutput();
    Controller.Close();
  }
  void StopOutput() {
    const std::size_t dropped = output_.Stop();
    if (dropped > 0) {
      const int count = static_cast<int>(std::min<std::size_t>(dropped, INT_MAX));
      LogMessage(KL_WARNING, LogPrefix() + TranslateFormat("%d bytes could not be sent", count));
    }
  }
  // Queues the text for the writer thread (TVendorOutput::Send says what it raises).
  void SendQueued(const std::string& Text) { output_.Send(Text); }

  [[noreturn]] virtual void RaiseInvalidParity() = 0;
  // "FTDI - ", say: what the module's own log lines start with.
  virtual std::string LogPrefix() const = 0;
  // A write that failed on the writer thread; the sends after it raise the same failure.
  virtual void WriteFailed(const std::exception_ptr& Failure) = 0;

  TSettingsPair<TVendorSettings> settings_;
  TVendorOutput output_;
};

}  // namespace kyt
