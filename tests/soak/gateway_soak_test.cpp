// The shipped gateway configs in the real kyt-host for a while, with faults: data both ways
// while the far side (a TCP peer, or a pty standing for a serial adapter) and the clients drop
// at random points. Every byte must arrive once and in order per stream; bytes in flight at a
// drop are counted as lost; kyt-host's descriptors, threads and memory must not creep.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>

#include "host/json_values.h"
#include "tests/soak/soak_harness.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct TGatewayCase {
  std::string Name;
  std::string Config;  // a shipped example, with its ports and port name moved to free ones
  bool SerialFarSide;  // the far side is a pty the Serial Port opens, not a TCP peer
};

constexpr int kClients = 3;
// Paced so that six engineers' builds beside it still leave kyt-host time to keep up.
constexpr double kDownstreamBytesPerSecond = 256 * 1024;
constexpr double kUpstreamBytesPerSecond = 48 * 1024;
constexpr size_t kLargestWrite = 8192;
// A sender waits while this much of its stream has reached no receiver, as a program that
// reads answers would: otherwise a busy machine fills megabytes of socket buffers, and a drop
// counts those as lost rather than what the gateway did.
constexpr uint64_t kMostInFlight = 256 * 1024;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A listening socket on a free loopback port.
int Listen(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port = ntohs(address.sin_port);
  SetNonBlocking(fd);
  return fd;
}

uint16_t FreePort() {
  uint16_t port = 0;
  close(Listen(port));
  return port;
}

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  SetNonBlocking(fd);
  return fd;
}

// A graceful close, or an abortive one (RST) that throws away what is still queued.
void Drop(int fd, bool reset) {
  if (reset) {
    linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  close(fd);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
             const std::function<void()>& step) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline)
      return false;
    step();
  }
  return true;
}

// One sending and receiving end of the harness: a client of the gateway, or its far side.
struct TEnd {
  int Fd = -1;
  TStream* Stream = nullptr;  // what this end sends in its current epoch
  double Allowance = 0;
  Clock::time_point Until;  // when it drops
};

