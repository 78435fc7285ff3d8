// The serial gateway of examples/serial-gateway.json in kyt-host, on a pty whose far side
// stops reading for a while: the client that feeds it is slowed down, not cut short, and nothing
// else waits for the line (not the port's own calls, not what the line sends meanwhile).

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/network/pty_device.h"
#include "tests/network/server_test_client.h"
#include "tests/network/tcp_test_peer.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;

TEST(SerialGatewayEndToEndTest, AStalledLineSlowsItsClientAndHoldsNoOtherPath) {
  test::PtyDevice pty;
  TTempDir dir;
  std::ifstream in(std::string(KYT_SOURCE_DIR) + "/examples/serial-gateway.json");
  std::stringstream text;
  text << in.rdbuf();
  TJson config = TJson::parse(text.str());
  const uint16_t port = test::FreePort();
  for (TJson& instance : config["instances"]) {
    if (instance["id"] == 10)
      instance["settings"]["Port"] = pty.Path();
    if (instance["id"] == 20)
      instance["settings"]["Port"] = port;
  }
  TKytHost host({"run", dir.Write("gateway.json", config.dump())});
  ASSERT_TRUE(host.WaitForEvent("status", [](const TJson& e) {
    return e["instance"] == 10 && e["status"] == 102;
  })) << host.Stderr();

  // Twice the send queue's bound and more than the line's buffers hold, while nothing reads
  // the line: without the pause on the client, the queue would refuse the rest.
  constexpr std::size_t kTotal = 8 << 20;
  std::string bytes(kTotal, '\0');
  for (std::size_t i = 0; i < kTotal; ++i)
    bytes[i] = static_cast<char>('A' + (i * 7 + i / 4093) % 26);
  test::TcpTestClient sender(port);
  test::TcpTestClient other(port);
  std::thread sending([&] { sender.Send(bytes); });
  // The line is full: the device's side holds what the line discipline keeps (4 KiB less one).
  ASSERT_TRUE(test::WaitUntil([&] { return pty.Waiting() >= 4095; }));

  // The port still answers calls, and the line's own bytes still reach the clients.
  host.SendCall("COMPort_GetDTR", TJson::array({10}));
  EXPECT_TRUE(host.WaitForEvent(
      "result", [](const TJson& e) { return e["call"] == "COMPort_GetDTR"; },
      std::chrono::seconds(10)));
  pty.Write("from the line");
  EXPECT_EQ(other.Receive(13), "from the line");
  const std::string got = pty.Read(kTotal);
  sending.join();
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == bytes);
  // Nothing refused on the way, nothing reported lost.
  for (const TJson& log : host.Events("log")) EXPECT_LT(log["code"], 10024) << log.dump();

  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(std::chrono::seconds(30)), 0) << host.Stderr();
}

}  // namespace
}  // namespace kyt::test_support
