// The Client Socket module against real loopback peers, through the reference host.

#include "network/client_socket.h"

#include <gtest/gtest.h>

#include "framework/codes.h"
#include "host/reference_host.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt {
namespace {

using host::THostEvent;
using Kind = THostEvent::Kind;
using test::TcpSilentPeer;
using test::TcpTestPeer;

constexpr TInstanceID kSocket = 10;

class ClientSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TKYTClientSocket::Timings() = {};
    MakeHost(KR_READY);
  }
  void TearDown() override { host_.reset(); }
  void MakeHost(int32_t runlevel) {
    host_ = std::make_unique<host::TReferenceHost>(host::THostOptions{true, "", runlevel});
    host_->RegisterModule(&TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>(), "CSCK");
    host::RegisterBuiltinModules(*host_);
  }
  void Store(bool open, uint16_t port, const std::string& address = "127.0.0.1") {
    host_->StoreSetting(kSocket, {"Settings"}, "Open", Variant(open));
    host_->StoreSetting(kSocket, {"Settings"}, "Host", Variant(address));
    host_->StoreSetting(kSocket, {"Settings"}, "Port", Variant(static_cast<int>(port)));
  }
  // A connected instance: settings pointing at the peer, created, accepted by the peer.
  void ConnectTo(TcpTestPeer& peer) {
    Store(true, peer.Port());
    host_->CreateInstance("CSCK", kSocket);
    peer.Accept();
  }
  // The peer sends, then ends the connection (closing or resetting it): the bytes come first.
  void ExpectBytesThenDisconnect(bool reset) {
    TcpTestPeer peer;
    ConnectTo(peer);
    TInstanceID console = Console(11);
    peer.Send("last words");
    reset ? peer.Reset() : peer.Close();
    ASSERT_TRUE(Pump([&] { return Logged("Socket: Disconnected"); }));
    EXPECT_EQ(DataOf(console), "last words");
    EXPECT_EQ(host_->Status(kSocket), IS_INACTIVE);
    EXPECT_EQ(Timer(), 10);
    EXPECT_THROW(Socket().SendText("x"), EKYTClientSocket);
  }
  TInstanceID Console(TInstanceID id) { return host_->CreateInstance("Console", id, kSocket); }
  std::string DataOf(TInstanceID console) {
    std::string all;
    for (const auto& e : host_->Events(Kind::Data, console)) all += e.Text;
    return all;
  }
  std::vector<std::string> Logs(int32_t code) {
    std::vector<std::string> out;
    for (const auto& e : host_->Events(Kind::Log, kSocket)) {
      if (e.Code == code)
        out.push_back(e.Text);
    }
    return out;
  }
  bool Logged(const std::string& text) {
    auto logs = Logs(KL_MESSAGE);
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  std::optional<int32_t> Timer() { return host_->TimerInterval(kSocket, "Reconnect"); }
  IKYTClientSocket& Socket() { return *Supports<IKYTClientSocket>(host_->Instance(kSocket)); }
  bool Pump(const std::function<bool()>& done) { return host_->PumpUntil(done); }

  std::unique_ptr<host::TReferenceHost> host_;
};

TEST_F(ClientSocketTest, DefaultsConnectNothing) {
  host_->CreateInstance("CSCK", kSocket);
  EXPECT_EQ(host_->Status(kSocket), IS_INACTIVE);
  EXPECT_EQ(host_->Summary(kSocket), ":0");
  EXPECT_EQ(Timer(), 1);
  EXPECT_FALSE(Socket().GetOpen());
  EXPECT_TRUE(Logs(KL_ERROR).empty());

  Socket().SetHost("");
  Socket().SetPort(0);
  Socket().SetOpen(false);
  EXPECT_FALSE(host_->Instance(kSocket)->HasChanges());
  Socket().SetHost("Localhost");
  EXPECT_TRUE(host_->Instance(kSocket)->HasChanges());
}

