#pragma once

// A scripted HTTP server on a loopback port for exact bytes on the wire: it records every
// request head and answers with whatever the test's handler returns.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"

namespace kyt::test {

struct TScriptedReply {
  std::string Bytes;
  enum class After { Close, KeepOpen, Stall } Then = After::Close;
  // Above zero: the bytes go out one at a time with this pause between them, as from a server
  // that trickles.
  std::chrono::milliseconds Pace{0};
};

class TScriptedServer {
 public:
  // The handler gets the request head (through the empty line) and the request's number,
  // counted from 0 over all connections.
  using THandler = std::function<TScriptedReply(const std::string& request, int index)>;
  // `address`: any loopback address, so that tests can have servers on distinct hosts.
  explicit TScriptedServer(THandler handler, const std::string& address = "127.0.0.1");
  // A server answering every request with the same bytes, then closing.
  explicit TScriptedServer(const std::string& reply);
  ~TScriptedServer();
  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Address() const { return address_ + ":" + std::to_string(port_); }
  std::vector<std::string> Requests() const;
  int Connections() const { return connections_; }

 private:
  void Run();
  void Serve(net::Socket& connection);
  bool ReadRequest(net::Socket& connection, std::string& pending, std::string& head);

  THandler handler_;
  std::string address_;
  net::Socket listener_;
  uint16_t port_ = 0;
  net::StopSignal stop_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace kyt::test
