#pragma once

// The settings file: every stored value with its instance, path, name and type, so that
// Boolean, Integer, Float and String values come back exactly as they were written.

#include <memory>
#include <string>
#include <vector>

#include "host/json_values.h"

#include "host/settings_store.h"

namespace kyt::host {

TJson SettingsToJson(const std::vector<TStoredSetting>& settings);
// Raises Exception naming the entry that is malformed.
std::vector<TStoredSetting> SettingsFromJson(const TJson& document);

// Reads the file; an absent file holds no settings. Raises Exception for an unreadable or
// malformed file, one that is no regular file or too large (ReadBoundedFile), a symbolic link
// (the file is replaced when written, which would replace the link, not what it points to), and
// an absent file whose folder does not exist.
std::vector<TStoredSetting> ReadSettingsFile(const std::string& path);
// Writes through a temporary file of its own (mode 0600) that is flushed and renamed into place,
// so a crash or a full disk never leaves half a file.
void WriteSettingsFile(const std::string& path, const std::vector<TStoredSetting>& settings);

// The lock that makes one process the owner of a settings file, on "FILE.lock" beside it. While
// held, the temporary files a killed writer left behind are removed. Raises Exception naming the
// owner's process ID when another process holds it.
class TSettingsFileOwner {
 public:
  explicit TSettingsFileOwner(const std::string& path);
  ~TSettingsFileOwner();
  TSettingsFileOwner(const TSettingsFileOwner&) = delete;
  TSettingsFileOwner& operator=(const TSettingsFileOwner&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kyt::host
