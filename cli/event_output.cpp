#include "cli/event_output.h"

#include "cli/event_format.h"
#include "host/json_values.h"

namespace kyt::host {

void TEventOutput::Event(const THostEvent& event) {
  if (json_) {
    Write(EventToJson(event), "");
  } else {
    Write(nullptr, EventToText(event));
  }
}

void TEventOutput::Result(const std::string& call, const Variant& value) {
  if (json_) {
    Write(ResultToJson(call, value), "");
  } else {
    Write(nullptr, ResultToText(call, value));
  }
}

void TEventOutput::Error(const std::optional<std::string>& call, const std::string& message) {
  if (json_) {
    Write(ErrorToJson(call, message), "");
  } else {
    Write(nullptr, ErrorToText(call, message));
  }
}

void TEventOutput::Module(const TReferenceHost::TRegisteredModule& module) {
  if (json_) {
    Write(ModuleToJson(module), "");
  } else {
    Write(nullptr, ModuleToText(module));
  }
}

void TEventOutput::Write(const TJson& json, const std::string& text) {
  std::string line = (json_ ? DumpLine(json) : text) + "\n";
  std::lock_guard lock(mutex_);
  // A reader that went away is no reason to stop the host; the write just goes nowhere.
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace kyt::host
