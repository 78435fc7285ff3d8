#pragma once

// Answers to HTTP authentication challenges: Basic (RFC 7617), Digest (RFC 2617, MD5 only, with
// and without qop "auth") and NTLM (MS-NLMP, the NTLMv1 responses, with and without extended
// session security).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto.h"

namespace kyt {

std::string Base64Encode(std::string_view data);
// Decodes padded or unpadded Base64; nullopt on any other byte.
std::optional<std::string> Base64Decode(std::string_view text);

// "Basic " and the Base64 of user, ":" and password.
std::string BasicCredentials(const std::string& user, const std::string& password);

// One challenge of a WWW-Authenticate or Proxy-Authenticate header.
struct THTTPChallenge {
  std::string Scheme;  // as sent; compare without letter case
  std::string Token;   // the single token after the scheme (NTLM's message), if any
  std::vector<std::pair<std::string, std::string>> Params;  // names lower case, values unquoted

  std::string Param(std::string_view name) const;
};

// Every challenge of the header values, in order; one header may carry several.
std::vector<THTTPChallenge> ParseChallenges(const std::vector<std::string>& values);

// The Digest credentials for a GET of `uri`, or nullopt when the challenge asks for something
// other than MD5 with qop "auth" or none. `cnonce` is used only when qop is answered. Raises
// Exception when a value cannot go into a header (a line break in the user name).
std::optional<std::string> DigestCredentials(const THTTPChallenge& challenge,
                                             const std::string& user, const std::string& password,
                                             const std::string& method, const std::string& uri,
                                             const std::string& cnonce,
                                             const TCryptoLibrary& crypto);

// ---- NTLM ----

namespace ntlm {

inline constexpr uint32_t kNegotiateUnicode = 0x00000001;
inline constexpr uint32_t kNegotiateOEM = 0x00000002;
inline constexpr uint32_t kRequestTarget = 0x00000004;
inline constexpr uint32_t kNegotiateNTLM = 0x00000200;
inline constexpr uint32_t kNegotiateAlwaysSign = 0x00008000;
inline constexpr uint32_t kNegotiateExtendedSessionSecurity = 0x00080000;

struct TChallengeMessage {
  uint32_t Flags = 0;
  TBlock8 ServerChallenge{};
};

struct TResponses {
  std::string LM;  // 24 bytes
  std::string NT;  // 24 bytes
};

TDigest16 NTOWFv1(const std::string& password, const TCryptoLibrary& crypto);
TDigest16 LMOWFv1(const std::string& password, const TCryptoLibrary& crypto);
// The NTLMv1 responses; with extended session security the client challenge goes in as well.
TResponses ComputeResponses(const TChallengeMessage& challenge, const std::string& password,
                            const TBlock8& clientChallenge, const TCryptoLibrary& crypto);

// "NTLM " and the Base64 of the negotiate message.
std::string NegotiateCredentials();
// The server's challenge from the Base64 token of its answer; nullopt when it is none.
std::optional<TChallengeMessage> ParseChallenge(std::string_view token);
// "NTLM " and the Base64 of the authenticate message. `user` may be "DOMAIN\user".
std::string AuthenticateCredentials(const TChallengeMessage& challenge, const std::string& user,
                                    const std::string& password, const TBlock8& clientChallenge,
                                    const TCryptoLibrary& crypto);

}  // namespace ntlm

}  // namespace kyt
