#include "platform/sockets.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <future>
#include <string>

namespace kyt::net {
namespace {

using namespace std::chrono_literals;

// Long enough never to fire on a loaded machine; only reached when something is broken.
constexpr auto kGenerous = 10s;

struct Pair {
  Socket listener;
  Socket client;
  Socket server;
};

Pair ConnectedPair() {
  Pair pair;
  pair.listener = Listen(0, "127.0.0.1");
  auto to = Resolve("127.0.0.1", LocalPort(pair.listener));
  pair.client = Connect(to, kGenerous);
  pair.server = Accept(pair.listener, kGenerous);
  EXPECT_TRUE(pair.server.Valid());
  return pair;
}

std::string ReceiveExactly(const Socket& socket, std::size_t size) {
  std::string received;
  char chunk[65536];
  while (received.size() < size && WaitReadable(socket, kGenerous) == WaitResult::Ready) {
    std::size_t n = Receive(socket, {chunk, std::min(sizeof chunk, size - received.size())});
    if (n == 0) {
      break;
    }
    received.append(chunk, n);
  }
  return received;
}

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  }
  return data;
}

TEST(UniqueFdTest, ClosesOnceAndMovesOwnership) {
  Socket first = Listen(0, "127.0.0.1");
  const int raw = first.Get();
  Socket second = std::move(first);
  EXPECT_FALSE(first.Valid());
  EXPECT_EQ(second.Get(), raw);
  first.Reset();  // an empty one has nothing to close
  EXPECT_GE(::fcntl(raw, F_GETFD), 0);

  second = Socket();
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(ResolveTest, LookupFailureCarriesResolverCodeAndText) {
  // A numeric-only look-up fails without asking any name server.
  try {
    Listen(0, "not-an-address");
    FAIL() << "no error";
  } catch (const SocketError& error) {
    EXPECT_EQ(error.Code(), EAI_NONAME);
    EXPECT_EQ(error.Text(), gai_strerror(EAI_NONAME));
  }
}

TEST(ConnectTest, TriesEveryCandidateInOrder) {
  Socket listener = Listen(0, "127.0.0.1");
  Socket closed = Listen(0, "127.0.0.1");
  auto refused = Resolve("127.0.0.1", LocalPort(closed));
  closed.Reset();
  auto good = Resolve("127.0.0.1", LocalPort(listener));
  std::vector<Address> candidates{refused[0], good[0]};

  Socket client = Connect(candidates, kGenerous);
  EXPECT_TRUE(client.Valid());
  EXPECT_TRUE(Accept(listener, kGenerous).Valid());
}

TEST(WaitReadableTest, ReportsReadyTimedOutAndStopped) {
  Pair pair = ConnectedPair();
  StopSignal stop;
  EXPECT_EQ(WaitReadable(pair.client, 0ms, &stop), WaitResult::TimedOut);
  SendAll(pair.server, std::string("x"));
  EXPECT_EQ(WaitReadable(pair.client, kGenerous, &stop), WaitResult::Ready);
  // A stop must win even over pending bytes, or a busy peer could keep a reader from stopping.
  stop.Raise();
  EXPECT_EQ(WaitReadable(pair.client, kGenerous, &stop), WaitResult::Stopped);
}

// Injected failures. The replacement functions are plain function pointers, so their state lives
// in globals that each test resets.
std::atomic<int> sendCalls{0};
std::atomic<int> recvCalls{0};

std::ptrdiff_t ChoppySend(int fd, const void* data, std::size_t size, int flags) {
  const int call = sendCalls++;
  if (call % 3 == 0) {
    errno = EINTR;
    return -1;
  }
  if (call % 3 == 1) {
    errno = EAGAIN;
    return -1;
  }
  // A short write of 1..4093 bytes.
  return RealSystemCalls().send(fd, data, std::min<std::size_t>(size, 1 + call % 4093), flags);
}

std::ptrdiff_t InterruptedRecv(int fd, void* data, std::size_t size, int flags) {
  if (recvCalls++ % 2 == 0) {
    errno = EINTR;
    return -1;
  }
  return RealSystemCalls().recv(fd, data, size, flags);
}

class InjectedCallsTest : public ::testing::Test {
 protected:
  void Install(const SystemCalls& calls) { previous_ = ReplaceSystemCalls(&calls); }
  void TearDown() override { ReplaceSystemCalls(previous_); }
  void SetUp() override {
    sendCalls = 0;
    recvCalls = 0;
  }

 private:
  const SystemCalls* previous_ = &RealSystemCalls();
};

TEST_F(InjectedCallsTest, SendAllDeliversEveryByteDespiteShortWritesEintrAndEagain) {
  static const SystemCalls calls{ChoppySend, RealSystemCalls().recv};
  Pair pair = ConnectedPair();
  const std::string data = Pattern(512 * 1024);
  Install(calls);
  // More than the socket buffers hold, so the sender also has to wait for the reader.
  auto reader =
      std::async(std::launch::async, [&] { return ReceiveExactly(pair.server, data.size()); });
  SendAll(pair.client, data);
  ASSERT_EQ(reader.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(reader.get(), data);
  EXPECT_GT(sendCalls.load(), 300);
}

TEST_F(InjectedCallsTest, ReceiveRetriesAfterEintr) {
  static const SystemCalls calls{RealSystemCalls().send, InterruptedRecv};
  Pair pair = ConnectedPair();
  SendAll(pair.server, std::string("ok"));
  Install(calls);
  char chunk[8];
  ASSERT_EQ(WaitReadable(pair.client, kGenerous), WaitResult::Ready);
  EXPECT_EQ(ReceiveNow(pair.client, chunk), 2u);
  EXPECT_EQ(std::string(chunk, 2), "ok");
}

TEST(SendAllTest, ResetPeerGivesErrorsNotSigpipe) {
  Pair pair = ConnectedPair();
  AbortiveClose(pair.server);
  const std::string block(64 * 1024, 'x');
  // The reset shows first as ECONNRESET, after that as EPIPE, which without MSG_NOSIGNAL would
  // kill the process instead.
  std::vector<int> codes;
  for (int i = 0; i < 100 && codes.size() < 2; ++i) {
    try {
      SendAll(pair.client, block);
    } catch (const SocketError& error) {
      codes.push_back(error.Code());
    }
  }
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), EPIPE);
}

}  // namespace
}  // namespace kyt::net
