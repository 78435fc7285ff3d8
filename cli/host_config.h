#pragma once

// The kyt-host config file: which instances to create, connected how, with which settings.

#include <optional>
#include <string>
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

struct THostConfig {
  std::optional<std::string> Library;  // made absolute against the config file's folder
  std::vector<TInstanceConfig> Instances;
};

// Raises EConfigError naming the offending instance and key.
THostConfig ParseConfig(const TJson& document, const std::string& baseDirectory);
THostConfig ReadConfigFile(const std::string& path);

// Config order, except that a child whose parent comes later waits until the parent is made.
std::vector<TInstanceConfig> CreationOrder(const std::vector<TInstanceConfig>& instances);

}  // namespace kyt::host
