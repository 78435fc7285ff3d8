// Client Socket receive path against a plain blocking read loop on the same stream, in one run:
// throughput of a bulk stream, and the time from the peer's send to the child's ReceiveData for
// single small messages.
//
//   bench_client_socket [megabytes=128] [messages=2000]
//
// Each phase runs five times, alternating module and baseline; the figures are medians.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/codes.h"
#include "host/reference_host.h"
#include "network/client_socket.h"
#include "platform/sockets.h"

namespace kyt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMessage = 64;

// What the children see: bytes counted, and for stamped messages the delay since the send.
struct Tally {
  std::mutex lock;
  std::condition_variable changed;
  size_t bytes = 0;
  size_t messages = 0;
  std::vector<double> latenciesUs;
  bool stamped = false;

  void Take(const char* data, size_t size) {
    auto now = Clock::now().time_since_epoch().count();
    std::lock_guard guard(lock);
    bytes += size;
    if (stamped && size >= sizeof(int64_t)) {
      int64_t sent = 0;
      std::memcpy(&sent, data, sizeof sent);
      latenciesUs.push_back(static_cast<double>(now - sent) / 1000.0);
      ++messages;
    }
    changed.notify_all();
  }
  void WaitForMessages(size_t n) {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return messages >= n; });
  }
  void Reset(bool withStamps) {
    std::lock_guard guard(lock);
    bytes = 0;
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
    .ModuleID = "{5B0C7E11-0000-4000-8000-0000000BE001}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Counting Child",
});

// The peer: accepts one client and either streams `total` bytes or sends stamped messages one
// at a time, each after the previous one arrived.
void StreamBulk(net::Socket& listener, size_t total) {
  net::Socket client = net::Accept(listener);
  std::string chunk(kChunk, 'x');
  for (size_t sent = 0; sent < total; sent += kChunk) {
    net::SendAll(client, {chunk.data(), std::min(kChunk, total - sent)});
  }
  net::Shutdown(client);
}

void SendStamped(net::Socket& listener, size_t count) {
  net::Socket client = net::Accept(listener);
  std::string message(kMessage, 'm');
  for (size_t i = 0; i < count; ++i) {
    int64_t now = Clock::now().time_since_epoch().count();
    std::memcpy(message.data(), &now, sizeof now);
    net::SendAll(client, {message.data(), message.size()});
    tally.WaitForMessages(i + 1);
  }
  net::Shutdown(client);
}

// The baseline: a thread reading the stream with blocking reads, as plainly as it gets.
void PlainReadLoop(uint16_t port, size_t until) {
  net::Socket s = net::Connect(net::Resolve("127.0.0.1", port), std::chrono::seconds(5));
  std::vector<char> buffer(32768);
  size_t got = 0;
  while (got < until) {
    size_t n = net::Receive(s, buffer);
    if (n == 0) break;
    tally.Take(buffer.data(), n);
    got += n;
  }
}

struct Result {
  double seconds = 0;
  double medianUs = 0;
  double p99Us = 0;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

template <class Peer>
double RunModule(host::TReferenceHost& host, Peer peer, size_t expectBytes, bool stamped) {
  tally.Reset(stamped);
  net::Socket listener = net::Listen(0, "127.0.0.1");
  uint16_t port = net::LocalPort(listener);
  std::thread peerThread([&] { peer(listener); });
  auto start = Clock::now();
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Host", Variant("127.0.0.1"));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(static_cast<int>(port)));
  host.CreateInstance("CSCK", 10);
  host.CreateInstance("COUNT", 11, 10);
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
  net::Socket listener = net::Listen(0, "127.0.0.1");
  uint16_t port = net::LocalPort(listener);
  std::thread peerThread([&] { peer(listener); });
  auto start = Clock::now();
  PlainReadLoop(port, expectBytes);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  peerThread.join();
  return seconds;
}

Result Latencies(double seconds) {
  std::lock_guard guard(tally.lock);
  return {seconds, Percentile(tally.latenciesUs, 0.5), Percentile(tally.latenciesUs, 0.99)};
}

int Main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::stoul(argv[1]) : 128;
  const size_t messages = argc > 2 ? std::stoul(argv[2]) : 2000;
  const size_t total = megabytes << 20;

  host::TReferenceHost host;
  // Measure the module, not the test host's memory of every debug entry.
  host.SetKeepEvents(false);
  host.RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
  host.RegisterModule(&TCountingChild::Class, nullptr, "COUNT");

  auto bulk = [total](net::Socket& l) { StreamBulk(l, total); };
  auto stampedPeer = [messages](net::Socket& l) { SendStamped(l, messages); };

  // Rounds alternate between the two so that a noisy moment on the machine hits both; each
  // figure is the median over the rounds.
  constexpr int kRounds = 5;
  std::vector<double> plainBulks, moduleBulks;
  std::vector<Result> plainLats, moduleLats;
  for (int round = 0; round < kRounds; ++round) {
    plainBulks.push_back(RunPlain(bulk, total, false));
    moduleBulks.push_back(RunModule(host, bulk, total, false));
    plainLats.push_back(Latencies(RunPlain(stampedPeer, messages * kMessage, true)));
    moduleLats.push_back(Latencies(RunModule(host, stampedPeer, messages * kMessage, true)));
  }
  auto median = [](std::vector<double> v) { return Percentile(std::move(v), 0.5); };
  auto pick = [&](const std::vector<Result>& rs, double Result::*field) {
    std::vector<double> v;
    for (const Result& r : rs) v.push_back(r.*field);
    return median(v);
  };
  double plainBulk = median(plainBulks);
  double moduleBulk = median(moduleBulks);
  Result plainLat{0, pick(plainLats, &Result::medianUs), pick(plainLats, &Result::p99Us)};
  Result moduleLat{0, pick(moduleLats, &Result::medianUs), pick(moduleLats, &Result::p99Us)};

  auto mbps = [total](double s) { return static_cast<double>(total) / s / 1e6; };
  std::printf("Client Socket receive path, %zu MB bulk, %zu x %zu-byte messages, median of %d\n",
              megabytes, messages, kMessage, kRounds);
  std::printf("%-28s %12s %12s %10s\n", "", "module", "plain read", "ratio");
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "throughput (MB/s)", mbps(moduleBulk),
              mbps(plainBulk), mbps(moduleBulk) / mbps(plainBulk));
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "latency median (us)", moduleLat.medianUs,
              plainLat.medianUs, moduleLat.medianUs / plainLat.medianUs);
  std::printf("%-28s %12.1f %12.1f %10.2f\n", "latency p99 (us)", moduleLat.p99Us,
              plainLat.p99Us, moduleLat.p99Us / plainLat.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt

int main(int argc, char** argv) { return kyt::Main(argc, argv); }
