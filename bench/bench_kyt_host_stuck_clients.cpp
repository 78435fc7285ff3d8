// Clients that never read, through the real kyt-host: the serial gateway of
// examples/serial-gateway.json (its port a pty) fanning the line's bytes out to reading clients,
// with a TCP relay (examples/tcp-relay.json) in the same process.
//
// 1. 100 reading clients, then the same with 10 more that never read (their receive buffers
//    small, as a careless or hostile client's would be): the readers' throughput, the relay's
//    one-byte round trip meanwhile, kyt-host's peak memory, how long SIGTERM takes.
// 2. Fan-out: one line to 1, 10, 100 and 1000 reading clients, bytes per second delivered in
//    all, and how long the clients took to be served after connecting at once; socat does the
//    one-client case.
//
//   bench_kyt_host_stuck_clients [megabytes=8] [other-kyt-host]
//
// With a second kyt-host (another build, say the one before a change) every figure is taken
// for both, alternating, in the same run.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/gateway_bench.h"

extern char** environ;

namespace kyt::bench {
namespace {

// A started program; stopped with SIGTERM (Stop says how long it took to end).
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
      throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Peak resident memory so far, in MiB.
  double PeakMiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0)
        return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }
  // Seconds from SIGTERM to its end; after 60 s it is killed.
  double Stop() {
    if (pid_ == 0)
      return 0;
    const auto start = Clock::now();
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (SecondsSince(start) > 60)
        ::kill(pid_, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = 0;
    return SecondsSince(start);
  }

 private:
  pid_t pid_ = 0;
};

// A client socket; one that never reads gets a small receive buffer, so it stalls early.
int ConnectClient(uint16_t port, bool stuck) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (stuck) {
    int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
  return fd;
}

// Reads from every reader at once until each has `each` bytes or the time is up; the bytes
// every reader got, in all.
std::size_t ReadAll(const std::vector<int>& readers, std::size_t each, double seconds) {
  std::vector<pollfd> fds;
  for (int fd : readers) fds.push_back({fd, POLLIN, 0});
  std::vector<std::size_t> got(readers.size(), 0);
  std::size_t done = 0, total = 0;
  std::vector<char> buffer(1 << 16);
  const auto start = Clock::now();
  while (done < readers.size() && SecondsSince(start) < seconds) {
    if (::poll(fds.data(), fds.size(), 100) <= 0)
      continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        got[i] += static_cast<std::size_t>(n);
        total += static_cast<std::size_t>(n);
      }
      if (n == 0 || got[i] >= each) {
        fds[i].fd = -1;
        ++done;
      }
    }
  }
  return total;
}

// Writes `total` bytes into the line, giving up once `writing` turns false.
void WriteLine(const Pty& line, std::size_t total, const std::atomic<bool>& writing) {
  const std::string chunk(kChunk, 'x');
  std::size_t sent = 0;
  // Never held in a write the line has no room for: the end must come when asked.
  const int flags = ::fcntl(line.Master(), F_GETFL);
  ::fcntl(line.Master(), F_SETFL, flags | O_NONBLOCK);
  while (sent < total && writing) {
    pollfd p{line.Master(), POLLOUT, 0};
    if (::poll(&p, 1, 100) <= 0)
      continue;
    const ssize_t n = ::write(line.Master(), chunk.data(), std::min(kChunk, total - sent));
    if (n > 0)
      sent += static_cast<std::size_t>(n);
  }
  ::fcntl(line.Master(), F_SETFL, flags);
}

struct Setup {
  int readers = 100;
  int stuck = 0;
  bool relay = true;
};

struct Result {
  double readyS = 0;      // connected at once until each reader got its first byte
  double mbps = 0;        // bytes delivered to all readers, per second
  double perReader = 0;   // MB/s each reader got
  double relayUs = 0;     // median one-byte round trip through the relay meanwhile
  double relayMaxUs = 0;  // the worst of them
  double peakMiB = 0;
  double sigtermS = 0;
};

