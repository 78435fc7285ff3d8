#pragma once

// The Serial Port module ("COMPort"): one local serial port whose bytes reach every child
// unchanged and which writes what its children send; reopened on the "Reconnect" timer after a
// line error.

#include <atomic>
#include <memory>
#include <string>

#include "framework/module_object.h"
#include "framework/reconnect_timer.h"
#include "framework/text_table.h"
#include "serial/com_port.h"

namespace kyt {

class EKYTSerialPort : public Exception {
 public:
  using Exception::Exception;
};

// The texts of the line settings, indexed by ordinal (parity: ParityNames in text_table.h).
const TTextTable& BaudRateTexts();
const TTextTable& StopBitsTexts();
const TTextTable& DataBitsTexts();

class TKYTSerialPort final : public TKYTModuleObject,
                             public virtual IKYTSendData,
                             public virtual IKYTSerialPort,
                             public virtual IKYTSerialLineState {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTSerialPort, IKYTSerialLineState>;
  static const TKYTModuleClass Class;

  TKYTSerialPort(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTSerialPort() override;

  // IKYTSerialControl
  void SetBaudRate(const std::string& BaudRate) override;
  void SetStopBits(const std::string& StopBits) override;
  void SetDataBits(const std::string& DataBits) override;
  void SetParity(const std::string& Parity) override;
  std::string GetBaudRate() override;
  std::string GetStopBits() override;
  std::string GetDataBits() override;
  std::string GetParity() override;
  // IKYTSerialControlEx: the lines act at once and are not settings. The getters report the
  // lines as last set here (both low after opening, as the device leaves them).
  void SetDTR(bool OnOff) override;
  void SetRTS(bool OnOff) override;
  void SetBreak(bool OnOff) override;
  bool GetDTR() override { return Read(dtr_); }
  bool GetRTS() override { return Read(rts_); }
  // IKYTSerialPort
  void SetOpen(bool Open) override { ChangeSetting(settings_.Pending.Open, Open); }
  void SetPort(const std::string& Port) override { ChangeSetting(settings_.Pending.Port, Port); }
  bool GetOpen() override { return Read(settings_.Pending.Open); }
  std::string GetPort() override { return Read(settings_.Pending.Port); }
  TStringArray GetDevices() override;
  void SendText(const std::string& Text) override;
  // IKYTSendData
  void SendData(const std::string& Data) override { SendText(Data); }
  // IKYTSerialLineState
  uint8_t GetModemInputs() override;
  uint8_t TakeLineErrors() override { return lineErrors_.exchange(0); }
  void PurgeQueues(int32_t Queues) override;

  void LoadSettings() override;
  void ResetChanges() override;
  void ApplyChanges() override;

  // The device, for tests.
  TComPort& Device() { return *device_; }

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  struct TSettings {
    bool Open = false;
    std::string Port;
    TBaudRate BaudRate = TBaudRate::br9600;
    TStopBits StopBits = TStopBits::sbOneStopBit;
    TDataBits DataBits = TDataBits::dbEight;
    TParityBits Parity = TParityBits::prNone;
    bool operator==(const TSettings&) const = default;
  };

  void Received(int32_t Count);
  void LineError();
  void Reconnect();
  std::string Summary() const;

  std::unique_ptr<TComPort> device_;
  TReconnectTimer reconnect_;
  TSettingsPair<TSettings> settings_;
  bool dtr_ = false;
  bool rts_ = false;
  // Line errors reported since TakeLineErrors last took them (IKYTSerialLineState bits).
  std::atomic<uint8_t> lineErrors_{0};
};

}  // namespace kyt
