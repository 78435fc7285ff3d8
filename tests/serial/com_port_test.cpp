// The serial device and its event thread on the fake port: what only a scripted port can show.

#include "serial/com_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/thread.h"
#include "tests/fakes/comm_fake.h"

namespace kyt {
namespace {

using test::FakeComm;

class ComPortTest : public ::testing::Test {
 protected:
  ComPortTest() {
    device.SetPort("ttyFAKE0");
    device.OnRxChar = [this](TComPort& port, int32_t count) {
      calls.push_back("rx " + std::to_string(count));
      if (failRead)
        throw std::runtime_error("read failed");
      received += port.ReadData(count);
    };
    device.OnError = [this](TComPort&, TComErrors errors) {
      calls.push_back("error " + std::to_string(errors.Bits()));
    };
  }

  // Serves the main-thread hand-over (this test's thread) until `done`.
  bool Pump(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit)
        return false;
      CheckSynchronize(std::chrono::milliseconds(10));
    }
    return true;
  }

  static std::string ErrorCall(std::initializer_list<TComError> errors) {
    return "error " + std::to_string(TComErrors(errors).Bits());
  }

  FakeComm fake;
  TComPort device;
  std::vector<std::string> calls;
  std::string received;
  bool failRead = false;
};

TEST_F(ComPortTest, OpeningHandsTheSettingsOverInOrderAndTheDcbHasTheLineSettings) {
  device.SetBaudRate(TBaudRate::br115200);
  device.SetDataBits(TDataBits::dbSeven);
  device.SetStopBits(TStopBits::sbTwoStopBits);
  device.SetParityBits(TParityBits::prEven);
  EXPECT_TRUE(fake.Recorded().States.empty());  // a closed device only stores

  device.Open();
  const FakeComm::Record r = fake.Recorded();
  ASSERT_EQ(r.Opened, std::vector<std::string>{"ttyFAKE0"});
  ASSERT_EQ(r.Queues.size(), 1u);
  EXPECT_EQ(r.Queues[0], std::make_pair(1024u, 1024u));
  ASSERT_EQ(r.States.size(), 1u);
  const comm::TDCB& dcb = r.States[0];
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.Flags, 0x0001u);
  EXPECT_EQ(dcb.XonLim, 256);
  EXPECT_EQ(dcb.XoffLim, 256);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, 0);
  ASSERT_EQ(r.Timeouts.size(), 1u);
  EXPECT_EQ(r.Timeouts[0], (comm::TCommTimeouts{comm::MAXDWORD, 0, 0, 100, 1000}));
  ASSERT_EQ(r.Masks.size(), 1u);
  EXPECT_EQ(r.Masks[0], 0x05FFu);

  // On an open port a new line setting goes out at once; the same value does not.
  device.SetBaudRate(TBaudRate::brCustom);
  device.SetBaudRate(TBaudRate::brCustom);
  ASSERT_EQ(fake.Recorded().States.size(), 2u);
  EXPECT_EQ(fake.Recorded().States[1].BaudRate, 9600u);
}

TEST_F(ComPortTest, FailuresCarryTheirNumberedTextAndTheSystemError) {
  fake.FailOpen = 2;
  try {
    device.Open();
    FAIL() << "opened";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(e.ErrorCode, 1);
    EXPECT_EQ(e.OsErrorCode, 2);
  }
  EXPECT_FALSE(device.Connected());

  // A closed device has no handle to drive the lines with.
  try {
    device.SetDTR(true);
    FAIL() << "set DTR";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode, 12);
    EXPECT_STREQ(e.what(), "EscapeCommFunction function failed (win error code: 9)");
  }
  EXPECT_EQ(device.WriteData(""), 0);
  EXPECT_EQ(device.ReadData(0), "");
}

TEST_F(ComPortTest, AnUnreadableModemStatusAtOpeningReportsABreakPerLine) {
  fake.FailModemStatus = 5;
  device.Open();  // still opens
  EXPECT_TRUE(device.Connected());
  const std::string breakOnly = ErrorCall({TComError::ceBreak});
  EXPECT_EQ(calls, (std::vector<std::string>{breakOnly, breakOnly, breakOnly}));
}