class TGatewaySoak {
 public:
  TGatewaySoak(const TGatewayCase& scenario, uint64_t seed)
      : case_(scenario), seed_(seed), random_(seed), streams_(seed ^ 0x5eed) {
    if (case_.SerialFarSide)
      OpenPty();
    else
      listener_ = Listen(farPort_);
    clientPort_ = FreePort();
    WriteConfig();
    // Its output (no debug entries without --debug) is kept for a failure's report.
    host_ = std::make_unique<test_support::TSubprocess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec \"$0\" run \"$1\" > \"$2\" 2>&1", test_support::kKytHostPath,
        folder_.File("config.json"), folder_.File("events")});
    farReceiver_ = std::make_unique<TReceiver>(streams_, tally_);
  }

  ~TGatewaySoak() {
    for (auto& client : clients_) CloseClient(client, false);
    if (!case_.SerialFarSide && far_.Fd >= 0)
      close(far_.Fd);
    for (int fd : {listener_, master_, slave_}) {
      if (fd >= 0)
        close(fd);
    }
  }

  void Run() {
    ASSERT_TRUE(WaitFor([&] { return FarReady(); }, 60s, [&] { Step(false, false); }))
        << "kyt-host never reached the far side" << HostOutput();
    const auto ready = Footprint(host_->Pid());
    // A warm-up with traffic and client drops, so that the first measurement already has the
    // threads' allocator arenas and the buffers of a busy gateway.
    RunFor(3s, true, false);
    CloseClients();
    Settle(ready);
    // And one loss of the far side: the instance that reconnects gets its timer thread in the
    // host, which stays for the instance's life.
    CutFarSide(false);
    ASSERT_TRUE(WaitFor([&] { return FarReady(); }, 60s, [&] { Step(false, false); }))
        << "kyt-host did not reconnect the far side" << HostOutput();
    const TFootprint before = Footprint(host_->Pid());

    RunFor(GatewaySeconds(), true, true);
    ASSERT_TRUE(WaitFor([&] { return FarReady(); }, 60s, [&] { Step(true, false); }))
        << "kyt-host did not reconnect the far side" << HostOutput();
    RunFor(1s, true, false);
    // What was sent last has to arrive before the count: nothing more goes out now.
    WaitFor([&] { return LiveStreamsReached(); }, 15s, [&] { Step(false, false); });
    CloseClients();
    Settle(before);
    const TFootprint after = Footprint(host_->Pid());

    host_->Signal(SIGTERM);
    const auto exit = host_->Wait(30s);
    farReceiver_.reset();
    tally_.Lost += streams_.TailLoss();
    std::cout << SummaryLine(case_.Name, seed_, tally_, epochs_, before, after) << std::endl;
    EXPECT_EQ(exit, 0) << HostOutput();
    EXPECT_EQ(tally_.Reordered, 0u);
    EXPECT_EQ(tally_.Corrupted, 0u);
    EXPECT_TRUE(FootprintHeld(before, after, kGatewayRssToleranceKb))
        << "grew: " << FootprintFields(before, after) << " (memory may grow by "
        << kGatewayRssToleranceKb << " KiB)";
    EXPECT_GE(farEpochs_, 2u) << "the far side never came back";
    EXPECT_GT(tally_.Bytes, 0u);
  }

 private:
  // The last lines kyt-host wrote, a line repeated in a row shown once with its count.
  std::string HostOutput() const {
    std::ifstream in(folder_.File("events"));
    std::deque<std::pair<std::string, int>> last;
    for (std::string line; std::getline(in, line);) {
      if (!last.empty() && last.back().first == line) {
        ++last.back().second;
        continue;
      }
      last.emplace_back(line, 1);
      if (last.size() > 60)
        last.pop_front();
    }
    // The whole output stays for a closer look; the temporary folder goes with the test.
    const std::string kept = fs::temp_directory_path() / ("kyt-soak-" + case_.Name + ".log");
    std::error_code ignored;
    fs::copy_file(folder_.File("events"), kept, fs::copy_options::overwrite_existing, ignored);
    std::string text = "\nkyt-host's output is in " + kept + "; its last lines:\n";
    for (const auto& [line, count] : last)
      text += line + (count > 1 ? " (" + std::to_string(count) + " times)" : "") + "\n";
    return text;
  }

  void WriteConfig() {
    std::ifstream in(std::string(KYT_SOURCE_DIR) + "/" + case_.Config);
    host::TJson config = host::TJson::parse(in);
    for (auto& instance : config["instances"]) {
      const std::string module = instance.value("module", "");
      if (module == "SSCK")
        instance["settings"]["Port"] = clientPort_;
      else if (module == "CSCK")
        instance["settings"]["Port"] = farPort_;
      else if (module == "COMPort")
        instance["settings"]["Port"] = folder_.File("serial");
    }
    std::ofstream(folder_.File("config.json")) << config.dump(2);
  }

  // A new pty for the Serial Port, raw from the start (nothing echoed before the port opens),
  // reached through the link the config names, as a udev by-id link follows an adapter.
  void OpenPty() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    SetNonBlocking(master_);
    slavePath_ = name;
    const std::string link = folder_.File("serial");
    fs::remove(link + ".new");
    fs::create_symlink(slavePath_, link + ".new");
    fs::rename(link + ".new", link);
  }

  bool HostHoldsSlave() const {
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(host_->Pid()) + "/fd", error)) {
      if (fs::read_symlink(entry.path(), error) == slavePath_)
        return true;
    }
    return false;
  }

  // The far side is there and carries data in this epoch.
  bool FarReady() const { return far_.Fd >= 0; }

  void NewFarEpoch(int fd) {
    far_ = {fd, &streams_.NewStream(), 0, Clock::now() + Lifetime(2000, 8000)};
    ++epochs_;
    ++farEpochs_;
  }

  // The far side as kyt-host finds it: a connection it made to the peer, or the port opened.
  void PollFarSide() {
    if (far_.Fd >= 0)
      return;
    if (!case_.SerialFarSide) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0)
        NewFarEpoch(fd);
      return;
    }
    if (Clock::now() >= nextLook_) {
      nextLook_ = Clock::now() + 100ms;
      if (HostHoldsSlave())
        NewFarEpoch(master_);
    }
  }

  // The peer goes away, or the adapter's far end closes and a new pty takes the link, as a
  // replugged adapter comes back under its by-id link.
  void CutFarSide(bool reset) {
    if (far_.Stream != nullptr)
      far_.Stream->Ended = true;
    if (case_.SerialFarSide) {
      close(master_);
      close(slave_);
      OpenPty();
    } else if (far_.Fd >= 0) {
      Drop(far_.Fd, reset);
    }
    far_ = {};
  }

  void OpenClient(TEnd& client) {
    client = {Connect(clientPort_), &streams_.NewStream(), 0, Clock::now() + Lifetime(50, 3000)};
    if (client.Fd < 0) {
      client = {};
      return;
    }
    receivers_[&client - clients_.data()] = std::make_unique<TReceiver>(streams_, tally_);
    ++epochs_;
  }

  void CloseClient(TEnd& client, bool reset) {
    if (client.Stream != nullptr)
      client.Stream->Ended = true;
    if (client.Fd >= 0)
      Drop(client.Fd, reset);
    client = {};
    receivers_[&client - clients_.data()].reset();
  }

  void CloseClients() {
    for (auto& client : clients_) CloseClient(client, false);
  }

  Clock::duration Lifetime(int fromMs, int toMs) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int>(fromMs, toMs)(random_));
  }

  // Writes what the end's allowance permits, in blocks of random size.
  void Send(TEnd& end, double bytesPerSecond, double seconds) {
    if (end.Fd < 0 || end.Stream == nullptr)
      return;
    end.Allowance = std::min(end.Allowance + bytesPerSecond * seconds, bytesPerSecond);
    while (end.Allowance >= 1 && end.Stream->SentCount() - end.Stream->Reach < kMostInFlight) {
      size_t size = std::uniform_int_distribution<size_t>(1, kLargestWrite)(random_);
      size = std::min(size, static_cast<size_t>(end.Allowance));
      const std::string bytes = end.Stream->Next(size);
      const ssize_t n = write(end.Fd, bytes.data(), bytes.size());
      if (n <= 0)
        return;
      end.Stream->Sent(static_cast<size_t>(n));
      end.Allowance -= static_cast<double>(n);
    }
  }

  // Reads what is there; false at the end of the stream.
  bool Receive(int fd, TReceiver& receiver) {
    char buffer[65536];
    while (true) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        receiver.Feed(buffer, static_cast<size_t>(n));
        continue;
      }
      return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
  }

  // One turn of the loop: the far side, reading everything, sending when `send`, and the
  // random drops when `faults`.
  void Step(bool send, bool faults) {
    PollFarSide();
    std::vector<pollfd> fds;
    const int farFd = case_.SerialFarSide ? master_ : far_.Fd;
    if (farFd >= 0)
      fds.push_back({farFd, POLLIN, 0});
    for (auto& client : clients_) {
      if (client.Fd >= 0)
        fds.push_back({client.Fd, POLLIN, 0});
    }
    poll(fds.data(), fds.size(), 2);

    if (farFd >= 0 && !Receive(farFd, *farReceiver_) && !case_.SerialFarSide)
      CutFarSide(false);  // kyt-host gave up the connection itself
    for (size_t i = 0; i < clients_.size(); ++i) {
      if (clients_[i].Fd >= 0 && !Receive(clients_[i].Fd, *receivers_[i]))
        CloseClient(clients_[i], false);
    }
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - lastStep_).count();
    lastStep_ = now;
    if (send) {
      Send(far_, kDownstreamBytesPerSecond, seconds);
      for (auto& client : clients_) Send(client, kUpstreamBytesPerSecond, seconds);
    }
    if (!faults)
      return;
    for (auto& client : clients_) {
      if (client.Fd >= 0 && now >= client.Until)
        CloseClient(client, std::bernoulli_distribution(0.5)(random_));
    }
    if (far_.Fd >= 0 && now >= far_.Until)
      CutFarSide(std::bernoulli_distribution(0.5)(random_));
  }

  void RunFor(Clock::duration duration, bool send, bool faults) {
    const auto end = Clock::now() + duration;
    lastStep_ = Clock::now();
    while (Clock::now() < end) {
      for (auto& client : clients_) {
        if (client.Fd < 0)
          OpenClient(client);
      }
      Step(send, faults);
    }
  }

  bool LiveStreamsReached() const {
    if (far_.Stream != nullptr && far_.Stream->Reach < far_.Stream->SentCount())
      return false;
    for (const auto& client : clients_) {
      if (client.Stream != nullptr && client.Stream->Reach < client.Stream->SentCount())
        return false;
    }
    return true;
  }

  // Waits until the threads of the dropped clients have ended and their sockets are closed.
  void Settle(const TFootprint& target) {
    WaitFor(
        [&] {
          const auto now = Footprint(host_->Pid());
          return now.Fds <= target.Fds && now.Threads <= target.Threads;
        },
        15s, [&] { Step(false, false); });
  }

  TGatewayCase case_;
  uint64_t seed_;
  std::mt19937_64 random_;
  test_support::TTempDir folder_;
  TStreamSet streams_;
  TTally tally_;
  uint64_t epochs_ = 0;
  uint64_t farEpochs_ = 0;

  uint16_t clientPort_ = 0;
  uint16_t farPort_ = 0;
  int listener_ = -1;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  Clock::time_point nextLook_;
  Clock::time_point lastStep_;

  std::unique_ptr<test_support::TSubprocess> host_;
  TEnd far_;
  std::unique_ptr<TReceiver> farReceiver_;
  std::array<TEnd, kClients> clients_;
  std::array<std::unique_ptr<TReceiver>, kClients> receivers_;
};

class GatewaySoak : public ::testing::TestWithParam<TGatewayCase> {};

TEST_P(GatewaySoak, EveryByteOnceAndInOrderAndNothingCreeps) {
  const uint64_t seed = Seed(GetParam().Name);
  TGatewaySoak soak(GetParam(), seed);
  soak.Run();
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GatewaySoak,
    ::testing::Values(TGatewayCase{"tcp-relay", "examples/tcp-relay.json", false},
                      TGatewayCase{"serial-gateway", "examples/serial-gateway.json", true}),
    [](const auto& info) {
      std::string name = info.param.Name;
      std::erase(name, '-');
      return name;
    });

}  // namespace
}  // namespace kyt::soak
