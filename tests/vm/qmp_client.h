#pragma once

// A QMP (QEMU Machine Protocol) session: one JSON object per line each way. Commands are
// answered in order; asynchronous events arriving meanwhile are kept for WaitForEvent.

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/vm/unix_socket.h"

namespace kyt::vm {

class TQmpClient {
 public:
  // Reads the greeting and leaves capabilities negotiation mode.
  explicit TQmpClient(TUnixStream stream);

  // The command's "return" value; raises std::runtime_error with QEMU's description when it
  // answers with an error, or when no answer comes in time.
  nlohmann::json Execute(const std::string& command, const nlohmann::json& arguments = nullptr,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for an event of that name whose "data" contains every member of `data`.
  bool WaitForEvent(const std::string& name, const nlohmann::json& data,
                    std::chrono::milliseconds timeout);

  // Keys in order (e.g. {"a"} or {"shift", "a"}), pressed together and released.
  void SendKeys(const std::vector<std::string>& keys);

 private:
  nlohmann::json ReadMessage(std::chrono::milliseconds timeout);

  TUnixStream stream_;
  std::deque<nlohmann::json> events_;
};

}  // namespace kyt::vm
