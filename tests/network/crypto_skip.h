#pragma once

// The Windows cross build has no OpenSSL DLL to load (no mingw build of it can be had here), so
// the tests that need libcrypto skip there; anywhere else a missing libcrypto fails them.

#include "platform/crypto.h"

namespace kyt::test {

inline constexpr const char* kNoCryptoLibrary =
    "no libcrypto DLL for the Windows build on this machine";

inline bool NoCryptoLibraryOnWindows() {
#ifdef _WIN32
  try {
    TCryptoLibrary probe;
  } catch (const ECryptoUnavailable&) {
    return true;
  }
#endif
  return false;
}

}  // namespace kyt::test
