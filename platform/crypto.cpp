#include "platform/crypto.h"

#include <cstdlib>

#include "platform/dynlib.h"

namespace kyt {

namespace {

// The few libcrypto entry points we call, declared by hand so that building needs no OpenSSL
// headers and the library stays optional at run time. The DES key schedule is an opaque block
// of 16 round keys of 8 bytes each.
struct DESKeySchedule {
  alignas(8) unsigned char rounds[16][8];
};
using DigestFunction = unsigned char* (*)(const unsigned char*, std::size_t, unsigned char*);
using DESSetKeyFunction = void (*)(const unsigned char (*)[8], DESKeySchedule*);
using DESECBFunction = void (*)(const unsigned char (*)[8], unsigned char (*)[8], DESKeySchedule*,
                                int);
using RandomFunction = int (*)(unsigned char*, int);
constexpr int kDESEncrypt = 1;

std::string LibraryPath() {
  const char* path = std::getenv("KYT_LIBCRYPTO_LIBRARY");
#ifdef _WIN32
  return path && *path ? path : "libcrypto-3.dll";
#else
  return path && *path ? path : "libcrypto.so.3";
#endif
}

}  // namespace

struct TCryptoLibrary::Impl {
  TDynamicLibrary library;
  DigestFunction md4 = nullptr;
  DigestFunction md5 = nullptr;
  DESSetKeyFunction desSetKey = nullptr;
  DESECBFunction desECB = nullptr;
  RandomFunction random = nullptr;

  template <class F>
  F Require(const char* name) {
    return reinterpret_cast<F>(library.RequireSymbol(name));
  }
};

TCryptoLibrary::TCryptoLibrary() : impl_(std::make_unique<Impl>()) {
  try {
    impl_->library = TDynamicLibrary(LibraryPath());
    impl_->md4 = impl_->Require<DigestFunction>("MD4");
    impl_->md5 = impl_->Require<DigestFunction>("MD5");
    impl_->desSetKey = impl_->Require<DESSetKeyFunction>("DES_set_key_unchecked");
    impl_->desECB = impl_->Require<DESECBFunction>("DES_ecb_encrypt");
    impl_->random = impl_->Require<RandomFunction>("RAND_bytes");
  } catch (const EDynamicLibrary& e) {
    throw ECryptoUnavailable(e.what());
  }
}

TCryptoLibrary::~TCryptoLibrary() = default;

TDigest16 TCryptoLibrary::MD4(std::string_view data) const {
  TDigest16 out{};
  impl_->md4(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

TDigest16 TCryptoLibrary::MD5(std::string_view data) const {
  TDigest16 out{};
  impl_->md5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

TBlock8 TCryptoLibrary::DESEncrypt(const TBlock8& key, const TBlock8& block) const {
  unsigned char keyBytes[8];
  unsigned char input[8];
  unsigned char output[8];
  for (int i = 0; i < 8; ++i) {
    keyBytes[i] = key[i];
    input[i] = block[i];
  }
  DESKeySchedule schedule{};
  impl_->desSetKey(&keyBytes, &schedule);
  impl_->desECB(&input, &output, &schedule, kDESEncrypt);
  TBlock8 out{};
  for (int i = 0; i < 8; ++i) out[i] = output[i];
  return out;
}

void TCryptoLibrary::RandomBytes(uint8_t* data, int count) const {
  if (impl_->random(data, count) != 1)
    throw ECryptoUnavailable("RAND_bytes failed");
}

}  // namespace kyt
