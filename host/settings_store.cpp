#include "host/settings_store.h"

#include <algorithm>

#include "host/ascii.h"

namespace kyt::host {

namespace {

template <class T>
int32_t Exact(const TSettingValue& stored, T& out) {
  if (const T* value = std::get_if<T>(&stored)) {
    out = *value;
    return kSettingFound;
  }
  return kSettingWrongType;
}

}  // namespace

int32_t ConvertSetting(const TSettingValue& stored, bool& out) {
  return Exact(stored, out);
}
int32_t ConvertSetting(const TSettingValue& stored, int32_t& out) {
  return Exact(stored, out);
}
int32_t ConvertSetting(const TSettingValue& stored, std::string& out) {
  return Exact(stored, out);
}

int32_t ConvertSetting(const TSettingValue& stored, double& out) {
  if (const int32_t* value = std::get_if<int32_t>(&stored)) {
    out = *value;
    return kSettingFound;
  }
  return Exact(stored, out);
}

TSettingsStore::TKey TSettingsStore::MakeKey(TInstanceID instance, const TStringArray& path,
                                             const std::string& name) {
  TKey key{instance, {}};
  key.Parts.reserve(path.size() + 1);
  for (const auto& part : path) key.Parts.push_back(AsciiLower(part));
  key.Parts.push_back(AsciiLower(name));
  return key;
}

void TSettingsStore::Write(TInstanceID instance, const TStringArray& path, const std::string& name,
                           TSettingValue value) {
  TKey key = MakeKey(instance, path, name);
  std::lock_guard lock(mutex_);
  values_.insert_or_assign(std::move(key), TStoredSetting{instance, path, name, std::move(value)});
}

std::optional<TSettingValue> TSettingsStore::Find(TInstanceID instance, const TStringArray& path,
                                                  const std::string& name) const {
  TKey key = MakeKey(instance, path, name);
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end())
    return std::nullopt;
  return it->second.Value;
}

void TSettingsStore::DeleteEntry(TInstanceID instance, const TStringArray& path) {
  std::vector<std::string> prefix;
  for (const auto& part : path) prefix.push_back(AsciiLower(part));
  std::lock_guard lock(mutex_);
  std::erase_if(values_, [&](const auto& item) {
    const TKey& key = item.first;
    return key.Instance == instance && key.Parts.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), key.Parts.begin());
  });
}

std::vector<TStoredSetting> TSettingsStore::All() const {
  std::lock_guard lock(mutex_);
  std::vector<TStoredSetting> out;
  out.reserve(values_.size());
  for (const auto& [key, setting] : values_) out.push_back(setting);
  return out;
}

void TSettingsStore::Assign(const std::vector<TStoredSetting>& settings) {
  std::map<TKey, TStoredSetting> values;
  for (const auto& setting : settings) {
    values.insert_or_assign(MakeKey(setting.Instance, setting.Path, setting.Name), setting);
  }
  std::lock_guard lock(mutex_);
  values_ = std::move(values);
}

}  // namespace kyt::host
