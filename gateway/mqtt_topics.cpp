#include "gateway/mqtt_topics.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kyt::gateway {

namespace {

constexpr std::size_t kMaxRemainingLength = 268435455;

std::string Level(std::string_view name, uint32_t id) {
  if (name.empty())
    return std::to_string(id);
  std::string level(name);
  std::replace_if(
      level.begin(), level.end(), [](char c) { return c == '/' || c == '+' || c == '#' || c == 0; },
      '_');
  return level;
}

std::string Dump(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::size_t LargestPayload(std::string_view topic) {
  // Topic length (2), the topic, a packet identifier (2).
  std::size_t overhead = 2 + topic.size() + 2;
  return overhead < kMaxRemainingLength ? kMaxRemainingLength - overhead : 0;
}

TGatewayTopics GatewayTopics(std::string_view prefix, std::string_view name, uint32_t id) {
  while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
  std::string base = prefix.empty() ? Level(name, id) : std::string(prefix) + "/" + Level(name, id);
  return {base + "/rx", base + "/tx", base + "/state"};
}

std::string StateJSON(const TGatewayState& state) {
  return Dump({{"online", state.Online},
               {"instance", state.Instance},
               {"name", state.Name},
               {"status", state.Status},
               {"summary", state.Summary},
               {"dropped", state.DroppedBlocks}});
}

std::string OfflineJSON(uint32_t instance) {
  return Dump({{"online", false}, {"instance", instance}});
}

std::vector<std::string_view> SplitPayload(std::string_view block, std::size_t largest) {
  if (largest == 0 || block.size() <= largest)
    return {block};
  std::vector<std::string_view> parts;
  for (std::size_t at = 0; at < block.size(); at += largest)
    parts.push_back(block.substr(at, largest));
  return parts;
}

}  // namespace kyt::gateway
