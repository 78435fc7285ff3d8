#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kyt {

enum class TKYTObjectType : uint8_t {
  otCategory,
  otInstance,
  otVariable,
  otScript,
  otEvent,
  otMedia
};
enum class TKYTModuleType : uint8_t { mtCore, mtIO, mtSplitter, mtDevice, mtConfigurator };
enum class TKYTVarType : uint8_t { vtBoolean, vtInteger, vtFloat, vtString, vtVariant, vtArray };
enum class TKYTVarIndexType : uint8_t { itInt, itStr };

using namespace std::string_literals;

// Object, instance, variable and timer IDs: unsigned 16-bit, 0 means none.
using TKYTID = uint16_t;
using TInstanceID = uint16_t;
using TVariableID = uint16_t;
using TTimerID = uint16_t;

using TKYTIDs = std::vector<TKYTID>;
using TInstanceIDs = std::vector<TInstanceID>;
using TVariableIDs = std::vector<TVariableID>;
using TStringArray = std::vector<std::string>;

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

}  // namespace kyt
