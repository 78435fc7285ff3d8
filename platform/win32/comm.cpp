// The serial port on the Windows communications functions. The port is opened for overlapped
// I/O so that the event wait can end on a stop event; reads and writes wait for their own
// overlapped result, so to the caller they behave like the blocking calls under the port's
// time-outs.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/comm.h"
#include "platform/win32/win_text.h"

namespace kyt::comm {

using win::UniqueHandle;

CommError::CommError(int code, const std::string& call)
    : Exception(call + ": " + win::SystemErrorText(static_cast<DWORD>(code)) + " (" +
                std::to_string(code) + ")"),
      code_(code) {}

std::string PortPath(const std::string& Name) {
  // "\\.\" reaches every port, COM10 and above included, and names already in that form stay.
  return Name.rfind("\\\\", 0) == 0 ? Name : "\\\\.\\" + Name;
}

namespace {

[[noreturn]] void Fail(const char* call) {
  throw CommError(static_cast<int>(::GetLastError()), call);
}

// What a removed USB adapter answers.
bool IsGone(DWORD code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_GEN_FAILURE ||
         code == ERROR_DEVICE_REMOVED || code == ERROR_DEVICE_NOT_CONNECTED ||
         code == ERROR_FILE_NOT_FOUND;
}

// A port without modem lines (a virtual port, wine's pty ports) refuses line requests with
// these; there is nothing to set or report there.
bool NoModemLines(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION || code == ERROR_CALL_NOT_IMPLEMENTED;
}

class WinStopSignal final : public ICommStopSignal {
 public:
  WinStopSignal() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event_.Valid())
      Fail("CreateEvent");
  }
  void Raise() noexcept override { ::SetEvent(event_.Get()); }
  HANDLE Handle() const { return event_.Get(); }

 private:
  UniqueHandle event_;
};

// One overlapped transfer: its event and its record, reset for every call.
struct Overlapped {
  Overlapped() : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event.Valid())
      Fail("CreateEvent");
  }
  OVERLAPPED* Fresh() {
    std::memset(&record, 0, sizeof record);
    record.hEvent = event.Get();
    return &record;
  }
  UniqueHandle event;
  OVERLAPPED record{};
};

