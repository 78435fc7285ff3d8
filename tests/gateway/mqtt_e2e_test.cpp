// The MQTT module in the real kyt-host with the built plug-in, against a real mosquitto: a
// serial line (a pty) and a TCP peer reach subscribers and publishers through the broker.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/gateway/mqtt_test_support.h"
#include "tests/network/tcp_test_peer.h"
#include "tests/serial/pty_pair.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
using test::TMosquittoBroker;
using test::TMqttTestClient;
constexpr auto kLimit = std::chrono::seconds(30);

std::string SerialGateway(const test::PtyPair& pty, const TMosquittoBroker& broker,
                          const std::string& extra = "") {
  return R"({"instances": [
      {"id": 10, "module": "COMPort", "name": "line1", "settings": {"Open": true, "Port": ")" +
         pty.SlavePath() + R"("}},
      {"id": 11, "module": "MQTT", "parent": 10, "settings": {"Open": true, "Port": )" +
         std::to_string(broker.Port()) + R"(, "ClientID": "gw-line1")" + extra + "}}]}";
}

bool WaitForStatus(TKytHost& process, int instance, int status) {
  return process.WaitForEvent(
      "status", [&](const TJson& e) { return e["instance"] == instance && e["status"] == status; });
}

TEST(MqttEndToEndTest, ASerialLineMeetsSubscribersAndPublishersAcrossABrokerRestart) {
  TMosquittoBroker broker;
  TMqttTestClient client(broker.Port(), {.ID = "automation", .Persistent = true});
  client.Subscribe("kyt/line1/#");
  test::PtyPair pty;
  TTempDir dir;
  TKytHost process({"run", dir.Write("gateway.json", SerialGateway(pty, broker))});
  ASSERT_TRUE(WaitForStatus(process, 11, 102)) << process.Stderr();
  EXPECT_TRUE(client.WaitForLast("kyt/line1/state", [](const std::string& state) {
    return state.find(R"("online":true,"instance":10,"name":"line1","status":102)") !=
           std::string::npos;
  }));

  const std::string first("\x00\xff before", 9);
  pty.Write(first);
  EXPECT_EQ(client.WaitForBytes("kyt/line1/rx", first.size()), first);
  client.Publish("kyt/line1/tx", std::string("\x01X", 2));
  EXPECT_EQ(pty.Read(2), std::string("\x01X", 2));

  broker.Stop();
  ASSERT_TRUE(WaitForStatus(process, 11, 200));
  ASSERT_TRUE(client.WaitForConnection(false));
  pty.Write(" while down");
  broker.Start();
  ASSERT_TRUE(client.WaitForConnection());
  // Published at once, while kyt-host may still be waiting to reconnect: its session keeps it.
  client.Publish("kyt/line1/tx", "Y after");
  pty.Write(" after");
  // QoS 1 is at least once: a message the broker had not seen acknowledged may come again.
  EXPECT_TRUE(client.WaitUntil([](const std::vector<test::TReceived>& all) {
    return test::JoinedIn(all, "kyt/line1/rx").ends_with(" after");
  }));
  const std::string got = client.Joined("kyt/line1/rx");
  EXPECT_TRUE(got == first + " while down after" || got == first + first + " while down after")
      << got;
  // The same holds towards the line: "\x01X" comes again if the broker went down before it
  // saw kyt-host's acknowledgement, but only ever before what was published after it.
  std::string line = pty.Read(7);
  if (line.starts_with(std::string("\x01X", 2)))
    line = line.substr(2) + pty.Read(2);
  EXPECT_EQ(line, "Y after");

  // Gone without a word: the broker publishes the last will.
  process.Signal(SIGKILL);
  EXPECT_TRUE(client.WaitForLast("kyt/line1/state", [](const std::string& state) {
    return state == R"({"online":false,"instance":10})";
  }));
}

TEST(MqttEndToEndTest, TwoGatewaysTunnelASerialLineToATcpPeerThroughOneBroker) {
  TMosquittoBroker broker;
  test::PtyPair pty;
  test::TcpTestPeer peer;
  TTempDir dir;
  TKytHost serial({"run", dir.Write("serial.json",
                                    SerialGateway(pty, broker, R"(, "TxTopic": "kyt/sock1/rx")"))});
  TKytHost socket({"run", dir.Write("socket.json", R"({"instances": [
      {"id": 20, "module": "CSCK", "name": "sock1", "settings": {"Open": true, "Host": "127.0.0.1", "Port": )" +
                                                       std::to_string(peer.Port()) + R"(}},
      {"id": 21, "module": "MQTT", "parent": 20, "settings": {"Open": true, "Port": )" +
                                                       std::to_string(broker.Port()) +
                                                       R"(, "TxTopic": "kyt/line1/rx"}}]})")});
  peer.Accept();
  ASSERT_TRUE(WaitForStatus(serial, 11, 102)) << serial.Stderr();
  ASSERT_TRUE(WaitForStatus(socket, 21, 102)) << socket.Stderr();

  pty.Write(std::string("from the line\x00", 14));
  EXPECT_EQ(peer.Receive(14), std::string("from the line\x00", 14));
  peer.Send("from the peer\xff");
  EXPECT_EQ(pty.Read(14), "from the peer\xff");

  serial.Signal(SIGTERM);
  socket.Signal(SIGTERM);
  EXPECT_EQ(serial.Wait(kLimit), 0) << serial.Stderr();
  EXPECT_EQ(socket.Wait(kLimit), 0) << socket.Stderr();
}

}  // namespace
}  // namespace kyt::test_support
