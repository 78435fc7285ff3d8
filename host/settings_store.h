#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "framework/types.h"

namespace kyt::host {

// One stored value: Boolean, Integer (32-bit), Float (double) or String (a byte string).
using TSettingValue = std::variant<bool, int32_t, double, std::string>;

// Read statuses: 0 found; negative otherwise.
inline constexpr int32_t kSettingFound = 0;
inline constexpr int32_t kSettingMissing = -1;
inline constexpr int32_t kSettingWrongType = -2;

struct TStoredSetting {
  TInstanceID Instance = 0;
  TStringArray Path;
  std::string Name;
  TSettingValue Value;
};

// Typed values per (instance, path, name). Keys compare without regard to ASCII letter case,
// like the registry-backed stores of the hosts this library was made for; the spelling of the
// last write is kept.
class TSettingsStore {
 public:
  void Write(TInstanceID instance, const TStringArray& path, const std::string& name,
             TSettingValue value);
  std::optional<TSettingValue> Find(TInstanceID instance, const TStringArray& path,
                                    const std::string& name) const;
  // Sets `out` only when a value of that type (or one that converts exactly) is stored.
  template <class T>
  int32_t Read(TInstanceID instance, const TStringArray& path, const std::string& name,
               T& out) const;
  // Removes the value named by the last element of `path` and every value below the key `path`.
  void DeleteEntry(TInstanceID instance, const TStringArray& path);

  std::vector<TStoredSetting> All() const;
  void Assign(const std::vector<TStoredSetting>& settings);

 private:
  struct TKey {
    TInstanceID Instance = 0;
    std::vector<std::string> Parts;  // lower-cased path, then name
    auto operator<=>(const TKey&) const = default;
  };
  static TKey MakeKey(TInstanceID instance, const TStringArray& path, const std::string& name);

  mutable std::mutex mutex_;
  std::map<TKey, TStoredSetting> values_;
};

// Exact conversions only: an Integer reads as Float; every other mismatch is kSettingWrongType.
int32_t ConvertSetting(const TSettingValue& stored, bool& out);
int32_t ConvertSetting(const TSettingValue& stored, int32_t& out);
int32_t ConvertSetting(const TSettingValue& stored, double& out);
int32_t ConvertSetting(const TSettingValue& stored, std::string& out);

template <class T>
int32_t TSettingsStore::Read(TInstanceID instance, const TStringArray& path,
                             const std::string& name, T& out) const {
  auto stored = Find(instance, path, name);
  if (!stored)
    return kSettingMissing;
  return ConvertSetting(*stored, out);
}

}  // namespace kyt::host
