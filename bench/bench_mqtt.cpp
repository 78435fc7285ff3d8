// The MQTT module through the real kyt-host against mosquitto_pub doing the same job in the same
// run, both into one mosquitto started here and one subscriber (libmosquitto, in this process):
//
// 1. From a serial line to a subscriber, at QoS 0 and 1: one-block latency (a pty written by
//    this program, kyt-host's COMPort with an MQTT child; mosquitto_pub -l fed line by line as
//    the baseline), and bytes and messages per second for a stream of 64-byte writes.
// 2. Scale: N kyt-host processes with M serial lines and MQTT children each (pty per line), every
//    line written `rate` times a second for a few seconds: messages per second at the
//    subscriber, and each process's processor time and resident memory.
//
//   bench_mqtt [round-trips=300] [stream-kilobytes=2048] [rate=10] [seconds=5]

#include <fcntl.h>
#include <fmt/format.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cinttypes>
#include <csignal>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "bench/bench_support.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace kyt::bench {
namespace {

using namespace std::chrono_literals;

// A started program, stopped with SIGTERM and waited for.
class Child {
 public:
  Child(const std::vector<std::string>& args, int stdinFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
      posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start " + args[0]);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  pid_t Pid() const { return pid_; }
  // User and system time of every thread so far, ms.
  double CpuMs() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14)
        ticks += std::stod(field);
    }
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  double RssMB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0)
        return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }

 private:
  pid_t pid_ = -1;
};

class Broker {
 public:
  Broker() : port_(FreePort()) {
    std::string conf = dir_.Write("m.conf", "listener " + std::to_string(port_) +
                                                " 127.0.0.1\nallow_anonymous true\n"
                                                "max_queued_messages 0\nmax_connections -1\n");
    child_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf});
    const auto end = Clock::now() + 10s;
    while (Clock::now() < end) {
      try {
        net::Connect(net::Resolve("127.0.0.1", port_), 1s);
        return;
      } catch (const net::SocketError&) {
        std::this_thread::sleep_for(10ms);
      }
    }
    throw std::runtime_error("mosquitto did not start");
  }
  uint16_t Port() const { return port_; }
  double CpuMs() const { return child_->CpuMs(); }

 private:
  test_support::TTempDir dir_;
  uint16_t port_;
  std::unique_ptr<Child> child_;
};

// Counts what arrives below a filter; keeps the stamp age of the last message.
class Subscriber {
 public:
  Subscriber(uint16_t port, const std::string& filter, int qos) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* s = static_cast<Subscriber*>(self);
      const Clock::rep now = Clock::now().time_since_epoch().count();
      std::lock_guard lock(s->mutex_);
      s->messages_++;
      s->bytes_ += static_cast<std::size_t>(m->payloadlen);
      if (m->payloadlen >= 16) {
        s->lastAgeUs_ =
            static_cast<double>(
                now - std::strtoll(std::string(static_cast<char*>(m->payload), 16).c_str(), nullptr,
                                   16)) /
            1000.0;
      }
      s->changed_.notify_all();
    });
    mosquitto_connect(mosq_, "127.0.0.1", port, 60);
    mosquitto_subscribe(mosq_, nullptr, filter.c_str(), qos);
    mosquitto_loop_start(mosq_);
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  // Waits until that many bytes (or messages) arrived in all.
  bool WaitBytes(std::size_t bytes, std::chrono::milliseconds limit = 60s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return bytes_ >= bytes; });
  }
  std::size_t Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::size_t Bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  double LastAgeUs() {
    std::lock_guard lock(mutex_);
    return lastAgeUs_;
  }

 private:
  mosquitto* mosq_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t messages_ = 0, bytes_ = 0;
  double lastAgeUs_ = 0;
};

std::string Stamp() {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64,
                static_cast<uint64_t>(Clock::now().time_since_epoch().count()));
  return text;
}

// A writer into a path: a pty (kyt-host's serial line) or mosquitto_pub's standard input.
using Sink = std::function<void(const std::string&)>;

struct PathFigures {
  Latency latency;
  double megabytesPerSecond = 0, messagesPerSecond = 0;
};

