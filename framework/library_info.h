#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/interfaces.h"

namespace kyt {

using TRegisterHook = void (*)(IKYTKernel* Kernel, IKYTModuleLoader* ModuleLoader);
using TUnregisterHook = void (*)();

// The library record the host reads by layout. On a 32-bit build it is the 48-byte record of
// the contract exactly; on 64-bit the references are pointer-sized and naturally aligned.
struct TKYTLibraryInfo {
  const char* LibraryID;
  const char* Author;
  const char* URL;
  const char* Name;
  uint32_t InfoNumber1;
  uint8_t Reserved1[12];
  uint32_t InfoNumber2;
  TRegisterHook RegisterHook;
  TUnregisterHook UnregisterHook;
  uint32_t Reserved2;
};

constexpr size_t kPtr = sizeof(void*);
static_assert(offsetof(TKYTLibraryInfo, Author) == kPtr);
static_assert(offsetof(TKYTLibraryInfo, Name) == 3 * kPtr);
static_assert(offsetof(TKYTLibraryInfo, InfoNumber1) == 4 * kPtr);
static_assert(offsetof(TKYTLibraryInfo, Reserved1) == 4 * kPtr + 4);
static_assert(offsetof(TKYTLibraryInfo, InfoNumber2) == 4 * kPtr + 16);
static_assert(kPtr != 4 ||
              (offsetof(TKYTLibraryInfo, RegisterHook) == 36 &&
               offsetof(TKYTLibraryInfo, UnregisterHook) == 40 && sizeof(TKYTLibraryInfo) == 48));
static_assert(kPtr != 8 ||
              (offsetof(TKYTLibraryInfo, RegisterHook) == 56 &&
               offsetof(TKYTLibraryInfo, UnregisterHook) == 64 && sizeof(TKYTLibraryInfo) == 80));

// The one export of the plug-in: stores a reference to the library record in *Info.
using TKYTLibraryInfoFunction = void (*)(TKYTLibraryInfo** Info);
inline constexpr const char* kLibraryInfoSymbol = "KYTLibraryInfo";

}  // namespace kyt
