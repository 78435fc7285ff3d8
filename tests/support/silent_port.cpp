#include "tests/support/silent_port.h"

#include <fmt/format.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kyt::test_support {

TSilentPort::TSilentPort() : listener_(net::Listen(0, "127.0.0.1", 0)) {
  port_ = net::LocalPort(listener_);
  const auto address = net::Resolve("127.0.0.1", port_);
  // With a backlog of 0 the queue takes one connection; the first connect that times out shows
  // that it is full.
  for (int i = 0; i < 8; ++i) {
    try {
      queued_.push_back(net::Connect(address, std::chrono::milliseconds(300)));
    } catch (const net::SocketError&) {
      return;
    }
  }
  throw std::runtime_error("the listener's queue does not fill");
}

bool TSilentPort::HasWaitingConnect() const {
  const std::string remote = fmt::format(":{:04X} 02 ", port_);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream file(table);
    std::string line;
    while (std::getline(file, line)) {
      // "  sl  local_address rem_address   st ...": the remote port, then the state.
      std::istringstream fields(line);
      std::string slot, local, rem, state;
      fields >> slot >> local >> rem >> state;
      if (rem.size() > 5 && (rem.substr(rem.size() - 5) + " " + state + " ") == remote)
        return true;
    }
  }
  return false;
}

}  // namespace kyt::test_support
