#include "host/settings_file.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "host/bounded_file.h"
#include "host/json_values.h"
#include "runtime/exception.h"

namespace kyt::host {

namespace {

constexpr int kFormatVersion = 1;

// JSON has no NaN or infinities; they travel as text.
TJson FloatToJson(double value) {
  if (std::isnan(value))
    return "nan";
  if (std::isinf(value))
    return value > 0 ? "inf" : "-inf";
  return value;
}

double FloatFromJson(const TJson& value) {
  if (value.is_number())
    return value.get<double>();
  if (value == "nan")
    return std::numeric_limits<double>::quiet_NaN();
  if (value == "inf")
    return std::numeric_limits<double>::infinity();
  if (value == "-inf")
    return -std::numeric_limits<double>::infinity();
  throw Exception("a float value must be a number, \"nan\", \"inf\" or \"-inf\"");
}

TJson ValueToJson(const TSettingValue& value) {
  struct Visitor {
    TJson operator()(bool v) const { return {{"type", "boolean"}, {"value", v}}; }
    TJson operator()(int32_t v) const { return {{"type", "integer"}, {"value", v}}; }
    TJson operator()(double v) const { return {{"type", "float"}, {"value", FloatToJson(v)}}; }
    TJson operator()(const std::string& v) const {
      return {{"type", "string"}, {"value", BytesToJson(v)}};
    }
  };
  return std::visit(Visitor{}, value);
}

TSettingValue ValueFromJson(const TJson& entry) {
  const auto& type = entry.at("type");
  const auto& value = entry.at("value");
  if (type == "boolean")
    return value.get<bool>();
  if (type == "integer")
    return value.get<int32_t>();
  if (type == "float")
    return FloatFromJson(value);
  if (type == "string")
    return BytesFromJson(value);
  throw Exception("unknown type " + type.dump());
}

TStoredSetting SettingFromJson(const TJson& entry) {
  auto instance = entry.at("instance").get<int64_t>();
  if (instance < 0 || instance > 0xFFFF)
    throw Exception("instance is not a 16-bit ID");
  TStoredSetting setting;
  setting.Instance = static_cast<TInstanceID>(instance);
  for (const auto& part : entry.at("path")) setting.Path.push_back(part.get<std::string>());
  setting.Name = entry.at("name").get<std::string>();
  setting.Value = ValueFromJson(entry);
  return setting;
}

}  // namespace

TJson SettingsToJson(const std::vector<TStoredSetting>& settings) {
  TJson values = TJson::array();
  for (const auto& setting : settings) {
    TJson entry = {{"instance", setting.Instance}, {"path", setting.Path}, {"name", setting.Name}};
    entry.update(ValueToJson(setting.Value));
    values.push_back(std::move(entry));
  }
  return {{"version", kFormatVersion}, {"values", std::move(values)}};
}

std::vector<TStoredSetting> SettingsFromJson(const TJson& document) {
  if (!document.is_object() || !document.contains("values") || !document["values"].is_array()) {
    throw Exception("Settings: expected an object with a \"values\" array");
  }
  std::vector<TStoredSetting> settings;
  size_t index = 0;
  for (const auto& entry : document["values"]) {
    try {
      settings.push_back(SettingFromJson(entry));
    } catch (const std::exception& e) {
      throw Exception(fmt::format("Settings: value #{}: {}", index, e.what()));
    }
    ++index;
  }
  return settings;
}

std::vector<TStoredSetting> ReadSettingsFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (!fs::exists(path, ignored)) {
    // Found out now rather than when the file is written at the end of a run.
    fs::path folder = fs::absolute(path, ignored).parent_path();
    if (!fs::is_directory(folder, ignored))
      throw Exception(fmt::format("{}: the folder {} does not exist", path, folder.string()));
    return {};
  }
  std::string text = ReadBoundedFile(path);
  try {
    return SettingsFromJson(TJson::parse(text));
  } catch (const std::exception& e) {
    throw Exception(fmt::format("{}: {}", path, e.what()));
  }
}

void WriteSettingsFile(const std::string& path, const std::vector<TStoredSetting>& settings) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << SettingsToJson(settings).dump(2, ' ', false, TJson::error_handler_t::replace) << '\n';
    out.flush();
    if (!out)
      throw Exception(fmt::format("{}: cannot write", temporary));
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    std::remove(temporary.c_str());
    throw Exception(fmt::format("{}: {}", path, std::strerror(error)));
  }
}

}  // namespace kyt::host
