#pragma once

// One open serial port, in the shape the serial device drives it: a line-settings record laid
// out like a DCB, five time-outs with the read/write meaning of COMMTIMEOUTS, queue and error
// state, modem lines, escape functions, purge, and a wait for port events that a stop signal
// ends. The POSIX backend lives in platform/posix/comm*.cpp; tests install a fake provider.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/exception.h"

namespace kyt::comm {

// A failed port operation; Code() is the operating system's error number (errno).
class CommError : public Exception {
 public:
  CommError(int code, const std::string& call);
  int Code() const { return code_; }

 private:
  int code_;
};

// Line-settings flags.
inline constexpr uint32_t fBinary = 0x0001;
inline constexpr uint32_t fParity = 0x0002;
inline constexpr uint32_t fOutxCtsFlow = 0x0004;
inline constexpr uint32_t fOutxDsrFlow = 0x0008;
inline constexpr uint32_t fDtrControlMask = 0x0030;
inline constexpr uint32_t fDsrSensitivity = 0x0040;
inline constexpr uint32_t fTXContinueOnXoff = 0x0080;
inline constexpr uint32_t fOutX = 0x0100;
inline constexpr uint32_t fInX = 0x0200;
inline constexpr uint32_t fErrorChar = 0x0400;
inline constexpr uint32_t fNull = 0x0800;
inline constexpr uint32_t fRtsControlMask = 0x3000;
inline constexpr uint32_t DTR_CONTROL_ENABLE = 0x0010;
inline constexpr uint32_t DTR_CONTROL_HANDSHAKE = 0x0020;
inline constexpr uint32_t RTS_CONTROL_ENABLE = 0x1000;
inline constexpr uint32_t RTS_CONTROL_HANDSHAKE = 0x2000;
inline constexpr uint32_t RTS_CONTROL_TOGGLE = 0x3000;

// Parity and stop-bit codes of the record.
inline constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3,
                         SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct TDCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  bool operator==(const TDCB&) const = default;
};

// Milliseconds; MAXDWORD in ReadIntervalTimeout with both read totals 0 means "return at once
// with what is queued". A total of 0 means no limit.
inline constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;
struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const TCommTimeouts&) const = default;
};

// Error flags (the first result of ClearCommError).
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;
inline constexpr uint32_t CE_TXFULL = 0x0100;
inline constexpr uint32_t CE_IOE = 0x0400;
inline constexpr uint32_t CE_MODE = 0x8000;

struct TCommState {
  uint32_t Errors = 0;   // CE_* flags gathered since the last query, cleared by it
  uint32_t InQueue = 0;  // received bytes waiting
};

// Event mask bits.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
inline constexpr uint32_t EV_RX80FULL = 0x0400;

// Modem status bits.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// Escape functions.
inline constexpr int SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8, CLRBREAK = 9;

inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Ends a port's event wait from another thread. Raised stays raised.
class ICommStopSignal {
 public:
  virtual ~ICommStopSignal() = default;
  virtual void Raise() noexcept = 0;
};

struct TCommWait {
  bool Stopped = false;
  uint32_t Events = 0;  // EV_* bits of the wake-up; 0 when nothing worth handling happened
};

class ICommPort {
 public:
  virtual ~ICommPort() = default;

  virtual void SetupComm(uint32_t InQueue, uint32_t OutQueue) = 0;
  virtual void SetCommState(const TDCB& State) = 0;
  virtual void SetCommTimeouts(const TCommTimeouts& Timeouts) = 0;
  // Transfer under the time-outs; the count actually moved. A write cut short by its time-out
  // returns the smaller count.
  virtual size_t Read(char* Buffer, size_t Size) = 0;
  virtual size_t Write(const char* Data, size_t Size) = 0;
  // What the port takes at once, never waiting: 0 when it takes nothing now; raises as Write
  // does when the port failed. A port that cannot write without waiting answers 0.
  virtual size_t WriteNow(const char* /*Data*/, size_t /*Size*/) { return 0; }
  // From another thread, for closing: ends the Write in progress at once with the count moved
  // so far, and every later Write and WriteNow moves nothing.
  virtual void CancelWrites() {}
  virtual TCommState ClearCommError() = 0;
  // MS_* bits; a device without modem lines answers 0.
  virtual uint32_t GetCommModemStatus() = 0;
  virtual void EscapeCommFunction(int Function) = 0;
  virtual void PurgeComm(uint32_t Flags) = 0;
  virtual void SetCommMask(uint32_t Mask) = 0;
  // Waits until the bytes written have left the port, within the write time-outs (the constant
  // plus the multiplier for each byte still queued; and no longer than the constant while none
  // leaves). Returns the bytes still queued: what a purge would throw away. A port that cannot
  // tell answers 0.
  virtual size_t DrainOutput() { return 0; }

  virtual std::unique_ptr<ICommStopSignal> NewStopSignal() = 0;
  // Blocks until a watched event, or until Stop (from NewStopSignal of this port) is raised;
  // a raised stop wins. A port that has gone away (a removed adapter, a closed far side) is
  // reported by this wait as EV_ERR with CE_IOE, once, whichever call saw it gone first; the
  // wait after that report lets go of the device (so a replugged adapter can come back under
  // its old name) and waits for the stop signal only.
  virtual TCommWait WaitCommEvent(ICommStopSignal& Stop) = 0;
};

// Opens ports; tests replace it.
class ICommProvider {
 public:
  virtual ~ICommProvider() = default;
  // Exclusive access: a port already open (here or in another process) fails with EBUSY.
  // A name starting with "/" is a path, any other name is "/dev/" + name.
  virtual std::unique_ptr<ICommPort> Open(const std::string& Name) = 0;
  // This machine's serial ports (ListSerialPorts for the real one).
  virtual std::vector<std::string> ListPorts() = 0;
};

ICommProvider& CommProvider();
// Installs `provider` (which must outlive its use; nullptr restores the real one) and returns
// the previous one.
ICommProvider* ReplaceCommProvider(ICommProvider* provider);

// The serial ports of this machine in a fixed order, each once: its /dev/serial/by-id link
// where udev made one, else its name under /dev (ttyS0, ttyUSB0). Only ttys backed by a device
// count, so virtual consoles and ptys are left out, and so are the UART slots the kernel keeps
// without hardware behind them (type 0). The folders are parameters for tests.
std::vector<std::string> ListSerialPorts(const std::string& ClassDir = "/sys/class/tty",
                                         const std::string& ByIdDir = "/dev/serial/by-id");

// The device path a port name stands for.
std::string PortPath(const std::string& Name);

}  // namespace kyt::comm
