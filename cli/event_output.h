#pragma once

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "host/json_values.h"

#include "host/reference_host.h"

namespace kyt::host {

// kyt-host's standard output: whole lines from any thread, flushed one by one, as JSON or
// as text.
class TEventOutput {
 public:
  TEventOutput(std::FILE* out, bool json) : out_(out), json_(json) {}

  void Event(const THostEvent& event);
  void Result(const std::string& call, const Variant& value);
  void Error(const std::optional<std::string>& call, const std::string& message);
  void Module(const TReferenceHost::TRegisteredModule& module);
  // Any other line: `json` with --json, else `text`.
  void Line(const TJson& json, const std::string& text) { Write(json, text); }

 private:
  void Write(const TJson& json, const std::string& text);

  std::mutex mutex_;
  std::FILE* out_;
  const bool json_;
};

}  // namespace kyt::host
