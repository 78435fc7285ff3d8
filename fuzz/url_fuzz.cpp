// The URL parser and the reference resolver on arbitrary text: the input up to the first
// newline is the page address, the rest a Location reference against it. The path that goes on
// the wire must never carry a line break or a space.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "network/http_url.h"

namespace {

void CheckWireSafe(const kyt::THTTPURL& url) {
  const std::string line = url.AbsoluteForm();
  if (line.find_first_of(std::string(" \r\n\0", 4)) != std::string::npos)
    __builtin_trap();
  if (url.PathAndQuery.empty() || url.PathAndQuery[0] != '/')
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string page = input.substr(0, newline);
  try {
    const kyt::THTTPURL url = kyt::ParseHTTPURL(page);
    CheckWireSafe(url);
    if (newline != std::string::npos) {
      const std::string next = kyt::ResolveHTTPReference(url, input.substr(newline + 1));
      CheckWireSafe(kyt::ParseHTTPURL(next));
    }
  } catch (const std::exception&) {
  }
  return 0;
}
