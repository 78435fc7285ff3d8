#include "tests/network/server_test_client.h"

#include <array>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "tests/network/tcp_test_peer.h"

namespace kyt::test {

namespace {

// A burst of connects can overrun the listen queue before the server's thread accepts. Linux then
// drops the SYN and the client's stack retries by itself; Windows refuses the connect outright.
// Both mean "not yet" for such a client: it tries again until the limit.
net::Socket ConnectPatiently(std::uint16_t port) {
  const auto addresses = net::Resolve("127.0.0.1", port);
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  for (;;) {
    try {
      return net::Connect(addresses, kGenerous);
    } catch (const net::SocketError& e) {
      if (e.Code() != net::kConnectionRefused || std::chrono::steady_clock::now() >= deadline)
        throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

TcpTestClient::TcpTestClient(std::uint16_t port, Burst burst)
    : socket_(burst == Burst::Yes ? ConnectPatiently(port)
                                  : net::Connect(net::Resolve("127.0.0.1", port), kGenerous)) {}

void TcpTestClient::Send(std::string_view data) {
  net::SendAll(socket_, data);
}

std::string TcpTestClient::Receive(std::size_t size) {
  std::string got;
  std::array<char, 65536> chunk;
  while (got.size() < size) {
    if (net::WaitReadable(socket_, kGenerous) != net::WaitResult::Ready)
      break;
    std::size_t want = std::min(chunk.size(), size - got.size());
    std::optional<std::size_t> n;
    try {
      n = net::ReceiveNow(socket_, std::span<char>(chunk.data(), want));
    } catch (const net::SocketError&) {
      break;
    }
    if (!n)
      continue;
    if (*n == 0)
      break;
    got.append(chunk.data(), *n);
  }
  return got;
}

std::string TcpTestClient::ReceiveSome() {
  std::array<char, 65536> chunk;
  for (;;) {
    if (net::WaitReadable(socket_, kGenerous) != net::WaitResult::Ready)
      return {};
    try {
      std::optional<std::size_t> n = net::ReceiveNow(socket_, chunk);
      if (n)
        return std::string(chunk.data(), *n);
    } catch (const net::SocketError&) {
      return {};
    }
  }
}

bool TcpTestClient::SeesClose() {
  std::array<char, 4096> chunk;
  for (;;) {
    if (net::WaitReadable(socket_, kGenerous) != net::WaitResult::Ready)
      return false;
    try {
      std::optional<std::size_t> n = net::ReceiveNow(socket_, chunk);
      if (n && *n == 0)
        return true;
    } catch (const net::SocketError&) {
      return true;
    }
  }
}

void TcpTestClient::Close() {
  socket_.Reset();
}

void TcpTestClient::ShutdownSending() {
  net::ShutdownSending(socket_);
}

void TcpTestClient::LimitReceiveBuffer(int bytes) {
#ifdef _WIN32
  setsockopt(static_cast<SOCKET>(static_cast<unsigned>(socket_.Get())), SOL_SOCKET, SO_RCVBUF,
             reinterpret_cast<const char*>(&bytes), sizeof bytes);
#else
  setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
#endif
}

void TcpTestClient::Reset() {
  net::AbortiveClose(socket_);
}

std::uint16_t FreePort() {
  net::Socket probe = net::Listen(0, "0.0.0.0");
  return net::LocalPort(probe);
}

}  // namespace kyt::test