class WinCommPort final : public ICommPort {
 public:
  explicit WinCommPort(const std::string& path) {
    handle_.Reset(::CreateFileW(win::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!handle_.Valid())
      Fail("CreateFile");
  }

  ~WinCommPort() override {
    // Nothing may still write into this object's records once it is gone, whichever thread
    // started the transfer.
    ::CancelIoEx(handle_.Get(), nullptr);
  }

  void SetupComm(uint32_t inQueue, uint32_t outQueue) override {
    if (!::SetupComm(handle_.Get(), inQueue, outQueue))
      Fail("SetupComm");
  }

  void SetCommState(const TDCB& state) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_.Get(), &dcb))
      Fail("GetCommState");
    dcb.BaudRate = state.BaudRate;
    // The flag word of the record has the bit layout of DCB's bit fields.
    const uint32_t kept = Flags(dcb) & ~0x7FFFu;
    SetFlags(dcb, kept | (state.Flags & 0x7FFFu));
    dcb.XonLim = state.XonLim;
    dcb.XoffLim = state.XoffLim;
    dcb.ByteSize = state.ByteSize;
    dcb.Parity = state.Parity;
    dcb.StopBits = state.StopBits;
    dcb.XonChar = state.XonChar;
    dcb.XoffChar = state.XoffChar;
    dcb.ErrorChar = state.ErrorChar;
    dcb.EofChar = state.EofChar;
    dcb.EvtChar = state.EvtChar;
    if (!::SetCommState(handle_.Get(), &dcb))
      Fail("SetCommState");
  }

  void SetCommTimeouts(const TCommTimeouts& t) override {
    COMMTIMEOUTS timeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                          t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                          t.WriteTotalTimeoutConstant};
    if (!::SetCommTimeouts(handle_.Get(), &timeouts))
      Fail("SetCommTimeouts");
  }

  size_t Read(char* buffer, size_t size) override { return Transfer(false, buffer, size); }

  size_t Write(const char* data, size_t size) override {
    return writesCancelled_ ? 0 : Transfer(true, const_cast<char*>(data), size);
  }

  // The writing thread cancels its own transfer when this wakes it: a cancel from here could
  // come while the system is still setting the transfer up, find nothing and be lost.
  void CancelWrites() override {
    writesCancelled_ = true;
    cancelWrites_.Raise();
  }

  TCommState ClearCommError() override {
    DWORD errors = 0;
    COMSTAT status{};
    TCommState state;
    if (!::ClearCommError(handle_.Get(), &errors, &status)) {
      const DWORD code = ::GetLastError();
      if (!IsGone(code))
        Fail("ClearCommError");
      Lost();
    } else {
      state.InQueue = status.cbInQue;
    }
    state.Errors = errors | lostErrors_.exchange(0);
    return state;
  }

  uint32_t GetCommModemStatus() override {
    DWORD status = 0;
    if (!::GetCommModemStatus(handle_.Get(), &status)) {
      if (NoModemLines(::GetLastError()))
        return 0;
      Fail("GetCommModemStatus");
    }
    return status;
  }

  void EscapeCommFunction(int function) override {
    if (!::EscapeCommFunction(handle_.Get(), static_cast<DWORD>(function)) &&
        !NoModemLines(::GetLastError())) {
      Fail("EscapeCommFunction");
    }
  }

  void PurgeComm(uint32_t flags) override {
    if (!::PurgeComm(handle_.Get(), flags))
      Fail("PurgeComm");
  }

  void SetCommMask(uint32_t mask) override {
    if (!::SetCommMask(handle_.Get(), mask))
      Fail("SetCommMask");
  }

  std::unique_ptr<ICommStopSignal> NewStopSignal() override {
    return std::make_unique<WinStopSignal>();
  }

  TCommWait WaitCommEvent(ICommStopSignal& stop) override {
    const HANDLE stopEvent = static_cast<WinStopSignal&>(stop).Handle();
    // After its one report a gone port has nothing more to say; only the stop counts.
    if (gone_)
      return {::WaitForSingleObject(stopEvent, INFINITE) == WAIT_OBJECT_0, 0};
    DWORD events = 0;
    OVERLAPPED* ov = wait_.Fresh();
    if (!::WaitCommEvent(handle_.Get(), &events, ov)) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_IO_PENDING)
        return Failed(code, stopEvent);
      const HANDLE both[2] = {stopEvent, wait_.event.Get()};
      const DWORD which = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
      if (which == WAIT_OBJECT_0) {
        ::CancelIoEx(handle_.Get(), ov);
        DWORD ignored = 0;
        ::GetOverlappedResult(handle_.Get(), ov, &ignored, TRUE);
        return {true, 0};
      }
      DWORD ignored = 0;
      if (!::GetOverlappedResult(handle_.Get(), ov, &ignored, TRUE))
        return Failed(::GetLastError(), stopEvent);
    }
    // A raised stop wins over an event that came at the same moment.
    if (::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
      return {true, 0};
    return {false, events};
  }

 private:
  static uint32_t Flags(const DCB& dcb) {
    uint32_t flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb.BaudRate) + sizeof dcb.BaudRate,
                sizeof flags);
    return flags;
  }
  static void SetFlags(DCB& dcb, uint32_t flags) {
    std::memcpy(reinterpret_cast<char*>(&dcb.BaudRate) + sizeof dcb.BaudRate, &flags, sizeof flags);
  }

  size_t Transfer(bool write, char* data, size_t size) {
    Overlapped& slot = write ? write_ : read_;
    OVERLAPPED* ov = slot.Fresh();
    DWORD done = 0;
    const DWORD count = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    const BOOL ok = write ? ::WriteFile(handle_.Get(), data, count, &done, ov)
                          : ::ReadFile(handle_.Get(), data, count, &done, ov);
    if (!ok) {
      if (::GetLastError() != ERROR_IO_PENDING)
        Fail(write ? "WriteFile" : "ReadFile");
      if (write)
        AwaitWriteOrCancel(ov);
      // The port's time-outs end the transfer; a time-out is a short count, not a failure, and
      // so is a cancelled write.
      if (!::GetOverlappedResult(handle_.Get(), ov, &done, TRUE) &&
          !(write && ::GetLastError() == ERROR_OPERATION_ABORTED))
        Fail(write ? "WriteFile" : "ReadFile");
    } else {
      ::GetOverlappedResult(handle_.Get(), ov, &done, FALSE);
    }
    return done;
  }

  // Returns when the write has ended by itself or has been cancelled. A cancel is asked again
  // until the transfer ends, for one that came before the transfer could be found.
  void AwaitWriteOrCancel(OVERLAPPED* ov) {
    const HANDLE both[2] = {write_.event.Get(), cancelWrites_.Handle()};
    if (::WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
      return;
    do ::CancelIoEx(handle_.Get(), ov);
    while (::WaitForSingleObject(write_.event.Get(), 50) == WAIT_TIMEOUT);
  }

  TCommWait Failed(DWORD code, HANDLE stopEvent) {
    if (::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
      return {true, 0};
    if (IsGone(code)) {
      Lost();
      return {false, EV_ERR};
    }
    // A port without modem lines (a pty behind wine's COM port, some virtual ports) refuses
    // the whole wait while their changes are asked for: it waits for the rest from then on.
    if (NoModemLines(code) && StopWatchingModemLines())
      return {false, 0};
    // Any other failure is reported as a wake-up with nothing in it; a short pause keeps a
    // failure that repeats at once from spinning.
    return {::WaitForSingleObject(stopEvent, kRetryMs) == WAIT_OBJECT_0, 0};
  }

  bool StopWatchingModemLines() {
    constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    DWORD mask = 0;
    if (!::GetCommMask(handle_.Get(), &mask) || (mask & kModemEvents) == 0)
      return false;
    return ::SetCommMask(handle_.Get(), mask & ~kModemEvents) != 0;
  }

  void Lost() {
    if (!gone_.exchange(true))
      lostErrors_ |= CE_IOE;
  }

  static constexpr DWORD kRetryMs = 100;

  UniqueHandle handle_;
  Overlapped read_;
  Overlapped write_;
  std::atomic<bool> writesCancelled_{false};
  WinStopSignal cancelWrites_;
  Overlapped wait_;  // event thread only
  std::atomic<bool> gone_{false};
  // CE_IOE for a loss seen by this layer, handed out once by ClearCommError.
  std::atomic<uint32_t> lostErrors_{0};
};

// COM2 before COM10: the name without its trailing number, then the number.
std::tuple<std::string, unsigned long, std::string> NaturalKey(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  const std::string number = name.substr(digits);
  const unsigned long value = number.empty() || number.size() > 9 ? 0 : std::stoul(number);
  return {name.substr(0, digits), value, name};
}

class WinCommProvider final : public ICommProvider {
 public:
  std::unique_ptr<ICommPort> Open(const std::string& name) override {
    if (name.empty())
      throw CommError(ERROR_FILE_NOT_FOUND, "CreateFile");
    return std::make_unique<WinCommPort>(PortPath(name));
  }
  std::vector<std::string> ListPorts() override { return ListSerialPorts(); }
};

std::atomic<ICommProvider*> installed{nullptr};

}  // namespace

