// Authentication answers against the published test values: RFC 2617 section 3.5 for Digest,
// MS-NLMP section 4.2 for NTLM.

#include "network/http_auth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "tests/network/crypto_skip.h"

namespace kyt {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out += static_cast<char>(v);
  return out;
}

std::string Str(const TDigest16& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

TEST(HTTPAuthTest, Base64RoundTripsEveryLength) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
  }();
  for (std::size_t n = 0; n < 8; ++n) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(n))), all.substr(n));
  }
  EXPECT_FALSE(Base64Decode("Zm9v!"));
  EXPECT_EQ(BasicCredentials("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(HTTPAuthTest, ChallengesAreSplitByScheme) {
  const auto challenges = ParseChallenges(
      {"Digest realm=\"a, \\\"b\\\"\", qop=\"auth,auth-int\", nonce=n1, Basic realm=x", "NTLM",
       "Negotiate TlRMTVNT==", "NTLM TlRMTVNTUAAC"});
  ASSERT_EQ(challenges.size(), 5u);
  EXPECT_EQ(challenges[0].Scheme, "Digest");
  EXPECT_EQ(challenges[0].Param("realm"), "a, \"b\"");
  EXPECT_EQ(challenges[0].Param("qop"), "auth,auth-int");
  EXPECT_EQ(challenges[0].Param("nonce"), "n1");
  EXPECT_EQ(challenges[1].Scheme, "Basic");
  EXPECT_EQ(challenges[1].Param("realm"), "x");
  EXPECT_EQ(challenges[2].Scheme, "NTLM");
  EXPECT_EQ(challenges[2].Token, "");
  EXPECT_EQ(challenges[3].Token, "TlRMTVNT==");
  EXPECT_EQ(challenges[4].Token, "TlRMTVNTUAAC");
}

class CryptoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NoCryptoLibraryOnWindows())
      GTEST_SKIP() << test::kNoCryptoLibrary;
    crypto.emplace();
  }
  std::optional<TCryptoLibrary> crypto;
};

TEST_F(CryptoTest, DigestMatchesRFC2617Example) {
  THTTPChallenge challenge{"Digest",
                           "",
                           {{"realm", "testrealm@host.com"},
                            {"qop", "auth,auth-int"},
                            {"nonce", "dcd98b7102dd2f0e8b11d0f600bfb0c093"},
                            {"opaque", "5ccc069c403ebaf9f0171e9517f40e41"}}};
  const auto header = DigestCredentials(challenge, "Mufasa", "Circle Of Life", "GET",
                                        "/dir/index.html", "0a4f113b", *crypto);
  ASSERT_TRUE(header);
  EXPECT_EQ(*header,
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
            "cnonce=\"0a4f113b\"");
}

TEST_F(CryptoTest, DigestWithoutQopAndWhatItRefuses) {
  THTTPChallenge challenge{"Digest", "", {{"realm", "r"}, {"nonce", "n"}}};
  // MD5(MD5("USER:r:p") ":n:" MD5("GET:/")), the RFC 2069 form.
  auto expected = [&](const std::string& user) {
    auto hex = [](const TDigest16& d) {
      std::string s;
      for (uint8_t b : d) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
      return s;
    };
    return hex(crypto->MD5(hex(crypto->MD5(user + ":r:p")) + ":n:" + hex(crypto->MD5("GET:/"))));
  };
  const auto header = DigestCredentials(challenge, "u", "p", "GET", "/", "c", *crypto);
  ASSERT_TRUE(header);
  EXPECT_NE(header->find("response=\"" + expected("u") + "\""), std::string::npos);
  EXPECT_EQ(header->find("qop"), std::string::npos);
  // A domain user: escaped inside the quoted string, hashed as it is.
  const auto domain = DigestCredentials(challenge, "DOM\\user", "p", "GET", "/", "c", *crypto);
  ASSERT_TRUE(domain);
  EXPECT_TRUE(domain->starts_with("Digest username=\"DOM\\\\user\", ")) << *domain;
  EXPECT_NE(domain->find("response=\"" + expected("DOM\\user") + "\""), std::string::npos);

  challenge.Params.push_back({"algorithm", "SHA-256"});
  EXPECT_FALSE(DigestCredentials(challenge, "u", "p", "GET", "/", "c", *crypto));
  challenge.Params = {{"qop", "auth-int"}};
  EXPECT_FALSE(DigestCredentials(challenge, "u", "p", "GET", "/", "c", *crypto));
  challenge.Params = {{"realm", "r"}};
  // The server's own values would carry a line break (or a NUL, which ends the header for
  // some servers) into our header: not answered.
  const std::string kBreaks[] = {"x\rX-Evil: 1", std::string("x\0y", 3)};
  for (const std::string& bad : kBreaks) {
    for (const char* name : {"realm", "nonce", "opaque"}) {
      THTTPChallenge evil = challenge;
      evil.Params.insert(evil.Params.begin(), {name, bad});  // found first
      EXPECT_FALSE(DigestCredentials(evil, "u", "p", "GET", "/", "c", *crypto)) << name;
    }
    EXPECT_THROW(DigestCredentials(challenge, "u" + bad, "p", "GET", "/", "c", *crypto), Exception);
  }
}

// MS-NLMP 4.2.1: user "User", domain "Domain", password "Password", server challenge
// 0123456789abcdef, client challenge aa x 8.
const TBlock8 kServerChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const TBlock8 kClientChallenge = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};

