// The TCP relay of examples/tcp-relay.json (a Server Socket and a Client Socket joined by two
// Bridges, in the built plug-in) against socat relaying the same way, in one run: throughput
// from the client to the far side and back, and one-byte round trips through the relay.
//
//   bench_server_socket_relay [megabytes=64] [round-trips=2000]
//
// Rounds alternate between the two relays; the figures are medians over the rounds.

#include <cstdio>
#include <string>

#include "bench/gateway_bench.h"

namespace kyt::bench {
namespace {

using kyt::Variant;

Figures RunModule(host::TReferenceHost& host, std::size_t total, int trips) {
  net::Socket listener = net::Listen(0, "127.0.0.1");
  const uint16_t farPort = net::LocalPort(listener);
  const uint16_t port = FreePort();
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(static_cast<int>(port)));
  host.StoreSetting(20, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(20, {"Settings"}, "Host", Variant("127.0.0.1"));
  host.StoreSetting(20, {"Settings"}, "Port", Variant(static_cast<int>(farPort)));
  host.StoreSetting(11, {"Settings"}, "Target", Variant(20));
  host.StoreSetting(21, {"Settings"}, "Target", Variant(10));
  host.CreateInstance("SSCK", 10);
  host.CreateInstance("CSCK", 20);
  host.CreateInstance("Bridge", 11, 10);
  host.CreateInstance("Bridge", 21, 20);
  Figures figures;
  {
    net::Socket far = net::Accept(listener, std::chrono::seconds(10));
    net::Socket client = ConnectWhenListening(port);
    WhileServing(host,
                 [&] { figures = Measure(OverSocket(client), OverSocket(far), total, trips); });
  }
  host.DeleteAllInstances();
  return figures;
}

Figures RunSocat(std::size_t total, int trips) {
  net::Socket listener = net::Listen(0, "127.0.0.1");
  const uint16_t farPort = net::LocalPort(listener);
  const uint16_t port = FreePort();
  Background socat("socat TCP-LISTEN:" + std::to_string(port) +
                   ",bind=127.0.0.1,reuseaddr TCP:127.0.0.1:" + std::to_string(farPort));
  net::Socket client = ConnectWhenListening(port);
  net::Socket far = net::Accept(listener, std::chrono::seconds(10));
  return Measure(OverSocket(client), OverSocket(far), total, trips);
}

int Main(int argc, char** argv) {
  const std::size_t megabytes = CountArgument(argc, argv, 1, 64);
  const int trips = static_cast<int>(CountArgument(argc, argv, 2, 2000, INT_MAX));
  const std::size_t total = megabytes << 20;
  if (!HaveProgram("socat")) {
    std::printf("socat is not installed: nothing to compare with\n");
    return 1;
  }
  host::TReferenceHost host;
  LoadPlugin(host, argv[0]);

  constexpr int kRounds = 5;
  std::vector<Figures> modules, socats;
  for (int round = 0; round < kRounds; ++round) {
    socats.push_back(RunSocat(total, trips));
    modules.push_back(RunModule(host, total, trips));
  }
  const Figures m = Median(modules);
  const Figures s = Median(socats);
  std::printf(
      "TCP relay (SSCK + CSCK + 2 Bridges) vs socat, %zu MB each way, %d round trips, "
      "median of %d\n",
      megabytes, trips, kRounds);
  std::printf("%-26s %12s %12s %8s\n", "", "kyt relay", "socat", "ratio");
  PrintRow("client -> far (MB/s)", m.upMBps, s.upMBps);
  PrintRow("far -> client (MB/s)", m.downMBps, s.downMBps);
  PrintRow("round trip median (us)", m.medianUs, s.medianUs);
  PrintRow("round trip p99 (us)", m.p99Us, s.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
