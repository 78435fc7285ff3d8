// One instance, four threads at once, for every module with a channel: applies with changing
// settings, ticks of its timer fired directly, sends, and the far side's records or its device
// going and coming, while the main thread serves the hand-overs. Under ThreadSanitizer a missing
// lock shows here; in every build nothing may deadlock, and the records that arrive (each way)
// arrive whole and in order.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "network/client_socket.h"
#include "network/server_socket.h"
#include "network/www_reader.h"
#include "runtime/thread.h"
#include "serial/serial_port.h"
#include "tests/stress/far_sides.h"
#include "tests/support/host_test.h"
#include "usb/ftdi_module.h"
#include "usb/hid_module.h"
#include "usb/usbxp_module.h"

namespace kyt {
namespace {

using namespace std::chrono_literals;
using test::TFarSide;

constexpr TInstanceID kUnit = 10;
constexpr TInstanceID kConsole = 11;
constexpr TInstanceID kBridge = 12;
constexpr auto kRunFor = 2s;
// Far beyond any apply or send; only a deadlock gets here.
constexpr auto kGrace = 60s;

struct TStressCase {
  const char* Name;
  std::unique_ptr<TFarSide> (*Make)();
};

// Intact records must come in increasing order, the sender's and the far side's (echoed) each
// on their own. A record torn by a channel closing under it fails to parse; there can be no
// more of those than there were disruptions.
::testing::AssertionResult InOrder(const std::vector<std::string>& records, size_t digits,
                                   size_t disruptions) {
  long last[2] = {-1, -1};
  size_t torn = 0;
  for (const std::string& record : records) {
    const bool whole =
        record.size() == digits && record.find_first_not_of("0123456789") == std::string::npos;
    if (!whole) {
      ++torn;
      continue;
    }
    const long number = std::stol(record);
    long& previous = last[number >= test::kIncoming ? 1 : 0];
    if (number <= previous) {
      return ::testing::AssertionFailure() << "record " << record << " after " << previous;
    }
    previous = number;
  }
  if (torn > disruptions) {
    return ::testing::AssertionFailure()
           << torn << " torn records for " << disruptions << " disruptions";
  }
  return ::testing::AssertionSuccess();
}

class InstanceStressTest : public test_support::HostTest,
                           public ::testing::WithParamInterface<TStressCase> {
 protected:
  InstanceStressTest() {
    Host().RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
    Host().RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
    Host().RegisterModule(&TKYTServerSocket::Class, &TypeInfoOf<IKYTServerSocket>(), "SSCK");
    Host().RegisterModule(&TKYTWWWReader::Class, &TypeInfoOf<IKYTWWWReader>(), "WWWReader");
    Host().RegisterModule(&TKYTHID::Class, &TypeInfoOf<IKYTHID>(), "HID");
    Host().RegisterModule(&TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>(), "FTDI");
    Host().RegisterModule(&TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>(), "USBXp");
    Host().SetKeepEvents(false);
    Host().SetEventListener([this](const host::THostEvent& e) {
      if (e.EventKind != host::THostEvent::Kind::Data || e.Instance != kConsole)
        return;
      std::lock_guard lock(mutex_);
      blocks_.push_back(e.Text);
    });
  }
  // Instances go before the far sides they use.
  void TearDown() override { Host().DeleteAllInstances(); }

  std::vector<std::string> Blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> blocks_;
};

TEST_P(InstanceStressTest, FourThreadsKeepEveryRecordInOrder) {
  std::unique_ptr<TFarSide> far = GetParam().Make();
  far->Configure(Host(), kUnit);
  Host().CreateInstance(far->Module(), kUnit);
  Host().CreateInstance("Console", kConsole, kUnit);
  if (far->Echoes()) {
    Host().StoreSetting(kBridge, {"Settings"}, "Target", Variant(int32_t{kUnit}));
    Host().CreateInstance("Bridge", kBridge, kUnit);
  }
  const TRef<IKYTModule> unit = Host().Instance(kUnit);
  const std::string tick = far->Tick();

  std::atomic<bool> stop{false};
  std::atomic<int> running{0};
  std::atomic<size_t> disruptions{0};
  auto loop = [&](auto body) {
    ++running;
    return std::thread([&, body] {
      for (int round = 0; !stop; ++round) {
        try {
          body(round);
        } catch (const std::exception&) {
          // A closed channel refuses a send, an absent device an apply: both are expected.
        }
        std::this_thread::yield();
      }
      --running;
    });
  };
  std::vector<std::thread> threads;
  threads.push_back(loop([&](int round) {
    ++disruptions;
    far->Change(*unit, round);
    unit->ApplyChanges();
  }));
  threads.push_back(loop([&](int) {
    if (tick.empty()) {
      unit->HasChanges();
      return;
    }
    ++disruptions;
    Host().FireTimer(kUnit, tick);
  }));
  threads.push_back(loop([&](int round) { far->Send(*unit, round); }));
  threads.push_back(loop([&](int round) {
    if (round % 16 == 15)
      ++disruptions;
    far->Disturb(*unit, round);
  }));

  const auto until = std::chrono::steady_clock::now() + kRunFor;
  WaitUntil([&] { return std::chrono::steady_clock::now() >= until; }, kRunFor + 1s);
  stop = true;
  if (!WaitUntil([&] { return running == 0; }, kGrace)) {
    ADD_FAILURE() << GetParam().Name << ": " << running << " threads still blocked";
    std::abort();  // a deadlocked thread cannot be joined
  }
  for (std::thread& thread : threads) thread.join();
  // What is still on its way: hand-overs already queued, bytes the far side has not read.
  CheckSynchronize();
  far->Collect();

  const std::vector<std::string> received = far->ReceivedRecords(Blocks());
  EXPECT_FALSE(received.empty()) << "nothing came through";
  EXPECT_TRUE(InOrder(received, 8, disruptions));
  EXPECT_TRUE(InOrder(far->SentRecords(), static_cast<size_t>(far->SentDigits()), disruptions));
}

INSTANTIATE_TEST_SUITE_P(EveryChannel, InstanceStressTest,
                         ::testing::Values(TStressCase{"COMPort", test::SerialPortFarSide},
                                           TStressCase{"CSCK", test::ClientSocketFarSide},
                                           TStressCase{"SSCK", test::ServerSocketFarSide},
                                           TStressCase{"FTDI", test::FTDIFarSide},
                                           TStressCase{"USBXp", test::USBXpFarSide},
                                           TStressCase{"HID", test::HIDFarSide},
                                           TStressCase{"WWWReader", test::WWWReaderFarSide}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace kyt