TEST_F(CryptoTest, NTLMv1MatchesMSNLMP) {
  EXPECT_EQ(Str(ntlm::NTOWFv1("Password", *crypto)),
            Bytes({0xa4, 0xf4, 0x9c, 0x40, 0x65, 0x10, 0xbd, 0xca, 0xb6, 0x82, 0x4e, 0xe7, 0xc3,
                   0x0f, 0xd8, 0x52}));
  EXPECT_EQ(Str(ntlm::LMOWFv1("Password", *crypto)),
            Bytes({0xe5, 0x2c, 0xac, 0x67, 0x41, 0x9a, 0x9a, 0x22, 0x4a, 0x3b, 0x10, 0x8f, 0x3f,
                   0xa6, 0xcb, 0x6d}));
  const ntlm::TResponses responses = ntlm::ComputeResponses(
      {ntlm::kNegotiateNTLM, kServerChallenge}, "Password", kClientChallenge, *crypto);
  EXPECT_EQ(responses.NT,
            Bytes({0x67, 0xc4, 0x30, 0x11, 0xf3, 0x02, 0x98, 0xa2, 0xad, 0x35, 0xec, 0xe6,
                   0x4f, 0x16, 0x33, 0x1c, 0x44, 0xbd, 0xbe, 0xd9, 0x27, 0x84, 0x1f, 0x94}));
  EXPECT_EQ(responses.LM,
            Bytes({0x98, 0xde, 0xf7, 0xb8, 0x7f, 0x88, 0xaa, 0x5d, 0xaf, 0xe2, 0xdf, 0x77,
                   0x96, 0x88, 0xa1, 0x72, 0xde, 0xf1, 0x1c, 0x7d, 0x5c, 0xcd, 0xef, 0x13}));
}

TEST_F(CryptoTest, NTLMv1WithClientChallengeMatchesMSNLMP) {
  const ntlm::TResponses responses = ntlm::ComputeResponses(
      {ntlm::kNegotiateNTLM | ntlm::kNegotiateExtendedSessionSecurity, kServerChallenge},
      "Password", kClientChallenge, *crypto);
  EXPECT_EQ(responses.NT,
            Bytes({0x75, 0x37, 0xf8, 0x03, 0xae, 0x36, 0x71, 0x28, 0xca, 0x45, 0x82, 0x04,
                   0xbd, 0xe7, 0xca, 0xf8, 0x1e, 0x97, 0xed, 0x26, 0x83, 0x26, 0x72, 0x32}));
  EXPECT_EQ(responses.LM, std::string(8, '\xaa') + std::string(16, '\0'));
}

TEST_F(CryptoTest, NTLMMessagesCarryTheirFields) {
  const auto negotiate = Base64Decode(ntlm::NegotiateCredentials().substr(5));
  ASSERT_TRUE(negotiate);
  ASSERT_EQ(negotiate->size(), 32u);
  EXPECT_EQ(negotiate->substr(0, 12), std::string("NTLMSSP\0\1\0\0\0", 12));

  // A type 2 message with the Unicode flag and the server challenge above.
  std::string type2("NTLMSSP\0\2\0\0\0", 12);
  type2 += std::string(8, '\0');             // target name fields
  type2 += Bytes({0x01, 0x02, 0x00, 0x00});  // Unicode | NTLM
  type2.append(reinterpret_cast<const char*>(kServerChallenge.data()), 8);
  type2 += std::string(8, '\0');
  const auto challenge = ntlm::ParseChallenge(Base64Encode(type2));
  ASSERT_TRUE(challenge);
  EXPECT_EQ(challenge->ServerChallenge, kServerChallenge);
  EXPECT_FALSE(ntlm::ParseChallenge(Base64Encode(type2.substr(0, 31))));
  EXPECT_FALSE(ntlm::ParseChallenge("not base64!"));

  const auto type3 =
      Base64Decode(ntlm::AuthenticateCredentials(*challenge, "Domain\\User", "Password",
                                                 kClientChallenge, *crypto)
                       .substr(5));
  ASSERT_TRUE(type3);
  auto field = [&](std::size_t at) {
    const auto u16 = [&](std::size_t i) {
      return static_cast<uint8_t>((*type3)[i]) | static_cast<uint8_t>((*type3)[i + 1]) << 8;
    };
    const std::size_t offset = u16(at + 4) | static_cast<std::size_t>(u16(at + 6)) << 16;
    return type3->substr(offset, u16(at));
  };
  EXPECT_EQ(field(20).substr(0, 2), Bytes({0x67, 0xc4}));  // the NT response above
  EXPECT_EQ(field(28), std::string("D\0o\0m\0a\0i\0n\0", 12));
  EXPECT_EQ(field(36), std::string("U\0s\0e\0r\0", 8));
}

TEST(HTTPAuthCryptoLoadTest, MissingLibraryIsReported) {
  if (test::NoCryptoLibraryOnWindows())
    GTEST_SKIP() << test::kNoCryptoLibrary;
  setenv("KYT_LIBCRYPTO_LIBRARY", "/nonexistent/libcrypto.so", 1);
  EXPECT_THROW(TCryptoLibrary(), ECryptoUnavailable);
  unsetenv("KYT_LIBCRYPTO_LIBRARY");
  EXPECT_NO_THROW(TCryptoLibrary());
}

}  // namespace
}  // namespace kyt
