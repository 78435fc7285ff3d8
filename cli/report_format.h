#pragma once

// The lines of check, devices and doctor (and the warnings run prints before it starts): one
// JSON object or one line of text each, like every other event of kyt-host.

#include <string>

#include "cli/config_check.h"
#include "host/json_values.h"

namespace kyt::host {

// warning #10 SSCK Port: wrong type; given "47100", expected an Integer
TJson FindingToJson(const TConfigFinding& finding);
std::string FindingToText(const TConfigFinding& finding);

// One device a config can name: "module" and the fields of that kind of device, in order.
struct TDeviceLine {
  std::string Module;
  TJson Fields = TJson::object();
};
TJson DeviceToJson(const TDeviceLine& device);
std::string DeviceToText(const TDeviceLine& device);

// A module whose devices cannot be listed (its driver library did not load).
TJson UnavailableToJson(const std::string& module, const std::string& reason);
std::string UnavailableToText(const std::string& module, const std::string& reason);

struct TCheckResult {
  enum class Outcome { Pass, Fail, Skip };
  std::string Name;
  Outcome Result = Outcome::Pass;
  std::string Text;
  std::string Fix;  // where it fails
};
TJson CheckToJson(const TCheckResult& check);
std::string CheckToText(const TCheckResult& check);

}  // namespace kyt::host
