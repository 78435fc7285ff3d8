#include "cli/host_config.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <set>
#include <unordered_map>

#include "host/bounded_file.h"
#include "host/json_values.h"

namespace kyt::host {

namespace {

using json = TJson;

// A config names at most 65535 instances with a handful of settings each.
constexpr std::uintmax_t kMaxConfigFileSize = 16 * 1024 * 1024;

void RequireOnlyKeys(const json& object, std::initializer_list<const char*> keys,
                     const std::string& where) {
  for (const auto& item : object.items()) {
    if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return item.key() == k; })) {
      throw EConfigError(fmt::format("{}: unknown key \"{}\"", where, item.key()));
    }
  }
}

TInstanceID InstanceID(const json& value, const std::string& where, bool allowZero) {
  if (!value.is_number_integer())
    throw EConfigError(where + ": expected an integer");
  auto id = value.get<int64_t>();
  if (id < (allowZero ? 0 : 1) || id > 0xFFFF) {
    throw EConfigError(fmt::format("{}: {} is no instance ID (1 to 65535)", where, id));
  }
  return static_cast<TInstanceID>(id);
}

std::string Text(const json& value, const std::string& where) {
  if (!value.is_string())
    throw EConfigError(where + ": expected a string");
  return value.get<std::string>();
}

Variant SettingValue(const json& value, const std::string& where) {
  if (value.is_boolean())
    return Variant(value.get<bool>());
  if (value.is_number_float())
    return Variant(value.get<double>());
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() && value.get<uint64_t>() > 0x7FFFFFFF) {
      throw EConfigError(where + ": integer out of the 32-bit range");
    }
    auto number = value.get<int64_t>();
    if (number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<int32_t>::max()) {
      throw EConfigError(where + ": integer out of the 32-bit range");
    }
    return Variant(static_cast<int32_t>(number));
  }
  if (value.is_string() || IsHexObject(value)) {
    try {
      return Variant(BytesFromJson(value));
    } catch (const Exception& e) {
      throw EConfigError(where + ": " + e.Message());
    }
  }
  throw EConfigError(where + ": expected a Boolean, a number, a string or {\"hex\": ...}");
}

TInstanceConfig ParseInstance(const json& item, size_t index) {
  std::string where = fmt::format("instances[{}]", index);
  if (!item.is_object())
    throw EConfigError(where + ": expected an object");
  RequireOnlyKeys(item, {"id", "module", "name", "parent", "settings"}, where);
  if (!item.contains("id"))
    throw EConfigError(where + ": \"id\" is missing");
  if (!item.contains("module"))
    throw EConfigError(where + ": \"module\" is missing");
  TInstanceConfig instance;
  instance.ID = InstanceID(item["id"], where + ".id", false);
  where = fmt::format("instance #{}", instance.ID);
  instance.Module = Text(item["module"], where + ".module");
  if (item.contains("name"))
    instance.Name = Text(item["name"], where + ".name");
  if (item.contains("parent"))
    instance.Parent = InstanceID(item["parent"], where + ".parent", true);
  if (item.contains("settings")) {
    const json& settings = item["settings"];
    if (!settings.is_object())
      throw EConfigError(where + ".settings: expected an object");
    for (const auto& setting : settings.items()) {
      instance.Settings.emplace_back(
          setting.key(), SettingValue(setting.value(), where + ".settings." + setting.key()));
    }
  }
  return instance;
}

void CheckReferences(const std::vector<TInstanceConfig>& instances) {
  std::set<TInstanceID> ids;
  for (const auto& instance : instances) {
    if (!ids.insert(instance.ID).second) {
      throw EConfigError(fmt::format("instance #{} is configured twice", instance.ID));
    }
  }
  for (const auto& instance : instances) {
    if (instance.Parent != 0 && !ids.contains(instance.Parent)) {
      throw EConfigError(
          fmt::format("instance #{}: parent #{} is not configured", instance.ID, instance.Parent));
    }
  }
}

}  // namespace

THostConfig ParseConfig(const json& document, const std::string& baseDirectory) {
  if (!document.is_object())
    throw EConfigError("the config must be a JSON object");
  RequireOnlyKeys(document, {"library", "instances"}, "config");
  THostConfig config;
  if (document.contains("library")) {
    std::filesystem::path library = Text(document["library"], "library");
    if (library.is_relative())
      library = std::filesystem::path(baseDirectory) / library;
    config.Library = library.lexically_normal().string();
  }
  if (document.contains("instances")) {
    const json& instances = document["instances"];
    if (!instances.is_array())
      throw EConfigError("instances: expected an array");
    for (size_t i = 0; i < instances.size(); ++i) {
      config.Instances.push_back(ParseInstance(instances[i], i));
    }
  }
  CheckReferences(config.Instances);
  CreationOrder(config.Instances);  // refuses connection loops
  return config;
}

