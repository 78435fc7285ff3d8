// Serial Port receive path against a plain termios read loop on the same kind of pty, in one
// run: throughput of a bulk stream written into the pty's far side, and the time from that write
// to the child's ReceiveData for single small messages.
//
//   bench_serial_port [megabytes=32] [messages=2000]
//
// Each phase runs five times, alternating module and baseline; the figures are medians.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/codes.h"
#include "host/reference_host.h"
#include "serial/serial_port.h"

namespace kyt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMessage = 64;

struct Tally {
  std::mutex lock;
  std::condition_variable changed;
  size_t bytes = 0;
  size_t blocks = 0;
  size_t messages = 0;
  std::vector<double> latenciesUs;
  bool stamped = false;

  void Take(const char* data, size_t size) {
    auto now = Clock::now().time_since_epoch().count();
    std::lock_guard guard(lock);
    bytes += size;
    ++blocks;
    if (stamped && size >= sizeof(int64_t)) {
      int64_t sent = 0;
      std::memcpy(&sent, data, sizeof sent);
      latenciesUs.push_back(static_cast<double>(now - sent) / 1000.0);
      ++messages;
    }
    changed.notify_all();
  }
  void WaitForBytes(size_t n) {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return bytes >= n; });
  }
  void Reset(bool withStamps) {
    std::lock_guard guard(lock);
    bytes = 0;
    blocks = 0;
    messages = 0;
    latenciesUs.clear();
    stamped = withStamps;
  }
};

Tally tally;

class TCountingChild : public TKYTModuleObject, public virtual IKYTReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData>;
  static const TKYTModuleClass Class;
  TCountingChild(const TRef<IKYTKernel>& kernel, TInstanceID id)
      : TKYTModuleObject(Class, kernel, id) {
    LoadAndApplySettings();
  }
  ~TCountingChild() override { PrepareDelete(); }
  void ReceiveData(const std::string& data) override { tally.Take(data.data(), data.size()); }

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }
};

const TKYTModuleClass TCountingChild::Class = MakeModuleClass<TCountingChild>({
    .ClassName = "TCountingChild",
    .ModuleID = "{5B0C7E11-0000-4000-8000-0000000BE002}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Counting Child",
});

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("pty");
    path = name;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  void Write(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(master, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("pty write");
      data += n;
      size -= static_cast<size_t>(n);
    }
  }
};

// The far side: streams `total` bytes, or writes stamped messages one at a time, each after
// the previous one arrived.
void StreamBulk(Pty& pty, size_t total) {
  std::string chunk(kChunk, 'x');
  for (size_t sent = 0; sent < total; sent += kChunk) {
    pty.Write(chunk.data(), std::min(kChunk, total - sent));
  }
}

void SendStamped(Pty& pty, size_t count) {
  std::string message(kMessage, 'm');
  for (size_t i = 0; i < count; ++i) {
    int64_t now = Clock::now().time_since_epoch().count();
    std::memcpy(message.data(), &now, sizeof now);
    pty.Write(message.data(), message.size());
    tally.WaitForBytes((i + 1) * kMessage);
  }
}

