#pragma once

// The blocks the test machine's tests move and compare, built the same way on the host and by
// the guest's probe: every byte value in order (or reversed), and a seeded block that is not
// just a counter.

#include <cstddef>
#include <string>

namespace kyt::vm {

inline std::string AllByteValues(bool descending = false) {
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(descending ? 255 - i : i);
  return bytes;
}

inline std::string SeededBlock(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

}  // namespace kyt::vm
