#include "platform/win32/win_text.h"

namespace kyt::win {

std::wstring Widen(const std::string& text) {
  if (text.empty())
    return {};
  int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string Narrow(const wchar_t* text, std::size_t size) {
  if (size == 0)
    return {};
  int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), bytes, nullptr,
                        nullptr);
  return out;
}

std::string Narrow(const std::wstring& text) {
  return Narrow(text.data(), text.size());
}

std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD size = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (size > 0 && buffer != nullptr)
    text = Narrow(buffer, size);
  ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace kyt::win
