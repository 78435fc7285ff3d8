// The POSIX serial port: termios for the line, ioctls for queues, lines and error counters, and
// poll with an eventfd for the event wait.

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>

#include "platform/comm.h"
#include "platform/posix/comm_baud.h"
#include "platform/posix/comm_calls.h"
#include "platform/sockets.h"

namespace kyt::comm {

using net::UniqueFd;

CommError::CommError(int code, const std::string& call)
    : Exception(call + ": " + net::ErrorText(code) + " (" + std::to_string(code) + ")"),
      code_(code) {}

std::string PortPath(const std::string& Name) {
  return !Name.empty() && Name[0] == '/' ? Name : "/dev/" + Name;
}

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<TSetAttributes> setAttributes{nullptr};

int SetAttributes(int fd, const termios& t) {
  const TSetAttributes call = setAttributes.load();
  return call ? call(fd, TCSANOW, &t) : ::tcsetattr(fd, TCSANOW, &t);
}

// The slave side of a pseudo-terminal (Unix 98 or the legacy BSD kind).
bool IsPseudoTerminal(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
    return false;
  const unsigned kind = major(info.st_rdev);
  return (kind >= 136 && kind < 144) || kind == 3;
}

[[noreturn]] void Fail(int code, const char* call) {
  throw CommError(code, call);
}

[[noreturn]] void Fail(const char* call) {
  Fail(errno, call);
}

// Modem-line requests on a tty without modem lines (a pty) fail with these; there is simply
// nothing to set or report there.
bool NoModemLines(int code) {
  return code == ENOTTY || code == EINVAL;
}

// What a removed USB adapter or a pty whose far side closed answers.
bool IsGone(int code) {
  return code == EIO || code == ENXIO || code == ENODEV;
}

bool ModemIoctl(int fd, unsigned long request, int bits) {
  if (::ioctl(fd, request, &bits) == 0)
    return true;
  if (NoModemLines(errno))
    return false;
  Fail("ioctl");
}

speed_t StandardSpeed(uint32_t rate) {
  static constexpr std::pair<uint32_t, speed_t> kTable[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& [number, speed] : kTable) {
    if (number == rate)
      return speed;
  }
  return B0;
}

tcflag_t CharacterSize(uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

class PosixStopSignal final : public ICommStopSignal {
 public:
  PosixStopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_)
      Fail("eventfd");
  }
  void Raise() noexcept override {
    const uint64_t one = 1;
    // EAGAIN means the counter is saturated, which is still raised.
    while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  int Handle() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

class PosixCommPort final : public ICommPort {
 public:
  explicit PosixCommPort(const std::string& path) {
    fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_ || !cancelWrites_)
      Fail("open");
    if (!::isatty(fd_.Get()))
      Fail("open");
    // The lock keeps out every other opener, root included, which TIOCEXCL alone does not.
    if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
      throw CommError(errno == EWOULDBLOCK ? EBUSY : errno, "open");
    }
    if (::ioctl(fd_.Get(), TIOCEXCL) != 0)
      Fail("open");
    ReadCounters(nullptr);
  }

  ~PosixCommPort() override {
    // The exclusive flag belongs to the tty, not to this descriptor; leaving it set would lock
    // out our own next open of a tty that outlives the close (a pty slave).
    ::ioctl(fd_.Get(), TIOCNXCL);
  }

  void SetupComm(uint32_t, uint32_t) override {
    // The kernel sizes its own queues; there is nothing to request.
  }

