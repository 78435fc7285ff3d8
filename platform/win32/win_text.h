#pragma once

// Text conversions and system messages shared by the Windows backend. Every name and message
// crosses the layer as UTF-8; the wide ("W") functions are called underneath.

#include <windows.h>

#include <string>

namespace kyt::win {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
std::string Narrow(const wchar_t* text, std::size_t size);
// The system's message for an error code (GetLastError, WSAGetLastError), without the line
// break FormatMessage ends it with; "error N" when the system has none.
std::string SystemErrorText(DWORD code);

// Owns one kernel handle and closes it exactly once.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  HANDLE Get() const noexcept { return handle_; }
  bool Valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() noexcept {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  void Reset(HANDLE handle = nullptr) noexcept {
    if (Valid())
      ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace kyt::win
