#pragma once

// A loopback port that never answers: its listener never accepts and its queue is full, so the
// kernel drops every further connection request and a connect to it waits until the connecting
// side gives up, as one to a host that is down does.

#include <cstdint>
#include <vector>

#include "platform/sockets.h"

namespace kyt::test_support {

class TSilentPort {
 public:
  TSilentPort();
  std::uint16_t Port() const { return port_; }
  // Some socket of this machine waits for the port to answer (state SYN_SENT).
  bool HasWaitingConnect() const;

 private:
  net::Socket listener_;
  std::vector<net::Socket> queued_;
  std::uint16_t port_ = 0;
};

}  // namespace kyt::test_support
