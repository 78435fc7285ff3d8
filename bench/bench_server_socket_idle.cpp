// 10,000 idle clients on one Server Socket of the built plug-in: resident memory, threads and
// CPU time over 10 s of idleness, beside the same server with no client as the baseline.
//
//   bench_server_socket_idle [clients=10000] [seconds=10]
//
// The clients live in a second process (this program started with --clients), so that each
// process needs only one descriptor per connection; each process raises its own descriptor
// limit as far as the hard limit allows.

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "bench/gateway_bench.h"
#include "framework/codes.h"
#include "platform/process_limits.h"

namespace kyt::bench {
namespace {

using kyt::Variant;

// Connects `count` clients and keeps them, saying nothing, until the process is killed.
int ClientProcess(std::size_t count, uint16_t port, const std::string& readyFile) {
  platform::RaiseOpenFileLimit(count + 64);
  std::vector<net::Socket> clients;
  clients.reserve(count);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      clients.push_back(ConnectWhenListening(port));
      // The server's listen queue holds 256; a connection beyond it waits for a SYN retry of a
      // second or more. Short pauses let the listener keep up.
      if (i % 8 == 7)
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    std::ofstream(readyFile) << clients.size() << " connected\n";
  } catch (const std::exception& e) {
    std::ofstream(readyFile) << clients.size() << " connected, then: " << e.what() << "\n";
  }
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

struct Sample {
  double rssMB = 0;
  long threads = 0;
  double cpuSeconds = 0;  // user + system time of this process so far
};

Sample Take() {
  Sample s;
  s.rssMB = ProcessStatus("VmRSS:") / 1024.0;
  s.threads = static_cast<long>(ProcessStatus("Threads:"));
  std::ifstream stat("/proc/self/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold spaces) start at field 3; utime and stime
  // are fields 14 and 15, in USER_HZ (100 per second on Linux).
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14)
      utime = std::stol(field);
    if (i == 15)
      stime = std::stol(field);
  }
  s.cpuSeconds = static_cast<double>(utime + stime) / 100.0;
  return s;
}

struct Idle {
  Sample at;
  double cpuPercent = 0;
};

// Serves the host for `seconds` and reports memory and threads at the end and the share of one
// core used meanwhile.
Idle Observe(host::TReferenceHost& host, int seconds) {
  Sample before = Take();
  auto start = Clock::now();
  host.RunFor(std::chrono::seconds(seconds));
  Sample after = Take();
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return {after, 100.0 * (after.cpuSeconds - before.cpuSeconds) / wall};
}

int Main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--clients") {
    return ClientProcess(std::stoul(argv[2]), static_cast<uint16_t>(std::stoul(argv[3])), argv[4]);
  }
  const std::size_t count = CountArgument(argc, argv, 1, 10000);
  const int seconds = static_cast<int>(CountArgument(argc, argv, 2, 10, INT_MAX));
  const std::size_t limit = platform::RaiseOpenFileLimit(count + 256);
  if (limit < count + 64) {
    std::printf("descriptor limit %zu is too low for %zu clients\n", limit, count);
    return 1;
  }

  host::TReferenceHost host;
  LoadPlugin(host, argv[0]);
  std::atomic<std::size_t> connected{0};
  std::mutex problemMutex;
  std::string firstProblem;
  host.SetEventListener([&](const host::THostEvent& e) {
    if (e.EventKind != host::THostEvent::Kind::Log)
      return;
    if (e.Code == KL_MESSAGE && e.Text.rfind("Client Connected", 0) == 0)
      ++connected;
    if (e.Code == KL_WARNING) {
      std::lock_guard lock(problemMutex);
      if (firstProblem.empty())
        firstProblem = e.Text;
    }
  });
  const uint16_t port = FreePort();
  host.StoreSetting(10, {"Settings"}, "Open", Variant(true));
  host.StoreSetting(10, {"Settings"}, "Port", Variant(static_cast<int>(port)));
  host.CreateInstance("SSCK", 10);
  host.CreateInstance("Console", 11, 10);

  const Idle empty = Observe(host, seconds);

  const std::string readyFile = "/tmp/kyt-bench-idle-" + std::to_string(port);
  auto start = Clock::now();
  Idle busy;
  double connectSeconds = 0;
  {
    Background clients(std::string(argv[0]) + " --clients " + std::to_string(count) + " " +
                       std::to_string(port) + " " + readyFile);
    if (!host.PumpUntil([&] { return connected.load() >= count; }, std::chrono::minutes(5))) {
      std::lock_guard lock(problemMutex);
      std::string clientSide;
      std::getline(std::ifstream(readyFile), clientSide);
      std::printf("only %zu of %zu clients connected; first problem: %s; clients: %s\n",
                  connected.load(), count, firstProblem.c_str(), clientSide.c_str());
      return 1;
    }
    connectSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    busy = Observe(host, seconds);
  }
  std::remove(readyFile.c_str());
  auto leaving = Clock::now();
  host.PumpUntil([&] { return Take().threads <= empty.at.threads; }, std::chrono::minutes(2));
  double leaveSeconds = std::chrono::duration<double>(Clock::now() - leaving).count();

  std::printf("Server Socket with %zu idle clients vs with none, %d s each\n", count, seconds);
  std::printf("%-28s %14s %14s %14s\n", "", "idle clients", "no client", "per client");
  std::printf("%-28s %14.1f %14.1f %14.1f\n", "resident memory (MB / KB)", busy.at.rssMB,
              empty.at.rssMB,
              (busy.at.rssMB - empty.at.rssMB) * 1024.0 / static_cast<double>(count));
  std::printf("%-28s %14ld %14ld %14.2f\n", "threads", busy.at.threads, empty.at.threads,
              static_cast<double>(busy.at.threads - empty.at.threads) / static_cast<double>(count));
  std::printf("%-28s %14.2f %14.2f\n", "CPU (% of one core)", busy.cpuPercent, empty.cpuPercent);
  std::printf("%-28s %14.1f\n", "all connected after (s)", connectSeconds);
  std::printf("%-28s %14.1f\n", "all threads gone after (s)", leaveSeconds);
  host.DeleteAllInstances();
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
