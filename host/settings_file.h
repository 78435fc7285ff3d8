#pragma once

// The settings file: every stored value with its instance, path, name and type, so that
// Boolean, Integer, Float and String values come back exactly as they were written.

#include <string>
#include <vector>

#include "host/json_values.h"

#include "host/settings_store.h"

namespace kyt::host {

TJson SettingsToJson(const std::vector<TStoredSetting>& settings);
// Raises Exception naming the entry that is malformed.
std::vector<TStoredSetting> SettingsFromJson(const TJson& document);

// Reads the file; an absent file holds no settings. Raises Exception for an unreadable or
// malformed file, one that is no regular file or too large (ReadBoundedFile), and an absent
// file whose folder does not exist.
std::vector<TStoredSetting> ReadSettingsFile(const std::string& path);
// Writes through a temporary file renamed into place, so a crash never leaves half a file.
void WriteSettingsFile(const std::string& path, const std::vector<TStoredSetting>& settings);

}  // namespace kyt::host