// The ports the serial drivers have registered under HKEY_LOCAL_MACHINE: each value's data is
// a port name (COM1). The parameters are the Linux backend's folders and mean nothing here.
std::vector<std::string> ListSerialPorts(const std::string&, const std::string&) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"hardware\\devicemap\\serialcomm", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::map<std::tuple<std::string, unsigned long, std::string>, std::string> ordered;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    wchar_t data[256];
    DWORD nameSize = 256;
    DWORD dataSize = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = ::RegEnumValueW(key, index, name, &nameSize, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS)
      break;
    if (rc != ERROR_SUCCESS || type != REG_SZ)
      continue;
    // Registry strings need not end in a zero.
    size_t length = dataSize / sizeof(wchar_t);
    while (length > 0 && data[length - 1] == L'\0') --length;
    if (length == 0)
      continue;
    const std::string port = win::Narrow(data, length);
    ordered.emplace(NaturalKey(port), port);
  }
  ::RegCloseKey(key);
  std::vector<std::string> ports;
  for (auto& [k, port] : ordered) {
    if (ports.empty() || ports.back() != port)
      ports.push_back(port);
  }
  return ports;
}

ICommProvider& CommProvider() {
  static WinCommProvider real;
  ICommProvider* p = installed.load();
  return p ? *p : real;
}

ICommProvider* ReplaceCommProvider(ICommProvider* provider) {
  return installed.exchange(provider);
}

}  // namespace kyt::comm
