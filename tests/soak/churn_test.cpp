// Channels opened and lost thousands of times in one process (the reference host in test mode,
// timers fired directly): afterwards the process holds as many descriptors and threads as
// before, and resident memory within the harness's tolerance.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>

#include "framework/codes.h"
#include "network/client_socket.h"
#include "network/server_socket.h"
#include "serial/serial_port.h"
#include "tests/fakes/hid_fake.h"
#include "tests/serial/pty_pair.h"
#include "tests/soak/soak_harness.h"
#include "tests/support/host_test.h"
#include "tests/usb/hid_descriptors.h"
#include "tests/usb/vendor_fake.h"
#include "usb/ftdi_module.h"
#include "usb/hid_module.h"
#include "usb/usbxp_module.h"

namespace kyt::soak {
namespace {

using namespace std::chrono_literals;
using host::THostEvent;

constexpr TInstanceID kModule = 10;
constexpr TInstanceID kConsole = 11;

// A loopback listener on a free port, with accepts bounded in time.
class TListener {
 public:
  TListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
  }
  ~TListener() { close(fd_); }
  uint16_t Port() const { return port_; }
  int Accept() {
    pollfd ready = {fd_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1)
      throw std::runtime_error("nobody connected");
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

int ConnectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot connect to the Server Socket");
  return fd;
}

class ChurnTest;
// One kind of channel: set up in the constructor, one loss and return per Cycle().
struct TChurn {
  virtual ~TChurn() = default;
  virtual void Cycle() = 0;
};

struct TChurnCase {
  std::string Name;
  int Cycles;
  std::function<std::unique_ptr<TChurn>(ChurnTest&)> Make;
};

class ChurnTest : public test_support::HostTest, public ::testing::WithParamInterface<TChurnCase> {
 public:
  ChurnTest() {
    // Thousands of cycles: the host keeps no record, the checks count what they wait for.
    Host().SetKeepEvents(false);
    Host().SetEventListener([this](const THostEvent& event) {
      if (event.EventKind == THostEvent::Kind::Data) {
        std::lock_guard guard(lock);
        ++blocks;
        arrived.notify_all();
      }
    });
  }

  using HostTest::Host;
  using HostTest::WaitUntil;
  template <class I>
  I& Module() {
    return *Supports<I>(Host().Instance(kModule));
  }
  void Open(bool open) { Host().StoreSetting(kModule, {"Settings"}, "Open", Variant(open)); }
  void Require(bool condition, const char* what) {
    if (!condition)
      throw std::runtime_error(what);
  }

  // For blocks handed over on a channel's own thread, where pumping the main thread would
  // only add its poll interval to every cycle.
  bool WaitForBlocks(int count) {
    std::unique_lock guard(lock);
    return arrived.wait_for(guard, 10s, [&] { return blocks >= count; });
  }

