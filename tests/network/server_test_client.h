#pragma once

// A client of the server under test: a loopback connection with reads that never hang a test.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sockets.h"

namespace kyt::test {

class TcpTestClient {
 public:
  // A refused connect fails at once, unless the client is one of a burst that may overrun the
  // server's listen queue: then it tries again within the limit (Windows refuses where Linux
  // makes the connect wait).
  enum class Burst { No, Yes };
  explicit TcpTestClient(std::uint16_t port, Burst burst = Burst::No);
  void Send(std::string_view data);
  // `size` bytes, or fewer when the server closed the connection or nothing came for long.
  std::string Receive(std::size_t size);
  // What arrives first, waiting for it within the limit; empty when the connection ended.
  std::string ReceiveSome();
  // True when the server ended the connection (end of stream or reset) within the limit.
  bool SeesClose();
  void Close();
  void Reset();            // closes with RST instead of FIN
  void ShutdownSending();  // ends the stream towards the server, still reading
  // A receive buffer of about `bytes`, not grown by the system: a client that never reads then
  // holds a known amount, whatever the machine's limits (up to 32 MiB on some).
  void LimitReceiveBuffer(int bytes);
  bool Open() const { return socket_.Valid(); }

 private:
  net::Socket socket_;
};

// A port nobody listens on right now (the system's choice, released again).
std::uint16_t FreePort();

}  // namespace kyt::test
