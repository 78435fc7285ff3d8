#include "network/tcp_client.h"

#include <gtest/gtest.h>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "platform/sockets.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kUntilClosed = std::numeric_limits<std::size_t>::max();

class TcpClientTest : public ::testing::Test {
 protected:
  void ConnectClient() {
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.Connect();
    peer.Accept();
  }

  TcpTestPeer peer;
  TTCPClient client;
};

std::size_t CountEntries(const char* directory) {
  auto entries = std::filesystem::directory_iterator(directory);
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// The state letter from /proc/.../stat: R running, S sleeping, ...
char ThreadState(const std::filesystem::path& stat) {
  std::ifstream in(stat);
  std::string line;
  std::getline(in, line);
  const auto end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

TEST_F(TcpClientTest, ConnectNotifiesOnCallerThreadAndCarriesEveryByteValueBothWays) {
  std::thread::id notifiedOn;
  client.OnConnected = [&] { notifiedOn = std::this_thread::get_id(); };
  ConnectClient();
  EXPECT_EQ(notifiedOn, std::this_thread::get_id());
  EXPECT_TRUE(client.Connected());

  const std::string bytes = EveryByteValue(2) + std::string(3, '\0');
  peer.Send(bytes);
  EXPECT_EQ(ReadLikeModule(client, bytes.size()), bytes);
  client.Write(bytes);
  EXPECT_EQ(peer.Receive(bytes.size()), bytes);
}

void ExpectGreetingOver(const std::string& host, TcpTestPeer& peer) {
  TTCPClient client;
  client.Host = host;
  client.Port = peer.Port();
  client.Connect();
  peer.Accept();
  peer.Send("hi");
  EXPECT_EQ(ReadLikeModule(client, 2), "hi");
}

TEST(TcpClientAddressTest, ConnectsOverIPv6Loopback) {
  std::unique_ptr<TcpTestPeer> peer;
  try {
    peer = std::make_unique<TcpTestPeer>("::1");
  } catch (const net::SocketError& error) {
    GTEST_SKIP() << "no IPv6 loopback: " << error.what();
  }
  ExpectGreetingOver("::1", *peer);
}

TEST(TcpClientAddressTest, ResolvesHostNameAndTriesEachAddress) {
  // localhost may come back as ::1 first; the IPv4-only peer then needs the next address.
  TcpTestPeer peer("127.0.0.1");
  ExpectGreetingOver("localhost", peer);
}

class ScopedSystemCalls {
 public:
  explicit ScopedSystemCalls(const net::SystemCalls& calls)
      : previous_(net::ReplaceSystemCalls(&calls)) {}
  ~ScopedSystemCalls() { net::ReplaceSystemCalls(previous_); }
  ScopedSystemCalls(const ScopedSystemCalls&) = delete;
  ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

 private:
  const net::SystemCalls* previous_;
};

// The module forwards what one read returned, so reads must stay within 32768 bytes, and a block
// bigger than the socket buffers must still arrive whole and in order.
std::atomic<std::size_t> largestRecv{0};

std::ptrdiff_t RecordingRecv(int fd, void* data, std::size_t size, int flags) {
  std::size_t seen = largestRecv.load();
  while (size > seen && !largestRecv.compare_exchange_weak(seen, size)) {
  }
  return net::RealSystemCalls().recv(fd, data, size, flags);
}

TEST_F(TcpClientTest, BigBlockArrivesWholeInOrderInReadsOfAtMost32768Bytes) {
  static const net::SystemCalls recording{net::RealSystemCalls().send, RecordingRecv};
  ScopedSystemCalls installed(recording);
  largestRecv = 0;
  ConnectClient();
  std::string block = EveryByteValue(8192);
  block += std::string(block.rbegin(), block.rend());

  auto sender = std::async(std::launch::async, [&] { peer.Send(block); });
  const std::string received = ReadLikeModule(client, block.size());
  sender.get();
  EXPECT_TRUE(received == block) << received.size() << " of " << block.size() << " bytes";
  EXPECT_EQ(largestRecv.load(), 32768u);
}

TEST_F(TcpClientTest, PeerCloseKeepsBytesUntilTakenThenDisconnects) {
  ConnectClient();
  peer.Send("abc");
  peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return client.Connected() && !client.InputBufferIsEmpty(); }));
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.TakeAll(), "abc");
  EXPECT_TRUE(WaitUntil([&] { return !client.Connected(); }));

  // The reader already saw the end; the module's clean-up Disconnect must not report it again.
  int disconnects = 0;
  client.OnDisconnected = [&] { ++disconnects; };
  client.Disconnect();
  EXPECT_EQ(disconnects, 0);
}

