#pragma once

// The Serial Port module ("COMPort"): one local serial port whose bytes reach every child
// unchanged and which writes what its children send; reopened on the "Reconnect" timer after a
// line error.

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "framework/module_object.h"
#include "framework/reconnect_timer.h"
#include "framework/send_queue.h"
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

// Time constants; process-wide so tests can shorten them before creating instances.
struct TSerialPortTimings {
  // Sources that can wait (a socket's client feeding the port through a Bridge) are not read
  // while more than this waits to be written; a send that would take the queue past the bound
  // fails.
  std::size_t PauseAbove = 16 << 10;
  std::size_t SendQueueBound = 4 << 20;
  // How long closing the port waits for the queue to be written; the device then gives its own
  // output queue the write time-outs to leave.
  std::chrono::milliseconds DrainOnClose{1000};
};

class TKYTSerialPort final : public TKYTModuleObject,
                             public virtual IKYTSendData,
                             public virtual IKYTSerialPort,
                             public virtual IKYTSerialLineState {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTSerialPort, IKYTSerialLineState>;
  static const TKYTModuleClass Class;
  static TSerialPortTimings& Timings();

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

  void StartOutput();
  void StopOutput();
  void DrainQueue();
  size_t WriteQueued(std::string_view Bytes);
  void WriteFailed(std::exception_ptr Failure);
  void Received(int32_t Count);
  void LineError();
  void Reconnect();
  std::string Summary() const;

  std::unique_ptr<TComPort> device_;
  // What the children send goes out through this queue's writer thread, so a line that takes
  // nothing (flow control holding it, a stalled device) holds no caller; it exists while the
  // port is open.
  std::shared_ptr<TFlowGate> gate_;
  std::unique_ptr<TSendQueue> output_;
  std::atomic<bool> closingOutput_{false};
  std::atomic<bool> writeStalled_{false};  // reported, until a write goes through whole
  std::mutex writeFailureMutex_;
  std::exception_ptr writeFailure_;  // what ended the writer, for the next send
  TReconnectTimer reconnect_;
  TSettingsPair<TSettings> settings_;
  bool dtr_ = false;
  bool rts_ = false;
  // Line errors reported since TakeLineErrors last took them (IKYTSerialLineState bits).
  std::atomic<uint8_t> lineErrors_{0};
};

}  // namespace kyt
