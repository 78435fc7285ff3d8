#include "host/bounded_file.h"

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "runtime/exception.h"

namespace kyt::host {

namespace {

namespace fs = std::filesystem;

void RequireRegularFile(const std::string& path, std::uintmax_t limit) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (error)
    throw Exception(fmt::format("{}: {}", path, error.message()));
  if (fs::is_directory(status))
    throw Exception(fmt::format("{}: is a directory, not a file", path));
  if (!fs::is_regular_file(status))
    throw Exception(fmt::format("{}: is not a regular file", path));
  std::uintmax_t size = fs::file_size(path, error);
  if (!error && size > limit) {
    throw Exception(
        fmt::format("{}: {} bytes is more than the {} bytes such a file may hold", path, size, limit));
  }
}

}  // namespace

std::string ReadBoundedFile(const std::string& path, std::uintmax_t limit) {
  RequireRegularFile(path, limit);
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw Exception(fmt::format("{}: cannot be opened for reading", path));
  // The size was checked, but a file that grows meanwhile is still read no further than this.
  std::string text;
  char chunk[64 * 1024];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
    if (text.size() > limit) {
      throw Exception(fmt::format("{}: more than the {} bytes such a file may hold", path, limit));
    }
  }
  if (in.bad())
    throw Exception(fmt::format("{}: read error", path));
  return text;
}

}  // namespace kyt::host
