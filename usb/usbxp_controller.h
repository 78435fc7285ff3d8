#pragma once

// TUSBXpController: Silicon Labs USBXpress devices through the vendor's library, loaded at run
// time (libSiUSBXp.so, or the file named by KYT_SIUSBXP_LIBRARY). The library has no receive
// event, so the watch thread polls.

#include <cstdint>
#include <optional>
#include <string>

#include "usb/vendor_controller.h"

#ifdef _WIN32
inline constexpr const char* kUSBXpLibraryFile = "SiUSBXp.dll";
#else
inline constexpr const char* kUSBXpLibraryFile = "libSiUSBXp.so";
#endif

namespace kyt {

struct TUSBXpDeviceInfo {
  std::string SerialNumber;
  std::string Description;
  bool InUse = false;  // the library does not tell
};

class TUSBXpController : public TVendorController {
 public:
  using TDeviceInfo = TUSBXpDeviceInfo;
  static constexpr TVendorLibraryFile kLibrary{kUSBXpLibraryFile, "KYT_SIUSBXP_LIBRARY"};

  TUSBXpController();
  ~TUSBXpController() override;

  std::string GetLibraryVersion() const { return "Unknown"; }
  uint32_t GetDeviceCount();
  void GetDeviceInfo(uint32_t Index, TUSBXpDeviceInfo& Device);
  void Open(const std::string& SerialNumber);
  // FlowControl is accepted and not used; no time-outs are set.
  void Configure(uint32_t BaudRate, uint8_t DataBits, uint8_t StopBits, uint8_t Parity,
                 uint16_t FlowControl);

  // The line control word: stop bits in bits 0 to 3, parity in 4 to 7, word length in 8 to 15.
  // Empty when a value does not fit its field (it would change another one).
  static std::optional<uint16_t> LineControl(uint8_t DataBits, uint8_t StopBits, uint8_t Parity);

 protected:
  bool WriteToDevice(void* Handle, const std::string& Data, uint32_t& Written) override;
  bool CloseDevice(void* Handle) override;
  bool CheckBuffer() override;

 private:
  std::string ProductString(uint32_t Index, uint32_t Option);
};

}  // namespace kyt