THostConfig ReadConfigFile(const std::string& path) {
  std::string text;
  try {
    text = ReadBoundedFile(path, kMaxConfigFileSize);
  } catch (const Exception& e) {
    throw EConfigError(e.Message());
  }
  json document;
  try {
    document = json::parse(text);
  } catch (const json::exception& e) {
    throw EConfigError(fmt::format("{}: {}", path, e.what()));
  }
  std::string base = std::filesystem::absolute(path).parent_path().string();
  try {
    THostConfig config = ParseConfig(document, base);
    config.DuplicateKeys = FindDuplicateKeys(text);
    return config;
  } catch (const EConfigError& e) {
    throw EConfigError(fmt::format("{}: {}", path, e.Message()));
  }
}

namespace {

// Walks a JSON text that parses, keeping one frame per open object or array, and notes where
// each key of an object stands.
class TKeyScanner {
 public:
  // The parser takes a NUL for the end of the text; so does the scan.
  explicit TKeyScanner(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

  std::vector<TDuplicateKey> Run() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '"') {
        String();
        continue;
      }
      if (c == '{' || c == '[') {
        Open(c == '{');
      } else if ((c == '}' || c == ']') && !frames_.empty()) {
        frames_.pop_back();
      } else if (c == ',' && !frames_.empty()) {
        Frame& frame = frames_.back();
        frame.ExpectKey = frame.Object;
        ++frame.Index;
      }
      Step();
    }
    return std::move(found_);
  }

 private:
  struct Frame {
    bool Object = false;
    std::string Path;
    bool ExpectKey = false;
    size_t Index = 0;  // of the array element
    std::string LastKey;
    std::map<std::string, std::pair<size_t, size_t>> Keys;
  };

  void Step() {
    if (at_ >= text_.size())
      return;
    if (text_[at_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++at_;
  }

  // The path of a value that starts now, in the innermost frame.
  std::string ChildPath() const {
    if (frames_.empty())
      return "config";
    const Frame& frame = frames_.back();
    if (!frame.Object)
      return fmt::format("{}[{}]", frame.Path, frame.Index);
    return frame.Path == "config" ? frame.LastKey : frame.Path + "." + frame.LastKey;
  }

  void Open(bool object) {
    Frame frame;
    frame.Object = object;
    frame.ExpectKey = object;
    frame.Path = ChildPath();
    frames_.push_back(std::move(frame));
  }

  void String() {
    const size_t start = at_;
    const std::pair<size_t, size_t> where{line_, column_};
    Step();
    while (at_ < text_.size() && text_[at_] != '"') {
      if (text_[at_] == '\\')
        Step();
      Step();
    }
    if (at_ >= text_.size())
      return;  // not closed: nothing the parser took
    Step();
    if (frames_.empty() || !frames_.back().ExpectKey)
      return;
    Frame& frame = frames_.back();
    frame.ExpectKey = false;
    frame.LastKey = json::parse(text_.substr(start, at_ - start)).get<std::string>();
    auto [known, added] = frame.Keys.emplace(frame.LastKey, where);
    if (!added)
      found_.push_back(
          {frame.Path, frame.LastKey, InstanceIndex(frame.Path), known->second, where});
  }

  static std::optional<size_t> InstanceIndex(const std::string& path) {
    constexpr std::string_view kPrefix = "instances[";
    if (!path.starts_with(kPrefix))
      return std::nullopt;
    size_t index = 0;
    auto [end, error] =
        std::from_chars(path.data() + kPrefix.size(), path.data() + path.size(), index);
    if (error != std::errc() || end == path.data() + path.size() || *end != ']')
      return std::nullopt;
    return index;
  }

  std::string_view text_;
  size_t at_ = 0, line_ = 1, column_ = 1;
  std::vector<Frame> frames_;
  std::vector<TDuplicateKey> found_;
};

}  // namespace

std::vector<TDuplicateKey> FindDuplicateKeys(std::string_view text) {
  return TKeyScanner(text).Run();
}

std::vector<TInstanceConfig> CreationOrder(const std::vector<TInstanceConfig>& instances) {
  // Each step makes the first instance in config order whose parent is made, so config order
  // is kept as far as parents allow. The instances ready to be made wait in a heap by their
  // config position; making one readies its children.
  std::unordered_map<TInstanceID, std::vector<size_t>> children;
  std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready;
  for (size_t i = 0; i < instances.size(); ++i) {
    if (instances[i].Parent == 0)
      ready.push(i);
    else
      children[instances[i].Parent].push_back(i);
  }
  std::vector<TInstanceConfig> ordered;
  ordered.reserve(instances.size());
  std::vector<bool> made(instances.size(), false);
  while (!ready.empty()) {
    const size_t next = ready.top();
    ready.pop();
    made[next] = true;
    ordered.push_back(instances[next]);
    auto waiting = children.find(instances[next].ID);
    if (waiting == children.end())
      continue;
    for (size_t child : waiting->second) ready.push(child);
    // An ID made twice (a config not checked yet) readies its children once.
    children.erase(waiting);
  }
  if (ordered.size() != instances.size()) {
    const size_t first =
        static_cast<size_t>(std::find(made.begin(), made.end(), false) - made.begin());
    throw EConfigError(fmt::format("instance #{}: its parents form a loop", instances[first].ID));
  }
  return ordered;
}

}  // namespace kyt::host
