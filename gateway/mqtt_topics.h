#pragma once

// What the MQTT module writes to the broker besides the data itself: the topic names of a
// gateway instance and the JSON of its retained state.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kyt::gateway {

// The largest payload an MQTT 3.1.1 PUBLISH can carry with this topic (the remaining length
// is at most 268435455 bytes and holds the topic, its length and a packet identifier).
std::size_t LargestPayload(std::string_view topic);

struct TGatewayTopics {
  std::string Rx;     // what the parent receives, published
  std::string Tx;     // subscribed; what arrives goes to the parent
  std::string State;  // the parent's status and summary, retained; the last will
};

// `<prefix>/<level>/rx|tx|state`, where the level is the instance's name, or its ID when it has
// none. A name's '/', '+' and '#' (levels and wildcards) and NUL become '_', so one instance is
// one level that a subscription can name. An empty prefix leaves the first level out.
TGatewayTopics GatewayTopics(std::string_view prefix, std::string_view name, uint32_t id);

struct TGatewayState {
  bool Online = true;
  uint32_t Instance = 0;  // the parent
  std::string Name;
  int32_t Status = 0;
  std::string Summary;
  uint64_t DroppedBlocks = 0;  // blocks the module could not queue for the broker
};

// {"online":true,"instance":20,"name":"Line 1","status":102,"summary":"...","dropped":0}; bytes
// of the name or summary that are not UTF-8 become U+FFFD.
std::string StateJSON(const TGatewayState& state);
// The last will and the farewell of a clean stop.
std::string OfflineJSON(uint32_t instance);

// A block cut into payloads of at most `largest` bytes (0 for no limit), in order.
std::vector<std::string_view> SplitPayload(std::string_view block, std::size_t largest);

}  // namespace kyt::gateway
