#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kyt::test_support {

TTempDir::TTempDir() {
#ifdef _WIN32
  // No mkdtemp: a random name is taken when creating it succeeds, as nobody else had it.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    auto candidate = std::filesystem::temp_directory_path() /
                     ("kyt-test-" + std::to_string(random()) + std::to_string(random()));
    if (std::filesystem::create_directory(candidate))
      path_ = candidate.string();
  }
  if (path_.empty())
    throw std::runtime_error("no temporary folder could be made");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "kyt-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TTempDir::Write(const std::string& name, const std::string& content) const {
  std::string path = File(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path);
  return path;
}

std::string TTempDir::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kyt::test_support
