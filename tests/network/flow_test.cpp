// Nobody waits for a slow peer, and nothing is swallowed: the Server Socket's per-client send
// queues, the Client Socket's queue, and the flow control between them (the TCP relay of
// examples/tcp-relay.json), with real loopback peers through the reference host.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "framework/codes.h"
#include "host/reference_host.h"
#include "network/client_socket.h"
#include "network/server_socket.h"
#include "tests/network/server_test_client.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt {
namespace {

using host::THostEvent;
using Kind = THostEvent::Kind;
using std::chrono::milliseconds;
using test::TcpTestClient;
using test::TcpTestPeer;
using test::WaitUntil;

constexpr TInstanceID kServer = 10;
constexpr TInstanceID kServerChild = 11;
constexpr TInstanceID kClient = 20;
constexpr TInstanceID kClientBridge = 21;

// Bytes that tell their own position, so a gap or a swap shows.
std::string Pattern(std::size_t from, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t at = from + i;
    bytes[i] = static_cast<char>((at * 131) ^ (at >> 9));
  }
  return bytes;
}

class TFlowRig {
 public:
  TFlowRig() : host_(host::THostOptions{true, "", KR_READY}) {
    host_.RegisterModule(&TKYTServerSocket::Class, &TypeInfoOf<IKYTServerSocket>(), "SSCK");
    host_.RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
    host::RegisterBuiltinModules(host_);
  }

  // A listening Server Socket, with `child` ("Console" or a Bridge to the Client Socket).
  uint16_t Server(const std::string& child = "Console") {
    host_.StoreSetting(kServer, {"Settings"}, "Open", Variant(true));
    host_.StoreSetting(kServer, {"Settings"}, "Port", Variant(0));
    host_.CreateInstance("SSCK", kServer);
    if (child == "Bridge")
      host_.StoreSetting(kServerChild, {"Settings"}, "Target", Variant(kClient));
    host_.CreateInstance(child, kServerChild, kServer);
    return dynamic_cast<TKYTServerSocket&>(*host_.Instance(kServer).Get()).ListeningPorts()[0];
  }
  // A Client Socket connected to `peer`, with a Bridge back to the Server Socket.
  void Client(TcpTestPeer& peer) {
    host_.StoreSetting(kClient, {"Settings"}, "Open", Variant(true));
    host_.StoreSetting(kClient, {"Settings"}, "Host", Variant("127.0.0.1"));
    host_.StoreSetting(kClient, {"Settings"}, "Port", Variant(static_cast<int>(peer.Port())));
    host_.CreateInstance("CSCK", kClient);
    host_.StoreSetting(kClientBridge, {"Settings"}, "Target", Variant(kServer));
    host_.CreateInstance("Bridge", kClientBridge, kClient);
    peer.Accept();
  }
  TKYTServerSocket& ServerModule() {
    return dynamic_cast<TKYTServerSocket&>(*host_.Instance(kServer).Get());
  }
  void ServerSend(const std::string& text) {
    host_.Call("SSCK_SendText", {Variant(kServer), Variant(text)});
  }
  void ClientSend(const std::string& text) {
    host_.Call("CSCK_SendText", {Variant(kClient), Variant(text)});
  }
  std::vector<std::string> Logs(TInstanceID id, int32_t code) {
    std::vector<std::string> out;
    for (const auto& e : host_.Events(Kind::Log, id)) {
      if (e.Code == code)
        out.push_back(e.Text);
    }
    return out;
  }
  std::size_t Count(TInstanceID id, const std::string& text) {
    const auto notes = Logs(id, KL_MESSAGE);
    return static_cast<std::size_t>(std::count(notes.begin(), notes.end(), text));
  }
  std::string ConsoleData() {
    std::string all;
    for (const auto& e : host_.Events(Kind::Data, kServerChild)) all += e.Text;
    return all;
  }
  std::size_t Clients() { return ServerModule().ClientCount(); }
  bool Pump(const std::function<bool()>& done) { return host_.PumpUntil(done); }
  host::TReferenceHost& Host() { return host_; }

 private:
  host::TReferenceHost host_;
};

