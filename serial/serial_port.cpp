#include "serial/serial_port.h"

#include <fmt/format.h>

#include <system_error>

#include "framework/translate.h"

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

// The error number a cut-short write is reported with.
constexpr int32_t kWriteTimedOut = static_cast<int32_t>(std::errc::timed_out);

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

TKYTSerialPort::TKYTSerialPort(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID),
      device_(std::make_unique<TComPort>()),
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
  if (Queues & kPurgeTransmit)
    flags |= comm::PURGE_TXCLEAR;
  device_->Purge(flags);
}

TStringArray TKYTSerialPort::GetDevices() {
  return comm::CommProvider().ListPorts();
}

void TKYTSerialPort::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  if (!device_->Connected())
    throw EKYTSerialPort(Translate("SerialPort is not opened!"));
  const int32_t written = device_->WriteData(Text);
  if (static_cast<size_t>(written) < Text.size()) {
    // The write time-out ran out (a stalled line, flow control holding it): the caller must
    // not take the rest as sent. What did go out is still reported.
    if (written > 0)
      SendDebug("TRANSMITTED", Text.substr(0, static_cast<size_t>(written)));
    throw EComPort(EComPort::CError_WriteFailed, kWriteTimedOut);
  }
  SendDebug("TRANSMITTED", Text);
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
