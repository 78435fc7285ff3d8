#include "cli/device_query.h"

#include <algorithm>

#include "framework/codes.h"
#include "platform/module_path.h"

namespace kyt::host {

namespace {

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const auto& text : texts) out += (out.empty() ? "" : "; ") + text;
  return out;
}

}  // namespace

TDeviceList QueryDevices(TModuleProbe& probe, const std::string& module, bool vendorLibrary) {
  TDeviceList list;
  if (!probe.Resolve(module)) {
    list.Unavailable = "the plug-in has no module " + module;
    return list;
  }
  std::optional<std::string> failure;
  const std::vector<std::string> before = LoadedObjectPaths();
  TProbeResult made = probe.Probe(module, {}, [&](TInstanceID id) {
    // The library the instance loaded is mapped while it lives.
    for (const std::string& path : LoadedObjectPaths()) {
      if (std::find(before.begin(), before.end(), path) == before.end()) {
        list.LibraryFile = path;
        break;
      }
    }
    try {
      list.Devices =
          VariantToJson(probe.Host().Call(module + "_GetDevices", {Variant(int32_t{id})}));
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  if (made.Failure)
    failure = made.Failure;
  std::vector<std::string> warnings;
  for (const auto& entry : made.Log) {
    if (entry.Code == KL_VERSION)
      list.LibraryVersion = entry.Text;
    else if (entry.Code == KL_WARNING)
      warnings.push_back(entry.Text);
  }
  if (vendorLibrary && !list.LibraryVersion && !failure)
    failure = warnings.empty() ? "its driver library did not load" : Joined(warnings);
  list.Unavailable = failure;
  if (!list.Devices.is_array())
    list.Devices = TJson::array();
  return list;
}

}  // namespace kyt::host