TEST_F(ComPortTest, AWakeUpWithAnErrorAndDataReportsTheErrorFirst) {
  device.Open();
  fake.QueueInput(std::string("\0ab", 3));
  fake.RaiseErrors(comm::CE_FRAME | comm::CE_RXPARITY);  // parity is not checked
  fake.Wake(comm::EV_RXCHAR | comm::EV_ERR);
  ASSERT_TRUE(Pump([&] { return received.size() == 3; }));
  EXPECT_EQ(calls, (std::vector<std::string>{ErrorCall({TComError::ceFrame}), "rx 3"}));
  EXPECT_EQ(received, std::string("\0ab", 3));

  // A wake-up whose queue is already empty calls nothing.
  fake.Wake(comm::EV_RXCHAR);
  ASSERT_TRUE(Pump([&] { return fake.Recorded().Waits >= 3; }));
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(ComPortTest, AFailingHandOverEndsTheThreadAndLeavesThePortOpen) {
  device.Open();
  failRead = true;
  fake.QueueInput("x");
  fake.Wake(comm::EV_RXCHAR);
  ASSERT_TRUE(Pump([&] { return !calls.empty(); }));
  // Nothing more is delivered: the next wake-up is never taken.
  fake.Wake(comm::EV_RXCHAR);
  CheckSynchronize(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, std::vector<std::string>{"rx 1"});
  EXPECT_EQ(fake.Recorded().Waits, 1);
  EXPECT_TRUE(device.Connected());
  device.Close();
  EXPECT_FALSE(device.Connected());
  EXPECT_TRUE(fake.Recorded().Purges.empty());
  EXPECT_EQ(fake.Recorded().OpenPorts, 0);
}

TEST_F(ComPortTest, ClosingEndsTheThreadWithinOneWaitAndCleansUp) {
  device.Open();
  ASSERT_TRUE(fake.WaitForWaits(1));
  device.Close();
  const FakeComm::Record r = fake.Recorded();
  EXPECT_EQ(r.Waits, 1);
  EXPECT_EQ(r.Purges, std::vector<uint32_t>{0x0C});
  EXPECT_EQ(r.Masks, (std::vector<uint32_t>{0x05FF, 0}));
  EXPECT_EQ(r.OpenPorts, 0);

  // Without events there is no thread: no mask, no wait.
  device.Events = {};
  device.Open();
  device.Close();
  EXPECT_EQ(fake.Recorded().Masks.size(), 2u);
}

TEST_F(ComPortTest, AWriteCutShortByItsTimeOutReturnsTheSmallerCount) {
  device.Open();
  fake.SetWriteLimit(3);
  EXPECT_EQ(device.WriteData("hello"), 3);
  EXPECT_EQ(fake.Recorded().Written, "hel");
}

TEST_F(ComPortTest, ANewPortNameReopensAnOpenDevice) {
  device.Open();
  device.SetPort("ttyFAKE0");  // the same name: nothing happens
  device.SetPort("ttyFAKE1");
  EXPECT_EQ(fake.Recorded().Opened, (std::vector<std::string>{"ttyFAKE0", "ttyFAKE1"}));
  fake.FailOpen = 2;
  EXPECT_THROW(device.SetPort("ttyFAKE2"), EComPort);
  EXPECT_FALSE(device.Connected());
  EXPECT_EQ(fake.Recorded().OpenPorts, 0);
}

TEST(ComPortMappingTest, ErrorFlagsAndEventMasksMapAsTheTablesSay) {
  EXPECT_EQ(EventsToMask(kAllComEvents), 0x05FFu);
  EXPECT_TRUE(MaskToEvents(0x0200 | 0x0800).Empty());
  EXPECT_EQ(MaskToEvents(comm::EV_ERR | comm::EV_RXCHAR),
            (TComEvents{TComEvent::evError, TComEvent::evRxChar}));
  const uint32_t all = 0x0001 | 0x0002 | 0x0004 | 0x0008 | 0x0010 | 0x0100 | 0x0400 | 0x8000;
  EXPECT_EQ(ErrorsFromFlags(all, false).Bits(), 0xFFu & ~(1u << 1));  // no ceRxParity
  EXPECT_TRUE(ErrorsFromFlags(comm::CE_RXPARITY, true).Contains(TComError::ceRxParity));
  EXPECT_EQ(ErrorsFromFlags(comm::CE_IOE, false), TComErrors{TComError::ceIO});
}

}  // namespace
}  // namespace kyt
