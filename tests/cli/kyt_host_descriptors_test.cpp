// A Server Socket that takes every descriptor kyt-host may open: the real command under a low
// descriptor limit, with clients enough to exhaust it.

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <csignal>
#include <string_view>

#include "platform/sockets.h"

#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;

constexpr auto kLimit = std::chrono::seconds(20);

uint16_t UnusedPort() {
  return net::LocalPort(net::Listen(0, "127.0.0.1"));
}

// The listener's reports in order: 'E' for a failure, 'R' for accepting again.
std::string ListenerReports(const TSubprocess& process) {
  std::string reports;
  for (const auto& line : process.Lines()) {
    TJson event = ParseLine(line);
    if (event.value("event", "") != "log")
      continue;
    const std::string text = event.value("text", "");
    if (text.starts_with("Listen Error - "))
      reports += 'E';
    else if (text.starts_with("Listen: accepting connections again"))
      reports += 'R';
  }
  return reports;
}

TEST(KytHostDescriptorsTest, OutOfDescriptorsTheListenerPausesOnceAndLeavesSomeForOthers) {
#ifdef __SANITIZE_ADDRESS__
  // UBSan's type check reads memory through a pipe of its own; with every descriptor taken it
  // cannot, and reports a valid object as one with an invalid vptr.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
  const net::Socket peer = net::Listen(0, "127.0.0.1");
  const uint16_t server = UnusedPort();
  TTempDir dir;
  const std::string config = dir.Write("config.json", fmt::format(R"({{"instances": [
      {{"id": 10, "module": "SSCK", "settings": {{"Open": true, "Port": {}}}}},
      {{"id": 11, "module": "CSCK", "settings": {{"Host": "127.0.0.1", "Port": {}}}}},
      {{"id": 12, "module": "Console", "parent": 11}}]}})",
                                                                  server, net::LocalPort(peer)));
  // Some 30 descriptors go to the process itself, so a few dozen clients exhaust 64.
  TSubprocess process(
      {"/bin/sh", "-c", "ulimit -n 64; exec \"$0\" \"$@\"", kKytHostPath, "--json", "run", config});
  auto logged = [&](const std::string& start) {
    return process.WaitForLine(
        [&](const std::string& line) {
          return ParseLine(line).value("text", "").starts_with(start);
        },
        kLimit);
  };
  ASSERT_TRUE(process.WaitForLine(
      [](const std::string& line) { return line.find(R"("status":102)") != std::string::npos; },
      kLimit))
      << process.Stderr();

  std::vector<net::Socket> clients;
  const auto address = net::Resolve("127.0.0.1", server);
  for (int i = 0; i < 100; ++i) {
    try {
      clients.push_back(net::Connect(address, std::chrono::seconds(3)));
    } catch (const net::SocketError&) {
      break;  // not accepted and the listen queue is full
    }
  }
  ASSERT_TRUE(logged("Listen Error - ")) << process.Stderr() << clients.size() << "\n"
                                         << fmt::format("{}", fmt::join(process.Lines(), "\n"));

  // The Client Socket connects with descriptors the listener gave up.
  process.WriteStdin(R"({"call": "CSCK_SetOpen", "args": [11, true]})"
                     "\n"
                     R"({"call": "KYT_ApplyChanges", "args": [11]})"
                     "\n");
  const net::Socket connection = net::Accept(peer, kLimit);
  ASSERT_TRUE(connection) << process.Stderr();
  net::SendAll(connection, std::string_view("still here"));
  ASSERT_TRUE(process.WaitForLine(
      [](const std::string& line) { return line.find("still here") != std::string::npos; },
      kLimit));

  clients.clear();
  const net::Socket late = net::Connect(address, kLimit);
  ASSERT_TRUE(logged("Listen: accepting connections again")) << process.Stderr();
  // One line for the whole shortage and one for its end. The clients just let go may still
  // hold the server's descriptors when the listener takes the next queued connection, which
  // can begin a shortage of its own: reported again, but only after the end of the first.
  const std::string reports = ListenerReports(process);
  EXPECT_TRUE(reports.starts_with("ER")) << reports;
  EXPECT_EQ(reports.find("EE"), std::string::npos) << reports;
  EXPECT_EQ(reports.find("RR"), std::string::npos) << reports;
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

}  // namespace
}  // namespace kyt::test_support
