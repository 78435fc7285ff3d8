#pragma once

// Loopback peers for the TCP client tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "network/tcp_client.h"
#include "platform/sockets.h"

namespace kyt::test {

// Long enough never to fire on a loaded machine; only reached when something is broken.
inline constexpr std::chrono::seconds kGenerous{10};

// The far end of one client connection: a listener on a loopback address and the accepted
// socket.
class TcpTestPeer {
 public:
  explicit TcpTestPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  std::uint16_t Port() const;
  // Accepts the client's connection; fails the test when none comes.
  void Accept();
  void Send(std::string_view data);
  // `size` bytes, or fewer when the client closed or nothing came for a long time.
  std::string Receive(std::size_t size);
  void Close();
  void Reset();  // closes with RST instead of FIN

 private:
  net::Socket listener_;
  net::Socket connection_;
};

// A listener whose accept queue is full, so further SYNs are dropped: a connect to it hangs
// until someone gives up.
class TcpSilentPeer {
 public:
  TcpSilentPeer();
  std::uint16_t Port() const;

 private:
  net::Socket listener_;
  std::vector<net::Socket> fillers_;
};

// Reads the way the Client Socket module's reader thread does, until `size` bytes arrived or
// the client reports the connection closed. Socket errors end the loop too and are handed to
// `onError` (when set) instead of escaping.
std::string ReadLikeModule(TTCPClient& client, std::size_t size,
                           const std::function<void(const ESocketError&)>& onError = {});

// Polls `condition` until it holds or kGenerous passed; for states with no event to wait on.
bool WaitUntil(const std::function<bool()>& condition);

// Bytes 0..255, `repeat` times.
std::string EveryByteValue(int repeat = 1);

}  // namespace kyt::test
