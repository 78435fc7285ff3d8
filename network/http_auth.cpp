#include "network/http_auth.h"

#include <algorithm>
#include <array>

#include <fmt/printf.h>
#include "runtime/exception.h"

namespace kyt {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  return Lower(std::string(a)) == Lower(std::string(b));
}

std::string Hex(const TDigest16& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

// A quoted or a plain value of an auth-param; the cursor ends behind it.
std::string ReadParamValue(const std::string& text, std::size_t& i) {
  std::string value;
  if (i < text.size() && text[i] == '"') {
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size())
        ++i;
      value += text[i];
    }
    if (i < text.size())
      ++i;
    return value;
  }
  while (i < text.size() && !IsSpace(text[i]) && text[i] != ',') value += text[i++];
  return value;
}

void SkipSpaces(const std::string& text, std::size_t& i) {
  while (i < text.size() && IsSpace(text[i])) ++i;
}

void ParseChallengeValue(const std::string& v, std::vector<THTTPChallenge>& out) {
  const std::size_t n = v.size();
  std::size_t i = 0;
  bool afterScheme = false;  // a token68 may only follow its scheme directly
  while (i < n) {
    if (v[i] == ',') {
      afterScheme = false;
      ++i;
      continue;
    }
    if (IsSpace(v[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < n && !IsSpace(v[i]) && v[i] != ',' && v[i] != '=' && v[i] != '"') ++i;
    if (i == start) {  // a stray "=" or quote
      ++i;
      afterScheme = false;
      continue;
    }
    const std::string token = v.substr(start, i - start);
    std::size_t j = i;
    SkipSpaces(v, j);
    if (j < n && v[j] == '=') {
      std::size_t k = j;
      while (k < n && v[k] == '=') ++k;
      std::size_t m = k;
      SkipSpaces(v, m);
      const bool itemEnds = m >= n || v[m] == ',';
      if (afterScheme && (itemEnds || k - j > 1)) {
        out.back().Token = token + std::string(k - j, '=');
        i = k;
      } else if (!out.empty()) {
        i = j + 1;
        SkipSpaces(v, i);
        std::string value = ReadParamValue(v, i);
        out.back().Params.emplace_back(Lower(token), std::move(value));
      } else {
        i = k;
      }
      afterScheme = false;
      continue;
    }
    if (afterScheme) {
      out.back().Token = token;
      afterScheme = false;
      continue;
    }
    out.push_back({token, {}, {}});
    afterScheme = true;
  }
}

std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  return out + '"';
}

// A line break in a header value would end the header and let the rest pass as headers of
// their own.
bool HeaderSafe(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

void RequireHeaderSafe(const std::string& value) {
  if (!HeaderSafe(value)) {
    throw Exception(std::string("Invalid character in user name."));
  }
}

bool OffersAuth(const std::string& qop) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = qop.find(',', start);
    std::string item =
        qop.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (SameText(item, "auth"))
      return true;
    if (comma == std::string::npos)
      return false;
    start = comma + 1;
  }
}

}  // namespace

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(data[i]) << 16 |
                       static_cast<uint8_t>(data[i + 1]) << 8 | static_cast<uint8_t>(data[i + 2]);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (i + 1 == data.size()) {
    const uint32_t v = static_cast<uint8_t>(data[i]) << 16;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    const uint32_t v = static_cast<uint8_t>(data[i]) << 16 | static_cast<uint8_t>(data[i + 1]) << 8;
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const char* found = std::find(kBase64, kBase64 + 64, c);
    if (found == kBase64 + 64)
      return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(found - kBase64);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string BasicCredentials(const std::string& user, const std::string& password) {
  return "Basic " + Base64Encode(user + ":" + password);
}

std::string THTTPChallenge::Param(std::string_view name) const {
  for (const auto& [key, value] : Params) {
    if (key == name)
      return value;
  }
  return {};
}

std::vector<THTTPChallenge> ParseChallenges(const std::vector<std::string>& values) {
  std::vector<THTTPChallenge> out;
  for (const auto& value : values) ParseChallengeValue(value, out);
  return out;
}

std::optional<std::string> DigestCredentials(const THTTPChallenge& challenge,
                                             const std::string& user, const std::string& password,
                                             const std::string& method, const std::string& uri,
                                             const std::string& cnonce,
                                             const TCryptoLibrary& crypto) {
  const std::string algorithm = challenge.Param("algorithm");
  if (!algorithm.empty() && !SameText(algorithm, "MD5"))
    return std::nullopt;
  const std::string qopOffered = challenge.Param("qop");
  const bool useQop = !qopOffered.empty();
  if (useQop && !OffersAuth(qopOffered))
    return std::nullopt;
  RequireHeaderSafe(user);

  const std::string realm = challenge.Param("realm");
  const std::string nonce = challenge.Param("nonce");
  const std::string opaque = challenge.Param("opaque");
  // The server's values go back into our header: a line break there would let the server
  // write headers of its own into our request. Such a challenge is not answered.
  if (!HeaderSafe(realm) || !HeaderSafe(nonce) || !HeaderSafe(opaque))
    return std::nullopt;
  const std::string ha1 = Hex(crypto.MD5(user + ":" + realm + ":" + password));
  const std::string ha2 = Hex(crypto.MD5(method + ":" + uri));
  const std::string nc = "00000001";
  const std::string response =
      useQop ? Hex(crypto.MD5(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2))
             : Hex(crypto.MD5(ha1 + ":" + nonce + ":" + ha2));

  std::string out = "Digest username=" + Quoted(user) + ", realm=" + Quoted(realm) +
                    ", nonce=" + Quoted(nonce) + ", uri=" + Quoted(uri);
  if (!algorithm.empty())
    out += ", algorithm=MD5";
  out += ", response=" + Quoted(response);
  if (!opaque.empty())
    out += ", opaque=" + Quoted(opaque);
  if (useQop)
    out += ", qop=auth, nc=" + nc + ", cnonce=" + Quoted(cnonce);
  return out;
}

}  // namespace kyt
