// One instance, four threads at once, for every module with a channel: applies with changing
// settings, ticks of its timer fired directly, sends, and the far side's records or its device
// going and coming, while the main thread serves the hand-overs. Under ThreadSanitizer a missing
// lock shows here; in every build nothing may deadlock, and the records that arrive (each way)
// arrive whole and in order.
//
// And for every such module, a child acts on its parent from inside ReceiveData, on whatever
// thread delivers there (the main thread inside a reader's or an event thread's hand-over, a
// connection thread, a vendor watch thread, a HID read thread, a timer callback): it deletes the
// parent, which drops the last reference on that thread, or it applies the parent. Neither may
// wait for the delivering thread itself: the deleted instance is torn down completely and the
// applied one takes its edit.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "network/client_socket.h"
#include "network/server_socket.h"
#include "network/www_reader.h"
#include "runtime/teardown.h"
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

void RegisterChannels(host::TReferenceHost& host) {
  host.RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
  host.RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
  host.RegisterModule(&TKYTServerSocket::Class, &TypeInfoOf<IKYTServerSocket>(), "SSCK");
  host.RegisterModule(&TKYTWWWReader::Class, &TypeInfoOf<IKYTWWWReader>(), "WWWReader");
  host.RegisterModule(&TKYTHID::Class, &TypeInfoOf<IKYTHID>(), "HID");
  host.RegisterModule(&TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>(), "FTDI");
  host.RegisterModule(&TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>(), "USBXp");
}

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
    // Plain digits (a whole report), or digits and their check letters (a line of a stream).
    const std::string number_text = record.substr(0, digits);
    const bool whole =
        number_text.size() == digits &&
        number_text.find_first_not_of("0123456789") == std::string::npos &&
        (record.size() == digits || record.substr(digits) == test::CheckOf(number_text));
    if (!whole) {
      ++torn;
      continue;
    }
    const long number = std::stol(number_text);
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
    RegisterChannels(Host());
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

constexpr TInstanceID kChild = 11;
// A teardown or an apply that waits for its own thread never ends: the watchdog ends the test.
constexpr auto kDeadlock = 30s;

// A child that runs the test's action once, on the first block it gets.
class TActingChild : public TKYTModuleObject,
                     public virtual IKYTReceiveData,
                     public virtual IKYTHIDReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData, IKYTHIDReceiveData>;
  static const TKYTModuleClass Class;
  static std::function<void()>& Action() {
    static std::function<void()> action;
    return action;
  }
  static std::atomic<bool>& Acted() {
    static std::atomic<bool> acted{false};
    return acted;
  }

  TActingChild(const TRef<IKYTKernel>& kernel, TInstanceID id)
      : TKYTModuleObject(Class, kernel, id) {
    LoadAndApplySettings();
  }
  ~TActingChild() override { PrepareDelete(); }

  void ReceiveData(const std::string&) override { ActOnce(); }
  void ReceiveEvent(uint8_t, const std::string&) override { ActOnce(); }

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  void ActOnce() {
    if (!acting_.exchange(true)) {
      Action()();
      Acted() = true;
    }
  }
  std::atomic<bool> acting_{false};
};

const TKYTModuleClass TActingChild::Class = MakeModuleClass<TActingChild>({
    .ClassName = "TActingChild",
    .ModuleID = "{5B0C7E11-0000-4000-8000-0000000AC7ED}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Acting Child",
});

