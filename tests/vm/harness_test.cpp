// The test machine itself, with no module involved: jobs, time limits, and what the guest's
// kernel drivers show for the emulated adapter and keyboard, including unplug and replug.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/vm/byte_blocks.h"
#include "tests/vm/test_machine.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;

const std::string kProbe = KYT_VM_PROBE;

// The probe's KEY=VALUE lines.
std::map<std::string, std::string> Values(const std::string& output) {
  std::map<std::string, std::string> values;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

std::string Describe(const TGuestResult& result) {
  return result.Failure + "\nstdout:\n" + result.Stdout + "\nstderr:\n" + result.Stderr;
}

class TestMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    // Missing images are a set-up fault of this machine, not a reason to pass quietly.
    ASSERT_TRUE(MachineAvailable(&why)) << why;
  }
};

TEST_F(TestMachine, JobOutputAndExitStatusComeBack) {
  TTestMachine machine({.Job = "echo to-out; echo to-err >&2; pwd; exit 3"});
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  EXPECT_EQ(result.Status, 3);
  EXPECT_EQ(result.Stdout, "to-out\n" + kGuestJobFolder + "\n");
  EXPECT_EQ(result.Stderr, "to-err\n");
}

TEST_F(TestMachine, GuestOverrunningItsTimeIsKilledWithAClearFailure) {
  TTestMachine machine({.Job = "sleep 600", .Timeout = 5s});
  TGuestResult result = machine.Wait();
  EXPECT_FALSE(result.Finished);
  EXPECT_NE(result.Failure.find("did not finish within 5 s and was killed"), std::string::npos)
      << result.Failure;
}

TEST_F(TestMachine, RawBytesCrossTheAdapterBothWays) {
  constexpr size_t kBulk = 256 * 1024;
  TTestMachine machine({.Serial = true, .Job = kProbe + " serial-bytes " + std::to_string(kBulk)});
  TUnixStream& line = machine.SerialLine();
  EXPECT_EQ(line.Read(256, Limit(180s)), AllByteValues(false));
  EXPECT_TRUE(line.Read(kBulk, Limit(180s)) == SeededBlock(kBulk, 1))
      << "block from the guest differs";
  line.WriteAll(AllByteValues(true));
  line.WriteAll(SeededBlock(kBulk, 2));
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  auto values = Values(result.Stdout);
  EXPECT_EQ(values["received_values"], "ok");
  EXPECT_EQ(values["received_block"], "ok");
  EXPECT_EQ(result.Status, 0) << result.Stdout;
}

TEST_F(TestMachine, AdapterUnpluggedUnderAnOpenPortAndPluggedBack) {
  TTestMachine machine({.Serial = true, .Job = kProbe + " serial-unplug"});
  TUnixStream& line = machine.SerialLine();
  ASSERT_EQ(line.ReadUntil("\n", Limit(180s)), "READY\n") << Describe(machine.Wait());
  machine.Unplug(kSerialDevice);
  ASSERT_TRUE(machine.WaitForMark("unplugged", Limit(120s))) << Describe(machine.Wait());
  machine.Plug(kSerialDevice);
  EXPECT_EQ(line.ReadUntil("\n", Limit(120s)), "BACK\n");
  line.WriteAll("OK\n");
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  auto values = Values(result.Stdout);
  for (const char* round : {"gone1_", "gone2_"}) {
    SCOPED_TRACE(round);
    std::string tag = round;
    EXPECT_EQ(values[tag + "poll"], "POLLIN|POLLERR|POLLHUP");
    EXPECT_EQ(values[tag + "read"], "0 0");
    EXPECT_EQ(values[tag + "write"], "-1 EIO");
    EXPECT_EQ(values[tag + "ioctl"], "-1 EIO");
  }
  EXPECT_TRUE(values["reopen"] == "ENOENT" || values["reopen"] == "ENODEV") << values["reopen"];
  EXPECT_EQ(values["after_replug"], "ok");
  EXPECT_EQ(result.Status, 0) << result.Stdout;
}

TEST_F(TestMachine, ReplugWhileTheOldPortIsHeldOpenTakesTheNextName) {
  TTestMachine machine({.Serial = true, .Job = kProbe + " serial-replug-held"});
  ASSERT_EQ(machine.SerialLine().ReadUntil("\n", Limit(180s)), "READY\n")
      << Describe(machine.Wait());
  machine.Unplug(kSerialDevice);
  ASSERT_TRUE(machine.WaitForMark("unplugged", Limit(120s))) << Describe(machine.Wait());
  machine.Plug(kSerialDevice);
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  auto values = Values(result.Stdout);
  EXPECT_EQ(values["while_held"], "/dev/ttyUSB1");
  EXPECT_EQ(values["after_close"], "/dev/ttyUSB1");
  EXPECT_EQ(result.Status, 0) << result.Stdout;
}

TEST_F(TestMachine, UdevGivesTheAdapterItsByIdLink) {
  TTestMachine machine({.Serial = true,
                        .Udev = true,
                        .Job = "ls /dev/serial/by-id; udevadm info -q property -n /dev/ttyUSB0 | "
                               "grep -E '^ID_(VENDOR_ID|MODEL_ID|SERIAL_SHORT)='"});
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  EXPECT_EQ(result.Status, 0) << result.Stderr;
  auto values = Values(result.Stdout);
  EXPECT_EQ(values["ID_VENDOR_ID"], "0403");
  EXPECT_EQ(values["ID_MODEL_ID"], "6001");
  EXPECT_EQ(values["ID_SERIAL_SHORT"], "KYTVM0001");
  EXPECT_NE(result.Stdout.find(kAdapterByIdName), std::string::npos) << result.Stdout;
}

TEST_F(TestMachine, KeyboardReportsAKeyOnHidrawAndGoesAwayOnUnplug) {
  TTestMachine machine({.Keyboard = true, .Job = kProbe + " hidraw-key"});
  ASSERT_TRUE(machine.WaitForMark("ready", Limit(180s))) << Describe(machine.Wait());
  machine.Qmp().SendKeys({"a"});
  ASSERT_TRUE(machine.WaitForMark("reports", Limit(60s))) << Describe(machine.Wait());
  machine.Unplug(kKeyboardDevice);
  TGuestResult result = machine.Wait();
  ASSERT_TRUE(result.Finished) << Describe(result);
  auto values = Values(result.Stdout);
  EXPECT_EQ(values["id"], "0627:0001");
  EXPECT_EQ(values["name"], "QEMU QEMU USB Keyboard");
  EXPECT_EQ(values["press"], "00 00 04 00 00 00 00 00");
  EXPECT_EQ(values["release"], "00 00 00 00 00 00 00 00");
  for (const char* round : {"gone1_", "gone2_"}) {
    SCOPED_TRACE(round);
    std::string tag = round;
    EXPECT_EQ(values[tag + "poll"], "POLLERR|POLLHUP");
    EXPECT_EQ(values[tag + "read"], "-1 EIO");
    EXPECT_EQ(values[tag + "write"], "-1 ENODEV");
    EXPECT_EQ(values[tag + "ioctl"], "-1 ENODEV");
  }
  EXPECT_EQ(result.Status, 0) << result.Stdout;
}

}  // namespace
}  // namespace kyt::vm