// Reads until `size` bytes came or the connection ended, on a thread of its own.
class TDrain {
 public:
  TDrain(TcpTestClient& client, std::size_t size)
      : thread_([this, &client, size] {
          while (got_.size() < size) {
            std::string part = client.ReceiveSome();
            if (part.empty())
              break;
            got_ += part;
            bytes_ = got_.size();
          }
        }) {}
  std::string Take() {
    thread_.join();
    return got_;
  }
  std::size_t Bytes() const { return bytes_; }

 private:
  std::string got_;
  std::atomic<std::size_t> bytes_{0};
  std::thread thread_;
};

// One client that never reads, two that do: the stuck one is dropped (for taking nothing in
// time, or for letting its queue pass the bound), every call returns, the readers get every byte
// in order, and the limit counts the dropped client free at once.
void StuckClientIsDropped(TFlowRig& rig, const std::string& reason) {
  const uint16_t port = rig.Server();
  TcpTestClient stuck(port);
  stuck.LimitReceiveBuffer(64 << 10);
  TcpTestClient first(port);
  TcpTestClient second(port);
  ASSERT_TRUE(WaitUntil([&] { return rig.Clients() == 3; }));
  constexpr std::size_t kBlock = 64 << 10;
  constexpr std::size_t kTotal = 24 << 20;  // past what the kernel buffers for the stuck one
  TDrain a(first, kTotal);
  TDrain b(second, kTotal);
  for (std::size_t sent = 0; sent < kTotal; sent += kBlock) {
    rig.ServerSend(Pattern(sent, kBlock));
    // In step with the readers, so only the stuck client falls behind.
    ASSERT_TRUE(WaitUntil([&] { return a.Bytes() > sent && b.Bytes() > sent; }));
  }
  EXPECT_TRUE(a.Take() == Pattern(0, kTotal));
  EXPECT_TRUE(b.Take() == Pattern(0, kTotal));
  // Dropped before it is looked at: reading to see the close would make it a reader again.
  ASSERT_TRUE(WaitUntil([&] { return rig.Logs(kServer, KL_WARNING).size() == 2; }));
  EXPECT_TRUE(stuck.SeesClose());
  const auto warnings = rig.Logs(kServer, KL_WARNING);
  EXPECT_EQ(warnings[0].rfind("Socket Error [127.0.0.1] - Socket Error # ", 0), 0u) << warnings[0];
  EXPECT_EQ(warnings[1].rfind("Client dropped [127.0.0.1]: " + reason, 0), 0u) << warnings[1];
  EXPECT_EQ(rig.Clients(), 2u);
}

void StuckClientTimesOut(TFlowRig& rig) {
  TKYTServerSocket::Timings().WriteTimeout = milliseconds(300);
  TKYTServerSocket::Timings().SendQueueBound = 1 << 30;
  StuckClientIsDropped(rig, "it took nothing sent to it for 300 ms");
}

void StuckClientOverflows(TFlowRig& rig) {
  TKYTServerSocket::Timings().SendQueueBound = 1 << 20;
  StuckClientIsDropped(rig, "more than 1048576 bytes waited to be sent to it");
}

// The far side of a Client Socket accepts and never reads: sending returns at once however much
// is sent, and once nothing went out for the write time-out the connection counts as lost, as
// any other loss: reported once, retried on the timer.
void FarSideStopsReading(TFlowRig& rig) {
  TKYTClientSocket::Timings().WriteTimeout = milliseconds(300);
  TcpTestPeer peer;
  rig.Client(peer);
  rig.ClientSend(std::string(32 << 20, 'x'));  // more than both sockets' buffers hold
  ASSERT_TRUE(rig.Pump([&] { return rig.Count(kClient, "Socket: Disconnected") == 1; }));
  EXPECT_EQ(rig.Host().Status(kClient), IS_INACTIVE);
  EXPECT_EQ(rig.Host().TimerInterval(kClient, "Reconnect"), 10);
  rig.Host().RunFor(milliseconds(100));
  EXPECT_EQ(rig.Count(kClient, "Socket: Disconnected"), 1u);
  EXPECT_THROW(rig.ClientSend("x"), EKYTClientSocket);
}

