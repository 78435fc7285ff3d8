// The Serial Port module through the reference host, on the fake port: settings, status,
// the line-error and reconnect cycle.

#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "framework/codes.h"
#include "tests/fakes/comm_fake.h"
#include "tests/support/host_test.h"

namespace kyt {
namespace {

using test::FakeComm;
using test_support::HostTest;

constexpr TInstanceID kPort = 10;

class SerialPortTest : public HostTest {
 protected:
  SerialPortTest() { Register(); }
  void Register() {
    Host().RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
  }
  void Store(const std::string& name, const Variant& value) {
    Host().StoreSetting(kPort, {"Settings"}, name, value);
  }
  void CreateOpen(const std::string& port = "ttyFAKE0") {
    Store("Open", Variant(true));
    Store("Port", Variant(port));
    Host().CreateInstance("COMPort", kPort);
  }
  IKYTSerialPort& Port() { return *Supports<IKYTSerialPort>(Host().Instance(kPort)); }
  IKYTModule& Module() { return *Host().Instance(kPort); }
  TComPort& Device() { return dynamic_cast<TKYTSerialPort&>(Port()).Device(); }
  std::optional<int32_t> Timer() { return Host().TimerInterval(kPort, "Reconnect"); }
  std::vector<std::string> Notes() { return LogTexts(kPort, KL_MESSAGE); }
  bool Noted(const std::string& text) {
    auto notes = Notes();
    return std::find(notes.begin(), notes.end(), text) != notes.end();
  }
  // A line error, as the event thread reports it.
  void LineError() {
    const auto before = ClosedNotes();
    fake.RaiseErrors(comm::CE_IOE);
    fake.Wake(comm::EV_ERR);
    ASSERT_TRUE(WaitUntil([&] { return ClosedNotes() == before + 1; }));
  }
  size_t ClosedNotes() {
    auto notes = Notes();
    return static_cast<size_t>(std::count(notes.begin(), notes.end(), "SerialPort - Closed"));
  }

  FakeComm fake;
  const TSerialPortTimings timings = TKYTSerialPort::Timings();
  // The instances own ports of the fake, so they go before it does.
  ~SerialPortTest() override {
    ResetHost({});
    TKYTSerialPort::Timings() = timings;
  }
};

TEST_F(SerialPortTest, ACreatedInstanceWithoutSettingsKeepsTheDefaultsAndStoresThem) {
  Host().CreateInstance("COMPort", kPort);
  EXPECT_EQ(Host().Status(kPort), IS_INACTIVE);
  EXPECT_EQ(Host().Summary(kPort), " 9600,8,1,N");
  EXPECT_EQ(Timer(), 1);
  EXPECT_FALSE(Module().HasChanges());
  EXPECT_EQ(Host().ReadSetting(kPort, {"Settings"}, "Parity"), Variant("None"));
  EXPECT_EQ(Host().ReadSetting(kPort, {"Settings"}, "StopBits"), Variant("1"));
  EXPECT_TRUE(fake.Recorded().Opened.empty());
}

TEST_F(SerialPortTest, LineSettingTextsConvertByUpperCaseAndFallBackToTheDefault) {
  Host().CreateInstance("COMPort", kPort);
  Port().SetParity("even");
  EXPECT_EQ(Port().GetParity(), "Even");
  Port().SetStopBits("1.5");
  EXPECT_EQ(Port().GetStopBits(), "1.5");
  Port().SetStopBits("1,5");
  EXPECT_EQ(Port().GetStopBits(), "1");
  Port().SetBaudRate("19200 ");
  EXPECT_EQ(Port().GetBaudRate(), "9600");
  Port().SetBaudRate("custom");
  EXPECT_EQ(Port().GetBaudRate(), "Custom");
  Port().SetDataBits("7");
  Port().SetPort("COM3");
  Module().ApplyChanges();
  EXPECT_EQ(Host().Summary(kPort), "COM3 Custom,7,1,E");
  EXPECT_FALSE(Module().HasChanges());

  // The port name compares exactly; a text converting to the value held is no change.
  Port().SetBaudRate("Custom");
  Port().SetParity("EVEN");
  EXPECT_FALSE(Module().HasChanges());
  Port().SetPort("com3");
  EXPECT_TRUE(Module().HasChanges());
  Module().ResetChanges();
  EXPECT_EQ(Port().GetPort(), "COM3");
}

TEST_F(SerialPortTest, SendingOnAClosedPortFailsAndWritesNothing) {
  Host().CreateInstance("COMPort", kPort);
  try {
    Port().SendText("x");
    FAIL() << "sent";
  } catch (const EKYTSerialPort& e) {
    EXPECT_STREQ(e.what(), "SerialPort is not opened!");
  }
  EXPECT_TRUE(DebugData(kPort, "TRANSMITTED").empty());
  // The lines need an open port too.
  EXPECT_THROW(Port().SetDTR(true), EComPort);
  EXPECT_FALSE(Port().GetDTR());
}

TEST_F(SerialPortTest, AnOpenPortWritesDrivesTheLinesAndListsDevices) {
  CreateOpen();
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
  Host().Call("COMPort_SendText", {Variant(kPort), Variant(std::string("a\0b", 3))});
  ASSERT_TRUE(fake.WaitForWritten(3));
  EXPECT_EQ(fake.Recorded().Written, std::string("a\0b", 3));
  EXPECT_EQ(DebugData(kPort, "TRANSMITTED"), std::vector<std::string>{std::string("a\0b", 3)});

  EXPECT_FALSE(Port().GetDTR());
  EXPECT_FALSE(Port().GetRTS());
  Port().SetDTR(true);
  Port().SetRTS(true);
  Port().SetBreak(true);
  Port().SetRTS(false);
  EXPECT_TRUE(Port().GetDTR());
  EXPECT_FALSE(Port().GetRTS());
  const auto escapes = fake.Recorded().Escapes;
  EXPECT_EQ(escapes, (std::vector<int>{comm::SETDTR, comm::SETRTS, comm::SETBREAK, comm::CLRRTS}));
  EXPECT_FALSE(Module().HasChanges());

  fake.Ports = {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "ttyS0"};
  EXPECT_EQ(Port().GetDevices(), fake.Ports);
}

// A line that takes nothing holds no sender: what is sent waits in the port's queue, up to its
// bound, and goes out in order once the line moves. A close does not wait out the write
// time-out of a stalled line, and reports what it dropped.
TEST_F(SerialPortTest, AStalledLineHoldsNoSenderAndLosesNothingUntilTheClose) {
  TKYTSerialPort::Timings().SendQueueBound = 8;
  TKYTSerialPort::Timings().DrainOnClose = std::chrono::milliseconds(100);
  CreateOpen();
  const auto failure = [](int code) {
    return "WriteFile function failed (win error code: " + std::to_string(code) + ")";
  };
  fake.SetWriteLimit(0);
  Port().SendText("abc");
  Port().SendText("def");
  try {
    Port().SendText("ghi");
    FAIL() << "queued past the bound";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.what(), failure(ENOBUFS));
  }
  // Reported once, when the write time-out has run out; the bytes stay.
  ASSERT_TRUE(WaitUntil([&] { return !LogTexts(kPort, KL_WARNING).empty(); }));
  fake.SetWriteLimit(2);
  ASSERT_TRUE(fake.WaitForWritten(6));
  EXPECT_EQ(fake.Recorded().Written, "abcdef");
  EXPECT_EQ(LogTexts(kPort, KL_WARNING),
            std::vector<std::string>{"SerialPort - " + failure(ETIMEDOUT)});

