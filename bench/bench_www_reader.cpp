// The HTTP fetch of the WWW Reader against libcurl's easy interface, in one run, on the same
// local server (nginx when installed, else an in-process cpp-httplib server):
//   - 100-byte pages fetched one after another, each on a new connection (requests per second);
//   - one 100 MB page (throughput and the peak memory the fetch added).
//
//   bench_www_reader [requests=2000] [megabytes=100]
//
// Small pages run five rounds, the big page three, alternating fetch and libcurl; the figures
// are medians, the peak memory the highest of the rounds.

#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef KYT_HAVE_CURL
#include <curl/curl.h>
#endif

#include "bench/bench_support.h"
#include "network/http_fetch.h"
#include "platform/sockets.h"

extern char** environ;

namespace kyt::bench {
namespace {

constexpr int kRounds = 5;
constexpr int kBigRounds = 3;

bool Accepts(uint16_t port) {
  try {
    return static_cast<bool>(
        net::Connect(net::Resolve("127.0.0.1", port), std::chrono::milliseconds(200)));
  } catch (const net::SocketError&) {
    return false;
  }
}

// The pages on disk and a server for them.
class TPageServer {
 public:
  TPageServer(std::size_t bigBytes) {
    dir_ = std::filesystem::temp_directory_path() / ("kyt-bench-www-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_ / "www");
    std::ofstream(dir_ / "www" / "small") << std::string(100, 's');
    std::ofstream big(dir_ / "www" / "big", std::ios::binary);
    const std::string block(1 << 20, 'b');
    for (std::size_t written = 0; written < bigBytes; written += block.size()) {
      big.write(block.data(),
                static_cast<std::streamsize>(std::min(block.size(), bigBytes - written)));
    }
    big.close();
    port_ = FreePort();
    if (!StartNginx())
      StartHttplib();
    for (int i = 0; i < 100 && !Accepts(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~TPageServer() {
    if (nginx_ > 0) {
      ::kill(nginx_, SIGTERM);
      ::waitpid(nginx_, nullptr, 0);
    }
    if (httplib_) {
      httplib_->stop();
      thread_.join();
    }
    std::filesystem::remove_all(dir_);
  }
  std::string URL(const std::string& page) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + page;
  }
  const char* Kind() const { return nginx_ > 0 ? "nginx" : "cpp-httplib"; }

 private:
  bool StartNginx() {
    const char* binary = "/usr/sbin/nginx";
    if (!std::filesystem::exists(binary))
      return false;
    const std::string d = dir_.string();
    std::ofstream(dir_ / "nginx.conf")
        << "daemon off; master_process off; worker_processes 1;\n"
        << "error_log " << d << "/error.log; pid " << d << "/nginx.pid;\n"
        << "events { worker_connections 1024; }\n"
        << "http { access_log off; sendfile on;\n"
        << "  client_body_temp_path " << d << "/t1; proxy_temp_path " << d << "/t2;\n"
        << "  fastcgi_temp_path " << d << "/t3; uwsgi_temp_path " << d << "/t4;\n"
        << "  scgi_temp_path " << d << "/t5;\n"
        << "  server { listen 127.0.0.1:" << port_ << "; root " << d << "/www; } }\n";
    const std::string conf = (dir_ / "nginx.conf").string();
    std::vector<std::string> args = {binary, "-p", d, "-c", conf};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return ::posix_spawn(&nginx_, binary, nullptr, nullptr, argv.data(), environ) == 0;
  }
  void StartHttplib() {
    httplib_ = std::make_unique<httplib::Server>();
    httplib_->set_mount_point("/", (dir_ / "www").string());
    httplib_->bind_to_port("127.0.0.1", port_);
    thread_ = std::thread([this] { httplib_->listen_after_bind(); });
  }

  std::filesystem::path dir_;
  uint16_t port_ = 0;
  pid_t nginx_ = -1;
  std::unique_ptr<httplib::Server> httplib_;
  std::thread thread_;
};

// The peak resident size since the last reset, in bytes (Linux keeps it in /proc).
void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}
std::size_t PeakMemory() {
  return static_cast<std::size_t>(ProcessStatus("VmHWM:")) * 1024;
}
std::size_t CurrentMemory() {
  return static_cast<std::size_t>(ProcessStatus("VmRSS:")) * 1024;
}

struct TResult {
  double Seconds = 0;
  std::size_t Bytes = 0;
  std::size_t PeakAdded = 0;
};

using TFetcher = std::function<std::string(const std::string&)>;

TResult Measure(const TFetcher& fetch, const std::string& url, int count) {
  const std::size_t before = CurrentMemory();
  ResetPeakMemory();
  TResult result;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) result.Bytes += fetch(url).size();
  result.Seconds = SecondsSince(start);
  const std::size_t peak = PeakMemory();
  result.PeakAdded = peak > before ? peak - before : 0;
  return result;
}

std::string FetchOurs(const std::string& url) {
  return HTTPGet(url, {});
}

#ifdef KYT_HAVE_CURL
std::size_t AppendToString(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

std::string FetchCurl(const std::string& url) {
  static CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (curl_easy_perform(curl) != CURLE_OK)
    std::abort();
  return body;
}
#endif

int Main(int argc, char** argv) {
  const int requests = static_cast<int>(CountArgument(argc, argv, 1, 2000, INT_MAX));
  const std::size_t megabytes = CountArgument(argc, argv, 2, 100);
  TPageServer server(megabytes << 20);
  std::vector<std::pair<const char*, TFetcher>> fetchers = {{"fetch", FetchOurs}};
#ifdef KYT_HAVE_CURL
  fetchers.push_back({"libcurl", FetchCurl});
#endif
  std::vector<std::vector<double>> rates(fetchers.size());
  std::vector<TResult> big(fetchers.size());
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t f = 0; f < fetchers.size(); ++f) {
      const TResult r = Measure(fetchers[f].second, server.URL("small"), requests);
      rates[f].push_back(requests / r.Seconds);
    }
  }
  std::vector<std::vector<double>> throughputs(fetchers.size());
  for (int round = 0; round < kBigRounds; ++round) {
    for (std::size_t f = 0; f < fetchers.size(); ++f) {
      const TResult r = Measure(fetchers[f].second, server.URL("big"), 1);
      throughputs[f].push_back(r.Bytes / 1048576.0 / r.Seconds);
      big[f].PeakAdded = std::max(big[f].PeakAdded, r.PeakAdded);
    }
  }
  std::printf(
      "WWW Reader fetch against %s, server %s, %d x 100-byte pages (median of %d), "
      "one %zu MB page (median of %d)\n",
      fetchers.size() > 1 ? "libcurl" : "nothing (built without libcurl)", server.Kind(), requests,
      kRounds, megabytes, kBigRounds);
  std::printf("%-28s", "");
  for (const auto& f : fetchers) std::printf(" %12s", f.first);
  std::printf(" %10s\n", "ratio");
  auto row = [&](const char* name, auto value, bool higherIsBetter) {
    std::printf("%-28s", name);
    for (std::size_t f = 0; f < fetchers.size(); ++f) std::printf(" %12.1f", value(f));
    if (fetchers.size() > 1) {
      std::printf(" %10.2f", higherIsBetter ? value(0) / value(1) : value(1) / value(0));
    }
    std::printf("\n");
  };
  row(
      "small pages (requests/s)", [&](std::size_t f) { return Median(rates[f]); }, true);
  row(
      "100 MB page (MB/s)", [&](std::size_t f) { return Median(throughputs[f]); }, true);
  row(
      "100 MB page peak added (MB)", [&](std::size_t f) { return big[f].PeakAdded / 1048576.0; },
      false);
  std::printf("peak added / page size: fetch %.2f\n",
              big[0].PeakAdded / static_cast<double>(megabytes << 20));
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