// The baseline: a thread waiting with poll and reading the slave as plainly as it gets.
void PlainReadLoop(const std::string& path, size_t until) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  std::vector<char> buffer(32768);
  size_t got = 0;
  while (got < until) {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, -1);
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) continue;
    tally.Take(buffer.data(), static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Bytes per block of the last bulk run: how many hand-overs the stream took.
double BlockSize() {
  std::lock_guard guard(tally.lock);
  return tally.blocks ? static_cast<double>(tally.bytes) / static_cast<double>(tally.blocks) : 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

template <class Peer>
double RunModule(host::TReferenceHost& host, Peer peer, size_t expectBytes, bool stamped) {
  tally.Reset(stamped);
  Pty pty;
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(pty.path));
  host.CreateInstance("COMPort", 10);
  host.CreateInstance("COUNT", 11, 10);
  auto start = Clock::now();
  std::thread peerThread([&] { peer(pty); });
  host.PumpUntil(
      [&] {
        std::lock_guard guard(tally.lock);
        return tally.bytes >= expectBytes;
      },
      std::chrono::minutes(5));
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  peerThread.join();
  host.DeleteAllInstances();
  return seconds;
}

template <class Peer>
double RunPlain(Peer peer, size_t expectBytes, bool stamped) {
  tally.Reset(stamped);
  Pty pty;
  auto start = Clock::now();
  std::thread reader([&] { PlainReadLoop(pty.path, expectBytes); });
  std::thread peerThread([&] { peer(pty); });
  reader.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  peerThread.join();
  return seconds;
}

struct Result {
  double medianUs = 0;
  double p99Us = 0;
};

Result Latencies() {
  std::lock_guard guard(tally.lock);
  return {Percentile(tally.latenciesUs, 0.5), Percentile(tally.latenciesUs, 0.99)};
}

int Main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::stoul(argv[1]) : 32;
  const size_t messages = argc > 2 ? std::stoul(argv[2]) : 2000;
  const size_t total = megabytes << 20;

  host::TReferenceHost host;
  // Measure the module, not the test host's memory of every debug entry.
  host.SetKeepEvents(false);
  host.RegisterModule(&TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>(), "COMPort");
  host.RegisterModule(&TCountingChild::Class, nullptr, "COUNT");

  auto bulk = [total](Pty& p) { StreamBulk(p, total); };
  auto stampedPeer = [messages](Pty& p) { SendStamped(p, messages); };

  constexpr int kRounds = 5;
  std::vector<double> plainBulks, moduleBulks, plainBlocks, moduleBlocks;
  std::vector<Result> plainLats, moduleLats;
  for (int round = 0; round < kRounds; ++round) {
    plainBulks.push_back(RunPlain(bulk, total, false));
    plainBlocks.push_back(BlockSize());
    moduleBulks.push_back(RunModule(host, bulk, total, false));
    moduleBlocks.push_back(BlockSize());
    RunPlain(stampedPeer, messages * kMessage, true);
    plainLats.push_back(Latencies());
    RunModule(host, stampedPeer, messages * kMessage, true);
    moduleLats.push_back(Latencies());
  }
  auto median = [](std::vector<double> v) { return Percentile(std::move(v), 0.5); };
  auto pick = [&](const std::vector<Result>& rs, double Result::*field) {
    std::vector<double> v;
    for (const Result& r : rs) v.push_back(r.*field);
    return median(v);
  };
  double plainBulk = median(plainBulks);
  double moduleBulk = median(moduleBulks);
  Result plainLat{pick(plainLats, &Result::medianUs), pick(plainLats, &Result::p99Us)};
  Result moduleLat{pick(moduleLats, &Result::medianUs), pick(moduleLats, &Result::p99Us)};

  auto mbps = [total](double s) { return static_cast<double>(total) / s / 1e6; };
  std::printf("Serial Port receive path (pty), %zu MB bulk, %zu x %zu-byte messages, median of %d\n",
              megabytes, messages, kMessage, kRounds);
  std::printf("%-28s %12s %12s %10s\n", "", "module", "plain read", "ratio");
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "throughput (MB/s)", mbps(moduleBulk),
              mbps(plainBulk), mbps(moduleBulk) / mbps(plainBulk));
  std::printf("%-28s %12.0f %12.0f %10.2f\n", "bytes per block", median(moduleBlocks),
              median(plainBlocks), median(moduleBlocks) / median(plainBlocks));
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "latency median (us)", moduleLat.medianUs,
              plainLat.medianUs, moduleLat.medianUs / plainLat.medianUs);
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "latency p99 (us)", moduleLat.p99Us,
              plainLat.p99Us, moduleLat.p99Us / plainLat.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt

int main(int argc, char** argv) { return kyt::Main(argc, argv); }
