#pragma once

// What the benchmarks share: a tally of what a receiving child saw (bytes, blocks, latency
// stamps), the counting child that feeds it, order statistics over rounds, a raw pty, and the
// small bits of printing and process inspection they all need.

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/interfaces.h"
#include "framework/module_object.h"
#include "platform/sockets.h"

namespace kyt::bench {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 64 * 1024;
// A wait that runs this long means something went missing; give up rather than hang.
constexpr std::chrono::minutes kWaitLimit{5};

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Order statistics ----

// The value below which a share `p` of the values lie (nearest rank); 0 for no values.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

inline double Median(std::vector<double> v) {
  return Percentile(std::move(v), 0.5);
}

// The median over rounds of one figure of a per-round result.
template <class Round>
double MedianOf(const std::vector<Round>& rounds, double Round::*field) {
  std::vector<double> v;
  v.reserve(rounds.size());
  for (const Round& r : rounds) v.push_back(r.*field);
  return Median(std::move(v));
}

struct Latency {
  double medianUs = 0;
  double p99Us = 0;
};

// The medians over rounds of each latency figure.
inline Latency Median(const std::vector<Latency>& rounds) {
  return {MedianOf(rounds, &Latency::medianUs), MedianOf(rounds, &Latency::p99Us)};
}

// ---- Latency stamps ----

// The sender's clock in the first 8 bytes of a block; the receiver subtracts it from its own.
inline void WriteStamp(char* at) {
  const int64_t now = Clock::now().time_since_epoch().count();
  std::memcpy(at, &now, sizeof now);
}

inline double StampAgeUs(const char* at, Clock::rep now) {
  int64_t sent = 0;
  std::memcpy(&sent, at, sizeof sent);
  return static_cast<double>(now - sent) / 1000.0;
}

// ---- What a receiver saw ----

// Every block handed to a receiver is counted; while `stamped`, each block long enough to hold
// a stamp also adds a latency and counts as a message.
struct Tally {
  std::mutex lock;
  std::condition_variable changed;
  std::size_t bytes = 0;
  std::size_t blocks = 0;
  std::size_t messages = 0;
  std::vector<double> latenciesUs;
  bool stamped = false;

  void Take(const char* data, std::size_t size) {
    const auto now = Clock::now().time_since_epoch().count();
    std::lock_guard guard(lock);
    bytes += size;
    ++blocks;
    if (stamped && size >= sizeof(int64_t)) {
      latenciesUs.push_back(StampAgeUs(data, now));
      ++messages;
    }
    changed.notify_all();
  }
  void Take(const std::string& data) { Take(data.data(), data.size()); }

  void Reset(bool withStamps) {
    std::lock_guard guard(lock);
    bytes = 0;
    blocks = 0;
    messages = 0;
    latenciesUs.clear();
    stamped = withStamps;
  }

  // Each returns false when the limit ran out first.
  bool WaitForBytes(std::size_t n, Clock::duration limit = kWaitLimit) {
    return WaitFor(limit, [&] { return bytes >= n; });
  }
  bool WaitForBlocks(std::size_t n, Clock::duration limit = kWaitLimit) {
    return WaitFor(limit, [&] { return blocks >= n; });
  }
  bool WaitForMessages(std::size_t n, Clock::duration limit = kWaitLimit) {
    return WaitFor(limit, [&] { return messages >= n; });
  }

  std::size_t Bytes() {
    std::lock_guard guard(lock);
    return bytes;
  }
  // How many bytes one hand-over carried on average since the last reset.
  double BytesPerBlock() {
    std::lock_guard guard(lock);
    return blocks ? static_cast<double>(bytes) / static_cast<double>(blocks) : 0;
  }
  Latency Latencies() {
    std::lock_guard guard(lock);
    return {Percentile(latenciesUs, 0.5), Percentile(latenciesUs, 0.99)};
  }

 private:
  template <class Done>
  bool WaitFor(Clock::duration limit, Done done) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, done);
  }
};

// The one tally of a benchmark program: every counting child reports here, and each
// measurement resets it before it starts.
inline Tally tally;

// A child module that counts what its parent hands over, as plain data or as HID reports.
class TCountingChild : public TKYTModuleObject,
                       public virtual IKYTReceiveData,
                       public virtual IKYTHIDReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData, IKYTHIDReceiveData>;
  static inline const TKYTModuleClass Class = MakeModuleClass<TCountingChild>({
      .ClassName = "TCountingChild",
      .ModuleID = "{5B0C7E11-0000-4000-8000-0000000BE001}",
      .ModuleType = TKYTModuleType::mtDevice,
      .ModuleName = "Counting Child",
  });

  TCountingChild(const TRef<IKYTKernel>& kernel, TInstanceID id)
      : TKYTModuleObject(Class, kernel, id) {
    LoadAndApplySettings();
  }
  ~TCountingChild() override { PrepareDelete(); }
  void ReceiveData(const std::string& data) override { tally.Take(data); }
  void ReceiveEvent(uint8_t, const std::string& data) override { tally.Take(data); }

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }
};

// ---- Printing ----

// The two-column table of module against baseline with their ratio.
inline void PrintRatioHeader(const char* module, const char* baseline) {
  std::printf("%-28s %12s %12s %10s\n", "", module, baseline, "ratio");
}

inline void PrintRatioRow(const char* name, double module, double baseline, int decimals = 1) {
  std::printf("%-28s %12.*f %12.*f %10.2f\n", name, decimals, module, decimals, baseline,
              module / baseline);
}

// ---- Surroundings ----

// Positional argument `index` as a count, or `fallback` when it is not given. Anything but a
// plain decimal number up to `most` ends the program with a message: a typo must not turn
// into a run of 0 or 2^64 - 1 iterations.
inline std::size_t CountArgument(int argc, char** argv, int index, std::size_t fallback,
                                 std::size_t most = SIZE_MAX) {
  if (index >= argc)
    return fallback;
  const char* text = argv[index];
  const char* end = text + std::strlen(text);
  std::size_t value = 0;
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || stop == text || value > most) {
    std::fprintf(stderr, "%s: argument %d is not a count: \"%s\"\n", argv[0], index, text);
    std::exit(2);
  }
  return value;
}

// The folder the program was started from, where the built plug-in and test doubles live.
inline std::string ProgramFolder(const char* argv0) {
  const std::string program = argv0;
  const std::size_t slash = program.rfind('/');
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

// A loopback port that was free a moment ago.
inline uint16_t FreePort() {
  net::Socket probe = net::Listen(0, "127.0.0.1");
  return net::LocalPort(probe);
}

// A number from /proc/self/status ("VmRSS:" in kB, "Threads:", ...); 0 when it is missing.
inline double ProcessStatus(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0)
      return std::stod(line.substr(std::strlen(field)));
  }
  return 0;
}

// A raw pty pair; the slave's path names a serial port, the benchmark plays the device on the
// master side.
class Pty {
 public:
  Pty() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    path_ = name;
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  int Master() const { return master_; }

  void Write(std::span<const char> data) const {
    while (!data.empty()) {
      const ssize_t n = ::write(master_, data.data(), data.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        throw std::runtime_error("pty write failed");
      data = data.subspan(static_cast<std::size_t>(n));
    }
  }
  // Blocks for at least one byte; 0 once the slave side is gone.
  std::size_t Read(std::span<char> data) const {
    for (;;) {
      const ssize_t n = ::read(master_, data.data(), data.size());
      if (n < 0 && errno == EINTR)
        continue;
      return n < 0 ? 0 : static_cast<std::size_t>(n);
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace kyt::bench
