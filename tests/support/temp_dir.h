#pragma once

#include <string>

namespace kyt::test_support {

// A fresh folder for one test's files, removed with everything in it at the end.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to a file in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& content) const;
  // The file's content; "" when it does not exist.
  std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace kyt::test_support