  void SetCommState(const TDCB& dcb) override {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
      throw CommError(EINVAL, "tcsetattr");
    }
    termios t{};
    if (::tcgetattr(fd_.Get(), &t) != 0)
      Fail("tcgetattr");
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    if (dcb.Flags & fParity)
      t.c_iflag |= INPCK;
    if (dcb.Flags & fOutX)
      t.c_iflag |= IXON;
    if (dcb.Flags & fInX)
      t.c_iflag |= IXOFF;
    t.c_cflag = CREAD | CLOCAL | CharacterSize(dcb.ByteSize);
    switch (dcb.Parity) {
      case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
      case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
      case MARKPARITY:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    // There is no 1.5 setting; UARTs send 1.5 stop bits for CSTOPB with five data bits.
    if (dcb.StopBits != ONESTOPBIT)
      t.c_cflag |= CSTOPB;
    if ((dcb.Flags & fOutxCtsFlow) || (dcb.Flags & fRtsControlMask) == RTS_CONTROL_HANDSHAKE) {
      t.c_cflag |= CRTSCTS;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    const speed_t speed = StandardSpeed(dcb.BaudRate);
    const speed_t tableSpeed = speed == B0 ? B9600 : speed;
    ::cfsetispeed(&t, tableSpeed);
    ::cfsetospeed(&t, tableSpeed);
    if (SetAttributes(fd_.Get(), t) != 0) {
      // A pty has no line to frame: its driver keeps eight data bits without parity whatever
      // it is asked, and newer C libraries report that as EINVAL. A virtual port configured
      // 7E1 still carries bytes, so it takes what the pty can do; a real port that refuses a
      // setting fails.
      if (errno != EINVAL || !IsPseudoTerminal(fd_.Get()))
        Fail("tcsetattr");
      t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS8;
      if (SetAttributes(fd_.Get(), t) != 0)
        Fail("tcsetattr");
    }
    if (speed == B0) {
      const int code = SetAnyBaudRate(fd_.Get(), dcb.BaudRate);
      if (code != 0)
        throw CommError(code, "ioctl(TCSETS2)");
    }
    // The lines follow their control mode when it is first given or changes; a new speed or
    // parity must not undo a line the caller raised since.
    const uint32_t control = dcb.Flags & (fDtrControlMask | fRtsControlMask);
    if (!lineControl_ || *lineControl_ != control)
      ApplyLineControl(control);
    lineControl_ = control;
  }

  void SetCommTimeouts(const TCommTimeouts& timeouts) override { timeouts_ = timeouts; }

  size_t Read(char* buffer, size_t size) override {
    const TCommTimeouts t = timeouts_;
    const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const uint64_t total =
        uint64_t{t.ReadTotalTimeoutMultiplier} * size + t.ReadTotalTimeoutConstant;
    const auto start = Clock::now();
    auto lastByte = start;
    size_t got = 0;
    while (got < size) {
      const ssize_t n = ::read(fd_.Get(), buffer + got, size - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
        lastByte = Clock::now();
        if (t.ReadIntervalTimeout == MAXDWORD)
          break;
        continue;
      }
      // Without VMIN and VTIME a tty reads 0 when nothing is queued, and also once its device
      // has gone (a removed adapter, a hung-up pty). The latter is a lost line, which the event
      // wait reports, not an empty block.
      if (n == 0 || (n < 0 && IsGone(errno))) {
        if (n < 0 || HungUp())
          Lost();
        break;
      }
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN)
        Fail("read");
      if (returnAtOnce)
        break;
      int wait = -1;
      if (total > 0)
        wait = Remaining(start, total);
      if (got > 0 && t.ReadIntervalTimeout > 0 && t.ReadIntervalTimeout != MAXDWORD) {
        const int interval = Remaining(lastByte, t.ReadIntervalTimeout);
        wait = wait < 0 ? interval : std::min(wait, interval);
      }
      if (wait == 0 || !WaitFor(POLLIN, wait))
        break;
    }
    return got;
  }

  size_t Write(const char* data, size_t size) override {
    const TCommTimeouts t = timeouts_;
    const uint64_t total =
        uint64_t{t.WriteTotalTimeoutMultiplier} * size + t.WriteTotalTimeoutConstant;
    const auto start = Clock::now();
    size_t done = 0;
    while (done < size && !writesCancelled_) {
      const ssize_t n = ::write(fd_.Get(), data + done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && IsGone(errno))
        Lost();
      if (released_ || (n < 0 && errno != EAGAIN))
        Fail(released_ ? EIO : errno, "write");
      const int wait = total > 0 ? Remaining(start, total) : -1;
      if (wait == 0 || !WaitForOutput(wait))
        break;
    }
    return done;
  }

