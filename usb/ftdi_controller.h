#pragma once

// TD2XXController: FTDI USB serial converters through a D2XX library, loaded at run time: the
// file named by KYT_FTD2XX_LIBRARY, else the vendor's libftd2xx.so, else our libkyt_ftd2xx.so
// beside the plug-in.

#include <cstdint>
#include <string>

#include "usb/vendor_controller.h"

#ifdef _WIN32
inline constexpr const char* kD2XXLibraryFile = "ftd2xx.dll";
inline constexpr const char* kD2XXProviderFile = nullptr;
#else
inline constexpr const char* kD2XXLibraryFile = "libftd2xx.so";
// Ours, on libftdi1 (d2xx/), installed beside the plug-in: taken where FTDI's does not load.
inline constexpr const char* kD2XXProviderFile = "libkyt_ftd2xx.so";
#endif

namespace kyt {

struct TD2XXDevice {
  std::string SerialNumber;  // at most 16 characters
  std::string Description;   // at most 64 characters
  bool InUse = false;        // the driver reports an open handle for it
};

class TD2XXController : public TVendorController {
 public:
  using TDeviceInfo = TD2XXDevice;
  static constexpr TVendorLibraryFile kLibrary{kD2XXLibraryFile, "KYT_FTD2XX_LIBRARY",
                                               kD2XXProviderFile};

  TD2XXController();
  ~TD2XXController() override;

  // Derived from the exports present; the library is not called.
  std::string GetLibraryVersion() const;
  uint32_t GetDeviceCount();
  void GetDeviceInfo(uint32_t Index, TD2XXDevice& Device);
  void Open(const std::string& SerialNumber);
  void Configure(uint32_t BaudRate, uint8_t DataBits, uint8_t StopBits, uint8_t Parity,
                 uint16_t FlowControl);

 protected:
  bool WriteToDevice(void* Handle, const std::string& Data, uint32_t& Written) override;
  bool CloseDevice(void* Handle) override;
  bool CheckBuffer() override;
};

}  // namespace kyt