  std::atomic<int> blocks{0};
  std::mutex lock;
  std::condition_variable arrived;
};

// The peer ends the connection; the reconnect tick connects again.
struct TClientSocketChurn : TChurn {
  explicit TClientSocketChurn(ChurnTest& t) : t(t) {
    t.Host().RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
    t.Open(true);
    t.Host().StoreSetting(kModule, {"Settings"}, "Host", Variant(std::string("127.0.0.1")));
    t.Host().StoreSetting(kModule, {"Settings"}, "Port", Variant(int32_t{peer.Port()}));
    t.Host().CreateInstance("CSCK", kModule);
    connection = peer.Accept();
  }
  ~TClientSocketChurn() override { close(connection); }
  void Cycle() override {
    close(connection);
    t.Require(t.WaitUntil([&] { return t.Host().Status(kModule) == IS_INACTIVE; }),
              "the loss was not seen");
    t.Host().FireTimer(kModule, "Reconnect");
    connection = peer.Accept();
    t.Require(t.Host().Status(kModule) == IS_ACTIVE, "no reconnect");
  }
  ChurnTest& t;
  TListener peer;
  int connection = -1;
};

// A client connects, sends a byte and leaves. Without the linger for half-closed clients: at
// this pace a second's linger keeps a thousand connections alive at once, and the count would
// measure that crowd rather than what each cycle leaves behind.
struct TServerSocketChurn : TChurn {
  explicit TServerSocketChurn(ChurnTest& t) : t(t) {
    TKYTServerSocket::Timings().Linger = std::chrono::milliseconds(0);
    t.Host().RegisterModule(&TKYTServerSocket::Class, &TypeInfoOf<IKYTServerSocket>(), "SSCK");
    t.Open(true);
    t.Host().StoreSetting(kModule, {"Settings"}, "Port", Variant(int32_t{port}));
    t.Host().CreateInstance("SSCK", kModule);
    t.Host().CreateInstance("Console", kConsole, kModule);
  }
  void Cycle() override {
    const int expected = t.blocks + 1;
    int fd = ConnectTo(port);
    t.Require(write(fd, "x", 1) == 1, "cannot write");
    close(fd);
    t.Require(t.WaitForBlocks(expected), "the byte did not arrive");
  }
  ~TServerSocketChurn() override { TKYTServerSocket::Timings() = {}; }
  ChurnTest& t;
  uint16_t port = [] {
    TListener probe;
    return probe.Port();
  }();
};

// The port opened, a byte through it, closed.
struct TSerialPortChurn : TChurn {
  explicit TSerialPortChurn(ChurnTest& t) : t(t) {
    t.Host().RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
    t.Open(false);
    t.Host().StoreSetting(kModule, {"Settings"}, "Port", Variant(pty.SlavePath()));
    t.Host().CreateInstance("COMPort", kModule);
    t.Host().CreateInstance("Console", kConsole, kModule);
  }
  void Cycle() override {
    const int expected = t.blocks + 1;
    t.Module<IKYTSerialPort>().SetOpen(true);
    t.Host().Instance(kModule)->ApplyChanges();
    pty.Write("x");
    t.Require(t.WaitUntil([&] { return t.blocks == expected; }), "the byte did not arrive");
    t.Module<IKYTSerialPort>().SetOpen(false);
    t.Host().Instance(kModule)->ApplyChanges();
  }
  ChurnTest& t;
  test::PtyPair pty;
};

constexpr const char* kVendorSerial = "SOAK0001";

// The device unplugged under the open module (the next write finds it gone) and back: the
// FTDI module reopens on its reconnect tick, the USBXpress module on the next apply.
template <class Module, class Interface>
struct TVendorChurn : TChurn {
  TVendorChurn(ChurnTest& t, const char* file, const char* variable, const char* name,
               bool reconnectTimer)
      : t(t), fake(file, variable), name(name), timer(reconnectTimer) {
    TVendorController::Defaults() = {std::chrono::milliseconds(5), false};
    t.Host().RegisterModule(&Module::Class, &TypeInfoOf<Interface>(), name);
    fake.AddDevice(kVendorSerial, "Soak device");
    t.Open(true);
    t.Host().StoreSetting(kModule, {"Settings"}, "Port", Variant(std::string(kVendorSerial)));
    t.Host().CreateInstance(name, kModule);
  }
  ~TVendorChurn() override { TVendorController::Defaults() = {}; }
  void Cycle() override {
    fake.SetPresent(kVendorSerial, false);
    try {
      t.Module<Interface>().SendText("x");
    } catch (const Exception&) {
    }
    fake.SetPresent(kVendorSerial, true);
    if (timer)
      t.Host().FireTimer(kModule, "Reconnect");
    else
      t.Host().Instance(kModule)->ApplyChanges();
    t.Require(fake.IsOpen(kVendorSerial), "not reopened");
    fake.TakeCalls();  // the double's own log of calls would grow with every cycle
  }
  ChurnTest& t;
  test::TFakeVendor fake;
  std::string name;
  bool timer;
};

// The selected device leaves and arrives again, announced by the layer's notices.
struct THidChurn : TChurn {
  explicit THidChurn(ChurnTest& t) : t(t) {
    t.Host().RegisterModule(&TKYTHID::Class, &TypeInfoOf<IKYTHID>(), "HID");
    fake.PlugQuietly(Device());
    t.Open(true);
    t.Host().StoreSetting(kModule, {"Settings"}, "DeviceSerial", Variant(std::string("S1")));
    t.Host().StoreSetting(kModule, {"Settings"}, "DeviceVendorID", Variant(int32_t{0x1234}));
    t.Host().StoreSetting(kModule, {"Settings"}, "DeviceProductID", Variant(int32_t{0x5678}));
    t.Host().CreateInstance("HID", kModule);
    t.Require(fake.WaitForReaders(1, 1), "not opened");
  }
  static test::TFakeHidDevice Device() {
    test::TFakeHidDevice device;
    device.InstanceNumber = 1;
    device.VendorID = 0x1234;
    device.ProductID = 0x5678;
    device.Serial = "S1";
    device.ReportDescriptor = test::kSmallNumbered;
    return device;
  }
  void Cycle() override {
    fake.Unplug(1);
    t.Require(t.WaitUntil([&] { return t.Host().Status(kModule) == IS_ERROR; }), "no removal");
    fake.Plug(Device());
    t.Require(t.WaitUntil([&] { return t.Host().Status(kModule) == IS_ACTIVE; }), "no arrival");
    t.Require(fake.WaitForReaders(1, 1), "not reading");
  }
  ChurnTest& t;
  test::TFakeHidPlatform fake;
};

TEST_P(ChurnTest, DescriptorsThreadsAndMemoryStayPut) {
  const TChurnCase& churn = GetParam();
  std::unique_ptr<TChurn> channel = churn.Make(*this);
  // A warm-up first: the allocator's arenas and the first cycle's one-off set-up are no creep.
  const TFootprint set = Footprint(getpid());
  const int warmUp = std::max(10, churn.Cycles / 50);
  for (int i = 0; i < warmUp; ++i) channel->Cycle();
  WaitUntil([&] { return Footprint(getpid()).Threads <= set.Threads; });
  const TFootprint before = Footprint(getpid());
  const int cycles = churn.Cycles * ChurnScale();
  for (int i = 0; i < cycles / 2; ++i) channel->Cycle();
  const TFootprint halfway = Footprint(getpid());
  for (int i = cycles / 2; i < cycles; ++i) channel->Cycle();
  // Threads that are ending after the last cycle are given the time to go.
  WaitUntil([&] { return Footprint(getpid()).Threads <= before.Threads; });
  const TFootprint after = Footprint(getpid());
  std::cout << "churn: " << churn.Name << " cycles=" << cycles << " "
            << FootprintFields(before, after) << " halfway_rss_kb=" << halfway.RssKb << std::endl;
  // Creep grows in both halves. A step in one only is the allocator's: on a loaded machine more
  // threads overlap than in the warm-up, and the arena or cached stack that one of them needs
  // first stays with the process, once.
  const long creep = std::min(halfway.RssKb - before.RssKb, after.RssKb - halfway.RssKb);
  EXPECT_TRUE(FootprintHeld(before, {after.Fds, after.Threads, before.RssKb + 2 * creep},
                            kChurnRssToleranceKb))
      << "grew: " << FootprintFields(before, after) << " halfway_rss_kb=" << halfway.RssKb;
  // Instances go before the channels' doubles they use.
  Host().DeleteAllInstances();
}

template <class Module, class Interface>
std::unique_ptr<TChurn> Vendor(ChurnTest& t, const char* file, const char* variable,
                               const char* name, bool timer) {
  return std::make_unique<TVendorChurn<Module, Interface>>(t, file, variable, name, timer);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, ChurnTest,
    ::testing::Values(
        TChurnCase{"client-socket", 10000,
                   [](ChurnTest& t) { return std::make_unique<TClientSocketChurn>(t); }},
        TChurnCase{"server-socket", 10000,
                   [](ChurnTest& t) { return std::make_unique<TServerSocketChurn>(t); }},
        TChurnCase{"serial-port", 1000,
                   [](ChurnTest& t) { return std::make_unique<TSerialPortChurn>(t); }},
        TChurnCase{"ftdi", 1000,
                   [](ChurnTest& t) {
                     return Vendor<TKYTFTDI, IKYTFTDI>(t, "libftd2xx.so", "KYT_FTD2XX_LIBRARY",
                                                       "FTDI", true);
                   }},
        TChurnCase{"usbxpress", 1000,
                   [](ChurnTest& t) {
                     return Vendor<TKYTUSBXp, IKYTUSBXp>(t, "libSiUSBXp.so", "KYT_SIUSBXP_LIBRARY",
                                                         "USBXp", false);
                   }},
        TChurnCase{"hid", 1000, [](ChurnTest& t) { return std::make_unique<THidChurn>(t); }}),
    [](const auto& info) {
      std::string name = info.param.Name;
      std::erase(name, '-');
      return name;
    });

}  // namespace
}  // namespace kyt::soak
