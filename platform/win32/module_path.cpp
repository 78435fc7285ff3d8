#include "platform/module_path.h"

#include <vector>

#include "platform/win32/win_text.h"

namespace kyt {

std::string LoadedObjectPath(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return {};
  }
  // Long paths do not fit MAX_PATH; grow until the name is not cut short.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD size = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (size == 0)
      return {};
    if (size < buffer.size())
      return win::Narrow(buffer.data(), size);
    if (buffer.size() >= 32768)
      return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> LoadedObjectPaths() {
  return {};
}

}  // namespace kyt