std::string WriteConfig(const std::string& pty, uint16_t gateway, uint16_t relay, uint16_t far,
                        bool withRelay) {
  const std::string path = "/tmp/kyt-bench-stuck-" + std::to_string(::getpid()) + ".json";
  std::ofstream out(path);
  out << R"({"instances": [
 {"id": 10, "module": "COMPort", "settings": {"Open": true, "Port": ")"
      << pty << R"(", "BaudRate": "115200"}},
 {"id": 20, "module": "SSCK", "settings": {"Open": true, "Port": )"
      << gateway << R"(}},
 {"id": 11, "module": "Bridge", "parent": 10, "settings": {"Target": 20}},
 {"id": 21, "module": "Bridge", "parent": 20, "settings": {"Target": 10}})";
  if (withRelay) {
    out << R"(,
 {"id": 30, "module": "SSCK", "settings": {"Open": true, "Port": )"
        << relay << R"(}},
 {"id": 40, "module": "CSCK", "settings": {"Open": true, "Host": "127.0.0.1", "Port": )"
        << far << R"(}},
 {"id": 31, "module": "Bridge", "parent": 30, "settings": {"Target": 40}},
 {"id": 41, "module": "Bridge", "parent": 40, "settings": {"Target": 30}})";
  }
  out << "\n]}\n";
  return path;
}

Result Run(const std::string& program, const Setup& setup, std::size_t each) {
  Pty line;
  const uint16_t gateway = FreePort(), relay = FreePort();
  net::Socket farListener = net::Listen(0, "127.0.0.1");
  const std::string config =
      WriteConfig(line.Path(), gateway, relay, net::LocalPort(farListener), setup.relay);
  const std::string library = ProgramFolder(program.c_str()) + "/VidiridAZ.so";
  Child host({program, "--library", library, "run", config});
  Result result;
  net::Socket far;
  net::Socket relayClient;
  if (setup.relay) {
    far = net::Accept(farListener, std::chrono::seconds(20));
    relayClient = ConnectWhenListening(relay);
  }
  ConnectWhenListening(gateway).Reset();  // listening now
  std::vector<int> readers, stuck;
  const auto connecting = Clock::now();
  for (int i = 0; i < setup.stuck; ++i) stuck.push_back(ConnectClient(gateway, true));
  for (int i = 0; i < setup.readers; ++i) readers.push_back(ConnectClient(gateway, false));
  // Served once a byte from the line reaches each of them.
  std::atomic<bool> marking{true};
  std::thread marker([&] {
    while (marking) {
      line.Write({"!", 1});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  ReadAll(readers, 1, 120);
  marking = false;
  marker.join();
  result.readyS = SecondsSince(connecting);
  // Whatever markers are still on their way are taken with the transfer.
  std::vector<double> trips;
  std::atomic<bool> measuring{setup.relay};
  std::thread relayTrips([&] {
    char byte = 'r';
    while (measuring) {
      const auto start = Clock::now();
      net::SendAll(relayClient, {&byte, 1});
      if (net::WaitReadable(far, std::chrono::seconds(10)) != net::WaitResult::Ready)
        break;
      net::Receive(far, {&byte, 1});
      net::SendAll(far, {&byte, 1});
      if (net::WaitReadable(relayClient, std::chrono::seconds(10)) != net::WaitResult::Ready)
        break;
      net::Receive(relayClient, {&byte, 1});
      trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto start = Clock::now();
  std::atomic<bool> writing{true};
  std::thread writer([&] { WriteLine(line, each, writing); });
  const std::size_t delivered = ReadAll(readers, each, 30);
  const double seconds = SecondsSince(start);
  writing = false;
  measuring = false;
  relayTrips.join();
  result.mbps = static_cast<double>(delivered) / seconds / 1e6;
  result.perReader = result.mbps / static_cast<double>(readers.size());
  if (!trips.empty()) {
    result.relayUs = Median(trips);
    result.relayMaxUs = *std::max_element(trips.begin(), trips.end());
  }
  result.peakMiB = host.PeakMiB();
  result.sigtermS = host.Stop();
  // The writer may be held in a full pty; closing the readers and the host frees it.
  for (int fd : readers) ::close(fd);
  for (int fd : stuck) ::close(fd);
  writer.join();
  std::remove(config.c_str());
  return result;
}

double SocatFanOutOne(std::size_t each) {
  Pty line;
  const uint16_t port = FreePort();
  Child socat({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
               "FILE:" + line.Path() + ",raw,echo=0"});
  net::Socket client = ConnectWhenListening(port);
  const auto start = Clock::now();
  std::atomic<bool> writing{true};
  std::thread writer([&] { WriteLine(line, each, writing); });
  const std::size_t delivered = ReadAll({client.Get()}, each, 30);
  const double mbps = static_cast<double>(delivered) / SecondsSince(start) / 1e6;
  writing = false;
  writer.join();
  return mbps;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

int Main(int argc, char** argv) {
  const std::size_t megabytes = CountArgument(argc, argv, 1, 8);
  const std::size_t each = megabytes << 20;
  std::vector<std::string> programs{ProgramFolder(argv[0]) + "/kyt-host"};
  if (argc > 2)
    programs.push_back(argv[2]);
  RaiseDescriptorLimit();
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("Serial gateway fan-out with a TCP relay in the same kyt-host, %zu MB per reader\n",
              megabytes);
  std::printf("%-10s %-38s %8s %9s %8s %9s %9s %8s %8s\n", "kyt-host", "setup", "ready s",
              "total MB/s", "MB/s ea", "relay us", "relay max", "peak MiB", "SIGTERM");
  for (int stuck : {0, 10}) {
    for (std::size_t p = 0; p < programs.size(); ++p) {
      const Result r = Run(programs[p], {100, stuck, true}, each);
      std::printf("%-10s %-38s %8.2f %9.1f %8.2f %9.0f %9.0f %8.1f %8.2f\n",
                  p == 0 ? "this" : "other",
                  (std::string("100 readers, ") + std::to_string(stuck) + " never reading").c_str(),
                  r.readyS, r.mbps, r.perReader, r.relayUs, r.relayMaxUs, r.peakMiB, r.sigtermS);
      std::fflush(stdout);
    }
  }
  std::printf("\nFan-out: one line to N reading clients, no relay\n");
  if (HaveProgram("socat"))
    std::printf("%-10s %-38s %8s %9.1f\n", "socat", "1 reader", "", SocatFanOutOne(each));
  for (int readers : {1, 10, 100, 1000}) {
    for (std::size_t p = 0; p < programs.size(); ++p) {
      const Result r = Run(programs[p], {readers, 0, false}, readers >= 1000 ? each / 4 : each);
      std::printf("%-10s %-38s %8.2f %9.1f %8.2f %9s %9s %8.1f %8.2f\n", p == 0 ? "this" : "other",
                  (std::to_string(readers) + " readers").c_str(), r.readyS, r.mbps, r.perReader, "",
                  "", r.peakMiB, r.sigtermS);
      std::fflush(stdout);
    }
  }
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
