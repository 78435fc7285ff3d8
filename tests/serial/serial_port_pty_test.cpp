// The Serial Port module on real pseudo-terminals: bytes both ways, settings on an open port,
// exclusive access, and a far side that goes away and comes back.

#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "framework/codes.h"
#include "platform/posix/comm_baud.h"
#include "serial/serial_port.h"
#include "tests/serial/pty_pair.h"
#include "tests/support/host_test.h"
#include "tests/support/temp_dir.h"

namespace kyt {
namespace {

using test::PtyPair;
using test_support::HostTest;

constexpr TInstanceID kPort = 10;
constexpr TInstanceID kConsole = 11;

// Every byte value, then a pattern that would show a lost, doubled or swapped block.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return bytes;
}

class SerialPortPtyTest : public HostTest {
 protected:
  SerialPortPtyTest() {
    Host().RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
    // Only the byte count and the bytes matter here; keeping every block as an event would make
    // the 1 MiB case quadratic to check.
    Host().SetEventListener([this](const host::THostEvent& e) {
      if (e.EventKind != host::THostEvent::Kind::Data)
        return;
      std::lock_guard guard(lock_);
      received_ += e.Text;
    });
  }
  ~SerialPortPtyTest() override { ResetHost({}); }

  void Open(const std::string& port, TInstanceID id = kPort) {
    Host().StoreSetting(id, {"Settings"}, "Open", Variant(true));
    Host().StoreSetting(id, {"Settings"}, "Port", Variant(port));
    Host().CreateInstance("COMPort", id);
  }
  void WithConsole() { Host().CreateInstance("Console", kConsole, kPort); }
  IKYTSerialPort& Port(TInstanceID id = kPort) {
    return *Supports<IKYTSerialPort>(Host().Instance(id));
  }
  std::string Received() {
    std::lock_guard guard(lock_);
    return received_;
  }
  bool ReceivedAtLeast(size_t n) {
    return WaitUntil([&] { return Received().size() >= n; });
  }
  void Send(const std::string& bytes) {
    Host().Call("COMPort_SendText", {Variant(kPort), Variant(bytes)});
  }
  size_t Count(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }

  std::mutex lock_;
  std::string received_;
};

TEST_F(SerialPortPtyTest, EveryByteValueTravelsBothWays) {
  PtyPair pty;
  Open(pty.SlavePath());
  WithConsole();
  ASSERT_EQ(Host().Status(kPort), IS_ACTIVE);

  const std::string bytes = Pattern(256);
  pty.Write(bytes);
  ASSERT_TRUE(ReceivedAtLeast(256));
  EXPECT_EQ(Received(), bytes);
  std::string debug;
  for (const auto& block : DebugData(kPort, "RECEIVED")) debug += block;
  EXPECT_EQ(debug, bytes);

  Send(bytes);
  EXPECT_EQ(pty.Read(256), bytes);
}

TEST_F(SerialPortPtyTest, AMebibyteTravelsEachWayWithNothingLostOrReordered) {
  PtyPair pty;
  Open(pty.SlavePath());
  WithConsole();
  const std::string block = Pattern(1 << 20);

  std::thread writer([&] { pty.Write(block); });
  const bool arrived = ReceivedAtLeast(block.size());
  writer.join();
  ASSERT_TRUE(arrived);
  EXPECT_TRUE(Received() == block);

  std::string echoed;
  std::thread reader([&] { echoed = pty.Read(block.size()); });
  Send(block);
  reader.join();
  EXPECT_TRUE(echoed == block);
}

TEST_F(SerialPortPtyTest, SettingsChangeOnAnOpenPort) {
  PtyPair first, second;
  Open(first.SlavePath());
  WithConsole();

  // 14400 has no termios constant: it must go through the any-rate path.
  Port().SetBaudRate("14400");
  Port().SetDataBits("7");
  Port().SetParity("Mark");
  Port().SetStopBits("2");
  Host().Instance(kPort)->ApplyChanges();
  EXPECT_EQ(comm::ReadBaudRate(first.Slave()), 14400u);
  termios t{};
  ASSERT_EQ(::tcgetattr(first.Slave(), &t), 0);
  // A pty keeps CS8 and no parity enable whatever it is asked; the rest of the mark parity and
  // the stop bits stay as set.
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB),
            static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB));
  EXPECT_EQ(Host().Summary(kPort), first.SlavePath() + " 14400,7,2,M");

  Port().SetPort(second.SlavePath());
  Host().Instance(kPort)->ApplyChanges();
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  second.Write("via second");
  ASSERT_TRUE(ReceivedAtLeast(10));
  EXPECT_EQ(Received(), "via second");
  EXPECT_EQ(comm::ReadBaudRate(second.Slave()), 14400u);
}

TEST_F(SerialPortPtyTest, ASecondOpenOfTheSamePortIsRefused) {
  PtyPair pty;
  Open(pty.SlavePath());
  Open(pty.SlavePath(), 12);
  EXPECT_EQ(Host().Status(12), IS_ERROR);
  EXPECT_EQ(LogTexts(12, KL_ERROR),
            std::vector<std::string>{
                "Could not open SerialPort: Unable to open com port (win error code: 16)"});
  // Once the first lets go, the second gets it.
  Port().SetOpen(false);
  Host().Instance(kPort)->ApplyChanges();
  Host().FireTimer(12, "Reconnect");
  EXPECT_EQ(Host().Status(12), IS_ACTIVE);
}

TEST_F(SerialPortPtyTest, AClosedFarSideIsReportedOnceAndThePortComesBack) {
  test_support::TTempDir dir;
  // A stable name for a device that reappears elsewhere, as udev's by-id links are.
  const std::string link = dir.File("adapter");
  auto plug = std::make_unique<PtyPair>();
  std::filesystem::create_symlink(plug->SlavePath(), link);
  Open(link);
  WithConsole();
  ASSERT_EQ(Host().Status(kPort), IS_ACTIVE);

  plug->CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return Count(LogTexts(kPort), "SerialPort - Closed") == 1; }));
  EXPECT_EQ(Host().Status(kPort), IS_ERROR);
  EXPECT_EQ(Host().TimerInterval(kPort, "Reconnect"), 10);
  // The hang-up stays raised; it must neither be reported again nor keep the thread spinning.
  Host().RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(Count(LogTexts(kPort), "SerialPort - Closed"), 1u);
  EXPECT_THROW(Send("x"), Exception);

  Host().FireTimer(kPort, "Reconnect");
  EXPECT_EQ(Count(LogTexts(kPort), "SerialPort - Opening... #1"), 1u);
  EXPECT_EQ(Host().Status(kPort), IS_ERROR);
  EXPECT_EQ(Host().TimerInterval(kPort, "Reconnect"), 5);

  plug = std::make_unique<PtyPair>();
  std::filesystem::remove(link);
  std::filesystem::create_symlink(plug->SlavePath(), link);
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_EQ(Count(LogTexts(kPort), "SerialPort - Opening... #2"), 1u);
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  EXPECT_EQ(Host().TimerInterval(kPort, "Reconnect"), 0);
  plug->Write("back");
  ASSERT_TRUE(ReceivedAtLeast(4));
  EXPECT_EQ(Received(), "back");
}

}  // namespace
}  // namespace kyt
