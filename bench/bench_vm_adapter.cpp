// The test machine's emulated FT232 through kyt-host in the guest: the FTDI module over our
// D2XX library (libkyt_ftd2xx.so on libftdi1) beside the Serial Port module over the kernel's
// ftdi_sio, in one run, each with a Bridge child aimed back at it, so every byte that comes in
// goes out again. Measured from the far end of the adapter's line on this side:
//   latency: the round trip of a 16-byte message, one at a time (median and 90th percentile);
//   echo: a block written while its echo is read back, both directions at once (MB/s).
//
//   bench_vm_adapter [kilobytes=1024] [messages=200]
//
// Needs the test machine (scripts/install-deps --test). Software emulation on a shared machine:
// compare the two rows of one run, not runs with each other.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/vm/guest_kyt_host.h"

namespace kyt::vm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using host::TJson;

constexpr int kChannel = 20;
constexpr size_t kMessage = 16;

TJson Config(const std::string& module, const std::string& port) {
  return {{"instances",
           {{{"id", kChannel},
             {"module", module},
             {"settings",
              {{"Open", true},
               {"Port", port},
               {"BaudRate", "115200"},
               {"DataBits", "8"},
               {"StopBits", "1"},
               {"Parity", "None"}}}},
            {{"id", kChannel + 1},
             {"module", "Bridge"},
             {"parent", kChannel},
             {"settings", {{"Target", kChannel}}}}}}};
}

struct TFigures {
  bool Ok = false;
  double MedianMs = 0, P90Ms = 0, EchoMBps = 0;
};

TFigures Measure(const std::string& module, const std::string& port, size_t bulk, size_t messages) {
  TFigures figures;
  TGuestKytHost host({.Serial = true}, Config(module, port));
  auto active = [](const TJson& event) { return IsStatus(event, kChannel, 102); };
  if (host.WaitForEvent("status", active, 240s) < 0) {
    std::fprintf(stderr, "%s did not open\n", module.c_str());
    return figures;
  }
  TUnixStream& line = host.Machine().SerialLine();
  std::vector<double> rounds;
  std::string message(kMessage, 'm');
  for (size_t i = 0; i < messages; ++i) {
    message[0] = static_cast<char>('a' + i % 26);
    const auto start = Clock::now();
    line.WriteAll(message);
    if (line.Read(kMessage, 30s) != message) {
      std::fprintf(stderr, "%s: message %zu did not come back\n", module.c_str(), i);
      return figures;
    }
    rounds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(rounds.begin(), rounds.end());
  figures.MedianMs = rounds[rounds.size() / 2];
  figures.P90Ms = rounds[rounds.size() * 9 / 10];

  std::string block(bulk, '\0');
  for (size_t i = 0; i < bulk; ++i) block[i] = static_cast<char>(i * 7 + i / 251);
  const auto start = Clock::now();
  std::thread writer([&] { line.WriteAll(block); });
  const std::string echoed = line.Read(bulk, 300s);
  writer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (echoed != block) {
    std::fprintf(stderr, "%s: %zu of %zu bytes came back%s\n", module.c_str(), echoed.size(), bulk,
                 echoed.size() == bulk ? ", changed" : "");
    return figures;
  }
  figures.EchoMBps = static_cast<double>(bulk) / 1e6 / seconds;
  figures.Ok = host.Stop().Status == 0;
  return figures;
}

}  // namespace
}  // namespace kyt::vm

int main(int argc, char** argv) {
  using namespace kyt::vm;
  const size_t bulk = (argc > 1 ? std::stoul(argv[1]) : 1024) * 1024;
  const size_t messages = argc > 2 ? std::stoul(argv[2]) : 200;
  std::string why;
  if (!MachineAvailable(&why)) {
    std::fprintf(stderr, "no test machine: %s\n", why.c_str());
    return 1;
  }
  std::printf("%-34s %12s %12s %12s\n", "emulated FT232, kyt-host in guest", "median ms", "p90 ms",
              "echo MB/s");
  int failed = 0;
  for (const auto& [label, module, port] :
       {std::tuple{"COMPort over ftdi_sio", "COMPort", std::string("ttyUSB0")},
        std::tuple{"FTDI over libkyt_ftd2xx", "FTDI", kAdapterSerialNumber}}) {
    TFigures f = Measure(module, port, bulk, messages);
    failed += f.Ok ? 0 : 1;
    std::printf("%-34s %12.2f %12.2f %12.2f%s\n", label, f.MedianMs, f.P90Ms, f.EchoMBps,
                f.Ok ? "" : "  (failed)");
    std::fflush(stdout);
  }
  return failed ? 1 : 0;
}