TEST_F(TcpClientTest, ResetAfterSendingStillDeliversTheBytes) {
  ConnectClient();
  peer.Send("before reset");
  peer.Reset();
  std::string received = ReadLikeModule(
      client, kUntilClosed, [](const ESocketError& error) { EXPECT_EQ(error.Code(), ECONNRESET); });
  EXPECT_EQ(received, "before reset");
  EXPECT_FALSE(client.Connected());
}

TEST_F(TcpClientTest, ResetWithNothingUnreadRaisesThenReportsClosed) {
#ifdef _WIN32
  GTEST_SKIP() << "under wine a peer's reset arrives as an orderly close, not WSAECONNRESET";
#endif
  ConnectClient();
  peer.Reset();
  int raised = 0;
  ReadLikeModule(client, kUntilClosed, [&](const ESocketError& error) {
    ++raised;
    EXPECT_EQ(error.Code(), ECONNRESET);
  });
  EXPECT_EQ(raised, 1);
  EXPECT_FALSE(client.Connected());
}

TEST_F(TcpClientTest, RefusedConnectionRaisesSocketErrorWithOsCode) {
  std::uint16_t closedPort = 0;
  {
    TcpTestPeer gone;
    closedPort = gone.Port();
  }
  client.Host = "127.0.0.1";
  client.Port = closedPort;
  try {
    client.Connect();
    FAIL() << "connected to a closed port";
  } catch (const ESocketError& error) {
    EXPECT_EQ(error.Code(), net::kConnectionRefused);
    EXPECT_EQ(error.Message(), "Socket Error # " + std::to_string(net::kConnectionRefused) + ": " +
                                   net::ErrorText(net::kConnectionRefused));
  }
  EXPECT_FALSE(client.Connected());
}

TEST_F(TcpClientTest, ConnectRejectsMissingTargetAndSecondConnection) {
  auto messageOf = [&] {
    try {
      client.Connect();
    } catch (const ESocketError& error) {
      return "ESocketError " + error.Message();
    } catch (const Exception& error) {
      return error.Message();
    }
    return std::string("no error");
  };
  client.Port = 1;
  EXPECT_EQ(messageOf(), "");
  client.Host = "127.0.0.1";
  client.Port = 0;
  EXPECT_EQ(messageOf(), "");

  ConnectClient();
  EXPECT_EQ(messageOf(), "Already connected.");
  client.Write("still fine");
  EXPECT_EQ(peer.Receive(10), "still fine");
}

TEST_F(TcpClientTest, ConnectTimesOutAgainstSilentPeerLeavingNoThreadOrFd) {
#ifdef _WIN32
  GTEST_SKIP() << "counts threads and descriptors in /proc, which Windows has not";
#endif
  TcpSilentPeer silent;
  // A sanitizer starts a helper thread of its own with the process's first thread; let that
  // happen before counting.
  std::thread([] {}).join();
  const std::size_t threads = CountEntries("/proc/self/task");
  const std::size_t fds = CountEntries("/proc/self/fd");
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  client.ConnectTimeout = 300ms;
  const auto started = Clock::now();
  try {
    client.Connect();
    FAIL() << "connected to a full accept queue";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Connect timed out.");
  }
  EXPECT_GE(Clock::now() - started, 300ms);
  EXPECT_FALSE(client.Connected());
  // A joined thread can linger in /proc for a moment after join returns.
  EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == threads; }));
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

TEST_F(TcpClientTest, ANameLookupThatHangsCountsAgainstTheConnectTimeOut) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  TTCPClient::SetLookupHook([released](const std::string&) { released.wait(); });
  client.Host = "localhost";
  client.Port = peer.Port();
  client.ConnectTimeout = 300ms;
  const auto started = Clock::now();
  try {
    client.Connect();
    ADD_FAILURE() << "connected while the look-up hung";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Connect timed out.");
  }
  EXPECT_LT(Clock::now() - started, kGenerous / 2);
  TTCPClient::SetLookupHook({});
  release.set_value();
  // Once the look-up is over, the next connect goes through.
  ConnectClient();
}

// A stop ends the look-up's and the connect's wait, also for a client that would otherwise
// connect on the calling thread (the HTTP fetch).
TEST_F(TcpClientTest, AStopEndsTheWaitForALookUpOrAConnect) {
  TcpSilentPeer silent;
  for (const bool hungLookUp : {true, false}) {
    for (const bool onCaller : {true, false}) {
      SCOPED_TRACE(::testing::Message()
                   << "look-up hangs " << hungLookUp << ", on caller " << onCaller);
      std::promise<void> release;
      std::shared_future<void> released = release.get_future().share();
      if (hungLookUp)
        TTCPClient::SetLookupHook([released](const std::string&) { released.wait(); });
      TTCPClient stopping;
      stopping.Host = hungLookUp ? "localhost" : "127.0.0.1";
      stopping.Port = silent.Port();
      stopping.ConnectOnCallerThread = onCaller;
      stopping.ConnectTimeout = 10s;
      const auto started = Clock::now();
      stopping.Stopped = [&] { return Clock::now() - started > 100ms; };
      try {
        stopping.Connect();
        ADD_FAILURE() << "connected";
      } catch (const ESocketError& error) {
        EXPECT_EQ(error.Code(), net::kCanceled);
      }
      EXPECT_LT(Clock::now() - started, 2s);
      TTCPClient::SetLookupHook({});
      release.set_value();
    }
  }
}

