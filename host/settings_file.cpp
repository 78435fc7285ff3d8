#include "host/settings_file.h"

#include <fmt/format.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "host/bounded_file.h"
#include "host/json_values.h"
#include "platform/owned_file.h"
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

namespace {

void RequireSettingsPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (fs::is_symlink(path, ignored)) {
    throw Exception(fmt::format(
        "{}: is a symbolic link; name the file itself (it is replaced when written)", path));
  }
  // Found out now rather than when the file is written at the end of a run.
  fs::path folder = fs::absolute(path, ignored).parent_path();
  if (!fs::is_directory(folder, ignored))
    throw Exception(fmt::format("{}: the folder {} does not exist", path, folder.string()));
}

}  // namespace

std::vector<TStoredSetting> ReadSettingsFile(const std::string& path) {
  RequireSettingsPath(path);
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored))
    return {};
  std::string text = ReadBoundedFile(path);
  try {
    return SettingsFromJson(TJson::parse(text));
  } catch (const std::exception& e) {
    throw Exception(fmt::format("{}: {}", path, e.what()));
  }
}

void WriteSettingsFile(const std::string& path, const std::vector<TStoredSetting>& settings) {
  platform::ReplaceFileContent(
      path, SettingsToJson(settings).dump(2, ' ', false, TJson::error_handler_t::replace) + '\n');
}

struct TSettingsFileOwner::Impl {
  explicit Impl(const std::string& lockPath) : lock(lockPath) {}
  platform::TFileLock lock;
};

namespace {

// Only files of the writer's own pattern, and no links: what a killed save left behind.
void RemoveLeftTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path prefix(platform::TemporaryPrefix(path));
  const fs::path folder = prefix.has_parent_path() ? prefix.parent_path() : fs::path(".");
  const std::string start = prefix.filename().string();
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > start.size() && name.starts_with(start) &&
        entry.symlink_status(error).type() == fs::file_type::regular) {
      fs::remove(entry.path(), error);
    }
  }
}

}  // namespace

TSettingsFileOwner::TSettingsFileOwner(const std::string& path) {
  RequireSettingsPath(path);
  try {
    impl_ = std::make_unique<Impl>(path + ".lock");
  } catch (const platform::EFileLocked& e) {
    throw Exception(
        e.OwnerPid() > 0
            ? fmt::format("{}: in use by another kyt-host, process {}; one process per settings "
                          "file",
                          path, e.OwnerPid())
            : fmt::format("{}: in use by another kyt-host; one process per settings file", path));
  }
  RemoveLeftTemporaries(path);
}

TSettingsFileOwner::~TSettingsFileOwner() = default;

}  // namespace kyt::host
