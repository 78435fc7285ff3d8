#pragma once

#include <cstdint>

namespace kyt {

// Instance status codes (SetStatus).
inline constexpr int32_t IS_ACTIVE = 102;
inline constexpr int32_t IS_INACTIVE = 104;
inline constexpr int32_t IS_ERROR = 200;

// Log codes (LogMessage).
inline constexpr int32_t KL_MESSAGE = 10021;  // lifecycle and progress notes
inline constexpr int32_t KL_WARNING = 10024;  // handled problems that do not stop the module
inline constexpr int32_t KL_ERROR = 10025;    // failures of an operation
inline constexpr int32_t KL_VERSION = 10026;  // a vendor driver library's version text

// Kernel run levels.
inline constexpr int32_t KR_READY = 10013;
inline constexpr int32_t KR_SHUTDOWN = 10014;

// Host messages.
inline constexpr int32_t IM_CHANGERUNLEVEL = 10010;   // host to module: [new run level]
inline constexpr int32_t IM_INSTANCEMESSAGE = 10055;  // host to module: [integer]
inline constexpr int32_t IM_CHANGESETTINGS = 10056;   // module to host: [HasChanges]
inline constexpr int32_t IM_SEARCHING = 10057;        // module to host: [Enable]

// Settings paths.
inline constexpr const char* kSettingsKey = "Settings";
inline constexpr const char* kStatusVariablesKey = "StatusVariables";

}  // namespace kyt