// Aborts the process when the test has not ended in time: a deadlocked thread cannot be joined.
class TWatchdog {
 public:
  explicit TWatchdog(std::string what)
      : thread_([this, what = std::move(what)] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, kDeadlock, [&] { return finished_; })) {
            std::fprintf(stderr, "%s: still blocked after %llds\n", what.c_str(),
                         static_cast<long long>(kDeadlock.count()));
            std::abort();
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

enum class TAct { DeleteParent, ApplyParent };

class TeardownTest : public test_support::HostTest,
                     public ::testing::WithParamInterface<std::tuple<TStressCase, TAct>> {
 protected:
  TeardownTest() {
    RegisterChannels(Host());
    Host().RegisterModule(&TActingChild::Class, nullptr, "ACT");
    TActingChild::Acted() = false;
  }
  void TearDown() override {
    Host().DeleteAllInstances();
    // Teardowns handed to the service thread end before the far sides go.
    EXPECT_TRUE(WaitUntil([&] { return ObjectsAlive({cls_}) == 0; }));
  }

  // Feeds the channel until the child has acted. The WWW Reader's pages come with its timer
  // tick, fired from a thread of its own as the host's timer lane would.
  bool FeedUntilActed(TFarSide& far, IKYTModule& anyUnit) {
    for (int round = 0; round < 200 && !TActingChild::Acted(); ++round) {
      std::thread tick;
      if (far.Tick() == "UpdatePage") {
        tick = std::thread([&] {
          try {
            Host().FireTimer(kUnit, "UpdatePage");
          } catch (const std::exception&) {
            // The page did not come this time.
          }
        });
      } else {
        far.Disturb(anyUnit, round % 15);  // round 15 would take a USB device away
      }
      WaitUntil([] { return TActingChild::Acted().load(); }, 100ms);
      if (tick.joinable())
        tick.join();
    }
    return TActingChild::Acted();
  }

  const void* cls_ = nullptr;
};

TEST_P(TeardownTest, AChildActsOnItsParentFromTheDeliveringThread) {
  const auto& [channel, act] = GetParam();
  TWatchdog watchdog(channel.Name);
  std::unique_ptr<TFarSide> far = channel.Make();
  for (const auto& module : Host().RegisteredModules()) {
    if (module.Name == far->Module())
      cls_ = module.Class;
  }
  far->Configure(Host(), kUnit);
  Host().CreateInstance(far->Module(), kUnit);
  Host().CreateInstance("ACT", kChild, kUnit);
  // The far sides that take an instance only use it to send; the child stands in once the
  // parent may be gone.
  const TRef<IKYTModule> child = Host().Instance(kChild);

  if (act == TAct::DeleteParent) {
    // The host's reference is the last one: it drops on the delivering thread.
    TActingChild::Action() = [&] { Host().DeleteInstance(kUnit); };
    ASSERT_TRUE(FeedUntilActed(*far, *child));
    EXPECT_TRUE(WaitUntil([&] { return ObjectsAlive({cls_}) == 0; }))
        << "the parent was never torn down";
    const auto logs = LogTexts(kUnit);
    EXPECT_NE(std::find(logs.begin(), logs.end(), "Deleting..."), logs.end());
  } else {
    TActingChild::Action() = [&] {
      const TRef<IKYTModule> parent = Host().Instance(kUnit);
      far->Change(*parent, 3);
      parent->ApplyChanges();
    };
    ASSERT_TRUE(FeedUntilActed(*far, *child));
    const TRef<IKYTModule> parent = Host().Instance(kUnit);
    EXPECT_TRUE(WaitUntil([&] { return !parent->HasChanges(); })) << "the edit was never applied";
    // The instance is free again: an apply from here neither waits nor fails for a lock.
    EXPECT_NO_THROW(parent->ApplyChanges());
  }
  TActingChild::Action() = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    EveryChannel, TeardownTest,
    ::testing::Combine(::testing::Values(TStressCase{"COMPort", test::SerialPortFarSide},
                                         TStressCase{"CSCK", test::ClientSocketFarSide},
                                         TStressCase{"SSCK", test::ServerSocketFarSide},
                                         TStressCase{"FTDI", test::FTDIFarSide},
                                         TStressCase{"USBXp", test::USBXpFarSide},
                                         TStressCase{"HID", test::HIDFarSide},
                                         TStressCase{"WWWReader", test::WWWReaderFarSide}),
                       ::testing::Values(TAct::DeleteParent, TAct::ApplyParent)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).Name) +
             (std::get<1>(info.param) == TAct::DeleteParent ? "DeletedFromReceiveData"
                                                            : "AppliedFromReceiveData");
    });

}  // namespace
}  // namespace kyt
