// The settings file reader on arbitrary text. What it takes must come back unchanged through
// the writer (instance, path, name, type and value, NaN included), and a file it refuses is
// refused with an exception the caller reports, never a crash.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <variant>

#include "host/settings_file.h"

namespace {

bool Same(const kyt::host::TSettingValue& a, const kyt::host::TSettingValue& b) {
  if (a.index() != b.index())
    return false;
  if (const double* x = std::get_if<double>(&a)) {
    const double y = std::get<double>(b);
    return (std::isnan(*x) && std::isnan(y)) || (*x == y && std::signbit(*x) == std::signbit(y));
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace kyt::host;
  std::vector<TStoredSetting> settings;
  try {
    settings = SettingsFromJson(TJson::parse(data, data + size));
  } catch (const std::exception&) {
    return 0;
  }
  const std::string written =
      SettingsToJson(settings).dump(2, ' ', false, TJson::error_handler_t::replace);
  const std::vector<TStoredSetting> read = SettingsFromJson(TJson::parse(written));
  if (read.size() != settings.size())
    __builtin_trap();
  for (std::size_t i = 0; i < read.size(); ++i) {
    if (read[i].Instance != settings[i].Instance || read[i].Path != settings[i].Path ||
        read[i].Name != settings[i].Name || !Same(read[i].Value, settings[i].Value))
      __builtin_trap();
  }
  return 0;
}
