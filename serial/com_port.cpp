#include "serial/com_port.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "serial/com_thread.h"

namespace kyt {

using comm::CommError;

namespace {

const char* ErrorText(int32_t code) {
  switch (code) {
    case EComPort::CError_OpenFailed:
      return "Unable to open com port";
    case EComPort::CError_WriteFailed:
      return "WriteFile function failed";
    case EComPort::CError_ReadFailed:
      return "ReadFile function failed";
    case EComPort::CError_SetStateFailed:
      return "SetCommState function failed";
    case EComPort::CError_TimeoutsFailed:
      return "SetCommTimeouts failed";
    case EComPort::CError_SetupComFailed:
      return "SetupComm function failed";
    case EComPort::CError_ClearComFailed:
      return "ClearCommError function failed";
    case EComPort::CError_EscapeComFailed:
      return "EscapeCommFunction function failed";
    default:
      return "";
  }
}

std::string ErrorMessage(int32_t code, int32_t osError) {
  std::string text = ErrorText(code);
  if (osError != -1)
    text += fmt::format(" (win error code: {})", osError);
  return text;
}

// A closed device has no handle; its calls fail as an invalid descriptor would.
constexpr int kNoHandle = 9;  // EBADF

constexpr std::pair<TComEvent, uint32_t> kEventBits[] = {
    {TComEvent::evRxChar, comm::EV_RXCHAR},   {TComEvent::evRxFlag, comm::EV_RXFLAG},
    {TComEvent::evTxEmpty, comm::EV_TXEMPTY}, {TComEvent::evCTS, comm::EV_CTS},
    {TComEvent::evDSR, comm::EV_DSR},         {TComEvent::evRLSD, comm::EV_RLSD},
    {TComEvent::evBreak, comm::EV_BREAK},     {TComEvent::evError, comm::EV_ERR},
    {TComEvent::evRing, comm::EV_RING},       {TComEvent::evRx80Full, comm::EV_RX80FULL}};

uint32_t Unsigned(int32_t milliseconds) {
  // -1 passes as MAXDWORD, "no limit".
  return static_cast<uint32_t>(milliseconds);
}

}  // namespace

int32_t BaudRateValue(TBaudRate Rate) {
  static constexpr int32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                       14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return kRates[static_cast<size_t>(Rate)];
}

EComPort::EComPort(int32_t Code, int32_t OsError)
    : Exception(ErrorMessage(Code, OsError)), OsErrorCode(OsError), ErrorCode(Code) {}

uint32_t EventsToMask(TComEvents Events) {
  uint32_t mask = 0;
  for (const auto& [event, bit] : kEventBits) {
    if (Events.Contains(event))
      mask |= bit;
  }
  return mask;
}

TComEvents MaskToEvents(uint32_t Mask) {
  TComEvents events;
  for (const auto& [event, bit] : kEventBits) {
    if (Mask & bit)
      events.Include(event);
  }
  return events;
}

TComErrors ErrorsFromFlags(uint32_t Flags, bool ParityCheck) {
  TComErrors errors;
  if (Flags & comm::CE_RXOVER)
    errors.Include(TComError::ceRxOver);
  if (Flags & comm::CE_OVERRUN)
    errors.Include(TComError::ceOverrun);
  if ((Flags & comm::CE_RXPARITY) && ParityCheck)
    errors.Include(TComError::ceRxParity);
  if (Flags & comm::CE_FRAME)
    errors.Include(TComError::ceFrame);
  if (Flags & comm::CE_BREAK)
    errors.Include(TComError::ceBreak);
  if (Flags & comm::CE_TXFULL)
    errors.Include(TComError::ceTxFull);
  if (Flags & comm::CE_IOE)
    errors.Include(TComError::ceIO);
  if (Flags & comm::CE_MODE)
    errors.Include(TComError::ceMode);
  return errors;
}

TComPort::TComPort() = default;

TComPort::~TComPort() {
  try {
    Close();
  } catch (...) {
  }
}

comm::ICommPort& TComPort::Handle(int32_t ErrorCode) {
  if (!handle_)
    throw EComPort(ErrorCode, kNoHandle);
  return *handle_;
}

void TComPort::Open() {
  if (connected_)
    return;
  try {
    handle_ = comm::CommProvider().Open(port_);
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_OpenFailed, e.Code());
  }
  connected_ = true;
  try {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeouts();
    if (!Events.Empty())
      thread_ = std::make_unique<TComThread>(*this, *handle_);
  } catch (...) {
    thread_.reset();
    handle_.reset();
    connected_ = false;
    throw;
  }
  // The lines as they are at opening: CTS, DSR, RLSD.
  for (int i = 0; i < 3; ++i) ReadModemSignals();
}

