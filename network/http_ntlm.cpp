// The NTLM messages and the NTLMv1 responses (MS-NLMP sections 2.2.1 and 3.3.1).

#include <cstring>

#include "network/http_auth.h"

#include <algorithm>

#include <fmt/printf.h>
#include "runtime/exception.h"

namespace kyt::ntlm {

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
constexpr std::size_t kChallengeMinimum = 32;
constexpr std::size_t kAuthenticateHeader = 64;
constexpr uint32_t kOurFlags = kNegotiateUnicode | kNegotiateOEM | kRequestTarget | kNegotiateNTLM |
                               kNegotiateAlwaysSign | kNegotiateExtendedSessionSecurity;

void PutUint16(std::string& out, std::size_t at, uint16_t value) {
  out[at] = static_cast<char>(value & 0xFF);
  out[at + 1] = static_cast<char>(value >> 8);
}

void PutUint32(std::string& out, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetUint32(std::string_view in, std::size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(in[at + i]);
  return value;
}

// UTF-8 to UTF-16LE; a byte that starts no valid sequence stands for itself (Latin-1), so any
// password can be sent.
std::string Utf16LE(const std::string& text) {
  std::string out;
  auto put = [&out](uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (std::size_t i = 0; i < text.size();) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (lead >= 0xF5 || lead < 0x80)
      extra = 0;
    uint32_t code = lead;
    bool valid = extra > 0 && i + static_cast<std::size_t>(extra) < text.size();
    if (valid) {
      code = lead & (0x3F >> extra);
      for (int k = 1; k <= extra; ++k) {
        const uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80)
          valid = false;
        code = (code << 6) | (next & 0x3F);
      }
    }
    if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      code = lead;
      extra = 0;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 | (code >> 10));
      put(0xDC00 | (code & 0x3FF));
    } else {
      put(code);
    }
    i += 1 + static_cast<std::size_t>(extra);
  }
  return out;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Spreads 56 key bits over 8 bytes, leaving the parity bit of each byte free.
TBlock8 DESKey(const uint8_t* b) {
  return {static_cast<uint8_t>(b[0] & 0xFE),
          static_cast<uint8_t>((b[0] << 7) | (b[1] >> 1)),
          static_cast<uint8_t>((b[1] << 6) | (b[2] >> 2)),
          static_cast<uint8_t>((b[2] << 5) | (b[3] >> 3)),
          static_cast<uint8_t>((b[3] << 4) | (b[4] >> 4)),
          static_cast<uint8_t>((b[4] << 3) | (b[5] >> 5)),
          static_cast<uint8_t>((b[5] << 2) | (b[6] >> 6)),
          static_cast<uint8_t>(b[6] << 1)};
}

void Append(std::string& out, const TBlock8& block) {
  out.append(reinterpret_cast<const char*>(block.data()), block.size());
}

// DESL: the 16-byte key padded to 21 bytes, as three DES keys over the same 8 bytes.
std::string DESL(const TDigest16& key, const TBlock8& data, const TCryptoLibrary& crypto) {
  uint8_t padded[21] = {};
  std::memcpy(padded, key.data(), key.size());
  std::string out;
  for (int part = 0; part < 3; ++part)
    Append(out, crypto.DESEncrypt(DESKey(padded + 7 * part), data));
  return out;
}

// Writes the length, maximum length and offset of each payload field into the fixed part and
// appends the payloads behind it.
std::string Assemble(std::string head,
                     std::initializer_list<std::pair<std::size_t, const std::string*>> fields) {
  for (const auto& [at, data] : fields) {
    if (data->size() > 0xFFFF)
      throw Exception(std::string("Credentials too long."));
    PutUint16(head, at, static_cast<uint16_t>(data->size()));
    PutUint16(head, at + 2, static_cast<uint16_t>(data->size()));
    PutUint32(head, at + 4, static_cast<uint32_t>(head.size()));
    head += *data;
  }
  return head;
}

}  // namespace

TDigest16 NTOWFv1(const std::string& password, const TCryptoLibrary& crypto) {
  return crypto.MD4(Utf16LE(password));
}

