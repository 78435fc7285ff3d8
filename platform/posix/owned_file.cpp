#include "platform/owned_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <utility>

namespace kyt::platform {

namespace {

std::string SystemText(int code) {
  char buffer[256] = {};
  // GNU strerror_r returns the text; it may or may not use the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

[[noreturn]] void Fail(const std::string& path, int code) {
  throw Exception(fmt::format("{}: {}", path, SystemText(code)));
}

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  // The result of close, which on some file systems is where a failed write shows.
  int Close() {
    int result = 0;
    if (fd_ >= 0)
      result = ::close(std::exchange(fd_, -1));  // never retried on EINTR
    return result;
  }

 private:
  int fd_;
};

void WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR)
        continue;
      Fail(path, errno);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

long ReadOwner(int fd) {
  char text[32] = {};
  ssize_t count = ::pread(fd, text, sizeof text - 1, 0);
  long pid = 0;
  if (count > 0)
    std::from_chars(text, text + count, pid);
  return pid;
}

// Flushes the folder's entry for a renamed file. Some file systems cannot sync a folder
// (EINVAL); the rename is then as durable as they make it.
void SyncFolder(const std::string& folder) {
  TFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0)
    Fail(folder, errno);
  if (::fsync(fd.Get()) != 0 && errno != EINVAL)
    Fail(folder, errno);
}

}  // namespace

struct TFileLock::Impl {
  explicit Impl(int fd) : file(fd) {}
  TFd file;
};

TFileLock::TFileLock(const std::string& path) {
  auto impl =
      std::make_unique<Impl>(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  const int fd = impl->file.Get();
  if (fd < 0)
    Fail(path, errno);
  // Open-file-description locks: per open file rather than per process, and not dropped when
  // some other descriptor of the file in this process is closed.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (errno == EAGAIN || errno == EACCES)
      throw EFileLocked(path, ReadOwner(fd));
    Fail(path, errno);
  }
  std::string pid = fmt::format("{}\n", ::getpid());
  if (::ftruncate(fd, 0) != 0)
    Fail(path, errno);
  if (::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
    Fail(path, errno);
  impl_ = std::move(impl);
}

TFileLock::~TFileLock() = default;

void ReplaceFileContent(const std::string& path, std::string_view content) {
  std::string temporary = TemporaryPrefix(path) + "XXXXXX";
  TFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.Get() < 0)
    Fail(temporary, errno);
  try {
    WriteAll(file.Get(), content, temporary);
    if (::fsync(file.Get()) != 0)
      Fail(temporary, errno);
    if (file.Close() != 0)
      Fail(temporary, errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
      Fail(path, errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  SyncFolder(folder.empty() ? std::string(".") : folder.string());
}

}  // namespace kyt::platform
