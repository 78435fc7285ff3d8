#include "platform/dynlib.h"

#include <cstdio>
#include <utility>

#include "platform/win32/win_text.h"

namespace kyt {

namespace {

std::string LoaderError(const std::string& what) {
  return what + ": " + win::SystemErrorText(::GetLastError());
}

}  // namespace

TDynamicLibrary::TDynamicLibrary(const std::string& path) : path_(path) {
  // No "cannot find the disk" boxes for a name on a removable drive; the host runs unattended.
  UINT oldMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  handle_ = ::LoadLibraryW(win::Widen(path).c_str());
  DWORD code = ::GetLastError();
  ::SetErrorMode(oldMode);
  if (handle_ == nullptr) {
    error_ = path + ": " + win::SystemErrorText(code);
    throw EDynamicLibrary(error_);
  }
}

TDynamicLibrary::~TDynamicLibrary() {
  try {
    Close();
  } catch (const EDynamicLibrary& e) {
    std::fprintf(stderr, "%s: %s\n", path_.c_str(), e.what());
  }
}

TDynamicLibrary::TDynamicLibrary(TDynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      error_(std::move(other.error_)) {}

TDynamicLibrary& TDynamicLibrary::operator=(TDynamicLibrary&& other) noexcept {
  if (this != &other) {
    TDynamicLibrary old(std::move(*this));
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
    error_ = std::move(other.error_);
  }
  return *this;
}

void* TDynamicLibrary::Symbol(const char* name) {
  void* address = nullptr;
  Lookup(name, address);
  return address;
}

void* TDynamicLibrary::RequireSymbol(const char* name) {
  void* address = nullptr;
  if (!Lookup(name, address))
    throw EDynamicLibrary(error_);
  return address;
}

bool TDynamicLibrary::Lookup(const char* name, void*& address) {
  if (handle_ == nullptr) {
    error_ = "library is not loaded";
    return false;
  }
  // An export is never at address 0, so a null result is always a failure.
  address = reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
  if (address == nullptr) {
    error_ = LoaderError(name);
    return false;
  }
  return true;
}

void TDynamicLibrary::Close() {
  void* handle = std::exchange(handle_, nullptr);
  if (handle != nullptr && !::FreeLibrary(static_cast<HMODULE>(handle))) {
    error_ = LoaderError("FreeLibrary");
    throw EDynamicLibrary(error_);
  }
}

}  // namespace kyt
