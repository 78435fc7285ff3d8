#pragma once

// The device nodes behind what the modules list, read from /dev and sysfs, so that `devices`
// can say which node a configured name opens.

#include <cstdint>
#include <string>
#include <vector>

namespace kyt::host {

// The path a serial port name opens ("ttyS0" is /dev/ttyS0), with a by-id link resolved to the
// node it points at.
std::string SerialNode(const std::string& port);

// The hidraw nodes of a HID device as the HID module lists it: matched by vendor and product ID
// and serial number, or, for a device without a serial number, by its node number.
std::vector<std::string> HidrawNodes(int32_t vendorID, int32_t productID,
                                     const std::string& deviceSerial,
                                     const std::string& classDir = "/sys/class/hidraw");

}  // namespace kyt::host
