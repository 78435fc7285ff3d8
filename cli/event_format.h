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

// Bytes for a text line: printable ASCII as it is, backslash doubled, the rest as \xHH. For data,
// where every byte counts and a terminal must not reinterpret any of them.
std::string EscapeBytes(const std::string& bytes);

// Text for a text line: valid UTF-8 as it is, so translated texts read in the user's language;
// control characters (C0, DEL, C1) and bytes that are not valid UTF-8 as \xHH, backslash doubled.
std::string EscapeText(const std::string& text);

}  // namespace kyt::host
