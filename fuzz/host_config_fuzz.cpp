// The kyt-host config reader on arbitrary text. A config it takes names each instance once,
// with an ID in range, and its creation order holds every instance once with each parent
// before its children; a config it refuses is refused with EConfigError, never a crash.
// Module names are not the reader's to judge: check and run refuse one that names no module,
// the empty name included. On any text that parses, the duplicate-key scan finds each second
// place after the first.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "cli/host_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace kyt::host;
  TJson document;
  try {
    document = TJson::parse(data, data + size);
  } catch (const TJson::exception&) {
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& duplicate : FindDuplicateKeys(text)) {
    if (!(duplicate.First < duplicate.Again))
      __builtin_trap();
  }
  THostConfig config;
  try {
    config = ParseConfig(document, "/configs");
  } catch (const EConfigError&) {
    return 0;
  }
  std::set<kyt::TInstanceID> ids;
  for (const auto& instance : config.Instances) {
    if (instance.ID == 0 || !ids.insert(instance.ID).second)
      __builtin_trap();
  }
  const auto order = CreationOrder(config.Instances);
  if (order.size() != config.Instances.size())
    __builtin_trap();
  std::set<kyt::TInstanceID> made;
  for (const auto& instance : order) {
    if (instance.Parent != 0 && ids.count(instance.Parent) != 0 && made.count(instance.Parent) == 0)
      __builtin_trap();
    made.insert(instance.ID);
  }
  if (made != ids)
    __builtin_trap();
  return 0;
}
