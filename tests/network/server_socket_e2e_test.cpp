// The Server Socket in the built plug-in, run by kyt-host from the example configs: the
// self-contained demo, the TCP relay and the serial gateway (on a pty).

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>

#include "tests/network/pty_device.h"
#include "tests/network/server_test_client.h"
#include "tests/network/tcp_test_peer.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
using test::TcpTestClient;
constexpr auto kLimit = std::chrono::seconds(30);

TJson Example(const std::string& name) {
  std::ifstream in(std::string(KYT_SOURCE_DIR) + "/examples/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return TJson::parse(text.str());
}

// Sets a setting of the configured instance `id`.
void Set(TJson& config, int id, const std::string& name, const TJson& value) {
  for (TJson& instance : config["instances"]) {
    if (instance["id"] == id)
      instance["settings"][name] = value;
  }
}

std::function<bool(const TJson&)> StatusIs(int instance, int status) {
  return [=](const TJson& e) { return e["instance"] == instance && e["status"] == status; };
}

std::function<bool(const TJson&)> DataIs(int instance, const std::string& text) {
  return [=](const TJson& e) { return e["instance"] == instance && e["text"] == text; };
}

std::function<bool(const TJson&)> ClientConnected() {
  return [](const TJson& e) { return e["text"] == "Client Connected [127.0.0.1]"; };
}

// Calls are served once every instance is created and connected to its parent; a status event
// comes earlier, before the instance has its parent.
bool AllConnected(TKytHost& process, int serverID) {
  process.SendCall("SSCK_GetOpen", TJson::array({serverID}));
  return process.WaitForEvent("result", [](const TJson& e) { return e["call"] == "SSCK_GetOpen"; });
}

void Stop(TKytHost& process) {
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(kLimit), 0) << process.Stderr();
}

// Debug entries (one per block moved) are printed only with --debug; the data events always.
TEST(ServerSocketEndToEndTest, DemoCarriesDataBetweenItsTwoSockets) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug ? "--debug" : "quiet");
    TJson config = Example("demo.json");
    const uint16_t port = test::FreePort();
    Set(config, 10, "Port", port);
    Set(config, 20, "Port", port);
    TTempDir dir;
    std::vector<std::string> args{"run", dir.Write("demo.json", config.dump())};
    if (debug)
      args.push_back("--debug");
    TKytHost process(args);
    ASSERT_TRUE(process.WaitForEvent("status", StatusIs(20, 102))) << process.Stderr();
    ASSERT_TRUE(process.WaitForEvent("log", ClientConnected()));

    process.SendCall("CSCK_SendText", TJson::array({20, "from the client"}));
    EXPECT_TRUE(process.WaitForEvent("data", DataIs(11, "from the client")));
    process.SendCall("SSCK_SendText", TJson::array({10, "from the server"}));
    EXPECT_TRUE(process.WaitForEvent("data", DataIs(21, "from the server")));
    Stop(process);

    std::vector<std::string> seen;
    for (const TJson& e : process.Events("debug")) {
      if (e["text"] == "from the client" || e["text"] == "from the server")
        seen.push_back(std::to_string(e["sender"].get<int>()) + " " +
                       e["title"].get<std::string>());
    }
    std::sort(seen.begin(), seen.end());
    const std::vector<std::string> expected =
        debug ? std::vector<std::string>{"10 RECEIVED", "10 TRANSMITTED", "20 RECEIVED",
                                         "20 TRANSMITTED"}
              : std::vector<std::string>{};
    EXPECT_EQ(seen, expected);
  }
}

TEST(ServerSocketEndToEndTest, TcpRelayCarriesBothWaysForEveryClient) {
  test::TcpTestPeer farSide;
  TJson config = Example("tcp-relay.json");
  const uint16_t port = test::FreePort();
  Set(config, 10, "Port", port);
  Set(config, 20, "Port", farSide.Port());
  TTempDir dir;
  TKytHost process({"run", dir.Write("relay.json", config.dump())});
  farSide.Accept();
  ASSERT_TRUE(AllConnected(process, 10)) << process.Stderr();

  TcpTestClient first(port);
  TcpTestClient second(port);
  // Small enough that kyt-host's event lines for it fit the output pipe, which this test does
  // not read while it waits on the sockets.
  const std::string bytes = test::EveryByteValue(4);
  first.Send(bytes);
  EXPECT_TRUE(farSide.Receive(bytes.size()) == bytes);
  second.Send("second");
  EXPECT_EQ(farSide.Receive(6), "second");

  farSide.Send(bytes);
  EXPECT_TRUE(first.Receive(bytes.size()) == bytes);
  EXPECT_TRUE(second.Receive(bytes.size()) == bytes);
  Stop(process);
  EXPECT_TRUE(first.SeesClose());
}

bool PluginHasSerialPort() {
  TKytHost process({"--library", kPluginPath, "modules"});
  process.Wait(kLimit);
  for (const TJson& module : process.Events("module")) {
    if (module["name"] == "COMPort")
      return true;
  }
  return false;
}

TEST(ServerSocketEndToEndTest, SerialGatewayCarriesBothWays) {
  if (!PluginHasSerialPort())
    GTEST_SKIP() << "this build has no Serial Port module";
  test::PtyDevice device;
  TJson config = Example("serial-gateway.json");
  const uint16_t port = test::FreePort();
  Set(config, 10, "Port", device.Path());
  Set(config, 20, "Port", port);
  TTempDir dir;
  TKytHost process({"run", dir.Write("gateway.json", config.dump())});
  ASSERT_TRUE(AllConnected(process, 20)) << process.Stderr();
  ASSERT_TRUE(process.WaitForEvent("status", StatusIs(10, 102)));

  TcpTestClient client(port);
  ASSERT_TRUE(process.WaitForEvent("log", ClientConnected()));
  const std::string bytes = test::EveryByteValue(4);
  client.Send(bytes);
  EXPECT_TRUE(device.Read(bytes.size()) == bytes);
  device.Write(bytes);
  EXPECT_TRUE(client.Receive(bytes.size()) == bytes);
  Stop(process);
}

}  // namespace
}  // namespace kyt::test_support
