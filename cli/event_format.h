#pragma once

// How kyt-host shows what happens: one JSON object or one line of text per event.

#include <optional>
#include <string>

#include "host/json_values.h"

#include "host/reference_host.h"

namespace kyt::host {

TJson EventToJson(const THostEvent& event);
std::string EventToText(const THostEvent& event);

TJson ResultToJson(const std::string& call, const Variant& value);
std::string ResultToText(const std::string& call, const Variant& value);
// `call` is empty when the line named no call (it is malformed).
TJson ErrorToJson(const std::optional<std::string>& call, const std::string& message);
std::string ErrorToText(const std::optional<std::string>& call, const std::string& message);

TJson ModuleToJson(const TReferenceHost::TRegisteredModule& module);
std::string ModuleToText(const TReferenceHost::TRegisteredModule& module);

// Bytes for a text line: printable ASCII as it is, backslash doubled, the rest as \xHH.
std::string EscapeBytes(const std::string& bytes);

}  // namespace kyt::host