void TComPort::Close() {
  if (!connected_)
    return;
  // What a write reported as sent may still be on its way out; the thread's last steps purge
  // both queues, so the output gets its write time-out to leave first.
  size_t unsent = 0;
  try {
    unsent = handle_->DrainOutput();
  } catch (const std::exception&) {
  }
  // Its last steps purge both queues and clear the event mask.
  thread_.reset();
  handle_.reset();
  connected_ = false;
  if (unsent > 0 && OnTxDiscarded)
    OnTxDiscarded(*this, static_cast<int32_t>(std::min<size_t>(unsent, INT32_MAX)));
}

void TComPort::SetPort(const std::string& Value) {
  if (Value == port_)
    return;
  port_ = Value;
  if (connected_) {
    Close();
    Open();
  }
}

void TComPort::SetBaudRate(TBaudRate Value) {
  if (Value == baudRate_)
    return;
  baudRate_ = Value;
  ApplyLineSettings();
}

void TComPort::SetStopBits(TStopBits Value) {
  if (Value == stopBits_)
    return;
  stopBits_ = Value;
  ApplyLineSettings();
}

void TComPort::SetDataBits(TDataBits Value) {
  if (Value == dataBits_)
    return;
  dataBits_ = Value;
  ApplyLineSettings();
}

void TComPort::SetParityBits(TParityBits Value) {
  if (Value == Parity.Bits)
    return;
  Parity.Bits = Value;
  ApplyLineSettings();
}

comm::TDCB TComPort::BuildDCB() const {
  comm::TDCB dcb;
  dcb.DCBlength = 28;
  dcb.BaudRate = static_cast<uint32_t>(baudRate_ == TBaudRate::brCustom ? CustomBaudRate
                                                                        : BaudRateValue(baudRate_));
  uint32_t flags = comm::fBinary;
  if (Parity.Check)
    flags |= comm::fParity;
  if (FlowControl.OutCTSFlow)
    flags |= comm::fOutxCtsFlow;
  if (FlowControl.OutDSRFlow)
    flags |= comm::fOutxDsrFlow;
  flags |= static_cast<uint32_t>(FlowControl.ControlDTR) << 4;
  if (FlowControl.DSRSensitivity)
    flags |= comm::fDsrSensitivity;
  if (FlowControl.TxContinueOnXoff)
    flags |= comm::fTXContinueOnXoff;
  if (FlowControl.XonXoffOut)
    flags |= comm::fOutX;
  if (FlowControl.XonXoffIn)
    flags |= comm::fInX;
  const bool errorChar = Parity.Check && Parity.Replace;
  if (errorChar)
    flags |= comm::fErrorChar;
  if (DiscardNull)
    flags |= comm::fNull;
  flags |= static_cast<uint32_t>(FlowControl.ControlRTS) << 12;
  dcb.Flags = flags;
  dcb.XonLim = static_cast<uint16_t>(Buffer.InputSize / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.ByteSize = static_cast<uint8_t>(5 + static_cast<int>(dataBits_));
  dcb.Parity = static_cast<uint8_t>(Parity.Bits);
  dcb.StopBits = static_cast<uint8_t>(stopBits_);
  dcb.XonChar = FlowControl.XonChar;
  dcb.XoffChar = FlowControl.XoffChar;
  dcb.ErrorChar = errorChar ? Parity.ReplaceChar : 0;
  dcb.EvtChar = EventChar;
  return dcb;
}

void TComPort::ApplyLineSettings() {
  if (!connected_)
    return;
  try {
    handle_->SetCommState(BuildDCB());
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_SetStateFailed, e.Code());
  }
}

void TComPort::ApplyBufferSizes() {
  if (!connected_)
    return;
  try {
    handle_->SetupComm(Unsigned(Buffer.InputSize), Unsigned(Buffer.OutputSize));
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_SetupComFailed, e.Code());
  }
}

void TComPort::ApplyTimeouts() {
  if (!connected_)
    return;
  try {
    handle_->SetCommTimeouts(
        {Unsigned(Timeouts.ReadInterval), Unsigned(Timeouts.ReadTotalMultiplier),
         Unsigned(Timeouts.ReadTotalConstant), Unsigned(Timeouts.WriteTotalMultiplier),
         Unsigned(Timeouts.WriteTotalConstant)});
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_TimeoutsFailed, e.Code());
  }
}

