#pragma once

#include <string>
#include <string_view>

namespace kyt::host {

// Names the host compares without regard to case are ASCII identifiers; bytes above 127 are
// left as they are, so no locale can change a lookup.
std::string AsciiLower(std::string_view text);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kyt::host
