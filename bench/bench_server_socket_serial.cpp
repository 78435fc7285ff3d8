// The serial gateway of examples/serial-gateway.json (a Serial Port and a Server Socket joined
// by two Bridges, in the built plug-in) on a pty, against socat and ser2net doing the same
// (pty <-> TCP), in one run: throughput from the TCP client to the line and back, and one-byte
// round trips (client -> line -> answer -> client). The benchmark plays the device on the pty's
// master side.
//
//   bench_server_socket_serial [megabytes=8] [round-trips=1000]
//
// Rounds alternate between the gateways; the figures are medians over the rounds.

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/gateway_bench.h"

namespace kyt::bench {
namespace {

using kyt::Variant;

// The device's end of the line, as the measurements drive it.
Stream OverPty(const Pty& pty) {
  return {[&pty](std::span<const char> d) { pty.Write(d); },
          [&pty](std::span<char> d) { return pty.Read(d); }};
}

Figures RunModule(host::TReferenceHost& host, std::size_t total, int trips) {
  Pty pty;
  const uint16_t port = FreePort();
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(pty.Path()));
  host.StoreSetting(10, {"Settings"}, "BaudRate", Variant("115200"));
  host.StoreSetting(20, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(20, {"Settings"}, "Port", Variant(static_cast<int>(port)));
  host.StoreSetting(11, {"Settings"}, "Target", Variant(20));
  host.StoreSetting(21, {"Settings"}, "Target", Variant(10));
  host.CreateInstance("COMPort", 10);
  host.CreateInstance("SSCK", 20);
  host.CreateInstance("Bridge", 11, 10);
  host.CreateInstance("Bridge", 21, 20);
  Figures figures;
  {
    net::Socket client = ConnectWhenListening(port);
    WhileServing(host, [&] { figures = Measure(OverSocket(client), OverPty(pty), total, trips); });
  }
  host.DeleteAllInstances();
  return figures;
}

Figures RunSocat(std::size_t total, int trips) {
  Pty pty;
  const uint16_t port = FreePort();
  Background socat("socat TCP-LISTEN:" + std::to_string(port) +
                   ",bind=127.0.0.1,reuseaddr FILE:" + pty.Path() + ",raw,echo=0");
  net::Socket client = ConnectWhenListening(port);
  return Measure(OverSocket(client), OverPty(pty), total, trips);
}

Figures RunSer2net(std::size_t total, int trips) {
  Pty pty;
  const uint16_t port = FreePort();
  const std::string config = "/tmp/kyt-bench-ser2net-" + std::to_string(port) + ".yaml";
  std::ofstream(config) << "connection: &gateway\n"
                        << "  accepter: tcp,127.0.0.1," << port << "\n"
                        << "  connector: serialdev," << pty.Path() << ",115200n81,local\n"
                        << "  options:\n    kickolduser: true\n";
  Figures figures;
  {
    Background ser2net("ser2net -n -d -c " + config);
    net::Socket client = ConnectWhenListening(port);
    figures = Measure(OverSocket(client), OverPty(pty), total, trips);
  }
  std::remove(config.c_str());
  return figures;
}

bool HasModule(host::TReferenceHost& host, const std::string& name) {
  for (const auto& m : host.RegisteredModules()) {
    if (m.Name == name)
      return true;
  }
  return false;
}

int Main(int argc, char** argv) {
  const std::size_t megabytes = CountArgument(argc, argv, 1, 8);
  const int trips = static_cast<int>(CountArgument(argc, argv, 2, 1000, INT_MAX));
  const std::size_t total = megabytes << 20;
  host::TReferenceHost host;
  LoadPlugin(host, argv[0]);
  if (!HasModule(host, "COMPort")) {
    std::printf("this build has no Serial Port module (COMPort): nothing to measure\n");
    return 0;
  }
  if (!HaveProgram("socat")) {
    std::printf("socat is not installed: nothing to compare with\n");
    return 1;
  }
  const bool withSer2net = HaveProgram("ser2net");

  constexpr int kRounds = 3;
  std::vector<Figures> modules, socats, ser2nets;
  for (int round = 0; round < kRounds; ++round) {
    socats.push_back(RunSocat(total, trips));
    if (withSer2net)
      ser2nets.push_back(RunSer2net(total, trips));
    modules.push_back(RunModule(host, total, trips));
  }
  const Figures m = Median(modules);
  const Figures s = Median(socats);
  const Figures r = withSer2net ? Median(ser2nets) : Figures{};
  std::printf(
      "Serial gateway on a pty (COMPort + SSCK + 2 Bridges) vs socat%s, %zu MB each way, "
      "%d round trips, median of %d\n",
      withSer2net ? " and ser2net" : "", megabytes, trips, kRounds);
  std::printf("%-26s %12s %12s %8s", "", "kyt gateway", "socat", "ratio");
  if (withSer2net)
    std::printf(" %12s %8s", "ser2net", "ratio");
  std::printf("\n");
  const char* extra = withSer2net ? "x" : nullptr;
  PrintRow("client -> line (MB/s)", m.upMBps, s.upMBps, extra, r.upMBps);
  PrintRow("line -> client (MB/s)", m.downMBps, s.downMBps, extra, r.downMBps);
  PrintRow("round trip median (us)", m.medianUs, s.medianUs, extra, r.medianUs);
  PrintRow("round trip p99 (us)", m.p99Us, s.p99Us, extra, r.p99Us);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