int32_t TComPort::WriteData(std::string_view Text) {
  if (Text.empty())
    return 0;
  Text = Text.substr(0, INT32_MAX);
  comm::ICommPort& port = Handle(EComPort::CError_WriteFailed);
  try {
    return static_cast<int32_t>(port.Write(Text.data(), Text.size()));
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_WriteFailed, e.Code());
  }
}

int32_t TComPort::WriteNow(std::string_view Text) {
  if (Text.empty())
    return 0;
  Text = Text.substr(0, INT32_MAX);
  comm::ICommPort& port = Handle(EComPort::CError_WriteFailed);
  try {
    return static_cast<int32_t>(port.WriteNow(Text.data(), Text.size()));
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_WriteFailed, e.Code());
  }
}

void TComPort::CancelWrites() {
  if (handle_)
    handle_->CancelWrites();
}

std::string TComPort::ReadData(int32_t Count) {
  if (Count < 1)
    return {};
  comm::ICommPort& port = Handle(EComPort::CError_ReadFailed);
  // The bytes land in the returned string itself: no buffer of our own in between.
  std::string data(static_cast<size_t>(Count), '\0');
  try {
    data.resize(port.Read(data.data(), data.size()));
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_ReadFailed, e.Code());
  }
  QueuedInputCount();
  return data;
}

int32_t TComPort::QueuedInputCount() {
  comm::ICommPort& port = Handle(EComPort::CError_ClearComFailed);
  try {
    return static_cast<int32_t>(port.ClearCommError().InQueue);
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_ClearComFailed, e.Code());
  }
}

TComErrors TComPort::ReadLineErrors() {
  comm::ICommPort& port = Handle(EComPort::CError_ClearComFailed);
  try {
    return ErrorsFromFlags(port.ClearCommError().Errors, Parity.Check);
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_ClearComFailed, e.Code());
  }
}

uint32_t TComPort::ModemStatus() {
  comm::ICommPort& port = Handle(EComPort::CError_EscapeComFailed);
  try {
    return port.GetCommModemStatus();
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_EscapeComFailed, e.Code());
  }
}

void TComPort::Purge(uint32_t Flags) {
  comm::ICommPort& port = Handle(EComPort::CError_ClearComFailed);
  try {
    port.PurgeComm(Flags);
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_ClearComFailed, e.Code());
  }
}

void TComPort::ReadModemSignals() {
  try {
    Handle(EComPort::CError_EscapeComFailed).GetCommModemStatus();
    // The line values would go to the CTS, DSR and RLSD callbacks, which nothing here uses.
  } catch (const std::exception&) {
    if (OnError)
      OnError(*this, {TComError::ceBreak});
  }
}

namespace {
// Enough to drain a streaming line in one go, few enough that other hand-overs are not held up.
constexpr int kMaxBlocksPerBatch = 16;
}  // namespace

void TComPort::HandleEvents(TComEvents Events) {
  if (Events.Contains(TComEvent::evError)) {
    const TComErrors errors = ReadLineErrors();
    if (!errors.Empty() && OnError)
      OnError(*this, errors);
  }
  if (Events.Contains(TComEvent::evRxChar)) {
    // Bytes that came in while a block went out are taken in the same batch: a batch costs the
    // event thread and the main thread a wake-up each, one more look a single ioctl.
    int32_t count = QueuedInputCount();
    for (int blocks = 0; count > 0 && OnRxChar && blocks < kMaxBlocksPerBatch; ++blocks) {
      OnRxChar(*this, count);
      count = QueuedInputCount();
    }
  }
  if (Events.Contains(TComEvent::evCTS))
    ReadModemSignals();
  if (Events.Contains(TComEvent::evDSR))
    ReadModemSignals();
  if (Events.Contains(TComEvent::evRLSD))
    ReadModemSignals();
}

void TComPort::SetDTR(bool OnOff) {
  Escape(OnOff ? comm::SETDTR : comm::CLRDTR);
}
void TComPort::SetRTS(bool OnOff) {
  Escape(OnOff ? comm::SETRTS : comm::CLRRTS);
}
void TComPort::SetBreak(bool OnOff) {
  Escape(OnOff ? comm::SETBREAK : comm::CLRBREAK);
}

void TComPort::Escape(int Function) {
  comm::ICommPort& port = Handle(EComPort::CError_EscapeComFailed);
  try {
    port.EscapeCommFunction(Function);
  } catch (const CommError& e) {
    throw EComPort(EComPort::CError_EscapeComFailed, e.Code());
  }
}

}  // namespace kyt
