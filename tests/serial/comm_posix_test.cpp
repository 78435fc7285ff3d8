// The POSIX port layer on its own: the wait after a hang-up, framing on a pty, and the list of
// ports read from a sysfs-shaped tree.

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>

#include "platform/comm.h"
#include "platform/posix/comm_calls.h"
#include "tests/serial/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace {

// Modem-line requests on their way to the kernel, as "+DTR", "-RTS": a pty has no lines to
// read them back from.
std::mutex lineLock;
std::vector<std::string> lineRequests;

}  // namespace

// Every ioctl of this test program passes through here to the kernel unchanged.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMBIS || request == TIOCMBIC) {
    const int bits = *static_cast<int*>(argument);
    std::lock_guard guard(lineLock);
    for (const auto& [bit, name] : {std::pair{TIOCM_DTR, "DTR"}, std::pair{TIOCM_RTS, "RTS"}}) {
      if (bits & bit)
        lineRequests.push_back((request == TIOCMBIS ? "+" : "-") + std::string(name));
    }
  }
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

// While set, the event wait's poll (the stop signal first, the port second) watches the stop
// signal only: the wait can then report a loss only as an earlier look at the port recorded it.
std::atomic<bool> waitBlindToPort{false};

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
  if (waitBlindToPort && count == 2)
    count = 1;
  const timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  return ::ppoll(fds, count, timeoutMs < 0 ? nullptr : &timeout, nullptr);
}

namespace kyt {
namespace {

std::vector<std::string> TakeLineRequests() {
  std::lock_guard guard(lineLock);
  return std::exchange(lineRequests, {});
}

namespace fs = std::filesystem;
using test::PtyPair;

TEST(CommPosixTest, AHangUpIsReportedOnceAndThenOnlyTheStopEndsTheWait) {
  PtyPair pty;
  auto port = comm::CommProvider().Open(pty.SlavePath());
  port->SetCommMask(0x05FF);
  auto stop = port->NewStopSignal();
  pty.CloseMaster();

  const comm::TCommWait first = port->WaitCommEvent(*stop);
  EXPECT_FALSE(first.Stopped);
  EXPECT_TRUE(first.Events & comm::EV_ERR);
  EXPECT_EQ(port->ClearCommError().Errors & comm::CE_IOE, comm::CE_IOE);

  auto second = std::async(std::launch::async, [&] { return port->WaitCommEvent(*stop); });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  stop->Raise();
  EXPECT_TRUE(second.get().Stopped);
  // A write on a gone port fails rather than pretending.
  EXPECT_THROW(port->Write("x", 1), comm::CommError);
}

// The descriptors of this process still open on `path`.
int DescriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    // A pty whose master has closed is shown as deleted.
    if (target == path || target == path + " (deleted)")
      ++count;
  }
  return count;
}

// The device goes between a wake-up and the main thread's look at it: the look must not swallow
// the loss, which the next wait reports once before it lets go of the tty. A hung-up tty fails
// the queue query with EIO and reads 0 bytes, like an idle one.
TEST(CommPosixTest, ALossFoundByTheQueueQueryOrAReadIsStillReportedOnce) {
  char buffer[8];
  const std::pair<const char*, std::function<void(comm::ICommPort&)>> finders[] = {
      {"queue query", [](comm::ICommPort& port) { EXPECT_EQ(port.ClearCommError().InQueue, 0u); }},
      {"read", [&](comm::ICommPort& port) { EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u); }},
  };
  for (const auto& [name, find] : finders) {
    PtyPair pty;
    auto port = comm::CommProvider().Open(pty.SlavePath());
    port->SetCommMask(0x05FF);
    port->SetCommTimeouts({comm::MAXDWORD, 0, 0, 100, 1000});
    auto stop = port->NewStopSignal();
    pty.Write("abc");
    EXPECT_EQ(port->WaitCommEvent(*stop).Events, comm::EV_RXCHAR) << name;
    pty.CloseMaster();
    find(*port);

    waitBlindToPort = true;
    auto waited = std::async(std::launch::async, [&] { return port->WaitCommEvent(*stop); });
    if (waited.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
      stop->Raise();  // the loss went unreported: end the wait so the test can fail
    const comm::TCommWait report = waited.get();
    waitBlindToPort = false;
    ASSERT_FALSE(report.Stopped) << name;
    EXPECT_EQ(report.Events, comm::EV_ERR) << name;
    EXPECT_EQ(port->ClearCommError().Errors, comm::CE_IOE) << name;
    EXPECT_EQ(DescriptorsOn(pty.SlavePath()), 2) << name;  // the test's own and the port's

    stop->Raise();
    EXPECT_TRUE(port->WaitCommEvent(*stop).Stopped) << name;
    EXPECT_EQ(DescriptorsOn(pty.SlavePath()), 1) << name << ": the dead tty is still held";
    EXPECT_EQ(port->ClearCommError().Errors, 0u) << name;
  }
}