  Device().Timeouts.WriteTotalConstant = 20000;
  Module().ApplyChanges();
  fake.SetWriteLimit(0);
  Port().SendText("jkl");
  const auto start = std::chrono::steady_clock::now();
  Module().ApplyChanges();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(LogTexts(kPort, KL_WARNING).back(), "SerialPort - 3 bytes could not be sent");
  fake.SetWriteLimit(SIZE_MAX);
  Port().SendText("mno");
  ASSERT_TRUE(fake.WaitForWritten(9));
  EXPECT_EQ(fake.Recorded().Written, "abcdefmno");
}

TEST_F(SerialPortTest, AClosingPortDrainsItsOutputFirstAndReportsWhatItDropped) {
  CreateOpen();
  Port().SendText("abc");
  fake.Unsent = 3;  // the line is stalled: the drain's time-out runs out
  Module().ApplyChanges();
  fake.Unsent = 0;
  Module().ApplyChanges();
  const FakeComm::Record r = fake.Recorded();
  // Each close drains before the event thread's end purges.
  EXPECT_EQ(r.DrainedAfterPurges, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(r.Purges.size(), 2u);
  EXPECT_EQ(LogTexts(kPort, KL_WARNING),
            std::vector<std::string>{"SerialPort - 3 bytes could not be sent"});
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
}

TEST_F(SerialPortTest, AReadThatFindsNothingHandsNoEmptyBlockOn) {
  CreateOpen();
  Host().CreateInstance("Console", 11, kPort);
  fake.QueueInput("abc");
  fake.ReadLimit = 0;  // announced, then gone with the device before the read
  fake.Wake(comm::EV_RXCHAR);
  ASSERT_TRUE(WaitUntil([&] { return fake.Recorded().Waits >= 2; }));
  EXPECT_TRUE(DebugData(kPort, "RECEIVED").empty());
  EXPECT_TRUE(Received(11).empty());
}

TEST_F(SerialPortTest, AMissingPortFailsTheApplyWithTheDevicesMessage) {
  Host().CreateInstance("COMPort", kPort);
  const std::string summary = Host().Summary(kPort);
  for (const std::string name : {"", "ttyMISSING"}) {
    Port().SetPort(name);
    Port().SetOpen(true);
    fake.FailOpen = name.empty() ? std::nullopt : std::optional<int>(2);
    try {
      Module().ApplyChanges();
      FAIL() << "applied " << name;
    } catch (const EKYTSerialPort& e) {
      EXPECT_STREQ(e.what(),
                   "Could not open SerialPort: Unable to open com port (win error code: 2)");
    }
    EXPECT_EQ(Host().Status(kPort), IS_ERROR);
    EXPECT_EQ(Host().Summary(kPort), summary);
    EXPECT_TRUE(Module().HasChanges());
  }
}

TEST_F(SerialPortTest, AnUnreadableModemStatusIsALineErrorYetTheApplySucceeds) {
  fake.FailModemStatus = 5;
  CreateOpen();
  EXPECT_TRUE(Noted("SerialPort - Closed"));
  const auto statuses = Statuses(kPort);
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], IS_ERROR);
  EXPECT_EQ(statuses.back(), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
}

TEST_F(SerialPortTest, ALineErrorReopensOnTheReconnectSchedule) {
  CreateOpen();
  LineError();
  EXPECT_EQ(Host().Status(kPort), IS_ERROR);
  EXPECT_EQ(Timer(), 10);
  EXPECT_TRUE(Device().Connected());  // the port stays open until the next apply

  fake.FailOpen = 19;
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_TRUE(Noted("SerialPort - Opening... #1"));
  EXPECT_EQ(Timer(), 5);
  EXPECT_EQ(LogTexts(kPort, KL_ERROR),
            std::vector<std::string>{
                "Could not open SerialPort: Unable to open com port (win error code: 19)"});
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_TRUE(Noted("SerialPort - Opening... #2"));
  EXPECT_EQ(Timer(), 6);

  fake.FailOpen.reset();
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_TRUE(Noted("SerialPort - Opening... #3"));
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
  EXPECT_TRUE(Device().Connected());

  // The counter starts again from the next loss.
  LineError();
  fake.FailOpen = 19;
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_TRUE(Noted("SerialPort - Opening... #1"));
  EXPECT_EQ(Timer(), 5);
}

TEST_F(SerialPortTest, ClosingOnRequestKeepsTheTimerUntilItsNextTick) {
  CreateOpen();
  LineError();
  Port().SetOpen(false);
  Module().ApplyChanges();
  EXPECT_EQ(Host().Status(kPort), IS_INACTIVE);
  EXPECT_FALSE(Device().Connected());
  EXPECT_EQ(fake.Recorded().OpenPorts, 0);
  EXPECT_EQ(Timer(), 10);
  Host().ClearEvents();
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_EQ(Statuses(kPort), std::vector<int32_t>{IS_INACTIVE});
  EXPECT_EQ(Timer(), 0);
  EXPECT_TRUE(Notes().empty());
}

TEST_F(SerialPortTest, TheLegacyOpenFlagOpensThePortAndIsRemoved) {
  Store("COMPortOpen", Variant(true));
  Store("Port", Variant("ttyFAKE0"));
  Host().CreateInstance("COMPort", kPort);
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  EXPECT_FALSE(Host().ReadSetting(kPort, {"Settings"}, "COMPortOpen").has_value());
  EXPECT_EQ(Host().ReadSetting(kPort, {"Settings"}, "Open"), Variant(true));
}

TEST_F(SerialPortTest, BeforeTheKernelIsReadyTheFirstTickOpensThePort) {
  ResetHost({true, "", 0});
  Register();
  CreateOpen();
  EXPECT_TRUE(Statuses(kPort).empty());
  EXPECT_EQ(Host().Summary(kPort), "ttyFAKE0 9600,8,1,N");
  EXPECT_TRUE(fake.Recorded().Opened.empty());
  Host().FireTimer(kPort, "Reconnect");  // not ready: nothing
  EXPECT_TRUE(fake.Recorded().Opened.empty());

  Host().SetRunlevel(KR_READY);
  Host().FireTimer(kPort, "Reconnect");
  EXPECT_TRUE(Noted("SerialPort - Opening... #1"));
  EXPECT_EQ(Host().Status(kPort), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
}

TEST_F(SerialPortTest, DeletingClosesThePortAndDropsTheTimer) {
  CreateOpen();
  Port().SetPort("ttyOTHER");
  Host().DeleteInstance(kPort);
  EXPECT_EQ(fake.Recorded().OpenPorts, 0);
  EXPECT_FALSE(Timer().has_value());
  EXPECT_EQ(Host().ReadSetting(kPort, {"Settings"}, "Port"), Variant("ttyFAKE0"));
}

}  // namespace
}  // namespace kyt
