#pragma once

// The libudev half of the Linux HID backend: which hidraw nodes exist, what their USB device
// says about itself, and a monitor for arrivals and removals.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace kyt::hid::posix {

std::vector<TDeviceEntry> EnumerateHidraw();
std::unique_ptr<IDeviceWatch> WatchHidraw(std::function<void()> onChange);

// What sysfs holds about the device behind a hidraw node (by its device number).
struct TUsbFacts {
  bool IsUsb = false;  // a USB device sits above the node
  std::optional<std::string> Serial, Manufacturer, Product;
  uint16_t Version = 0;
  int BusNumber = 0, DeviceNumber = 0;
};
TUsbFacts UsbFactsOf(unsigned long long deviceNumber);

}  // namespace kyt::hid::posix