// glibc releases that read the settings back report the pty driver's refusal of data bits and
// parity as EINVAL.
int StrictSetAttributes(int fd, int action, const termios* wanted) {
  if (::tcsetattr(fd, action, wanted) != 0)
    return -1;
  termios now{};
  ::tcgetattr(fd, &now);
  if ((now.c_cflag & (CSIZE | PARENB)) != (wanted->c_cflag & (CSIZE | PARENB))) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

TEST(CommPosixTest, APtyTakesFramingItCannotCarryWhileARefusalStillFails) {
  PtyPair pty;
  auto port = comm::CommProvider().Open(pty.SlavePath());
  comm::TDCB dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = comm::EVENPARITY;
  const comm::TSetAttributes previous = comm::ReplaceSetAttributes(StrictSetAttributes);
  EXPECT_NO_THROW(port->SetCommState(dcb));
  comm::ReplaceSetAttributes([](int, int, const termios*) { return errno = EINVAL, -1; });
  EXPECT_THROW(port->SetCommState(dcb), comm::CommError);
  comm::ReplaceSetAttributes(previous);
}

TEST(CommPosixTest, OpeningFailsWithTheSystemErrorAndIsExclusive) {
  try {
    comm::CommProvider().Open("ttyNOSUCHPORT");
    FAIL() << "opened";
  } catch (const comm::CommError& e) {
    EXPECT_EQ(e.Code(), ENOENT);
  }
  try {
    comm::CommProvider().Open("");
    FAIL() << "opened";
  } catch (const comm::CommError& e) {
    EXPECT_EQ(e.Code(), ENOENT);
  }
  PtyPair pty;
  auto first = comm::CommProvider().Open(pty.SlavePath());
  try {
    comm::CommProvider().Open(pty.SlavePath());
    FAIL() << "opened twice";
  } catch (const comm::CommError& e) {
    EXPECT_EQ(e.Code(), EBUSY);
  }
  first.reset();
  EXPECT_NO_THROW(comm::CommProvider().Open(pty.SlavePath()));
  // A pty has no modem lines: nothing to report, nothing to fail.
  auto port = comm::CommProvider().Open(pty.SlavePath());
  EXPECT_EQ(port->GetCommModemStatus(), 0u);
  EXPECT_NO_THROW(port->EscapeCommFunction(comm::SETDTR));
}

// The lines follow their control mode whenever it changes on the open port, and only then: a
// new rate alone leaves a line the caller set as it is.
TEST(CommPosixTest, LineControlFollowsEveryChangeOfMode) {
  using namespace comm;
  struct {
    uint32_t Control;
    std::vector<std::string> Requests;
  } steps[] = {
      {DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE, {"+DTR", "+RTS"}},
      {DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE, {}},
      {0, {"-DTR", "-RTS"}},
      {DTR_CONTROL_HANDSHAKE | RTS_CONTROL_HANDSHAKE, {}},
      {DTR_CONTROL_ENABLE, {"+DTR", "-RTS"}},
      {RTS_CONTROL_ENABLE, {"-DTR", "+RTS"}},
  };
  PtyPair pty;
  auto port = CommProvider().Open(pty.SlavePath());
  TakeLineRequests();
  uint32_t rate = 9600;
  for (const auto& step : steps) {
    TDCB dcb;
    dcb.BaudRate = rate *= 2;
    dcb.Flags = fBinary | step.Control;
    port->SetCommState(dcb);
    EXPECT_EQ(TakeLineRequests(), step.Requests) << "control " << step.Control;
  }
}

TEST(CommPosixTest, ReadsHonourTheReturnAtOnceTimeOut) {
  PtyPair pty;
  auto port = comm::CommProvider().Open(pty.SlavePath());
  comm::TDCB dcb;
  dcb.BaudRate = 9600;
  port->SetCommState(dcb);
  port->SetCommTimeouts({comm::MAXDWORD, 0, 0, 100, 1000});
  char buffer[8];
  EXPECT_EQ(port->Read(buffer, sizeof buffer), 0u);  // nothing queued: no waiting
  pty.Write("abc");
  auto stop = port->NewStopSignal();
  port->SetCommMask(comm::EV_RXCHAR);
  EXPECT_EQ(port->WaitCommEvent(*stop).Events, comm::EV_RXCHAR);
  EXPECT_EQ(port->ClearCommError().InQueue, 3u);
  EXPECT_EQ(port->Read(buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

class SerialPortListTest : public ::testing::Test {
 protected:
  void Tty(const std::string& name, bool device, const char* type = nullptr) {
    fs::create_directories(classDir / name);
    if (device)
      fs::create_directory(classDir / name / "device");
    if (type)
      std::ofstream(classDir / name / "type") << type << "\n";
  }
  void Link(const std::string& link, const std::string& tty) {
    fs::create_directories(byId);
    fs::create_symlink("../../" + tty, byId / link);
  }
  std::vector<std::string> List() { return comm::ListSerialPorts(classDir, byId); }

  test_support::TTempDir dir;
  fs::path classDir = fs::path(dir.Path()) / "class";
  fs::path byId = fs::path(dir.Path()) / "by-id";
};

TEST_F(SerialPortListTest, ListsDeviceBackedPortsInNaturalOrderPreferringByIdLinks) {
  Tty("tty0", false);  // a virtual console
  Tty("ptmx", false);
  Tty("ttyS10", true, "4");
  Tty("ttyS2", true, "4");
  Tty("ttyS3", true, "0");  // a UART slot with nothing behind it
  Tty("ttyUSB0", true);
  Tty("ttyACM0", true);
  Link("usb-FTDI_FT232R_A1-if00-port0", "ttyUSB0");
  EXPECT_EQ(List(), (std::vector<std::string>{"ttyACM0", "ttyS2", "ttyS10",
                                              (byId / "usb-FTDI_FT232R_A1-if00-port0").string()}));
}

TEST_F(SerialPortListTest, AMachineWithoutTheFoldersHasNoPorts) {
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(comm::PortPath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(comm::PortPath("/dev/serial/by-id/x"), "/dev/serial/by-id/x");
}

}  // namespace
}  // namespace kyt
