#pragma once

// The vendor-library doubles as the tests see them: the same shared object the controller loads
// (loaded once more here, so both share its state), driven through its test-only control
// interface.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dynlib.h"

namespace kyt::test {

// Named as on Linux; the Windows doubles drop the "lib" and end in ".dll" (ftd2xx.dll).
inline std::string FakeVendorLibrary(std::string file) {
#ifdef _WIN32
  if (file.starts_with("lib"))
    file.erase(0, 3);
  if (file.ends_with(".so"))
    file.replace(file.size() - 3, 3, ".dll");
#endif
  return std::string(KYT_FAKE_VENDOR_DIR) + "/" + file;
}

class TFakeVendor {
 public:
  // Loads the double, points `environmentVariable` at it and starts with no devices.
  TFakeVendor(const std::string& file, const char* environmentVariable)
      : library_(FakeVendorLibrary(file)) {
    setenv(environmentVariable, library_.Path().c_str(), 1);
    Get<void()>("FakeVendor_Reset")();
  }

  void AddDevice(const std::string& serial, const std::string& description, bool echo = false) {
    Get<void(const char*, const char*, int)>("FakeVendor_AddDevice")(
        serial.c_str(), description.c_str(), echo ? 1 : 0);
  }
  void SetPresent(const std::string& serial, bool present) {
    Get<void(const char*, int)>("FakeVendor_SetPresent")(serial.c_str(), present ? 1 : 0);
  }
  void Inject(const std::string& serial, const std::string& bytes) {
    Get<void(const char*, const char*, size_t)>("FakeVendor_Inject")(serial.c_str(), bytes.data(),
                                                                     bytes.size());
  }
  std::string Written(const std::string& serial) {
    auto* written = Get<size_t(const char*, char*, size_t)>("FakeVendor_Written");
    std::string out(written(serial.c_str(), nullptr, 0), '\0');
    written(serial.c_str(), out.data(), out.size());
    return out;
  }
  bool IsOpen(const std::string& serial) {
    return Get<int(const char*)>("FakeVendor_IsOpen")(serial.c_str()) != 0;
  }
  // The function returns `status` on its next `times` calls (-1: all of them).
  void Fail(const std::string& function, uint32_t status = 4, int times = -1) {
    Get<void(const char*, uint32_t, int)>("FakeVendor_Fail")(function.c_str(), status, times);
  }
  void LimitWrites(uint32_t limit) { Get<void(uint32_t)>("FakeVendor_LimitWrites")(limit); }
  // While stalled, writes take nothing and return short after the device's write time-out.
  void StallWrites(bool stalled) { Get<void(int)>("FakeVendor_StallWrites")(stalled ? 1 : 0); }
  int WritesWaiting() { return Get<int()>("FakeVendor_WritesWaiting")(); }
  // The calls logged since the last time, "NAME(ARGS)" each; polls are not logged.
  std::vector<std::string> TakeCalls() {
    auto* calls = Get<size_t(char*, size_t, int)>("FakeVendor_Calls");
    std::string text(calls(nullptr, 0, 0), '\0');
    text.resize(calls(text.data(), text.size(), 1));
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    return lines;
  }

 private:
  template <class F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(library_.RequireSymbol(name));
  }

  TDynamicLibrary library_;
};

// Every byte value once, NUL first.
inline std::string EveryByte() {
  std::string bytes(256, '\0');
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  return bytes;
}

}  // namespace kyt::test
