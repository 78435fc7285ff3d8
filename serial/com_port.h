#pragma once

// TComPort: one serial port with its line settings. While open it owns a TComThread that
// reports received bytes and line errors through OnRxChar and OnError on the main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/comm.h"
#include "runtime/exception.h"
#include "serial/com_types.h"

namespace kyt {

class TComThread;

// A failed port operation. ErrorCode numbers the message; OsErrorCode is the operating
// system's error (-1 when none).
class EComPort : public Exception {
 public:
  static constexpr int32_t CError_OpenFailed = 1;
  static constexpr int32_t CError_WriteFailed = 2;
  static constexpr int32_t CError_ReadFailed = 3;
  static constexpr int32_t CError_SetStateFailed = 7;
  static constexpr int32_t CError_TimeoutsFailed = 8;
  static constexpr int32_t CError_SetupComFailed = 9;
  static constexpr int32_t CError_ClearComFailed = 10;
  static constexpr int32_t CError_EscapeComFailed = 12;

  EComPort(int32_t Code, int32_t OsError = -1);
  int32_t OsErrorCode;
  int32_t ErrorCode;
};

class TComPort {
 public:
  using TRxCharEvent = std::function<void(TComPort& Sender, int32_t Count)>;
  using TComErrorEvent = std::function<void(TComPort& Sender, TComErrors Errors)>;
  using TTxDiscardedEvent = std::function<void(TComPort& Sender, int32_t Count)>;

  TComPort();
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  void Open();
  void Close();
  bool Connected() const { return connected_; }
  void SetConnected(bool Value) { Value ? Open() : Close(); }

  const std::string& Port() const { return port_; }
  void SetPort(const std::string& Value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate Value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits Value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits Value);
  TParityBits ParityBits() const { return Parity.Bits; }
  void SetParityBits(TParityBits Value);

  int32_t WriteData(std::string_view Text);
  // What the port takes at once, never waiting; 0 when it takes nothing now, raises as
  // WriteData does when the port failed.
  int32_t WriteNow(std::string_view Text);
  // From another thread, before closing: a write under way ends at once, later ones move
  // nothing.
  void CancelWrites();
  std::string ReadData(int32_t Count);
  int32_t QueuedInputCount();
  void SetDTR(bool OnOff);
  void SetRTS(bool OnOff);
  void SetBreak(bool OnOff);
  // The MS_* modem status bits; raises EComPort code 12 when they cannot be read.
  uint32_t ModemStatus();
  // Discards the queues named by PURGE_* flags; raises EComPort code 10 when refused.
  void Purge(uint32_t Flags);

  // Used by the event thread.
  TComErrors ReadLineErrors();
  void ReadModemSignals();
  void HandleEvents(TComEvents Events);

  // The line-settings record the current settings stand for.
  comm::TDCB BuildDCB() const;
  void ApplyLineSettings();
  void ApplyBufferSizes();
  void ApplyTimeouts();

  // Settings this system never changes from their defaults.
  int32_t CustomBaudRate = 9600;
  bool DiscardNull = false;
  char EventChar = 0;
  TComEvents Events = kAllComEvents;
  TComBuffer Buffer;
  TComParity Parity;
  TComTimeouts Timeouts;
  TComFlowControl FlowControl;
  TSyncMethod SyncMethod = TSyncMethod::smThreadSync;

  TRxCharEvent OnRxChar;
  TComErrorEvent OnError;
  // A close found bytes that could not be sent within the write time-outs; they were dropped.
  TTxDiscardedEvent OnTxDiscarded;

 private:
  comm::ICommPort& Handle(int32_t ErrorCode);
  void Escape(int Function);

  std::unique_ptr<TComThread> thread_;
  std::unique_ptr<comm::ICommPort> handle_;
  bool connected_ = false;
  std::string port_ = "COM1";
  TBaudRate baudRate_ = TBaudRate::br9600;
  TStopBits stopBits_ = TStopBits::sbOneStopBit;
  TDataBits dataBits_ = TDataBits::dbEight;
};

// The event mask standing for a set of events, and the error set for CE_* flags (parity
// errors only when they are checked).
uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(uint32_t Mask);
TComErrors ErrorsFromFlags(uint32_t Flags, bool ParityCheck);

}  // namespace kyt
