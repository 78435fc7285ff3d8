#pragma once

// The hashes and the block cipher that HTTP authentication needs, taken from OpenSSL's libcrypto
// loaded at run time: a machine without it can still fetch pages that need no Digest or NTLM.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/exception.h"

namespace kyt {

// libcrypto could not be loaded or lacks a function; the message is the loader's text.
class ECryptoUnavailable : public Exception {
 public:
  using Exception::Exception;
};

using TDigest16 = std::array<uint8_t, 16>;
using TBlock8 = std::array<uint8_t, 8>;

// One loaded copy of libcrypto. The file is "libcrypto.so.3" ("libcrypto-3.dll" on Windows) unless
// the environment variable KYT_LIBCRYPTO_LIBRARY names another one. Loading is cheap once the
// process has it, so each authentication exchange opens its own and shares nothing with other
// fetches.
class TCryptoLibrary {
 public:
  // Raises ECryptoUnavailable.
  TCryptoLibrary();
  ~TCryptoLibrary();
  TCryptoLibrary(const TCryptoLibrary&) = delete;
  TCryptoLibrary& operator=(const TCryptoLibrary&) = delete;

  TDigest16 MD4(std::string_view data) const;
  TDigest16 MD5(std::string_view data) const;
  // One DES block in ECB mode with an 8-byte key (parity bits ignored).
  TBlock8 DESEncrypt(const TBlock8& key, const TBlock8& block) const;
  // Bytes from the library's generator; raises ECryptoUnavailable when it cannot deliver.
  void RandomBytes(uint8_t* data, int count) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kyt
