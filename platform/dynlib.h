#pragma once

// Loading shared libraries at run time: the plug-in for the host, vendor driver libraries for
// the USB modules.

#include <string>

#include "runtime/exception.h"

namespace kyt {

// The loader could not open a library or find a symbol; the message is the loader's own text.
class EDynamicLibrary : public Exception {
 public:
  using Exception::Exception;
};

// One loaded library. Closing happens in the destructor; a moved-from object holds nothing.
class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  // Loads with every symbol resolved now, so a missing dependency fails here and not on a
  // later call. Raises EDynamicLibrary with the loader's text.
  explicit TDynamicLibrary(const std::string& path);
  ~TDynamicLibrary();
  TDynamicLibrary(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary& operator=(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  bool IsOpen() const { return handle_ != nullptr; }
  const std::string& Path() const { return path_; }

  // The address of a symbol, or nullptr when the library lacks it (Error() then says why).
  void* Symbol(const char* name);
  // The same, raising EDynamicLibrary when the symbol is missing.
  void* RequireSymbol(const char* name);
  // Closes now; a library already closed is left alone. Raises EDynamicLibrary when the loader
  // refuses.
  void Close();

  // The loader's text for the last failure of this object; empty when none failed.
  const std::string& Error() const { return error_; }

 private:
  bool Lookup(const char* name, void*& address);

  void* handle_ = nullptr;
  std::string path_;
  std::string error_;
};

}  // namespace kyt
