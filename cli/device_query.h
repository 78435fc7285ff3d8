#pragma once

// Asks a module for its devices the way a script would: an instance without settings, its
// GetDevices, and what it logged about its driver library.

#include <optional>
#include <string>

#include "cli/module_probe.h"
#include "host/json_values.h"

namespace kyt::host {

struct TDeviceList {
  TJson Devices = TJson::array();  // GetDevices' answer as the call protocol shows it
  // Set when the list cannot be had: the module's driver library did not load, GetDevices
  // raised, or the plug-in has no such module.
  std::optional<std::string> Unavailable;
  std::optional<std::string> LibraryVersion;  // what a vendor module logged at creation
  // The first shared object the instance loaded (its driver library), when it can be told.
  std::optional<std::string> LibraryFile;
};

// `vendorLibrary`: the module loads a driver library, whose version it logs when it loads.
TDeviceList QueryDevices(TModuleProbe& probe, const std::string& module, bool vendorLibrary);

}  // namespace kyt::host
