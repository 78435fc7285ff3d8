#include "tests/network/tcp_test_peer.h"

#include <errno.h>

#include <gtest/gtest.h>
#include <thread>

namespace kyt::test {

using namespace std::chrono_literals;

TcpTestPeer::TcpTestPeer(const std::string& address, std::uint16_t port)
    : listener_(net::Listen(port, address)) {}

std::uint16_t TcpTestPeer::Port() const {
  return net::LocalPort(listener_);
}

void TcpTestPeer::Accept() {
  connection_ = net::Accept(listener_, kGenerous);
  ASSERT_TRUE(connection_.Valid()) << "the client never connected";
}

void TcpTestPeer::Send(std::string_view data) {
  net::SendAll(connection_, data);
}

std::string TcpTestPeer::Receive(std::size_t size) {
  std::string received;
  std::string chunk(65536, '\0');
  while (received.size() < size &&
         net::WaitReadable(connection_, kGenerous) == net::WaitResult::Ready) {
    std::size_t n = net::Receive(connection_, chunk);
    if (n == 0) {
      break;
    }
    received.append(chunk.data(), n);
  }
  return received;
}

void TcpTestPeer::Close() {
  connection_.Reset();
}

void TcpTestPeer::Reset() {
  net::AbortiveClose(connection_);
}

TcpSilentPeer::TcpSilentPeer() : listener_(net::Listen(0, "127.0.0.1", 0)) {
  auto to = net::Resolve("127.0.0.1", Port());
  for (int i = 0; i < 16; ++i) {
    try {
      fillers_.push_back(net::Connect(to, 200ms));
    } catch (const net::SocketError& error) {
      if (error.Code() == net::kTimedOut) {
        return;  // the queue is full
      }
      throw;
    }
  }
  ADD_FAILURE() << "the accept queue never filled";
}

std::uint16_t TcpSilentPeer::Port() const {
  return net::LocalPort(listener_);
}

std::string ReadLikeModule(TTCPClient& client, std::size_t size,
                           const std::function<void(const ESocketError&)>& onError) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  try {
    while (received.size() < size && client.Connected() &&
           std::chrono::steady_clock::now() < deadline) {
      if (client.InputBufferIsEmpty()) {
        client.WaitForData(100ms);
      }
      if (!client.InputBufferIsEmpty()) {
        received += client.TakeAll();
      }
    }
  } catch (const ESocketError& error) {
    if (!onError) {
      throw;
    }
    onError(error);
  }
  return received;
}

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string EveryByteValue(int repeat) {
  std::string bytes;
  for (int r = 0; r < repeat; ++r) {
    for (int value = 0; value < 256; ++value) {
      bytes.push_back(static_cast<char>(value));
    }
  }
  return bytes;
}

}  // namespace kyt::test
