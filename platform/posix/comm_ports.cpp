// The list of this machine's serial ports, read from sysfs and udev's by-id links.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/comm.h"

namespace kyt::comm {

namespace fs = std::filesystem;

namespace {

// ttyS2 before ttyS10: the name without its trailing number, then the number.
std::tuple<std::string, unsigned long, std::string> NaturalKey(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  // More than nine digits is no port number worth ordering by; the full name still breaks ties.
  const std::string number = name.substr(digits);
  const unsigned long value = number.empty() || number.size() > 9 ? 0 : std::stoul(number);
  return {name.substr(0, digits), value, name};
}

// A serial-core port reports its UART type; 0 is a slot the kernel keeps with no UART behind.
bool IsEmptyUartSlot(const fs::path& tty) {
  std::ifstream type(tty / "type");
  std::string value;
  return type && (type >> value) && value == "0";
}

// By-id link per tty name; the first link in name order wins when a device has several.
std::map<std::string, std::string> ByIdLinks(const std::string& byIdDir) {
  std::map<std::string, std::string> links;
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(byIdDir, ec)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  for (const fs::path& link : entries) {
    if (!fs::is_symlink(link, ec))
      continue;
    const fs::path target = fs::read_symlink(link, ec);
    if (ec)
      continue;
    links.emplace(target.filename().string(), link.string());
  }
  return links;
}

}  // namespace

std::vector<std::string> ListSerialPorts(const std::string& ClassDir, const std::string& ByIdDir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ClassDir, ec)) {
    const fs::path tty = entry.path();
    // Virtual consoles, ptys and the console aliases have no device behind them.
    if (!fs::exists(fs::symlink_status(tty / "device", ec)))
      continue;
    if (IsEmptyUartSlot(tty))
      continue;
    names.push_back(tty.filename().string());
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return NaturalKey(a) < NaturalKey(b);
  });
  const auto links = ByIdLinks(ByIdDir);
  std::vector<std::string> ports;
  for (const std::string& name : names) {
    const auto link = links.find(name);
    ports.push_back(link != links.end() ? link->second : name);
  }
  return ports;
}

}  // namespace kyt::comm