PathFigures Measure(Subscriber& sub, const Sink& write, std::size_t roundTrips,
                    std::size_t streamBytes, bool lines) {
  PathFigures f;
  std::vector<double> ages;
  for (std::size_t i = 0; i < roundTrips; ++i) {
    std::size_t before = sub.Bytes();
    write(Stamp() + (lines ? "\n" : ""));
    sub.WaitBytes(before + 16, 10s);
    ages.push_back(sub.LastAgeUs());
  }
  f.latency = {Percentile(ages, 0.5), Percentile(ages, 0.99)};
  std::string block(63, 'x');
  block += lines ? '\n' : 'y';
  const std::size_t payloadPerBlock = lines ? 63 : 64;
  std::size_t before = sub.Bytes(), messagesBefore = sub.Messages();
  auto start = Clock::now();
  for (std::size_t sent = 0; sent < streamBytes; sent += 64) write(block);
  sub.WaitBytes(before + streamBytes / 64 * payloadPerBlock);
  double seconds = SecondsSince(start);
  f.megabytesPerSecond = static_cast<double>(streamBytes) / seconds / 1e6;
  f.messagesPerSecond = static_cast<double>(sub.Messages() - messagesBefore) / seconds;
  return f;
}

std::string GatewayConfig(const std::string& folder, const std::vector<std::unique_ptr<Pty>>& ptys,
                          uint16_t port, int qos, const std::string& prefix) {
  std::string instances;
  for (std::size_t i = 0; i < ptys.size(); ++i) {
    int id = static_cast<int>(10 + 2 * i);
    instances +=
        (i ? ",\n" : "") +
        fmt::format(
            R"({{"id": {}, "module": "COMPort", "name": "line{}", "settings": {{"Open": true, "Port": "{}"}}}},
{{"id": {}, "module": "MQTT", "parent": {}, "settings": {{"Open": true, "Port": {}, "QoS": {}, "Prefix": "{}"}}}})",
            id, i, ptys[i]->Path(), id + 1, id, port, qos, prefix);
  }
  std::string path = folder + "/" + prefix.substr(prefix.rfind('/') + 1) + ".json";
  std::ofstream(path) << "{\"instances\": [" << instances << "]}";
  return path;
}

void SerialToSubscriber(const std::string& kytHost, std::size_t roundTrips, std::size_t streamKB) {
  std::printf("Serial line to subscriber (median of %zu blocks; %zu KiB of 64-byte writes)\n",
              roundTrips, streamKB);
  std::printf("%-4s %-22s %12s %12s %12s %12s %10s\n", "QoS", "path", "latency us", "p99 us",
              "MB/s", "messages/s", "cpu ms");
  for (int qos : {0, 1}) {
    Broker broker;
    Subscriber sub(broker.Port(), "bench/+/+/rx", qos);
    test_support::TTempDir dir;
    std::vector<std::unique_ptr<Pty>> ptys;
    ptys.push_back(std::make_unique<Pty>());
    Child host({kytHost, "run", GatewayConfig(dir.Path(), ptys, broker.Port(), qos, "bench/k")});
    // Ready once a block goes through.
    while (sub.Bytes() == 0) {
      ptys[0]->Write(std::string("ready"));
      sub.WaitBytes(1, 200ms);
    }
    double cpu = host.CpuMs();
    PathFigures k = Measure(
        sub, [&](const std::string& b) { ptys[0]->Write(b); }, roundTrips, streamKB * 1024, false);
    double kCpu = host.CpuMs() - cpu;

    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
      throw std::runtime_error("pipe");
    Child pub({"/usr/bin/mosquitto_pub", "-p", std::to_string(broker.Port()), "-q",
               std::to_string(qos), "-t", "bench/base/line/rx", "-l"},
              pipeFds[0]);
    ::close(pipeFds[0]);
    auto toPub = [&](const std::string& b) {
      if (::write(pipeFds[1], b.data(), b.size()) != static_cast<ssize_t>(b.size()))
        throw std::runtime_error("mosquitto_pub stopped reading");
    };
    std::size_t before = sub.Bytes();
    while (sub.Bytes() == before) {
      toPub("ready\n");
      sub.WaitBytes(before + 1, 200ms);
    }
    cpu = pub.CpuMs();
    PathFigures m = Measure(sub, toPub, roundTrips, streamKB * 1024, true);
    double mCpu = pub.CpuMs() - cpu;
    ::close(pipeFds[1]);
    std::printf("%-4d %-22s %12.0f %12.0f %12.2f %12.0f %10.0f\n", qos, "pty > kyt-host > sub",
                k.latency.medianUs, k.latency.p99Us, k.megabytesPerSecond, k.messagesPerSecond,
                kCpu);
    std::printf("%-4d %-22s %12.0f %12.0f %12.2f %12.0f %10.0f\n", qos, "mosquitto_pub > sub",
                m.latency.medianUs, m.latency.p99Us, m.megabytesPerSecond, m.messagesPerSecond,
                mCpu);
  }
}

