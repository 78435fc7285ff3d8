// Client Socket receive path against a plain blocking read loop on the same stream, in one run:
// throughput of a bulk stream, and the time from the peer's send to the child's ReceiveData for
// single small messages.
//
//   bench_client_socket [megabytes=128] [messages=2000]
//
// Each phase runs five times, alternating module and baseline; the figures are medians.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "framework/codes.h"
#include "host/reference_host.h"
#include "network/client_socket.h"
#include "platform/sockets.h"

namespace kyt::bench {
namespace {

constexpr size_t kMessage = 64;

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
    WriteStamp(message.data());
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
    if (n == 0)
      break;
    tally.Take(buffer.data(), n);
    got += n;
  }
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
  host.PumpUntil([&] { return tally.Bytes() >= expectBytes; }, std::chrono::minutes(5));
  double seconds = SecondsSince(start);
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
  double seconds = SecondsSince(start);
  peerThread.join();
  return seconds;
}

int Main(int argc, char** argv) {
  const size_t megabytes = CountArgument(argc, argv, 1, 128);
  const size_t messages = CountArgument(argc, argv, 2, 2000);
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
  std::vector<Latency> plainLats, moduleLats;
  for (int round = 0; round < kRounds; ++round) {
    plainBulks.push_back(RunPlain(bulk, total, false));
    moduleBulks.push_back(RunModule(host, bulk, total, false));
    RunPlain(stampedPeer, messages * kMessage, true);
    plainLats.push_back(tally.Latencies());
    RunModule(host, stampedPeer, messages * kMessage, true);
    moduleLats.push_back(tally.Latencies());
  }
  double plainBulk = Median(plainBulks);
  double moduleBulk = Median(moduleBulks);
  Latency plainLat = Median(plainLats);
  Latency moduleLat = Median(moduleLats);

  auto mbps = [total](double s) { return static_cast<double>(total) / s / 1e6; };
  std::printf("Client Socket receive path, %zu MB bulk, %zu x %zu-byte messages, median of %d\n",
              megabytes, messages, kMessage, kRounds);
  PrintRatioHeader("module", "plain read");
  PrintRatioRow("throughput (MB/s)", mbps(moduleBulk), mbps(plainBulk));
  PrintRatioRow("latency median (us)", moduleLat.medianUs, plainLat.medianUs);
  PrintRatioRow("latency p99 (us)", moduleLat.p99Us, plainLat.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
