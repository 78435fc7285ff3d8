#pragma once

// kyt-host's standard input: one JSON object per line, {"call": "CSCK_SendText", "args": [12,
// "hi"]}; arguments as Variants (see VariantFromJson).

#include <optional>
#include <string>
#include <vector>

#include "runtime/variant.h"

namespace kyt::host {

struct TCallRequest {
  std::optional<std::string> Function;  // none when the line names no call
  std::vector<Variant> Args;
  std::string Error;  // set when the line cannot be called
  bool Valid() const { return Error.empty(); }
};

TCallRequest ParseCallLine(const std::string& line);

}  // namespace kyt::host