TDigest16 LMOWFv1(const std::string& password, const TCryptoLibrary& crypto) {
  uint8_t key[14] = {};
  const std::string upper = UpperAscii(password);
  std::memcpy(key, upper.data(), std::min<std::size_t>(upper.size(), sizeof key));
  const TBlock8 magic = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  const TBlock8 first = crypto.DESEncrypt(DESKey(key), magic);
  const TBlock8 second = crypto.DESEncrypt(DESKey(key + 7), magic);
  TDigest16 out{};
  std::copy(first.begin(), first.end(), out.begin());
  std::copy(second.begin(), second.end(), out.begin() + 8);
  return out;
}

TResponses ComputeResponses(const TChallengeMessage& challenge, const std::string& password,
                            const TBlock8& clientChallenge, const TCryptoLibrary& crypto) {
  const TDigest16 nt = NTOWFv1(password, crypto);
  TResponses out;
  if (challenge.Flags & kNegotiateExtendedSessionSecurity) {
    std::string both(reinterpret_cast<const char*>(challenge.ServerChallenge.data()), 8);
    both.append(reinterpret_cast<const char*>(clientChallenge.data()), 8);
    const TDigest16 hash = crypto.MD5(both);
    TBlock8 sessionChallenge{};
    std::copy(hash.begin(), hash.begin() + 8, sessionChallenge.begin());
    out.NT = DESL(nt, sessionChallenge, crypto);
    out.LM.assign(reinterpret_cast<const char*>(clientChallenge.data()), 8);
    out.LM.append(16, '\0');
  } else {
    out.NT = DESL(nt, challenge.ServerChallenge, crypto);
    out.LM = DESL(LMOWFv1(password, crypto), challenge.ServerChallenge, crypto);
  }
  return out;
}

std::string NegotiateCredentials() {
  std::string message(kSignature, sizeof kSignature);
  message.resize(32, '\0');
  PutUint32(message, 8, 1);
  PutUint32(message, 12, kOurFlags);
  return "NTLM " + Base64Encode(message);
}

std::optional<TChallengeMessage> ParseChallenge(std::string_view token) {
  const std::optional<std::string> message = Base64Decode(token);
  if (!message || message->size() < kChallengeMinimum ||
      message->compare(0, sizeof kSignature, kSignature, sizeof kSignature) != 0 ||
      GetUint32(*message, 8) != 2) {
    return std::nullopt;
  }
  TChallengeMessage challenge;
  challenge.Flags = GetUint32(*message, 20);
  std::memcpy(challenge.ServerChallenge.data(), message->data() + 24, 8);
  return challenge;
}

std::string AuthenticateCredentials(const TChallengeMessage& challenge, const std::string& user,
                                    const std::string& password, const TBlock8& clientChallenge,
                                    const TCryptoLibrary& crypto) {
  std::string domain;
  std::string name = user;
  if (const std::size_t slash = user.find('\\'); slash != std::string::npos) {
    domain = user.substr(0, slash);
    name = user.substr(slash + 1);
  }
  const bool unicode = (challenge.Flags & kNegotiateUnicode) != 0;
  const std::string domainField = unicode ? Utf16LE(domain) : UpperAscii(domain);
  const std::string userField = unicode ? Utf16LE(name) : name;
  const std::string workstation;
  const std::string sessionKey;
  const TResponses responses = ComputeResponses(challenge, password, clientChallenge, crypto);

  std::string head(kSignature, sizeof kSignature);
  head.resize(kAuthenticateHeader, '\0');
  PutUint32(head, 8, 3);
  uint32_t flags = challenge.Flags & kOurFlags;
  flags |= kNegotiateNTLM | (unicode ? kNegotiateUnicode : kNegotiateOEM);
  PutUint32(head, 60, flags);
  const std::string message = Assemble(head, {{12, &responses.LM},
                                              {20, &responses.NT},
                                              {28, &domainField},
                                              {36, &userField},
                                              {44, &workstation},
                                              {52, &sessionKey}});
  return "NTLM " + Base64Encode(message);
}

}  // namespace kyt::ntlm
