// Serial Port receive path against a plain termios read loop on the same kind of pty, in one
// run: throughput of a bulk stream written into the pty's far side, and the time from that write
// to the child's ReceiveData for single small messages.
//
//   bench_serial_port [megabytes=32] [messages=2000]
//
// Each phase runs five times, alternating module and baseline; the figures are medians.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "framework/codes.h"
#include "host/reference_host.h"
#include "serial/serial_port.h"

namespace kyt::bench {
namespace {

constexpr size_t kMessage = 64;

// The far side: streams `total` bytes, or writes stamped messages one at a time, each after
// the previous one arrived.
void StreamBulk(Pty& pty, size_t total) {
  std::string chunk(kChunk, 'x');
  for (size_t sent = 0; sent < total; sent += kChunk) {
    pty.Write({chunk.data(), std::min(kChunk, total - sent)});
  }
}

void SendStamped(Pty& pty, size_t count) {
  std::string message(kMessage, 'm');
  for (size_t i = 0; i < count; ++i) {
    WriteStamp(message.data());
    pty.Write(message);
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
    if (n <= 0)
      continue;
    tally.Take(buffer.data(), static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  ::close(fd);
}

template <class Peer>
double RunModule(host::TReferenceHost& host, Peer peer, size_t expectBytes, bool stamped) {
  tally.Reset(stamped);
  Pty pty;
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(pty.Path()));
  host.CreateInstance("COMPort", 10);
  host.CreateInstance("COUNT", 11, 10);
  auto start = Clock::now();
  std::thread peerThread([&] { peer(pty); });
  host.PumpUntil([&] { return tally.Bytes() >= expectBytes; }, std::chrono::minutes(5));
  double seconds = SecondsSince(start);
  peerThread.join();
  host.DeleteAllInstances();
  return seconds;
}

template <class Peer>
double RunPlain(Peer peer, size_t expectBytes, bool stamped) {
  tally.Reset(stamped);
  Pty pty;
  auto start = Clock::now();
  std::thread reader([&] { PlainReadLoop(pty.Path(), expectBytes); });
  std::thread peerThread([&] { peer(pty); });
  reader.join();
  double seconds = SecondsSince(start);
  peerThread.join();
  return seconds;
}

int Main(int argc, char** argv) {
  const size_t megabytes = CountArgument(argc, argv, 1, 32);
  const size_t messages = CountArgument(argc, argv, 2, 2000);
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
  std::vector<Latency> plainLats, moduleLats;
  for (int round = 0; round < kRounds; ++round) {
    plainBulks.push_back(RunPlain(bulk, total, false));
    plainBlocks.push_back(tally.BytesPerBlock());
    moduleBulks.push_back(RunModule(host, bulk, total, false));
    moduleBlocks.push_back(tally.BytesPerBlock());
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
  std::printf(
      "Serial Port receive path (pty), %zu MB bulk, %zu x %zu-byte messages, median of %d\n",
      megabytes, messages, kMessage, kRounds);
  PrintRatioHeader("module", "plain read");
  PrintRatioRow("throughput (MB/s)", mbps(moduleBulk), mbps(plainBulk));
  PrintRatioRow("bytes per block", Median(moduleBlocks), Median(plainBlocks), 0);
  PrintRatioRow("latency median (us)", moduleLat.medianUs, plainLat.medianUs);
  PrintRatioRow("latency p99 (us)", moduleLat.p99Us, plainLat.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