TEST_F(ClientSocketTest, CarriesEveryByteBothWays) {
  TcpTestPeer peer;
  ConnectTo(peer);
  TInstanceID console = Console(11);
  EXPECT_EQ(host_->Status(kSocket), IS_ACTIVE);
  EXPECT_EQ(host_->Summary(kSocket), "127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_TRUE(Logged("Socket: Connected"));
  EXPECT_EQ(Timer(), 0);

  const std::string bytes = test::EveryByteValue(4) + std::string(5, '\0');
  peer.Send(bytes);
  ASSERT_TRUE(Pump([&] { return DataOf(console).size() >= bytes.size(); }));
  EXPECT_EQ(DataOf(console), bytes);

  host_->Call("CSCK_SendText", {Variant(kSocket), Variant(bytes)});
  EXPECT_EQ(peer.Receive(bytes.size()), bytes);
  auto debug = host_->Events(Kind::Debug, kSocket);
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(debug.back().Name, "TRANSMITTED");
  EXPECT_EQ(debug.back().Text, bytes);
}

TEST_F(ClientSocketTest, ChildrenComeFirstAndAFailingOneCostsTheOthersNothing) {
  TcpTestPeer peer;
  ConnectTo(peer);
  TInstanceID first = Console(11);
  host_->CreateInstance("Bridge", 12, kSocket);  // no target: it refuses every block
  TInstanceID third = Console(13);

  peer.Send("ping");
  ASSERT_TRUE(Pump([&] { return DataOf(third) == "ping"; }));
  EXPECT_EQ(DataOf(first), "ping");
  ASSERT_EQ(Logs(KL_WARNING).size(), 1u);

  // "RECEIVED" follows the hand-off.
  auto events = host_->Events();
  auto isData = [](const THostEvent& e) { return e.EventKind == Kind::Data; };
  auto lastData = std::find_if(events.rbegin(), events.rend(), isData);
  auto received = std::find_if(events.begin(), events.end(), [](const THostEvent& e) {
    return e.EventKind == Kind::Debug && e.Name == "RECEIVED";
  });
  ASSERT_NE(received, events.end());
  EXPECT_EQ(received->Text, "ping");
  EXPECT_GT(received - events.begin(), (events.rend() - lastData) - 1);
}

TEST_F(ClientSocketTest, PeerClosingDeliversItsBytesThenDisconnects) {
  ExpectBytesThenDisconnect(false);
}

TEST_F(ClientSocketTest, PeerResettingDeliversItsBytesThenDisconnects) {
  ExpectBytesThenDisconnect(true);
}

TEST_F(ClientSocketTest, LostPeerIsRetriedOnTheTimer) {
  auto peer = std::make_unique<TcpTestPeer>();
  const uint16_t port = peer->Port();
  Store(true, port);
  host_->CreateInstance("CSCK", kSocket);
  peer->Accept();
  peer.reset();  // the peer goes away
  ASSERT_TRUE(Pump([&] { return Logged("Socket: Disconnected"); }));

  host_->FireTimer(kSocket, "Reconnect");
  EXPECT_TRUE(Logged("Socket: Connecting... #1"));
  EXPECT_EQ(host_->Status(kSocket), IS_ERROR);  // nobody listens yet
  EXPECT_EQ(Timer(), 5);
}

TEST_F(ClientSocketTest, UnreachablePeerBacksOffOneSecondPerAttempt) {
  uint16_t port = 0;
  {
    TcpTestPeer gone;
    port = gone.Port();
  }
  Store(true, port);
  host_->CreateInstance("CSCK", kSocket);
  // Creation already failed once; the settings still say Open, so the timer keeps trying.
  EXPECT_EQ(host_->Status(kSocket), IS_ERROR);
  ASSERT_EQ(Logs(KL_ERROR).size(), 1u);
  EXPECT_NE(Logs(KL_ERROR)[0].find("Connection refused"), std::string::npos);
  EXPECT_EQ(Timer(), 1);

  std::vector<int32_t> intervals;
  for (int i = 0; i < 3; ++i) {
    host_->FireTimer(kSocket, "Reconnect");
    intervals.push_back(*Timer());
  }
  EXPECT_EQ(intervals, (std::vector<int32_t>{5, 6, 7}));
  EXPECT_TRUE(Logged("Socket: Connecting... #3"));
  EXPECT_EQ(Logs(KL_ERROR).size(), 4u);
  EXPECT_EQ(host_->Summary(kSocket), "");  // no apply got far enough to set one
}

TEST_F(ClientSocketTest, SilentPeerTimesOut) {
  TKYTClientSocket::Timings().ConnectTimeout = std::chrono::milliseconds(300);
  TcpSilentPeer silent;
  Store(true, silent.Port());
  host_->CreateInstance("CSCK", kSocket);
  EXPECT_EQ(Logs(KL_ERROR), std::vector<std::string>{"Connect timed out."});
  EXPECT_EQ(host_->Status(kSocket), IS_ERROR);
}

TEST_F(ClientSocketTest, AnApplyWhoseConnectTimesOutStartsTheReconnectSchedule) {
  TKYTClientSocket::Timings().ConnectTimeout = std::chrono::milliseconds(300);
  host_->CreateInstance("CSCK", kSocket);
  host_->FireTimer(kSocket, "Reconnect");  // closed: the timer stops
  ASSERT_EQ(Timer(), 0);
  TcpSilentPeer silent;
  Socket().SetHost("127.0.0.1");
  Socket().SetPort(silent.Port());
  Socket().SetOpen(true);
  EXPECT_THROW(host_->Instance(kSocket)->ApplyChanges(), Exception);
  EXPECT_EQ(host_->Status(kSocket), IS_ERROR);
  EXPECT_EQ(Timer(), 10);
  host_->FireTimer(kSocket, "Reconnect");
  EXPECT_TRUE(Logged("Socket: Connecting... #1"));
  EXPECT_EQ(Timer(), 5);
}

TEST_F(ClientSocketTest, ChangingThePortWhileConnectedMovesTheConnection) {
  TcpTestPeer first;
  TcpTestPeer second;
  ConnectTo(first);
  host_->ClearEvents();

  Socket().SetPort(second.Port());
  host_->Instance(kSocket)->ApplyChanges();
  second.Accept();
  EXPECT_EQ(Logs(KL_MESSAGE),
            (std::vector<std::string>{"Socket: Disconnected", "Socket: Connected"}));
  EXPECT_EQ(host_->Status(kSocket), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
  EXPECT_EQ(first.Receive(1), "");  // the old peer saw the connection end
  EXPECT_EQ(host_->Summary(kSocket), "127.0.0.1:" + std::to_string(second.Port()));
}

TEST_F(ClientSocketTest, SendingWhileDisconnectedFailsAndReportsNothing) {
  host_->CreateInstance("CSCK", kSocket);
  try {
    host_->Call("CSCK_SendText", {Variant(kSocket), Variant("hello")});
    FAIL();
  } catch (const EKYTClientSocket& e) {
    EXPECT_EQ(e.Message(), "Socket is not connected!");
  }
  EXPECT_TRUE(host_->Events(Kind::Debug, kSocket).empty());
  EXPECT_THROW(Supports<IKYTSendData>(host_->Instance(kSocket))->SendData("x"), EKYTClientSocket);
}

TEST_F(ClientSocketTest, FirstTickConnectsOnceTheKernelRuns) {
  MakeHost(10012);
  TcpTestPeer peer;
  Store(true, peer.Port());
  host_->CreateInstance("CSCK", kSocket);
  EXPECT_EQ(host_->Status(kSocket), IS_INACTIVE);
  host_->FireTimer(kSocket, "Reconnect");  // not running yet: nothing happens
  EXPECT_FALSE(Logged("Socket: Connecting... #1"));

  host_->SetRunlevel(KR_READY);
  host_->FireTimer(kSocket, "Reconnect");
  peer.Accept();
  EXPECT_TRUE(Logged("Socket: Connecting... #1"));
  EXPECT_TRUE(Logged("Socket: Connected"));
  EXPECT_EQ(host_->Status(kSocket), IS_ACTIVE);
  EXPECT_EQ(Timer(), 0);
}

TEST_F(ClientSocketTest, ClosedSettingStopsTheTimerAtItsNextTick) {
  host_->CreateInstance("CSCK", kSocket);
  host_->FireTimer(kSocket, "Reconnect");
  EXPECT_EQ(Timer(), 0);
}

TEST_F(ClientSocketTest, OutOfRangePortIsRefusedInsteadOfTruncated) {
  host_->StoreSetting(kSocket, {"Settings"}, "Open", Variant(true));
  host_->StoreSetting(kSocket, {"Settings"}, "Host", Variant("127.0.0.1"));
  host_->StoreSetting(kSocket, {"Settings"}, "Port", Variant(65536 + 80));
  host_->CreateInstance("CSCK", kSocket);
  EXPECT_EQ(Logs(KL_ERROR), std::vector<std::string>{"Invalid port: 65616"});
  EXPECT_EQ(host_->Status(kSocket), IS_ERROR);
}

TEST_F(ClientSocketTest, HighestPortIsConnected) {
  // A loopback address of its own, so the highest port is almost certainly free.
  std::unique_ptr<TcpTestPeer> peer;
  try {
    peer = std::make_unique<TcpTestPeer>("127.0.77.1", 65535);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "127.0.77.1:65535 is taken: " << e.what();
  }
  Store(true, 65535, "127.0.77.1");
  host_->CreateInstance("CSCK", kSocket);
  peer->Accept();
  EXPECT_EQ(host_->Status(kSocket), IS_ACTIVE);
  EXPECT_TRUE(Logs(KL_ERROR).empty());
}

TEST_F(ClientSocketTest, DeletingAConnectedInstanceClosesTheConnection) {
  TcpTestPeer peer;
  ConnectTo(peer);
  peer.Send("pending");
  host_->DeleteInstance(kSocket);
  EXPECT_EQ(peer.Receive(1), "");
  EXPECT_FALSE(host_->TimerInterval(kSocket, "Reconnect"));
  EXPECT_EQ(host_->ReadSetting(kSocket, {"Settings"}, "Open"), Variant(true));
}

}  // namespace
}  // namespace kyt