  size_t WriteNow(const char* data, size_t size) override {
    if (writesCancelled_)
      return 0;
    if (released_)
      Fail(EIO, "write");
    for (;;) {
      const ssize_t n = ::write(fd_.Get(), data, size);
      if (n >= 0)
        return static_cast<size_t>(n);
      if (errno == EAGAIN)
        return 0;
      if (errno == EINTR)
        continue;
      if (IsGone(errno))
        Lost();
      Fail("write");
    }
  }

  void CancelWrites() override {
    writesCancelled_ = true;
    const uint64_t one = 1;
    (void)!::write(cancelWrites_.Get(), &one, sizeof one);
  }

  TCommState ClearCommError() override {
    // The error counters are looked at by the event wait only, so that every change is
    // reported with a wake-up rather than taken away here unseen.
    int queued = 0;
    if (::ioctl(fd_.Get(), FIONREAD, &queued) != 0) {
      // A device that has gone has nothing queued. Its loss is reported by the event wait, as
      // CE_IOE once, also when it is this query that finds it gone: the caller may be one
      // that only wants the queue length.
      if (!gone_ && !IsGone(errno))
        Fail("ioctl(FIONREAD)");
      Lost();
      queued = 0;
    }
    TCommState state;
    state.Errors = errors_.exchange(0);
    state.InQueue = static_cast<uint32_t>(std::max(queued, 0));
    return state;
  }

  uint32_t GetCommModemStatus() override {
    int lines = 0;
    if (::ioctl(fd_.Get(), TIOCMGET, &lines) != 0) {
      if (NoModemLines(errno))
        return 0;
      Fail("ioctl(TIOCMGET)");
    }
    uint32_t status = 0;
    if (lines & TIOCM_CTS)
      status |= MS_CTS_ON;
    if (lines & TIOCM_DSR)
      status |= MS_DSR_ON;
    if (lines & TIOCM_RNG)
      status |= MS_RING_ON;
    if (lines & TIOCM_CAR)
      status |= MS_RLSD_ON;
    return status;
  }

  void EscapeCommFunction(int function) override {
    if (released_)
      Fail(EIO, "EscapeCommFunction");
    const int fd = fd_.Get();
    switch (function) {
      case SETDTR:
        ModemIoctl(fd, TIOCMBIS, TIOCM_DTR);
        return;
      case CLRDTR:
        ModemIoctl(fd, TIOCMBIC, TIOCM_DTR);
        return;
      case SETRTS:
        ModemIoctl(fd, TIOCMBIS, TIOCM_RTS);
        return;
      case CLRRTS:
        ModemIoctl(fd, TIOCMBIC, TIOCM_RTS);
        return;
      case SETBREAK:
        if (::ioctl(fd, TIOCSBRK) != 0)
          Fail("ioctl(TIOCSBRK)");
        return;
      case CLRBREAK:
        if (::ioctl(fd, TIOCCBRK) != 0)
          Fail("ioctl(TIOCCBRK)");
        return;
      default:
        throw CommError(EINVAL, "EscapeCommFunction");
    }
  }

