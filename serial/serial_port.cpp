#include "serial/serial_port.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <system_error>

#include "framework/translate.h"
#include "runtime/thread.h"

namespace kyt {

const TTextTable& BaudRateTexts() {
  static const TTextTable table = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                   "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                   "57600",  "115200", "128000", "256000"};
  return table;
}
const TTextTable& StopBitsTexts() {
  static const TTextTable table = {"1", "1.5", "2"};
  return table;
}
const TTextTable& DataBitsTexts() {
  static const TTextTable table = {"5", "6", "7", "8"};
  return table;
}

namespace {

// A text that matches no entry gives the default.
template <class E>
E FromText(const TTextTable& table, const std::string& text, E fallback) {
  const auto ordinal = table.Find(text);
  return ordinal ? static_cast<E>(*ordinal) : fallback;
}

// The error numbers of a write that ran out of time and of a send past the queue's bound.
constexpr int32_t kWriteTimedOut = static_cast<int32_t>(std::errc::timed_out);
constexpr int32_t kNoBufferSpace = static_cast<int32_t>(std::errc::no_buffer_space);

template <class E>
std::string ToText(const TTextTable& table, E value) {
  return table.Text(static_cast<size_t>(value));
}

}  // namespace

const TKYTModuleClass TKYTSerialPort::Class = MakeModuleClass<TKYTSerialPort>({
    .ClassName = "TKYTSerialPort",
    .ModuleID = IKYTSerialPort::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "Serial Port",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TSerialPortTimings& TKYTSerialPort::Timings() {
  static TSerialPortTimings timings;
  return timings;
}

TKYTSerialPort::TKYTSerialPort(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID),
      device_(std::make_unique<TComPort>()),
      gate_(std::make_shared<TFlowGate>(Timings().PauseAbove)),
      reconnect_(Kernel, InstanceID, InstanceTimer([this] { Reconnect(); })) {
  device_->OnRxChar = [this](TComPort&, int32_t count) { Received(count); };
  device_->OnError = [this](TComPort&, TComErrors errors) {
    uint8_t bits = 0;
    if (errors.Contains(TComError::ceOverrun) || errors.Contains(TComError::ceRxOver))
      bits |= kOverrun;
    if (errors.Contains(TComError::ceRxParity))
      bits |= kParityError;
    if (errors.Contains(TComError::ceFrame))
      bits |= kFramingError;
    if (errors.Contains(TComError::ceBreak))
      bits |= kBreak;
    lineErrors_ |= bits;
    LineError();
  };
  device_->OnTxDiscarded = [this](TComPort&, int32_t count) {
    LogMessage(KL_WARNING, "SerialPort - " + TranslateFormat("%d bytes could not be sent", count));
  };

  RegisterPropertyBoolean(
      "Open", [this] { return GetOpen(); }, [this](bool v) { SetOpen(v); });
  RegisterPropertyString(
      "Port", [this] { return GetPort(); }, [this](const std::string& v) { SetPort(v); });
  RegisterPropertyString(
      "BaudRate", [this] { return GetBaudRate(); },
      [this](const std::string& v) { SetBaudRate(v); });
  RegisterPropertyString(
      "StopBits", [this] { return GetStopBits(); },
      [this](const std::string& v) { SetStopBits(v); });
  RegisterPropertyString(
      "DataBits", [this] { return GetDataBits(); },
      [this](const std::string& v) { SetDataBits(v); });
  RegisterPropertyString(
      "Parity", [this] { return GetParity(); }, [this](const std::string& v) { SetParity(v); });

  LoadAndApplySettings();
  // A failed first apply still takes the settings, so the timer keeps trying them. The timer
  // may already run on its own thread, so the copy is made holding the instance.
  const TInstanceLock::THold hold = Changing();
  settings_.Apply();
}

TKYTSerialPort::~TKYTSerialPort() {
  PrepareDelete();
  reconnect_.Unregister();
  try {
    StopOutput();
    device_->Close();
  } catch (...) {
  }
  device_.reset();
}

void TKYTSerialPort::SetBaudRate(const std::string& BaudRate) {
  ChangeSetting(settings_.Pending.BaudRate, FromText(BaudRateTexts(), BaudRate, TBaudRate::br9600));
}
void TKYTSerialPort::SetStopBits(const std::string& StopBits) {
  ChangeSetting(settings_.Pending.StopBits,
                FromText(StopBitsTexts(), StopBits, TStopBits::sbOneStopBit));
}
void TKYTSerialPort::SetDataBits(const std::string& DataBits) {
  ChangeSetting(settings_.Pending.DataBits,
                FromText(DataBitsTexts(), DataBits, TDataBits::dbEight));
}
void TKYTSerialPort::SetParity(const std::string& Parity) {
  ChangeSetting(settings_.Pending.Parity, FromText(ParityNames(), Parity, TParityBits::prNone));
}
std::string TKYTSerialPort::GetBaudRate() {
  return ToText(BaudRateTexts(), Read(settings_.Pending.BaudRate));
}
std::string TKYTSerialPort::GetStopBits() {
  return ToText(StopBitsTexts(), Read(settings_.Pending.StopBits));
}
std::string TKYTSerialPort::GetDataBits() {
  return ToText(DataBitsTexts(), Read(settings_.Pending.DataBits));
}
std::string TKYTSerialPort::GetParity() {
  return ToText(ParityNames(), Read(settings_.Pending.Parity));
}

void TKYTSerialPort::SetDTR(bool OnOff) {
  const TInstanceLock::THold hold = Using();
  device_->SetDTR(OnOff);
  dtr_ = OnOff;
}
void TKYTSerialPort::SetRTS(bool OnOff) {
  const TInstanceLock::THold hold = Using();
  device_->SetRTS(OnOff);
  rts_ = OnOff;
}
void TKYTSerialPort::SetBreak(bool OnOff) {
  const TInstanceLock::THold hold = Using();
  device_->SetBreak(OnOff);
}

uint8_t TKYTSerialPort::GetModemInputs() {
  const TInstanceLock::THold hold = Using();
  if (!device_->Connected())
    return 0;
  try {
    return static_cast<uint8_t>(device_->ModemStatus() & (kCTS | kDSR | kRing | kCarrier));
  } catch (const EComPort&) {
    return 0;  // a port without modem lines (a pty)
  }
}

void TKYTSerialPort::PurgeQueues(int32_t Queues) {
  const TInstanceLock::THold hold = Using();
  if (!device_->Connected())
    throw EKYTSerialPort(Translate("SerialPort is not opened!"));
  uint32_t flags = 0;
  if (Queues & kPurgeReceived)
    flags |= comm::PURGE_RXCLEAR;
  if (Queues & kPurgeTransmit) {
    flags |= comm::PURGE_TXCLEAR;
    if (output_)
      output_->Discard();
  }
  device_->Purge(flags);
}

TStringArray TKYTSerialPort::GetDevices() {
  return comm::CommProvider().ListPorts();
}

// The text goes on the port's queue; its writer thread hands it to the device, so the caller
// never waits for a line that is slow or stalled. What the line cannot take waits there, up to
// the queue's bound, until the line moves again or the port closes.
void TKYTSerialPort::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  // Also when refused: a source that delivered through a Bridge then waits for the port.
  gate_->Touch();
  if (!device_->Connected() || !output_)
    throw EKYTSerialPort(Translate("SerialPort is not opened!"));
  switch (output_->Push(Text)) {
    case TSendQueue::TPush::Queued:
      break;
    case TSendQueue::TPush::OverBound:
      throw EComPort(EComPort::CError_WriteFailed, kNoBufferSpace);
    case TSendQueue::TPush::Ended: {
      std::lock_guard lock(writeFailureMutex_);
      if (writeFailure_)
        std::rethrow_exception(writeFailure_);
      throw EKYTSerialPort(Translate("SerialPort is not opened!"));
    }
  }
  SendDebug("TRANSMITTED", Text);
}

void TKYTSerialPort::StartOutput() {
  {
    std::lock_guard lock(writeFailureMutex_);
    writeFailure_ = nullptr;
  }
  writeStalled_ = false;
  output_ = std::make_unique<TSendQueue>(
      [this](std::span<const char> bytes) {
        return WriteQueued({bytes.data(), bytes.size()});
      },
      [this](std::exception_ptr failure) { WriteFailed(std::move(failure)); }, gate_,
      TSendQueueLimits{.Bound = Timings().SendQueueBound},
      [this](std::span<const char> bytes) {
        return static_cast<size_t>(device_->WriteNow({bytes.data(), bytes.size()}));
      });
  gate_->SetConnected(true);
}

// Before the device closes: what is queued gets its time to go out, then the writer ends, and
// what it could not write is reported the way the device reports what its own queue dropped.
void TKYTSerialPort::StopOutput() {
  if (!output_)
    return;
  gate_->SetConnected(false);
  // A line that already took nothing for a write time-out is not waited for again.
  if (!writeStalled_)
    DrainQueue();
  closingOutput_ = true;
  const size_t dropped = output_->Stop([this] { device_->CancelWrites(); });
  output_.reset();
  closingOutput_ = false;
  if (dropped > 0) {
    const int count = static_cast<int>(std::min<size_t>(dropped, INT_MAX));
    LogMessage(KL_WARNING, "SerialPort - " + TranslateFormat("%d bytes could not be sent", count));
  }
}

// On the main thread the wait keeps serving hand-overs. Meanwhile the port is lent to one use
// at a time, as in any wait for another thread: what the line sends is still read and handed
// on, rather than left to fill the device's input queue that the close then purges.
void TKYTSerialPort::DrainQueue() {
  const TWaitScope waiting;
  output_->DrainServing(Timings().DrainOnClose);
}

// The writer thread's write: as much as the line takes within its write time-out. A line that
// takes nothing for that long is reported once, and its bytes stay queued.
size_t TKYTSerialPort::WriteQueued(std::string_view Bytes) {
  const auto written = static_cast<size_t>(device_->WriteData(Bytes));
  if (written == Bytes.size()) {
    writeStalled_ = false;
  } else if (!closingOutput_ && !writeStalled_.exchange(true)) {
    const EComPort timedOut(EComPort::CError_WriteFailed, kWriteTimedOut);
    LogMessage(KL_WARNING, std::string("SerialPort - ") + timedOut.what());
  }
  return written;
}

// A write that failed (the device went away) ends the writer: sources wait for the reopen, and
// the next send is refused with the failure.
void TKYTSerialPort::WriteFailed(std::exception_ptr Failure) {
  gate_->SetConnected(false);
  std::string text;
  try {
    std::rethrow_exception(Failure);
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  {
    std::lock_guard lock(writeFailureMutex_);
    writeFailure_ = std::move(Failure);
  }
  if (!closingOutput_ && !text.empty())
    LogMessage(KL_WARNING, "SerialPort - " + text);
}

void TKYTSerialPort::LoadSettings() {
  const TInstanceLock::THold hold = Changing();
  TKYTModuleObject::LoadSettings();
  // An earlier layout of the stored settings kept the open flag under this name; once read it
  // is carried by "Open".
  TRef<IKYTSettings> settings = Kernel->GetSettings();
  if (settings->ReadBoolean(InstanceID, {kSettingsKey}, "COMPortOpen", settings_.Pending.Open) >=
      0) {
    settings->DeleteEntry(InstanceID, {kSettingsKey, "COMPortOpen"});
  }
}

void TKYTSerialPort::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTSerialPort::ApplyChanges() {
  if (ApplyLaterWhenDelivering())
    return;
  const TInstanceLock::THold hold = Changing();
  // A copy: closing the port waits for its event thread and meanwhile lends the instance to one
  // Use entry, which may be a property setter. What is applied must be what was opened.
  const TSettings edited = settings_.Pending;
  // The writer goes first: a new port name reopens the device at once.
  StopOutput();
  device_->SetPort(edited.Port);
  device_->SetBaudRate(edited.BaudRate);
  device_->SetStopBits(edited.StopBits);
  device_->SetDataBits(edited.DataBits);
  device_->SetParityBits(edited.Parity);
  try {
    device_->Close();
    if (KernelRunlevel == KR_READY) {
      if (edited.Open) {
        device_->Open();
        StartOutput();
        // The device leaves both lines low when it opens.
        dtr_ = false;
        rts_ = false;
        SetStatus(IS_ACTIVE);
        reconnect_.Opened();
      } else {
        SetStatus(IS_INACTIVE);
      }
    }
  } catch (const std::exception& e) {
    SetStatus(IS_ERROR);
    throw EKYTSerialPort(TranslateFormat("Could not open SerialPort: %s", e.what()));
  }
  settings_.Applied = edited;
  const bool editedMeanwhile = settings_.Pending != edited;
  TKYTModuleObject::ApplyChanges();
  // An edit that came in during the apply is still pending, and still to be applied.
  if (editedMeanwhile)
    NotifyChange();
  SetSummary(Summary());
}

std::string TKYTSerialPort::Summary() const {
  const TSettings& s = settings_.Applied;
  return fmt::format("{} {},{},{},{}", s.Port, ToText(BaudRateTexts(), s.BaudRate),
                     ToText(DataBitsTexts(), s.DataBits), ToText(StopBitsTexts(), s.StopBits),
                     ToText(ParityLetters(), s.Parity));
}

void TKYTSerialPort::Received(int32_t Count) {
  const std::string data = device_->ReadData(Count);
  // Nothing came after all: the device went away under the read, which the event thread
  // reports as a line error.
  if (data.empty())
    return;
  SendDebug("RECEIVED", data);
  DeliverToChildren(data);
}

void TKYTSerialPort::LineError() {
  SetStatus(IS_ERROR);
  LogMessage(KL_MESSAGE, "SerialPort - " + Translate("Closed"));
  if (KernelRunlevel == KR_READY)
    reconnect_.Lost();
}

void TKYTSerialPort::Reconnect() {
  if (KernelRunlevel != KR_READY)
    return;
  if (!settings_.Applied.Open) {
    SetStatus(IS_INACTIVE);
    reconnect_.Stop();
    return;
  }
  try {
    const int32_t attempt = reconnect_.NextAttempt();
    LogMessage(KL_MESSAGE, "SerialPort - " + TranslateFormat("Opening... #%d", attempt));
    ApplyChanges();
  } catch (const std::exception& e) {
    LogMessage(KL_ERROR, e.what());
  }
}

}  // namespace kyt
