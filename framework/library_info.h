#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/interfaces.h"

namespace kyt {

// The contract names no calling convention; on 32-bit Windows the export and the hooks are
// __cdecl, the compilers' default, stated so that a build option cannot change it.
#ifdef _WIN32
#define KYT_CDECL __cdecl
#define KYT_LIBRARY_EXPORT __declspec(dllexport)
#else
#define KYT_CDECL
#define KYT_LIBRARY_EXPORT __attribute__((visibility("default")))
#endif

using TRegisterHook = void(KYT_CDECL*)(IKYTKernel* Kernel, IKYTModuleLoader* ModuleLoader);
using TUnregisterHook = void(KYT_CDECL*)();

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
using TKYTLibraryInfoFunction = void(KYT_CDECL*)(TKYTLibraryInfo** Info);
inline constexpr const char* kLibraryInfoSymbol = "KYTLibraryInfo";

}  // namespace kyt
