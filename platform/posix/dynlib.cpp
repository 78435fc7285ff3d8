#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cstdio>
#include <utility>

namespace kyt {

namespace {

// dlerror() is per thread and cleared by reading, so it is read once, right after the call.
std::string TakeLoaderError(const char* fallback) {
  const char* text = dlerror();
  return text ? text : fallback;
}

}  // namespace

TDynamicLibrary::TDynamicLibrary(const std::string& path) : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    error_ = TakeLoaderError("cannot load library");
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
  if (address == nullptr)
    throw EDynamicLibrary(std::string(name) + ": symbol is null");
  return address;
}

bool TDynamicLibrary::Lookup(const char* name, void*& address) {
  if (handle_ == nullptr) {
    error_ = "library is not loaded";
    return false;
  }
  // A symbol may legitimately be null, so failure shows only through dlerror.
  dlerror();
  address = dlsym(handle_, name);
  if (const char* text = dlerror()) {
    error_ = text;
    return false;
  }
  return true;
}

void TDynamicLibrary::Close() {
  void* handle = std::exchange(handle_, nullptr);
  if (handle != nullptr && dlclose(handle) != 0) {
    error_ = TakeLoaderError("cannot unload library");
    throw EDynamicLibrary(error_);
  }
}

}  // namespace kyt
