#include <fmt/format.h>

#include "cli/device_nodes.h"
#include "cli/device_query.h"
#include "cli/event_output.h"
#include "cli/host_commands.h"
#include "cli/plugin_path.h"
#include "cli/report_format.h"

namespace kyt::host {

namespace {

// A field of a listed device record, or null when the record lacks it.
TJson Field(const TJson& record, const char* name) {
  return record.is_object() && record.contains(name) ? record[name] : TJson(nullptr);
}

TDeviceLine SerialPortLine(const TJson& port) {
  std::string name = port.is_string() ? port.get<std::string>() : DumpLine(port);
  bool byId = name.rfind("/dev/serial/by-id/", 0) == 0;
  return {"COMPort",
          {{"port", name}, {"by_id", byId ? TJson(name) : TJson(nullptr)}, {"node", SerialNode(name)}}};
}

TDeviceLine HidLine(const TJson& device) {
  TJson serial = Field(device, "DeviceSerial");
  TJson vendor = Field(device, "VendorID"), product = Field(device, "ProductID");
  TJson nodes = TJson::array();
  if (serial.is_string() && vendor.is_number_integer() && product.is_number_integer()) {
    for (const auto& node :
         HidrawNodes(vendor.get<int32_t>(), product.get<int32_t>(), serial.get<std::string>()))
      nodes.push_back(node);
  }
  return {"HID",
          {{"serial", serial},
           {"vendor_id", vendor},
           {"product_id", product},
           {"product", Field(device, "DeviceName")},
           {"vendor", Field(device, "DeviceVendor")},
           {"node", nodes.size() == 1 ? nodes[0] : nodes.empty() ? TJson(nullptr) : nodes}}};
}

TDeviceLine VendorLine(const std::string& module, const TJson& device) {
  TDeviceLine line{module,
                   {{"serial", Field(device, "SerialNumber")},
                    {"description", Field(device, "Description")}}};
  if (module == "FTDI")
    line.Fields["in_use"] = Field(device, "InUse");
  return line;
}

void List(TModuleProbe& probe, TEventOutput& output, const std::string& module, bool vendor,
          TDeviceLine (*toLine)(const std::string&, const TJson&)) {
  TDeviceList list = QueryDevices(probe, module, vendor);
  if (list.Unavailable) {
    output.Line(UnavailableToJson(module, *list.Unavailable),
                UnavailableToText(module, *list.Unavailable));
    return;
  }
  for (const auto& device : list.Devices) {
    TDeviceLine line = toLine(module, device);
    output.Line(DeviceToJson(line), DeviceToText(line));
  }
}

}  // namespace

int DevicesCommand(const TCommonOptions& options, std::FILE* out) {
  std::string library = options.Library.empty() ? DefaultLibraryPath() : options.Library;
  std::optional<TModuleProbe> probe;
  try {
    probe.emplace(library);
  } catch (const std::exception& e) {
    fmt::print(stderr, "kyt-host: cannot load {}: {}\n", library, e.what());
    return kExitConfigError;
  }
  TEventOutput output(out, options.Json);
  List(*probe, output, "COMPort", false,
       [](const std::string&, const TJson& port) { return SerialPortLine(port); });
  List(*probe, output, "HID", false,
       [](const std::string&, const TJson& device) { return HidLine(device); });
  List(*probe, output, "FTDI", true, VendorLine);
  List(*probe, output, "USBXp", true, VendorLine);
  return kExitOK;
}

}  // namespace kyt::host