void Scale(const std::string& kytHost, std::size_t processes, std::size_t lines, std::size_t rate,
           std::size_t seconds) {
  Broker broker;
  Subscriber sub(broker.Port(), "scale/+/+/rx", 0);
  test_support::TTempDir dir;
  std::vector<std::vector<std::unique_ptr<Pty>>> ptys(processes);
  std::vector<std::unique_ptr<Child>> hosts;
  for (std::size_t p = 0; p < processes; ++p) {
    for (std::size_t l = 0; l < lines; ++l) ptys[p].push_back(std::make_unique<Pty>());
    hosts.push_back(std::make_unique<Child>(std::vector<std::string>{
        kytHost, "run",
        GatewayConfig(dir.Path(), ptys[p], broker.Port(), 0, "scale/p" + std::to_string(p))}));
  }
  // Every line ready once one block of each went through.
  const std::size_t all = processes * lines;
  const auto settle = Clock::now() + 60s;
  std::size_t readyBytes = 0;
  while (sub.Messages() < all && Clock::now() < settle) {
    for (auto& group : ptys)
      for (auto& pty : group) pty->Write(std::string("r"));
    readyBytes += all;
    sub.WaitBytes(readyBytes, 1s);
  }
  // The ready bytes of lines that connected late are still on their way.
  sub.WaitBytes(readyBytes, 10s);
  std::vector<double> cpuBefore;
  for (auto& h : hosts) cpuBefore.push_back(h->CpuMs());
  const std::size_t before = sub.Messages();
  const std::size_t bytesBefore = sub.Bytes();
  std::size_t offered = 0;
  const std::string block(32, 'd');
  const auto start = Clock::now();
  const auto period = std::chrono::microseconds(1000000 / std::max<std::size_t>(rate, 1));
  auto next = start;
  while (Clock::now() < start + std::chrono::seconds(seconds)) {
    for (auto& group : ptys)
      for (auto& pty : group) pty->Write(block);
    offered += all;
    next += period;
    std::this_thread::sleep_until(next);
  }
  sub.WaitBytes(bytesBefore + offered * block.size(), 5s);
  double elapsed = SecondsSince(start);
  std::vector<double> cpu, rss;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    cpu.push_back((hosts[i]->CpuMs() - cpuBefore[i]) / elapsed / 10.0);  // % of one core
    rss.push_back(hosts[i]->RssMB());
  }
  std::printf("%5zu x %-3zu %10zu %12.0f %10.1f %12.0f %10.1f %10.1f %10.1f\n", processes, lines,
              all * rate, static_cast<double>(sub.Messages() - before) / elapsed,
              100.0 * static_cast<double>(sub.Bytes() - bytesBefore) /
                  static_cast<double>(offered * block.size()),
              broker.CpuMs() / elapsed / 10.0, Median(cpu), Percentile(cpu, 1.0), Median(rss));
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  using namespace kyt::bench;
  std::signal(SIGPIPE, SIG_IGN);
  const std::size_t roundTrips = CountArgument(argc, argv, 1, 300);
  const std::size_t streamKB = CountArgument(argc, argv, 2, 2048);
  const std::size_t rate = CountArgument(argc, argv, 3, 10, 1000);
  const std::size_t seconds = CountArgument(argc, argv, 4, 5, 600);
  const std::string kytHost = ProgramFolder(argv[0]) + "/kyt-host";
  SerialToSubscriber(kytHost, roundTrips, streamKB);
  std::printf("\nScale: N processes x M serial lines, each line %zu blocks/s for %zu s (QoS 0)\n",
              rate, seconds);
  std::printf("%11s %10s %12s %10s %12s %10s %10s %10s\n", "N x M", "offered/s", "received/s",
              "bytes in%", "broker cpu%", "cpu% med", "cpu% max", "RSS MB med");
  for (auto [n, m] :
       std::vector<std::pair<std::size_t, std::size_t>>{{1, 1}, {1, 20}, {10, 20}, {50, 20}})
    Scale(kytHost, n, m, rate, seconds);
  return 0;
}
