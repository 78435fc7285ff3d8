// The Client Socket in the built plug-in, run by kyt-host against a local peer.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/network/tcp_test_peer.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
constexpr auto kLimit = std::chrono::seconds(30);

TEST(ClientSocketEndToEndTest, BytesTravelBetweenPeerAndConsoleBothWays) {
  test::TcpTestPeer peer;
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [
      {"id": 10, "module": "CSCK", "settings": {"Open": true, "Host": "127.0.0.1", "Port": )" +
                                                    std::to_string(peer.Port()) + R"(}},
      {"id": 11, "module": "Console", "parent": 10}]})");
  TKytHost process({"run", config});
  peer.Accept();
  ASSERT_TRUE(process.WaitForEvent("status", [](const TJson& e) {
    return e["instance"] == 10 && e["status"] == 102;
  })) << process.Stderr();

  // Not valid UTF-8 on purpose: the exact bytes travel in "hex".
  peer.Send(std::string("\x00\xff hi", 5));
  EXPECT_TRUE(process.WaitForEvent("data", [](const TJson& e) {
    return e["instance"] == 11 && e["hex"] == "00ff206869";
  })) << process.Stderr();

  process.SendCall("CSCK_SendText", TJson::array({10, {{"hex", "00ff01"}}}));
  EXPECT_EQ(peer.Receive(3), std::string("\x00\xff\x01", 3));
  EXPECT_TRUE(process.WaitForEvent("result", [](const TJson& e) {
    return e["call"] == "CSCK_SendText" && e["value"].is_null();
  }));

  process.Signal(SIGTERM);
  ASSERT_EQ(process.Wait(kLimit), 0) << process.Stderr();
  EXPECT_EQ(peer.Receive(1), "");  // the host closed the connection on its way out
}

TEST(ClientSocketEndToEndTest, SendingWithoutAConnectionAnswersWithTheError) {
  TTempDir dir;
  std::string config = dir.Write("config.json", R"({"instances": [{"id": 10, "module": "CSCK"}]})");
  TKytHost process({"run", config});
  process.SendCall("CSCK_SendText", TJson::array({10, "hello"}));
  EXPECT_TRUE(process.WaitForEvent("error", [](const TJson& e) {
    return e["call"] == "CSCK_SendText" && e["message"] == "Socket is not connected!";
  })) << process.Stderr();
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(kLimit), 0);
}

}  // namespace
}  // namespace kyt::test_support
