#include "cli/event_format.h"

#include <fmt/format.h>

#include "host/json_values.h"

namespace kyt::host {

namespace {

using json = TJson;
using Kind = THostEvent::Kind;

json DataArray(const std::vector<Variant>& data) {
  json out = json::array();
  for (const auto& item : data) out.push_back(VariantToJson(item));
  return out;
}

std::string DataText(const std::vector<Variant>& data) {
  std::string out;
  for (const auto& item : data) out += (out.empty() ? "" : ", ") + item.ToDebugString();
  return "[" + out + "]";
}

json DataEventToJson(const THostEvent& event) {
  json out = {{"event", "data"}, {"instance", event.Instance}};
  if (event.HasReportID)
    out["report_id"] = event.Code;
  out["hex"] = HexEncode(event.Text);
  out["text"] = event.Text;
  return out;
}

std::string DataEventToText(const THostEvent& event) {
  std::string report = event.HasReportID ? fmt::format(" report {}", event.Code) : "";
  return fmt::format("data #{}{}: {}", event.Instance, report, EscapeBytes(event.Text));
}

}  // namespace

std::string EscapeBytes(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += fmt::format("\\x{:02X}", c);
    }
  }
  return out;
}

json EventToJson(const THostEvent& event) {
  switch (event.EventKind) {
    case Kind::Log:
      return {{"event", "log"},
              {"code", event.Code},
              {"sender", event.Instance},
              {"name", event.Name},
              {"text", event.Text}};
    case Kind::Debug:
      return {{"event", "debug"},
              {"sender", event.Instance},
              {"title", event.Name},
              {"hex", HexEncode(event.Text)},
              {"text", event.Text}};
    case Kind::Status:
      return {{"event", "status"}, {"instance", event.Instance}, {"status", event.Code}};
    case Kind::Summary:
      return {{"event", "summary"}, {"instance", event.Instance}, {"text", event.Text}};
    case Kind::Message:
      return {{"event", "message"},
              {"sender", event.Instance},
              {"message", event.Code},
              {"data", DataArray(event.Data)}};
    case Kind::Timer:
      return {{"event", "timer"},
              {"instance", event.Instance},
              {"name", event.Name},
              {"interval", event.Code}};
    case Kind::Data:
      return DataEventToJson(event);
  }
  return {{"event", "unknown"}};
}

std::string EventToText(const THostEvent& event) {
  switch (event.EventKind) {
    case Kind::Log:
      return fmt::format("log {} #{} {}: {}", event.Code, event.Instance, EscapeBytes(event.Name),
                         EscapeBytes(event.Text));
    case Kind::Debug:
      return fmt::format("debug #{} {}: {}", event.Instance, EscapeBytes(event.Name),
                         EscapeBytes(event.Text));
    case Kind::Status:
      return fmt::format("status #{} {}", event.Instance, event.Code);
    case Kind::Summary:
      return fmt::format("summary #{}: {}", event.Instance, EscapeBytes(event.Text));
    case Kind::Message:
      return fmt::format("message #{} {} {}", event.Instance, event.Code,
                         EscapeBytes(DataText(event.Data)));
    case Kind::Timer:
      return fmt::format("timer #{} {} {}", event.Instance, EscapeBytes(event.Name), event.Code);
    case Kind::Data:
      return DataEventToText(event);
  }
  return "unknown event";
}

json ResultToJson(const std::string& call, const Variant& value) {
  return {{"event", "result"}, {"call", call}, {"value", VariantToJson(value)}};
}

std::string ResultToText(const std::string& call, const Variant& value) {
  return fmt::format("result {}: {}", EscapeBytes(call), EscapeBytes(value.ToDebugString()));
}

json ErrorToJson(const std::optional<std::string>& call, const std::string& message) {
  return {{"event", "error"}, {"call", call ? json(*call) : json(nullptr)}, {"message", message}};
}

std::string ErrorToText(const std::optional<std::string>& call, const std::string& message) {
  return fmt::format("error {}: {}", call ? EscapeBytes(*call) : "(no call)", EscapeBytes(message));
}

json ModuleToJson(const TReferenceHost::TRegisteredModule& module) {
  return {{"event", "module"},
          {"name", module.Name},
          {"module_id", module.Class->ModuleID},
          {"display_name", module.Class->ModuleName}};
}

std::string ModuleToText(const TReferenceHost::TRegisteredModule& module) {
  return fmt::format("{} {} {}", module.Name, module.Class->ModuleID, module.Class->ModuleName);
}

}  // namespace kyt::host
