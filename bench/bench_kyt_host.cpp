// kyt-host as a user runs it, against socat doing the same job in the same run: the TCP relay of
// examples/tcp-relay.json and the serial gateway of examples/serial-gateway.json (its port a pty
// linked at /tmp/kyt-serial0), each through the real executable, quiet (the default, standard
// output to a file) and with --debug (standard output to /dev/null). Throughput each way and
// one-byte round trips, and the processor time the gateway process spent on all of it (which a
// busy machine disturbs far less than the times); rounds alternate between socat and the two
// kyt-host runs, the figures are medians over the rounds.
//
//   bench_kyt_host [megabytes=32] [round-trips=2000] [rounds=5]
//
// The examples' own ports (47020, 47021, 47030) and /tmp/kyt-serial0 must be free.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bench/gateway_bench.h"

extern char** environ;

namespace kyt::bench {
namespace {

const std::string kExamples = KYT_SOURCE_DIR "/examples/";
const std::string kSerialLink = "/tmp/kyt-serial0";
constexpr uint16_t kRelayPort = 47020;
constexpr uint16_t kRelayFarPort = 47021;
constexpr uint16_t kSerialGatewayPort = 47030;

// A started program, stopped with SIGTERM and waited for, so its ports are free again.
class Child {
 public:
  // Processor time (user and system, every thread) it used so far.
  double CpuMs() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14)
        ticks += std::stod(field);
    }
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 public:
  Child(const std::vector<std::string>& args, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
      throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
  }
  ~Child() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

 private:
  pid_t pid_ = 0;
};

bool PortFree(uint16_t port) {
  try {
    net::Listen(port);
    return true;
  } catch (const net::SocketError&) {
    return false;
  }
}

// One side of a gateway as the measurements drive it, and its descriptor for waiting.
struct End {
  Stream stream;
  int fd = -1;
};

End OverSocketEnd(const net::Socket& socket) {
  return {OverSocket(socket), socket.Get()};
}

