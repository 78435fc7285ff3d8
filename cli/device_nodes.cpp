#include "cli/device_nodes.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kyt::host {

namespace {

namespace fs = std::filesystem;

struct THidIdentity {
  long Vendor = -1;
  long Product = -1;
  std::string Serial;
};

// HID_ID=0003:00000627:00000001 (bus, vendor, product in hex) and HID_UNIQ=serial.
THidIdentity ReadIdentity(const fs::path& uevent) {
  THidIdentity identity;
  std::ifstream in(uevent);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("HID_ID=", 0) == 0) {
      std::string ids = line.substr(7);
      size_t first = ids.find(':'), second = ids.find(':', first + 1);
      if (first != std::string::npos && second != std::string::npos) {
        identity.Vendor = std::strtol(ids.substr(first + 1, second - first - 1).c_str(), nullptr, 16);
        identity.Product = std::strtol(ids.substr(second + 1).c_str(), nullptr, 16);
      }
    } else if (line.rfind("HID_UNIQ=", 0) == 0) {
      identity.Serial = line.substr(9);
    }
  }
  return identity;
}

}  // namespace

std::string SerialNode(const std::string& port) {
  fs::path path = !port.empty() && port[0] == '/' ? fs::path(port) : fs::path("/dev") / port;
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  return error ? path.string() : resolved.string();
}

std::vector<std::string> HidrawNodes(int32_t vendorID, int32_t productID,
                                     const std::string& deviceSerial, const std::string& classDir) {
  std::vector<std::string> nodes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(classDir, error)) {
    std::string name = entry.path().filename().string();
    THidIdentity identity = ReadIdentity(entry.path() / "device" / "uevent");
    if (identity.Vendor != vendorID || identity.Product != productID)
      continue;
    bool bySerial = !identity.Serial.empty() && identity.Serial == deviceSerial;
    bool byNumber = identity.Serial.empty() && name == "hidraw" + deviceSerial;
    if (bySerial || byNumber)
      nodes.push_back("/dev/" + name);
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

}  // namespace kyt::host