TEST_F(TcpClientTest, WaitForDataReturnsAsSoonAsBytesArrive) {
  ConnectClient();
  auto sender = std::async(std::launch::async, [&] { peer.Send("ping"); });
  const auto started = Clock::now();
  while (client.InputBufferIsEmpty() && Clock::now() - started < kGenerous) {
    client.WaitForData(kGenerous);
  }
  EXPECT_LT(Clock::now() - started, kGenerous / 2);
  EXPECT_EQ(client.TakeAll(), "ping");
  sender.get();
}

TEST_F(TcpClientTest, DisconnectFromAnotherThreadWakesWaitForData) {
#ifdef _WIN32
  GTEST_SKIP() << "tells from /proc that the reader sleeps, which Windows has not";
#endif
  ConnectClient();
  int disconnects = 0;
  client.OnDisconnected = [&] { ++disconnects; };
  std::promise<std::filesystem::path> readerThread;
  auto reader = std::async(std::launch::async, [&] {
    readerThread.set_value("/proc" / std::filesystem::read_symlink("/proc/thread-self"));
    client.WaitForData(std::chrono::duration_cast<std::chrono::milliseconds>(kGenerous * 3));
  });
  // Disconnect only once the reader sleeps, so it is the wake-up that is tested.
  const auto stat = readerThread.get_future().get() / "stat";
  EXPECT_TRUE(WaitUntil([&] { return ThreadState(stat) == 'S'; }));
  client.Disconnect();
  EXPECT_EQ(reader.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(client.Connected());
}

std::atomic<int> sends{0};

std::ptrdiff_t CountingSend(int fd, const void* data, std::size_t size, int flags) {
  ++sends;
  return net::RealSystemCalls().send(fd, data, size, flags);
}

TEST_F(TcpClientTest, DisconnectDuringBlockedWriteFailsTheWriteWithoutHanging) {
  static const net::SystemCalls counting{CountingSend, net::RealSystemCalls().recv};
  ScopedSystemCalls installed(counting);
  sends = 0;
  ConnectClient();
  // The peer never reads, so this fills both socket buffers and blocks in send.
  auto writer = std::async(std::launch::async, [&] { client.Write(std::string(64 << 20, 'x')); });
  ASSERT_TRUE(WaitUntil([] { return sends > 0; }));
  client.Disconnect();
  ASSERT_EQ(writer.wait_for(kGenerous), std::future_status::ready);
  EXPECT_THROW(writer.get(), ESocketError);
}

TEST_F(TcpClientTest, SendTextWhileReaderRunsKeepsBothStreamsInOrder) {
  ConnectClient();
  const std::string inbound = EveryByteValue(2048);
  std::string outbound;
  auto reader =
      std::async(std::launch::async, [&] { return ReadLikeModule(client, inbound.size()); });
  auto peerReader = std::async(std::launch::async, [&] { return peer.Receive(256 * 300); });
  auto peerWriter = std::async(std::launch::async, [&] { peer.Send(inbound); });
  for (int i = 0; i < 300; ++i) {
    std::string text = EveryByteValue();
    text[0] = static_cast<char>(i);
    ASSERT_TRUE(client.Connected());
    client.Write(text);
    outbound += text;
  }
  peerWriter.get();
  EXPECT_TRUE(reader.get() == inbound);
  EXPECT_TRUE(peerReader.get() == outbound);
}

TEST_F(TcpClientTest, DisconnectNotifiesOnlyForAnOpenConnectionAndEndsWriting) {
  int disconnects = 0;
  client.OnDisconnected = [&] { ++disconnects; };
  client.Disconnect();
  EXPECT_EQ(disconnects, 0);
  ConnectClient();
  client.Disconnect();
  client.Disconnect();
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(peer.Receive(1), "");  // the peer saw the close
  try {
    client.Write("x");
    FAIL() << "wrote without a connection";
  } catch (const ESocketError& error) {
    EXPECT_EQ(error.Code(), net::kNotConnected);
  }

  auto owned = std::make_unique<TTCPClient>();
  owned->OnDisconnected = [&] { ++disconnects; };
  owned->Host = "127.0.0.1";
  owned->Port = peer.Port();
  owned->Connect();
  owned.reset();
  EXPECT_EQ(disconnects, 1);
}

}  // namespace
}  // namespace kyt::test