End OverPtyEnd(const Pty& pty) {
  return {{[&pty](std::span<const char> d) { pty.Write(d); },
           [&pty](std::span<char> d) { return pty.Read(d); }},
          pty.Master()};
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

// Sends a byte until one arrives at the other end, then takes whatever else of them arrives:
// the gateway may need a moment after it listens before every part of it is in place.
void AwaitPath(const End& from, const End& to) {
  char byte = 'p';
  for (int attempt = 0; attempt < 100; ++attempt) {
    from.stream.Write({&byte, 1});
    if (!Readable(to.fd, 100))
      continue;
    std::array<char, 256> drain;
    do {
      to.stream.Read(drain);
    } while (Readable(to.fd, 50));
    return;
  }
  throw std::runtime_error("the gateway passed nothing on within 10 s");
}

struct Round {
  Figures figures;
  double cpuMs = 0;
};

Round MeasureGateway(const Child& gateway, const End& client, const End& far, std::size_t total,
                     int trips) {
  AwaitPath(client, far);
  AwaitPath(far, client);
  const double before = gateway.CpuMs();
  Round round{Measure(client.stream, far.stream, total, trips), 0};
  round.cpuMs = gateway.CpuMs() - before;
  return round;
}

std::vector<std::string> KytHost(const std::string& program, const std::string& config,
                                 bool debug) {
  std::vector<std::string> args{program, "run", kExamples + config};
  if (debug)
    args.push_back("--debug");
  return args;
}

// What one kyt-host run printed (quiet) in the last round.
std::string OutputFile() {
  return "/tmp/kyt-bench-host-" + std::to_string(::getpid()) + ".out";
}

std::size_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// ---- TCP relay: client -> listening port -> far side, and back ----

Round RelayKytHost(const std::string& program, bool debug, std::size_t total, int trips) {
  net::Socket listener = net::Listen(kRelayFarPort, "127.0.0.1");
  Child host(KytHost(program, "tcp-relay.json", debug), debug ? "/dev/null" : OutputFile());
  net::Socket far = net::Accept(listener, std::chrono::seconds(10));
  if (!far)
    throw std::runtime_error("kyt-host never connected to the far side");
  net::Socket client = ConnectWhenListening(kRelayPort);
  return MeasureGateway(host, OverSocketEnd(client), OverSocketEnd(far), total, trips);
}

Round RelaySocat(std::size_t total, int trips) {
  net::Socket listener = net::Listen(0, "127.0.0.1");
  const uint16_t port = FreePort();
  Child socat({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
               "TCP:127.0.0.1:" + std::to_string(net::LocalPort(listener))},
              "/dev/null");
  net::Socket client = ConnectWhenListening(port);
  net::Socket far = net::Accept(listener, std::chrono::seconds(10));
  if (!far)
    throw std::runtime_error("socat never connected to the far side");
  return MeasureGateway(socat, OverSocketEnd(client), OverSocketEnd(far), total, trips);
}

// ---- Serial gateway: client -> listening port -> serial line (a pty), and back ----

class Link {
 public:
  Link(const std::string& target, const std::string& at) : at_(at) {
    if (::symlink(target.c_str(), at.c_str()) != 0)
      throw std::runtime_error("cannot link " + at + ": " + std::strerror(errno));
  }
  ~Link() { ::unlink(at_.c_str()); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

 private:
  std::string at_;
};

Round SerialKytHost(const std::string& program, bool debug, std::size_t total, int trips) {
  Pty line;
  Link link(line.Path(), kSerialLink);
  Child host(KytHost(program, "serial-gateway.json", debug), debug ? "/dev/null" : OutputFile());
  net::Socket client = ConnectWhenListening(kSerialGatewayPort);
  return MeasureGateway(host, OverSocketEnd(client), OverPtyEnd(line), total, trips);
}

Round SerialSocat(std::size_t total, int trips) {
  Pty line;
  const uint16_t port = FreePort();
  Child socat({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
               "FILE:" + line.Path() + ",raw,echo=0"},
              "/dev/null");
  net::Socket client = ConnectWhenListening(port);
  return MeasureGateway(socat, OverSocketEnd(client), OverPtyEnd(line), total, trips);
}

// ---- The table ----

struct Results {
  std::vector<Round> quiet, debug, socat;
  std::size_t quietOutput = 0;
};

Figures MedianFigures(const std::vector<Round>& rounds) {
  std::vector<Figures> figures;
  for (const Round& r : rounds) figures.push_back(r.figures);
  return Median(figures);
}

void PrintLine(const char* name, double quiet, double debug, double socat, const char* goal) {
  std::printf("%-24s %10.1f %10.1f %7.2f %10.1f %7.2f  %s\n", name, socat, quiet, quiet / socat,
              debug, debug / socat, goal);
}

void Print(const char* title, const Results& r, const char* upName, const char* downName) {
  const Figures q = MedianFigures(r.quiet), d = MedianFigures(r.debug), s = MedianFigures(r.socat);
  std::printf("%s\n", title);
  std::printf("%-24s %10s %10s %7s %10s %7s  %s\n", "", "socat", "kyt-host", "ratio", "--debug",
              "ratio", "goal (quiet)");
  PrintLine(upName, q.upMBps, d.upMBps, s.upMBps, ">= 1.00");
  PrintLine(downName, q.downMBps, d.downMBps, s.downMBps, ">= 1.00");
  PrintLine("round trip median (us)", q.medianUs, d.medianUs, s.medianUs, "<= 1.30");
  PrintLine("round trip p99 (us)", q.p99Us, d.p99Us, s.p99Us, "");
  PrintLine("gateway CPU (ms)", MedianOf(r.quiet, &Round::cpuMs), MedianOf(r.debug, &Round::cpuMs),
            MedianOf(r.socat, &Round::cpuMs), "");
  std::printf("quiet kyt-host printed %zu bytes in its last round\n\n", r.quietOutput);
}

template <class KytRun, class SocatRun>
Results Alternate(int rounds, KytRun kyt, SocatRun socat) {
  Results r;
  for (int round = 0; round < rounds; ++round) {
    // Each of the three goes first in turn, so none always meets a warmer or colder machine.
    for (int i = 0; i < 3; ++i) {
      switch ((round + i) % 3) {
        case 0:
          r.socat.push_back(socat());
          break;
        case 1:
          r.quiet.push_back(kyt(false));
          r.quietOutput = FileSize(OutputFile());
          break;
        case 2:
          r.debug.push_back(kyt(true));
          break;
      }
    }
  }
  std::remove(OutputFile().c_str());
  return r;
}

int Main(int argc, char** argv) {
  const std::size_t megabytes = CountArgument(argc, argv, 1, 32);
  const int trips = static_cast<int>(CountArgument(argc, argv, 2, 2000, INT_MAX));
  const int rounds = static_cast<int>(CountArgument(argc, argv, 3, 5, 1000));
  const std::size_t total = megabytes << 20;
  const std::string program = ProgramFolder(argv[0]) + "/kyt-host";
  if (!HaveProgram("socat")) {
    std::printf("socat is not installed: nothing to compare with\n");
    return 1;
  }
  for (uint16_t port : {kRelayPort, kRelayFarPort, kSerialGatewayPort}) {
    if (!PortFree(port)) {
      std::printf("port %u is in use; the examples need it\n", port);
      return 1;
    }
  }
  struct stat st {};
  if (::lstat(kSerialLink.c_str(), &st) == 0) {
    std::printf("%s exists; the serial gateway example needs it for its pty\n",
                kSerialLink.c_str());
    return 1;
  }

  std::printf("kyt-host vs socat, %zu MB each way, %d one-byte round trips, median of %d rounds\n",
              megabytes, trips, rounds);
  std::printf("(quiet: the default, standard output to a file; --debug: to /dev/null)\n\n");
  Results relay = Alternate(
      rounds, [&](bool debug) { return RelayKytHost(program, debug, total, trips); },
      [&] { return RelaySocat(total, trips); });
  Print("TCP relay (examples/tcp-relay.json)", relay, "client -> far (MB/s)",
        "far -> client (MB/s)");
  Results serial = Alternate(
      rounds, [&](bool debug) { return SerialKytHost(program, debug, total, trips); },
      [&] { return SerialSocat(total, trips); });
  Print("Serial gateway (examples/serial-gateway.json, a pty)", serial, "client -> line (MB/s)",
        "line -> client (MB/s)");
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  try {
    return kyt::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
}
