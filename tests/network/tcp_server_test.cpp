// The TCP server transport on its own: binding, the connection limit under a burst, and
// stopping while work is under way.

#include "network/tcp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/sockets.h"
#include "runtime/thread.h"
#include "tests/network/server_test_client.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt {
namespace {

using test::TcpTestClient;
using test::WaitUntil;

TTCPServer::TConnectionEvent TakeInto(std::mutex& mutex, std::string& into) {
  return [&mutex, &into](TServerConnection& c) {
    std::lock_guard lock(mutex);
    into += c.TakeAll();
  };
}

TEST(TcpServerTest, AnyBindFailureGivesTheOneTextAndLeavesNothingListening) {
  net::Socket taken = net::Listen(0, "0.0.0.0");
  const uint16_t free = test::FreePort();
  TTCPServer server;
  server.DefaultPort = free;
  server.AddBinding("127.0.0.1");
  server.DefaultPort = net::LocalPort(taken);
  server.AddBinding("0.0.0.0");
  EXPECT_EQ(server.Bindings[0].Port, free);  // a binding keeps the port it was made with
  try {
    server.SetActive(true);
    FAIL() << "bound a port in use";
  } catch (const EServerBind& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server.Active());
  // The first binding, which did open, was closed again.
  EXPECT_NO_THROW(net::Listen(free, "127.0.0.1"));

  server.Bindings = {{"192.0.2.1", 0}};  // not an address of this machine
  EXPECT_THROW(server.SetActive(true), EServerBind);
  server.Bindings = {{"not an address", 0}};
  EXPECT_THROW(server.SetActive(true), EServerBind);
}

// The limit counts clients the moment they are accepted, so a burst cannot get past it while
// the first threads are still starting.
TEST(TcpServerTest, BurstOfClientsGetsNoMoreThanTheLimit) {
  std::mutex mutex;
  std::set<std::string> served;
  TTCPServer server;
  server.MaxConnections = 3;
  server.OnExecute = [&](TServerConnection& c) {
    std::lock_guard lock(mutex);
    served.insert(c.TakeAll());
  };
  server.AddBinding("127.0.0.1");
  server.SetActive(true);
  const uint16_t port = server.ListeningPorts().at(0);

  std::vector<std::unique_ptr<TcpTestClient>> clients;
  for (int i = 0; i < 30; ++i)
    clients.push_back(std::make_unique<TcpTestClient>(port, TcpTestClient::Burst::Yes));
  for (int i = 0; i < 30; ++i) clients[i]->Send(std::string(1, static_cast<char>('A' + i)));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return served.size() == 3;
  }));
  for (int i = 0; i < 30; ++i) {
    std::lock_guard lock(mutex);
    if (served.count(std::string(1, static_cast<char>('A' + i))) == 0) {
      EXPECT_TRUE(clients[i]->SeesClose()) << "client " << i << " was neither served nor closed";
    }
  }
  server.SetActive(false);
  EXPECT_EQ(served.size(), 3u);
}

// A stop must not wait out the write bound of a client that does not read: its writer is cut
// short, and writing never raised to the sender.
TEST(TcpServerTest, StoppingCutsShortAWriteToAClientThatDoesNotRead) {
  TTCPServer server;
  server.WriteTimeout = std::chrono::hours(1);
  server.SendQueueBound = 1 << 30;
  std::atomic<TServerConnection*> connection{nullptr};
  server.OnConnect = [&](TServerConnection& c) { connection = &c; };
  server.AddBinding("127.0.0.1");
  server.SetActive(true);
  TcpTestClient stuck(server.ListeningPorts().at(0));
  ASSERT_TRUE(WaitUntil([&] { return connection != nullptr; }));

  // Far more than the socket buffers hold, so the writer has to wait for the client.
  const std::string block(64 << 20, 'w');
  server.LockList().ForEach([&](TServerConnection& c) { c.Write(block); });
  server.SetActive(false);
  EXPECT_TRUE(stuck.SeesClose());
}

// A child on a connection thread may wait for the main thread; a stop called there must keep
// serving it instead of deadlocking.
TEST(TcpServerTest, StoppingOnTheMainThreadServesHandOversOfConnectionThreads) {
  ASSERT_TRUE(IsMainThread());
  std::mutex mutex;
  std::string received;
  std::atomic<bool> handing{false};
  std::atomic<bool> ran{false};
  TTCPServer server;
  server.OnExecute = [&](TServerConnection& c) {
    TakeInto(mutex, received)(c);
    handing = true;
    TThread::Synchronize([&] { ran = true; });
  };
  server.AddBinding("127.0.0.1");
  server.SetActive(true);
  TcpTestClient client(server.ListeningPorts().at(0));
  client.Send("x");
  ASSERT_TRUE(WaitUntil([&] { return handing.load(); }));
  server.SetActive(false);
  EXPECT_TRUE(ran);
  EXPECT_EQ(received, "x");
}

TEST(TcpServerTest, ClientAddressIsTheAddressAlone) {
  std::mutex mutex;
  std::vector<std::string> addresses;
  TTCPServer server;
  server.OnConnect = [&](TServerConnection& c) {
    std::lock_guard lock(mutex);
    addresses.push_back(c.PeerIP());
  };
  server.Bindings = {{"::1", 0}};
  server.SetActive(true);
  net::Socket v6 =
      net::Connect(net::Resolve("::1", server.ListeningPorts().at(0)), test::kGenerous);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return addresses.size() == 1;
  }));
  EXPECT_EQ(addresses[0], "::1");
}

}  // namespace
}  // namespace kyt
