#pragma once

// The kyt-host config file: which instances to create, connected how, with which settings.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/json_values.h"

#include "framework/types.h"
#include "runtime/exception.h"
#include "runtime/variant.h"

namespace kyt::host {

class EConfigError : public Exception {
 public:
  using Exception::Exception;
};

struct TInstanceConfig {
  TInstanceID ID = 0;
  std::string Module;
  std::string Name;
  TInstanceID Parent = 0;
  // Stored under ["Settings"] before the instance is created; Boolean, Integer, Float, String.
  std::vector<std::pair<std::string, Variant>> Settings;
};

// A key given twice in one JSON object: the parser keeps the last, so the first goes unseen.
struct TDuplicateKey {
  std::string Object;  // where: "config", "instances[1]", "instances[1].settings"
  std::string Key;
  std::optional<size_t> InstanceIndex;     // within instances[INDEX], when it is
  std::pair<size_t, size_t> First, Again;  // line and column (from 1) of each
};

struct THostConfig {
  std::optional<std::string> Library;  // made absolute against the config file's folder
  std::vector<TInstanceConfig> Instances;
  std::vector<TDuplicateKey> DuplicateKeys;  // found by ReadConfigFile
};

// Every key that an object of the JSON text (which must parse) gives more than once.
std::vector<TDuplicateKey> FindDuplicateKeys(std::string_view text);

// Raises EConfigError naming the offending instance and key.
THostConfig ParseConfig(const TJson& document, const std::string& baseDirectory);
THostConfig ReadConfigFile(const std::string& path);

// Config order, except that a child whose parent comes later waits until the parent is made.
std::vector<TInstanceConfig> CreationOrder(const std::vector<TInstanceConfig>& instances);

}  // namespace kyt::host
