#pragma once

// What the gateway benchmarks share: the built plug-in in a reference host, socat as the
// baseline, and the three measurements (throughput each way, one-byte round trips) over a
// pair of byte streams: the TCP client side and the far side (a TCP peer or a pty).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "host/reference_host.h"
#include "platform/sockets.h"

namespace kyt::bench {

// One end of a byte stream as the benchmark drives it.
struct Stream {
  std::function<void(std::span<const char>)> Write;
  std::function<std::size_t(std::span<char>)> Read;  // blocks for at least one byte; 0 at end
};

inline Stream OverSocket(const net::Socket& socket) {
  return {[&socket](std::span<const char> d) { net::SendAll(socket, d); },
          [&socket](std::span<char> d) { return net::Receive(socket, d); }};
}

// Seconds to move `total` bytes from `from` to `to`.
inline double Throughput(const Stream& from, const Stream& to, std::size_t total) {
  auto start = Clock::now();
  std::thread writer([&] {
    std::string chunk(kChunk, 'x');
    for (std::size_t sent = 0; sent < total; sent += kChunk) {
      from.Write({chunk.data(), std::min(kChunk, total - sent)});
    }
  });
  std::vector<char> buffer(kChunk);
  std::size_t got = 0;
  while (got < total) {
    std::size_t n = to.Read(buffer);
    if (n == 0)
      break;
    got += n;
  }
  writer.join();
  if (got < total)
    std::fprintf(stderr, "stream ended after %zu of %zu bytes\n", got, total);
  return SecondsSince(start);
}

// Microseconds per round trip: one byte from the client to the far side, which answers with
// one byte.
inline std::vector<double> RoundTrips(const Stream& client, const Stream& far, int count) {
  std::vector<double> us;
  char byte = 'r';
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    client.Write({&byte, 1});
    if (far.Read({&byte, 1}) != 1)
      break;
    far.Write({&byte, 1});
    if (client.Read({&byte, 1}) != 1)
      break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return us;
}

struct Figures {
  double upMBps = 0;
  double downMBps = 0;
  double medianUs = 0;
  double p99Us = 0;
};

// Medians over rounds of each figure.
inline Figures Median(const std::vector<Figures>& rounds) {
  return {MedianOf(rounds, &Figures::upMBps), MedianOf(rounds, &Figures::downMBps),
          MedianOf(rounds, &Figures::medianUs), MedianOf(rounds, &Figures::p99Us)};
}

inline Figures Measure(const Stream& client, const Stream& far, std::size_t total, int trips) {
  Figures f;
  f.upMBps = static_cast<double>(total) / Throughput(client, far, total) / 1e6;
  f.downMBps = static_cast<double>(total) / Throughput(far, client, total) / 1e6;
  std::vector<double> us = RoundTrips(client, far, trips);
  f.medianUs = Percentile(us, 0.5);
  f.p99Us = Percentile(us, 0.99);
  return f;
}

// Runs `work` on a thread of its own while this (the main) thread serves the host's
// hand-overs, as kyt-host's main loop does.
template <class F>
void WhileServing(host::TReferenceHost& host, F work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  host.PumpUntil([&] { return done.load(); }, std::chrono::minutes(10));
  worker.join();
}

// The shell's status, for commands whose failure shows up later anyway.
inline int Shell(const std::string& command) {
  return std::system(command.c_str());
}

// A background program (socat, ser2net) started through the shell and stopped by its pid.
class Background {
 public:
  explicit Background(const std::string& command) {
    const std::string pidFile =
        "/tmp/kyt-bench-" + std::to_string(Clock::now().time_since_epoch().count());
    Shell(command + " >/dev/null 2>&1 & echo $! > " + pidFile);
    std::ifstream(pidFile) >> pid_;
    std::remove(pidFile.c_str());
  }
  ~Background() {
    if (pid_ > 0)
      Shell("kill " + std::to_string(pid_) + " 2>/dev/null");
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

 private:
  long pid_ = 0;

 public:
  long Pid() const { return pid_; }
};

inline bool HaveProgram(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

// A connection to a local port that may take a moment to start listening.
inline net::Socket ConnectWhenListening(uint16_t port) {
  for (int attempt = 0;; ++attempt) {
    try {
      return net::Connect(net::Resolve("127.0.0.1", port), std::chrono::seconds(5));
    } catch (const net::SocketError&) {
      if (attempt == 100)
        throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

// The plug-in beside the benchmark, loaded into a host that keeps no events (measure the
// modules, not the test host's memory of every debug entry), with Console and Bridge.
inline void LoadPlugin(host::TReferenceHost& host, const char* argv0) {
  host.SetKeepEvents(false);
  host.LoadLibrary(ProgramFolder(argv0) + "/VidiridAZ.so");
  host::RegisterBuiltinModules(host);
}

inline void PrintRow(const char* name, double module, double baseline,
                     const char* extraName = nullptr, double extra = 0) {
  std::printf("%-26s %12.1f %12.1f %8.2f", name, module, baseline, module / baseline);
  if (extraName)
    std::printf(" %12.1f %8.2f", extra, module / extra);
  std::printf("\n");
}

}  // namespace kyt::bench