// A relay client sends far more than the path holds while the far side reads nothing for a
// while: the client is slowed down, not cut short; every byte arrives in order, no block is
// refused on the way, and meanwhile the Server Socket still serves its other clients.
void BackpressureLosesNothing(TFlowRig& rig) {
  TKYTClientSocket::Timings().PauseAbove = 256 << 10;
  // Without the pause the relay would refuse blocks past this instead.
  TKYTClientSocket::Timings().SendQueueBound = 2 << 20;
  TcpTestPeer far;
  const uint16_t port = rig.Server("Bridge");
  rig.Client(far);
  TcpTestClient sender(port);
  TcpTestClient other(port);
  ASSERT_TRUE(WaitUntil([&] { return rig.Clients() == 2; }));
  constexpr std::size_t kTotal = 32 << 20;
  std::thread sending([&] {
    for (std::size_t sent = 0; sent < kTotal; sent += 1 << 20) sender.Send(Pattern(sent, 1 << 20));
  });
  // The far side reads nothing for a while: everything in between fills up.
  rig.Host().RunFor(milliseconds(300));
  rig.ServerSend("still served");
  EXPECT_EQ(other.Receive(12), "still served");
  const std::string got = far.Receive(kTotal);
  sending.join();
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == Pattern(0, kTotal));
  EXPECT_TRUE(rig.Logs(kServer, KL_WARNING).empty());
}

// The relay's target is down: the client's next bytes wait in the kernel until the target is
// back, instead of being refused and lost. A client that leaves meanwhile is not held for a
// target that may come back much later: it is let go while the target is still down (where the
// system can tell that a client left without reading what it sent: not on Windows).
void RelayTargetDownPausesTheClient(TFlowRig& rig) {
#ifdef _WIN32
  constexpr bool kLeaverSeen = false;
#else
  constexpr bool kLeaverSeen = true;
#endif
  TcpTestPeer far;
  const uint16_t port = rig.Server("Bridge");
  rig.Client(far);
  TcpTestClient sender(port);
  TcpTestClient leaver(port);
  sender.Send("first");
  EXPECT_EQ(far.Receive(5), "first");
  leaver.Send("L");
  EXPECT_EQ(far.Receive(1), "L");
  far.Close();
  ASSERT_TRUE(rig.Pump([&] { return rig.Count(kClient, "Socket: Disconnected") == 1; }));
  if (kLeaverSeen) {
    leaver.Send("gone");
    leaver.ShutdownSending();
    EXPECT_TRUE(leaver.SeesClose());
  }
  sender.Send("second");
  rig.Host().RunFor(milliseconds(100));
  rig.Host().FireTimer(kClient, "Reconnect");
  far.Accept();
  EXPECT_EQ(far.Receive(6), "second");
  // What the leaver sent after the loss is refused as the target refuses it, and said so.
  EXPECT_EQ(rig.Logs(kServer, KL_WARNING),
            kLeaverSeen ? std::vector<std::string>{"Socket is not connected!"}
                        : std::vector<std::string>{});
}

// A client that ends its sending side (nc -N) still gets the answer to what it sent.
void HalfClosedClientGetsTheAnswer(TFlowRig& rig) {
  const uint16_t port = rig.Server();
  TcpTestClient client(port);
  client.Send("AT\r");
  client.ShutdownSending();
  ASSERT_TRUE(WaitUntil([&] { return rig.ConsoleData() == "AT\r"; }));
  rig.ServerSend("OK\r\n");
  EXPECT_EQ(client.Receive(4), "OK\r\n");
  EXPECT_TRUE(client.SeesClose());
}

struct TFlowCase {
  const char* name;
  void (*run)(TFlowRig&);
};

const TFlowCase kCases[] = {
    {"StuckClientTimesOut", StuckClientTimesOut},
    {"StuckClientOverflows", StuckClientOverflows},
    {"FarSideStopsReading", FarSideStopsReading},
    {"BackpressureLosesNothing", BackpressureLosesNothing},
    {"RelayTargetDownPausesTheClient", RelayTargetDownPausesTheClient},
    {"HalfClosedClientGetsTheAnswer", HalfClosedClientGetsTheAnswer},
};

class FlowTest : public ::testing::TestWithParam<TFlowCase> {
 protected:
  void SetUp() override {
    TKYTServerSocket::Timings() = {};
    TKYTClientSocket::Timings() = {};
  }
  void TearDown() override {
    TKYTServerSocket::Timings() = {};
    TKYTClientSocket::Timings() = {};
  }
};

TEST_P(FlowTest, Case) {
  TFlowRig rig;
  GetParam().run(rig);
}

INSTANTIATE_TEST_SUITE_P(Flow, FlowTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kyt
