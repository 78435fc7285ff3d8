// kyt-host's call lines on arbitrary text: every line gets an answer, so parsing never raises;
// a valid request names its function.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/call_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  try {
    const kyt::host::TCallRequest request = kyt::host::ParseCallLine(line);
    if (request.Valid() && !request.Function)
      __builtin_trap();
  } catch (...) {
    __builtin_trap();
  }
  return 0;
}
