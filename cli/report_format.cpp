#include "cli/report_format.h"

#include <fmt/format.h>

#include "cli/event_format.h"

namespace kyt::host {

namespace {

using json = TJson;

std::string GivenText(const TConfigFinding& finding) {
  return finding.Given ? DumpLine(VariantToJson(*finding.Given)) : "nothing";
}

// A field of a device line as text: strings quoted when they hold a space, others as JSON.
std::string FieldText(const json& value) {
  if (value.is_string()) {
    std::string text = value.get<std::string>();
    return text.find_first_of(" \"") == std::string::npos && !text.empty() ? text
                                                                            : DumpLine(value);
  }
  return DumpLine(value);
}

const char* OutcomeName(TCheckResult::Outcome outcome) {
  switch (outcome) {
    case TCheckResult::Outcome::Pass:
      return "pass";
    case TCheckResult::Outcome::Fail:
      return "fail";
    case TCheckResult::Outcome::Skip:
      return "skip";
  }
  return "fail";
}

}  // namespace

json FindingToJson(const TConfigFinding& finding) {
  return {{"event", "warning"},
          {"instance", finding.Instance},
          {"module", finding.Module},
          {"setting", finding.Setting ? json(*finding.Setting) : json(nullptr)},
          {"problem", finding.Problem},
          {"given", finding.Given ? VariantToJson(*finding.Given) : json(nullptr)},
          {"expected", finding.Expected}};
}

std::string FindingToText(const TConfigFinding& finding) {
  std::string setting = finding.Setting ? " " + *finding.Setting : "";
  return EscapeBytes(fmt::format("warning #{} {}{}: {}; given {}, expected {}", finding.Instance,
                                 finding.Module, setting, finding.Problem, GivenText(finding),
                                 finding.Expected));
}

json DeviceToJson(const TDeviceLine& device) {
  json out = {{"event", "device"}, {"module", device.Module}};
  for (const auto& item : device.Fields.items()) out[item.key()] = item.value();
  return out;
}

std::string DeviceToText(const TDeviceLine& device) {
  std::string line = device.Module;
  bool first = true;
  for (const auto& item : device.Fields.items()) {
    // The first field is what a config names; the rest are labelled.
    if (first) {
      line += " " + FieldText(item.value());
      first = false;
    } else if (!item.value().is_null()) {
      line += fmt::format(" {}={}", item.key(), FieldText(item.value()));
    }
  }
  return EscapeBytes(line);
}

json UnavailableToJson(const std::string& module, const std::string& reason) {
  return {{"event", "unavailable"}, {"module", module}, {"reason", reason}};
}

std::string UnavailableToText(const std::string& module, const std::string& reason) {
  return EscapeBytes(fmt::format("{} unavailable: {}", module, reason));
}

json CheckToJson(const TCheckResult& check) {
  json out = {{"event", "check"},
              {"name", check.Name},
              {"result", OutcomeName(check.Result)},
              {"text", check.Text}};
  if (check.Result == TCheckResult::Outcome::Fail)
    out["fix"] = check.Fix;
  return out;
}

std::string CheckToText(const TCheckResult& check) {
  std::string line = fmt::format("{:<4}  {}: {}", OutcomeName(check.Result), check.Name, check.Text);
  if (check.Result == TCheckResult::Outcome::Fail)
    line += "; fix: " + check.Fix;
  return EscapeBytes(line);
}

}  // namespace kyt::host
