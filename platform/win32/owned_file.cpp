#include "platform/owned_file.h"

#include <windows.h>

#include <fmt/format.h>

#include <atomic>
#include <charconv>
#include <utility>

namespace kyt::platform {

namespace {

[[noreturn]] void Fail(const std::string& path, DWORD code) {
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  throw Exception(
      fmt::format("{}: {} (win error code: {})", path, std::string(text, length), code));
}

class THandle {
 public:
  explicit THandle(HANDLE handle) : handle_(handle) {}
  ~THandle() { Close(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close() {
    if (Valid())
      CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE));
  }

 private:
  HANDLE handle_;
};

// The lock covers one byte far past the PID text: Windows locks are mandatory, and the next
// process must still be able to read who holds it.
constexpr DWORD kLockOffset = 0x7FFFFFFF;

long ReadOwner(HANDLE file) {
  char text[32] = {};
  DWORD count = 0;
  OVERLAPPED at{};
  if (!ReadFile(file, text, sizeof text - 1, &count, &at))
    return 0;
  long pid = 0;
  std::from_chars(text, text + count, pid);
  return pid;
}

}  // namespace

struct TFileLock::Impl {
  explicit Impl(HANDLE handle) : file(handle) {}
  THandle file;
};

TFileLock::TFileLock(const std::string& path) {
  auto impl = std::make_unique<Impl>(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!impl->file.Valid())
    Fail(path, GetLastError());
  OVERLAPPED at{};
  at.Offset = kLockOffset;
  if (!LockFileEx(impl->file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                  &at)) {
    DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
      throw EFileLocked(path, ReadOwner(impl->file.Get()));
    Fail(path, error);
  }
  std::string pid = fmt::format("{}\n", GetCurrentProcessId());
  DWORD written = 0;
  OVERLAPPED start{};
  if (!SetEndOfFile(impl->file.Get()) ||
      !WriteFile(impl->file.Get(), pid.data(), static_cast<DWORD>(pid.size()), &written, &start))
    Fail(path, GetLastError());
  impl_ = std::move(impl);
}

TFileLock::~TFileLock() = default;

void ReplaceFileContent(const std::string& path, std::string_view content) {
  static std::atomic<unsigned> counter{0};
  std::string temporary =
      fmt::format("{}{}-{}", TemporaryPrefix(path), GetCurrentProcessId(), counter.fetch_add(1));
  THandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid())
    Fail(temporary, GetLastError());
  try {
    DWORD written = 0;
    if (!WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written,
                   nullptr) ||
        written != content.size() || !FlushFileBuffers(file.Get()))
      Fail(temporary, GetLastError());
    file.Close();
    if (!MoveFileExA(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      Fail(path, GetLastError());
  } catch (...) {
    file.Close();
    DeleteFileA(temporary.c_str());
    throw;
  }
}

}  // namespace kyt::platform