  void PurgeComm(uint32_t flags) override {
    const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
    if (!rx && !tx)
      return;
    if (::tcflush(fd_.Get(), rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) {
      Fail("tcflush");
    }
  }

  void SetCommMask(uint32_t mask) override { mask_ = mask; }

  size_t DrainOutput() override {
    const TCommTimeouts t = timeouts_;
    size_t queued = OutputQueued();
    const uint64_t total =
        uint64_t{t.WriteTotalTimeoutMultiplier} * queued + t.WriteTotalTimeoutConstant;
    const auto start = Clock::now();
    auto lastMove = start;
    while (queued > 0) {
      if (total > 0 && Remaining(start, total) == 0)
        break;
      if (t.WriteTotalTimeoutConstant > 0 && Remaining(lastMove, t.WriteTotalTimeoutConstant) == 0)
        break;
      // The kernel has no wait for an emptying queue with a time limit (tcdrain has none).
      ::poll(nullptr, 0, kDrainPollMs);
      const size_t now = OutputQueued();
      if (now < queued)
        lastMove = Clock::now();
      queued = now;
    }
    return queued;
  }

  std::unique_ptr<ICommStopSignal> NewStopSignal() override {
    return std::make_unique<PosixStopSignal>();
  }

  TCommWait WaitCommEvent(ICommStopSignal& stop) override {
    const int stopFd = static_cast<PosixStopSignal&>(stop).Handle();
    // A gone device keeps poll answering at once; after its one report only the stop counts.
    if (gone_) {
      if (!goneReported_)
        return {false, ReportGone() & mask_};
      // The report has been handled: holding the dead tty open would only make the kernel
      // give a replugged adapter the next name.
      ReleaseDevice();
      return WaitForStopOnly(stopFd, -1);
    }
    // Wake-ups that found nothing to report could repeat at once; the next one waits a moment.
    if (idleWakes_ >= kIdleWakesBeforeBackOff) {
      idleWakes_ = 0;
      if (WaitForStopOnly(stopFd, kBackOffMs).Stopped)
        return {true, 0};
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno != EINTR)
        ++idleWakes_;
      return {};
    }
    if (fds[0].revents & POLLIN)
      return {true, 0};
    uint32_t events = PortEvents(fds[1].revents);
    if (gone_)
      events |= ReportGone();
    events &= mask_;
    idleWakes_ = events == 0 ? idleWakes_ + 1 : 0;
    return {false, events};
  }

 private:
  static constexpr int kIdleWakesBeforeBackOff = 3;
  static constexpr int kBackOffMs = 100;
  static constexpr int kDrainPollMs = 10;

