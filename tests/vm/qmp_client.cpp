#include "tests/vm/qmp_client.h"

#include <stdexcept>

namespace kyt::vm {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(left, std::chrono::milliseconds::zero());
}

bool Contains(const nlohmann::json& whole, const nlohmann::json& part) {
  if (part.is_null())
    return true;
  for (const auto& [key, value] : part.items()) {
    if (!whole.contains(key) || whole[key] != value)
      return false;
  }
  return true;
}

}  // namespace

TQmpClient::TQmpClient(TUnixStream stream) : stream_(std::move(stream)) {
  nlohmann::json greeting = ReadMessage(std::chrono::seconds(30));
  if (!greeting.contains("QMP"))
    throw std::runtime_error("no QMP greeting: " + greeting.dump());
  Execute("qmp_capabilities");
}

nlohmann::json TQmpClient::ReadMessage(std::chrono::milliseconds timeout) {
  std::string line = stream_.ReadUntil("\n", timeout);
  if (line.empty())
    throw std::runtime_error("QMP: no message in time");
  return nlohmann::json::parse(line);
}

nlohmann::json TQmpClient::Execute(const std::string& command, const nlohmann::json& arguments,
                                   std::chrono::milliseconds timeout) {
  nlohmann::json request = {{"execute", command}};
  if (!arguments.is_null())
    request["arguments"] = arguments;
  stream_.WriteAll(request.dump() + "\n");
  auto deadline = Clock::now() + timeout;
  while (true) {
    nlohmann::json answer = ReadMessage(Left(deadline));
    if (answer.contains("event")) {
      events_.push_back(std::move(answer));
    } else if (answer.contains("error")) {
      throw std::runtime_error("QMP " + command + ": " +
                               answer["error"].value("desc", answer.dump()));
    } else {
      return answer.value("return", nlohmann::json());
    }
  }
}

bool TQmpClient::WaitForEvent(const std::string& name, const nlohmann::json& data,
                              std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if ((*it)["event"] == name && Contains(it->value("data", nlohmann::json::object()), data)) {
        events_.erase(it);
        return true;
      }
    }
    if (Left(deadline).count() == 0)
      return false;
    std::string line = stream_.ReadUntil("\n", Left(deadline));
    if (line.empty())
      return false;
    events_.push_back(nlohmann::json::parse(line));
  }
}

void TQmpClient::SendKeys(const std::vector<std::string>& keys) {
  nlohmann::json codes = nlohmann::json::array();
  for (const auto& key : keys) codes.push_back({{"type", "qcode"}, {"data", key}});
  Execute("send-key", {{"keys", codes}});
}

}  // namespace kyt::vm
