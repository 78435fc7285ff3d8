#include "cli/call_protocol.h"

#include "host/json_values.h"

#include "host/json_values.h"

namespace kyt::host {

namespace {

TCallRequest Invalid(std::optional<std::string> function, std::string error) {
  return {std::move(function), {}, std::move(error)};
}

}  // namespace

TCallRequest ParseCallLine(const std::string& line) {
  TJson document;
  try {
    document = TJson::parse(line);
  } catch (const TJson::exception& e) {  // out_of_range too: a number beyond a double
    return Invalid(std::nullopt, std::string("Malformed line: ") + e.what());
  }
  if (!document.is_object())
    return Invalid(std::nullopt, "Malformed line: expected an object");
  auto call = document.find("call");
  if (call == document.end() || !call->is_string()) {
    return Invalid(std::nullopt, "Malformed line: \"call\" must name a function");
  }
  std::string function = call->get<std::string>();
  auto args = document.find("args");
  if (args == document.end())
    return {function, {}, ""};
  if (!args->is_array())
    return Invalid(function, "\"args\" must be an array");
  TCallRequest request{function, {}, ""};
  try {
    for (const auto& arg : *args) request.Args.push_back(VariantFromJson(arg));
  } catch (const std::exception& e) {
    return Invalid(function, std::string("Bad argument: ") + e.what());
  }
  return request;
}

}  // namespace kyt::host