  static int Remaining(Clock::time_point since, uint64_t limitMs) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    const int64_t left = static_cast<int64_t>(limitMs) - spent.count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX));
  }

  // True when the descriptor became ready (or reports a hang-up or error) in time.
  bool WaitFor(short what, int timeoutMs) {
    pollfd entry{fd_.Get(), what, 0};
    for (;;) {
      const int n = ::poll(&entry, 1, timeoutMs);
      if (n >= 0)
        return n > 0;
      if (errno != EINTR)
        Fail("poll");
    }
  }

  // True when the port takes bytes again (or reports a hang-up or error) in time; false also
  // when the writes are cancelled.
  bool WaitForOutput(int timeoutMs) {
    pollfd entries[2] = {{fd_.Get(), POLLOUT, 0}, {cancelWrites_.Get(), POLLIN, 0}};
    for (;;) {
      const int n = ::poll(entries, 2, timeoutMs);
      if (n >= 0)
        return n > 0 && !(entries[1].revents & POLLIN);
      if (errno != EINTR)
        Fail("poll");
    }
  }

  bool HungUp() const {
    pollfd entry{fd_.Get(), 0, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR));
  }

  TCommWait WaitForStopOnly(int stopFd, int timeoutMs) {
    pollfd entry{stopFd, POLLIN, 0};
    const int n = ::poll(&entry, 1, timeoutMs);
    return {n > 0 && (entry.revents & POLLIN), 0};
  }

  uint32_t PortEvents(short revents) {
    uint32_t events = 0;
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
      Lost();
    } else if (revents & POLLIN) {
      uint32_t fresh = 0;
      events |= ReadCounters(&fresh);
      errors_ |= fresh;
      if (fresh)
        events |= EV_ERR;
    }
    int queued = 0;
    if (::ioctl(fd_.Get(), FIONREAD, &queued) != 0) {
      Lost();
    } else if (queued > 0) {
      // Bytes that came before a hang-up are still offered; the error comes first.
      events |= EV_RXCHAR;
    }
    return events;
  }

  // Any thread may find the device gone; the event wait reports it.
  void Lost() { gone_ = true; }

  // The one report of a gone device: CE_IOE for the next error query. Event thread only.
  uint32_t ReportGone() {
    if (goneReported_)
      return 0;
    goneReported_ = true;
    errors_ |= CE_IOE;
    return EV_ERR;
  }

  // Lets go of the tty while keeping the descriptor number taken, so that a call racing on
  // another thread fails on an empty placeholder rather than reaching a file opened since.
  void ReleaseDevice() {
    if (released_)
      return;
    UniqueFd placeholder(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (placeholder && ::dup3(placeholder.Get(), fd_.Get(), O_CLOEXEC) >= 0)
      released_ = true;
  }

  size_t OutputQueued() {
    int queued = 0;
    if (released_ || ::ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0)
      return 0;
    return static_cast<size_t>(std::max(queued, 0));
  }

  // Folds the driver's error counters since the last look into CE_* flags (into `errors`) and
  // returns the EV_* bits their change stands for. Drivers without counters report nothing.
  uint32_t ReadCounters(uint32_t* errors) {
    if (!hasCounters_)
      return 0;
    serial_icounter_struct now{};
    if (::ioctl(fd_.Get(), TIOCGICOUNT, &now) != 0) {
      if (NoModemLines(errno))
        hasCounters_ = false;
      return 0;
    }
    uint32_t events = 0;
    if (errors) {
      if (now.frame != counters_.frame)
        *errors |= CE_FRAME;
      if (now.overrun != counters_.overrun)
        *errors |= CE_OVERRUN;
      if (now.buf_overrun != counters_.buf_overrun)
        *errors |= CE_RXOVER;
      if (now.parity != counters_.parity)
        *errors |= CE_RXPARITY;
      if (now.brk != counters_.brk) {
        *errors |= CE_BREAK;
        events |= EV_BREAK;
      }
      if (now.cts != counters_.cts)
        events |= EV_CTS;
      if (now.dsr != counters_.dsr)
        events |= EV_DSR;
      if (now.dcd != counters_.dcd)
        events |= EV_RLSD;
      if (now.rng != counters_.rng)
        events |= EV_RING;
    }
    counters_ = now;
    return events;
  }

  UniqueFd fd_;
  TCommTimeouts timeouts_;
  uint32_t mask_ = 0;
  // Set by the event wait, taken by ClearCommError on the main thread.
  std::atomic<uint32_t> errors_{0};
  bool hasCounters_ = true;            // event thread only (and the constructor)
  serial_icounter_struct counters_{};  // event thread only (and the constructor)
  std::atomic<bool> gone_{false};
  bool goneReported_ = false;  // event thread only
  std::atomic<bool> released_{false};
  std::atomic<bool> writesCancelled_{false};
  UniqueFd cancelWrites_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // readable once cancelled
  std::optional<uint32_t> lineControl_;
  int idleWakes_ = 0;  // event thread only

  void ApplyLineControl(uint32_t flags) {
    const uint32_t dtr = flags & fDtrControlMask;
    if (dtr != DTR_CONTROL_HANDSHAKE)
      EscapeCommFunction(dtr == DTR_CONTROL_ENABLE ? SETDTR : CLRDTR);
    const uint32_t rts = flags & fRtsControlMask;
    if (rts == 0 || rts == RTS_CONTROL_ENABLE) {
      EscapeCommFunction(rts == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS);
    }
  }
};

class PosixCommProvider final : public ICommProvider {
 public:
  std::unique_ptr<ICommPort> Open(const std::string& name) override {
    if (name.empty())
      throw CommError(ENOENT, "open");
    return std::make_unique<PosixCommPort>(PortPath(name));
  }
  std::vector<std::string> ListPorts() override { return ListSerialPorts(); }
};

std::atomic<ICommProvider*> installed{nullptr};

}  // namespace

ICommProvider& CommProvider() {
  static PosixCommProvider real;
  ICommProvider* p = installed.load();
  return p ? *p : real;
}

ICommProvider* ReplaceCommProvider(ICommProvider* provider) {
  return installed.exchange(provider);
}

TSetAttributes ReplaceSetAttributes(TSetAttributes call) {
  return setAttributes.exchange(call);
}

}  // namespace kyt::comm
