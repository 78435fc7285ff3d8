#pragma once

// Reading the host's own files (config, settings) whole, refusing what is no regular file or
// too large to be one of them, so that a path to a device or a folder fails at once with a
// clear reason instead of reading without end.

#include <cstdint>
#include <string>

namespace kyt::host {

inline constexpr std::uintmax_t kMaxHostFileSize = 64 * 1024 * 1024;

// Raises Exception "PATH: REASON" when the file cannot be opened, is a directory or no regular
// file, or holds more than `limit` bytes.
std::string ReadBoundedFile(const std::string& path, std::uintmax_t limit = kMaxHostFileSize);

}  // namespace kyt::host
