// kyt-host's RFC 2217 server (examples/rfc2217-gateway.json, its port a pty linked at
// /tmp/kyt-serial1) against ser2net's telnet(rfc2217) on the same pty in the same run, both
// through a Telnet client that agrees to COM-PORT-OPTION and sets 115200 baud first. Throughput
// each way and one-byte round trips, with plain data and with data that is all 0xFF (each byte
// doubled on the wire both ways); rounds alternate which server goes first, the figures are
// medians over the rounds.
//
//   bench_rfc2217 [megabytes=16] [round-trips=1000] [rounds=3]
//
// Port 47040 and /tmp/kyt-serial1 must be free.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/gateway_bench.h"
#include "host/com_port_control.h"
#include "host/telnet_reader.h"

extern char** environ;

namespace kyt::bench {
namespace {

using namespace host::telnet;

const std::string kConfig = KYT_SOURCE_DIR "/examples/rfc2217-gateway.json";
const std::string kSerialLink = "/tmp/kyt-serial1";
constexpr uint16_t kKytPort = 47040;

class Child {
 public:
  // Standard output and error go to `log` (or nowhere).
  explicit Child(const std::vector<std::string>& args, const std::string& log = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

// ser2net takes a moment or two before it listens.
net::Socket Connect(uint16_t port) {
  for (int attempt = 0;; ++attempt) {
    try {
      return net::Connect(net::Resolve("127.0.0.1", port), std::chrono::seconds(5));
    } catch (const net::SocketError&) {
      if (attempt == 200)
        throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

// A Telnet client: writes with IAC doubled, reads the data out of what the server sends.
class TelnetEnd {
 public:
  explicit TelnetEnd(uint16_t port) : socket_(Connect(port)) {
    const std::string baud{0, 1, static_cast<char>(0xC2), 0};
    Send(Negotiation(WILL, COM_PORT_OPTION) + Negotiation(DO, COM_PORT_OPTION) +
         Negotiation(WILL, BINARY) + Negotiation(DO, BINARY) +
         Subnegotiation(COM_PORT_OPTION, std::string(1, host::cpc::SET_BAUDRATE) + baud));
  }
  Stream AsStream() {
    return {[this](std::span<const char> d) {
              Send(Escape({d.data(), d.size()}));
            },
            [this](std::span<char> d) { return Read(d); }};
  }
  int Fd() const { return socket_.Get(); }
  bool HasData() const { return at_ < pending_.size(); }

 private:
  void Send(const std::string& bytes) { net::SendAll(socket_, {bytes.data(), bytes.size()}); }
  std::size_t Read(std::span<char> into) {
    while (at_ == pending_.size()) {
      pending_.clear();
      at_ = 0;
      const std::size_t n = net::Receive(socket_, buffer_);
      if (n == 0)
        return 0;
      events_.clear();
      reader_.Feed({buffer_.data(), n}, events_);
      for (const TEvent& e : events_) {
        if (e.Kind == TEvent::TKind::Data)
          pending_ += e.Bytes;
      }
    }
    const std::size_t n = std::min(into.size(), pending_.size() - at_);
    std::memcpy(into.data(), pending_.data() + at_, n);
    at_ += n;
    return n;
  }

  net::Socket socket_;
  TReader reader_;
  std::vector<TEvent> events_;
  std::vector<char> buffer_ = std::vector<char>(kChunk);
  std::string pending_;
  std::size_t at_ = 0;
};

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

double MBps(const Stream& from, const Stream& to, std::size_t total, char fill) {
  const auto start = Clock::now();
  std::thread writer([&] {
    const std::string chunk(kChunk, fill);
    for (std::size_t sent = 0; sent < total; sent += kChunk) {
      from.Write({chunk.data(), std::min(kChunk, total - sent)});
    }
  });
  std::vector<char> buffer(kChunk);
  std::size_t got = 0;
  while (got < total) {
    const std::size_t n = to.Read(buffer);
    if (n == 0)
      break;
    got += n;
  }
  writer.join();
  if (got < total)
    std::fprintf(stderr, "stream ended after %zu of %zu bytes\n", got, total);
  return static_cast<double>(total) / SecondsSince(start) / 1e6;
}

double MedianRoundTripUs(const Stream& client, const Stream& far, int count, char value) {
  std::vector<double> us;
  for (int i = 0; i < count; ++i) {
    char byte = value;
    const auto start = Clock::now();
    client.Write({&byte, 1});
    if (far.Read({&byte, 1}) != 1)
      break;
    far.Write({&byte, 1});
    if (client.Read({&byte, 1}) != 1)
      break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return Percentile(us, 0.5);
}

struct Row {
  double up = 0, down = 0, upFF = 0, downFF = 0, rtt = 0, rttFF = 0;
};

// Bytes until one passes each way: the server may need a moment after it listens.
void AwaitPath(TelnetEnd& client, const Pty& line) {
  Stream c = client.AsStream();
  char byte = 'p';
  std::array<char, 256> drain;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 100)
      throw std::runtime_error("the server passed nothing on within 10 s");
    c.Write({&byte, 1});
    if (!Readable(line.Master(), 100))
      continue;
    do {
      line.Read(drain);
    } while (Readable(line.Master(), 50));
    break;
  }
  line.Write({&byte, 1});
  c.Read({&byte, 1});
  while (client.HasData() || Readable(client.Fd(), 50)) c.Read(drain);
}

Row Measure(uint16_t port, const Pty& line, std::size_t total, int trips) {
  TelnetEnd client(port);
  AwaitPath(client, line);
  const Stream c = client.AsStream();
  const Stream far{[&line](std::span<const char> d) { line.Write(d); },
                   [&line](std::span<char> d) { return line.Read(d); }};
  Row r;
  r.up = MBps(c, far, total, 'x');
  r.down = MBps(far, c, total, 'x');
  r.upFF = MBps(c, far, total, '\xFF');
  r.downFF = MBps(far, c, total, '\xFF');
  r.rtt = MedianRoundTripUs(c, far, trips, 'r');
  r.rttFF = MedianRoundTripUs(c, far, trips, '\xFF');
  return r;
}

Row KytHost(const std::string& program, const Pty& line, std::size_t total, int trips) {
  if (::symlink(line.Path().c_str(), kSerialLink.c_str()) != 0)
    throw std::runtime_error("cannot link " + kSerialLink);
  struct Unlink {
    ~Unlink() { ::unlink(kSerialLink.c_str()); }
  } unlink;
  const std::string log = "/tmp/bench_rfc2217-kyt-host.log";
  Child host({program, "run", kConfig}, log);
  try {
    return Measure(kKytPort, line, total, trips);
  } catch (const std::exception& e) {
    // Why kyt-host did not serve (a port in use, a config it refused) is in its own output.
    std::ifstream in(log);
    std::string said, text;
    while (std::getline(in, text)) said += "\n  " + text;
    throw std::runtime_error(std::string(e.what()) + "; kyt-host printed:" + said);
  }
}

Row Ser2net(const Pty& line, std::size_t total, int trips) {
  const uint16_t port = FreePort();
  Child ser2net({"ser2net", "-n", "-u", "-Y",
                 "connection: &rfc2217#  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                     std::to_string(port) + "#  connector: serialdev," + line.Path() +
                     ",9600n81,local#  options:#    kickolduser: true"});
  return Measure(port, line, total, trips);
}

void Print(const char* name, const std::vector<Row>& kyt, const std::vector<Row>& ser2net,
           double Row::*field, const char* goal) {
  const double k = MedianOf(kyt, field), s = MedianOf(ser2net, field);
  std::printf("%-30s %10.1f %10.1f %7.2f  %s\n", name, s, k, k / s, goal);
}

int Main(int argc, char** argv) {
  const std::size_t megabytes = CountArgument(argc, argv, 1, 16);
  const int trips = static_cast<int>(CountArgument(argc, argv, 2, 1000, INT_MAX));
  const int rounds = static_cast<int>(CountArgument(argc, argv, 3, 3, 1000));
  const std::size_t total = megabytes << 20;
  const std::string program = ProgramFolder(argv[0]) + "/kyt-host";
  if (!HaveProgram("ser2net")) {
    std::printf("ser2net is not installed: nothing to compare with\n");
    return 1;
  }
  struct stat st {};
  if (::lstat(kSerialLink.c_str(), &st) == 0) {
    std::printf("%s exists; the example needs it for its pty\n", kSerialLink.c_str());
    return 1;
  }
  std::vector<Row> kyt, ser;
  for (int round = 0; round < rounds; ++round) {
    Pty line;  // the same pty for both servers in a round
    if (round % 2 == 0) {
      ser.push_back(Ser2net(line, total, trips));
      kyt.push_back(KytHost(program, line, total, trips));
    } else {
      kyt.push_back(KytHost(program, line, total, trips));
      ser.push_back(Ser2net(line, total, trips));
    }
  }
  std::printf(
      "RFC 2217: kyt-host vs ser2net telnet(rfc2217), a pty, %zu MB each way, %d round "
      "trips, median of %d rounds\n",
      megabytes, trips, rounds);
  std::printf("%-30s %10s %10s %7s  %s\n", "", "ser2net", "kyt-host", "ratio", "goal");
  Print("client -> line (MB/s)", kyt, ser, &Row::up, ">= 1.00");
  Print("line -> client (MB/s)", kyt, ser, &Row::down, ">= 1.00");
  Print("client -> line, 0xFF (MB/s)", kyt, ser, &Row::upFF, ">= 1.00");
  Print("line -> client, 0xFF (MB/s)", kyt, ser, &Row::downFF, ">= 1.00");
  Print("round trip median (us)", kyt, ser, &Row::rtt, "<= 1.00");
  Print("round trip median, 0xFF (us)", kyt, ser, &Row::rttFF, "<= 1.00");
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
