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

namespace {

// The length of the well-formed UTF-8 sequence at `at` (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  if (byte(at + 1) < low || byte(at + 1) > high)
    return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(at + i) & 0xC0) != 0x80)
      return 0;
  return length;
}

}  // namespace

std::string EscapeText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += EscapeBytes(text.substr(i, 1));
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    // U+0080..U+009F (C2 80..C2 9F) are control characters too.
    const bool control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (length == 0 || control) {
      out += EscapeBytes(text.substr(i, length == 0 ? 1 : length));
      i += length == 0 ? 1 : length;
    } else {
      out.append(text, i, length);
      i += length;
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
      return fmt::format("log {} #{} {}: {}", event.Code, event.Instance, EscapeText(event.Name),
                         EscapeText(event.Text));
    case Kind::Debug:
      return fmt::format("debug #{} {}: {}", event.Instance, EscapeText(event.Name),
                         EscapeBytes(event.Text));
    case Kind::Status:
      return fmt::format("status #{} {}", event.Instance, event.Code);
    case Kind::Summary:
      return fmt::format("summary #{}: {}", event.Instance, EscapeText(event.Text));
    case Kind::Message:
      return fmt::format("message #{} {} {}", event.Instance, event.Code,
                         EscapeText(DataText(event.Data)));
    case Kind::Timer:
      return fmt::format("timer #{} {} {}", event.Instance, EscapeText(event.Name), event.Code);
    case Kind::Data:
      return DataEventToText(event);
  }
  return "unknown event";
}

json ResultToJson(const std::string& call, const Variant& value) {
  return {{"event", "result"}, {"call", call}, {"value", VariantToJson(value)}};
}

std::string ResultToText(const std::string& call, const Variant& value) {
  return fmt::format("result {}: {}", EscapeText(call), EscapeText(value.ToDebugString()));
}

json ErrorToJson(const std::optional<std::string>& call, const std::string& message) {
  return {{"event", "error"}, {"call", call ? json(*call) : json(nullptr)}, {"message", message}};
}

std::string ErrorToText(const std::optional<std::string>& call, const std::string& message) {
  return fmt::format("error {}: {}", call ? EscapeText(*call) : "(no call)", EscapeText(message));
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
