#include "network/http_url.h"

#include <charconv>
#include <memory>
#include <optional>
#include <utility>

#include <fmt/printf.h>

#if KYT_WITH_URIPARSER
#include <uriparser/Uri.h>
#else
#include "network/uri_reference.h"
#endif

namespace kyt {

namespace {

// What the fetch needs of a parsed address.
struct TAddressParts {
  std::string Scheme;
  std::string Host;  // an IP literal without its brackets
  std::string Port;
  std::optional<std::string> UserInfo;
};

#if KYT_WITH_URIPARSER

// A parsed uriparser record, freed exactly once.
class TParsedURI {
 public:
  TParsedURI() = default;
  ~TParsedURI() {
    if (parsed_)
      uriFreeUriMembersA(&uri_);
  }
  TParsedURI(const TParsedURI&) = delete;
  TParsedURI& operator=(const TParsedURI&) = delete;

  bool Parse(const std::string& text) {
    const char* errorPos = nullptr;
    parsed_ = uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &errorPos) ==
              URI_SUCCESS;
    return parsed_;
  }
  UriUriA& Get() { return uri_; }
  void MarkParsed() { parsed_ = true; }

 private:
  UriUriA uri_{};
  bool parsed_ = false;
};

std::string RangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr)
    return {};
  return std::string(range.first, range.afterLast);
}

std::optional<TAddressParts> SplitAddress(const std::string& text) {
  TParsedURI parsed;
  if (!parsed.Parse(text))
    return std::nullopt;
  const UriUriA& uri = parsed.Get();
  TAddressParts parts{RangeText(uri.scheme), RangeText(uri.hostText), RangeText(uri.portText), {}};
  if (uri.userInfo.first != nullptr)
    parts.UserInfo = RangeText(uri.userInfo);
  return parts;
}

bool ValidReference(const std::string& text) {
  TParsedURI parsed;
  return parsed.Parse(text);
}

// None when uriparser cannot resolve or write the result.
std::optional<std::string> Resolve(const std::string& baseText, const std::string& reference) {
  TParsedURI base;
  TParsedURI relative;
  if (!base.Parse(baseText) || !relative.Parse(reference))
    return std::nullopt;
  TParsedURI resolved;
  if (uriAddBaseUriA(&resolved.Get(), &relative.Get(), &base.Get()) != URI_SUCCESS)
    return std::nullopt;
  resolved.MarkParsed();
  int length = 0;
  if (uriToStringCharsRequiredA(&resolved.Get(), &length) != URI_SUCCESS)
    return std::nullopt;
  std::string out(static_cast<std::size_t>(length) + 1, '\0');
  if (uriToStringA(out.data(), &resolved.Get(), length + 1, nullptr) != URI_SUCCESS)
    return std::nullopt;
  out.resize(static_cast<std::size_t>(length));
  return out;
}

#else

std::optional<TAddressParts> SplitAddress(const std::string& text) {
  const std::optional<TURIReference> uri = ParseURIReference(text);
  if (!uri)
    return std::nullopt;
  return TAddressParts{uri->Scheme.value_or(""), uri->Host, uri->Port, uri->UserInfo};
}

bool ValidReference(const std::string& text) {
  return ParseURIReference(text).has_value();
}

std::optional<std::string> Resolve(const std::string& baseText, const std::string& reference) {
  const std::optional<TURIReference> base = ParseURIReference(baseText);
  const std::optional<TURIReference> relative = ParseURIReference(reference);
  if (!base || !relative)
    return std::nullopt;
  return ComposeURIReference(ResolveURIReference(*base, *relative));
}

#endif

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

[[noreturn]] void RaiseInvalid(const std::string& text) {
  // Quoting a hostile address whole would let it fill the log.
  constexpr std::size_t kQuoted = 200;
  throw Exception(fmt::sprintf("Invalid URL: %s", text.substr(0, kQuoted)));
}

// "www.host/page" and "://www.host/page" both mean http.
std::string WithScheme(const std::string& text) {
  const std::size_t separator = text.find("://");
  if (separator == std::string::npos)
    return "http://" + text;
  if (separator == 0)
    return "http" + text;
  return text;
}

uint16_t PortOf(const std::string& scheme, const std::string& portText, const std::string& text) {
  if (portText.empty()) {
    if (scheme == "http")
      return 80;
    if (scheme == "https")
      return 443;
    throw Exception(std::string("Unknown Protocol"));
  }
  unsigned value = 0;
  const char* end = portText.data() + portText.size();
  const auto [ptr, error] = std::from_chars(portText.data(), end, value);
  if (error != std::errc() || ptr != end || value == 0 || value > 0xFFFF)
    RaiseInvalid(text);
  return static_cast<uint16_t>(value);
}

// Path and query start where the authority ends: at the first "/", "?" or "#" after "://",
// none of which a valid authority holds. The fragment never goes on the wire.
std::string PathAndQueryOf(const std::string& text) {
  const std::size_t authority = text.find("://") + 3;
  const std::size_t start = text.find_first_of("/?#", authority);
  if (start == std::string::npos)
    return "/";
  std::string rest = text.substr(start, text.find('#', start) - start);
  if (rest.empty() || rest[0] != '/')
    rest.insert(0, "/");
  return rest;
}

bool NeedsEscape(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F)
    return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

std::string EscapeUnsafe(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string THTTPURL::HostHeader() const {
  const std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
  return Port == 80 ? host : host + ":" + std::to_string(Port);
}

std::string THTTPURL::AbsoluteForm() const {
  return Scheme + "://" + HostHeader() + PathAndQuery;
}

THTTPURL ParseHTTPURL(const std::string& given) {
  THTTPURL url;
  url.Text = WithScheme(given);
  const std::optional<TAddressParts> parts = SplitAddress(url.Text);
  if (!parts)
    RaiseInvalid(given);
  url.Scheme = AsciiLower(parts->Scheme);
  url.Host = parts->Host;
  if (url.Host.empty())
    RaiseInvalid(given);
  url.Port = PortOf(url.Scheme, parts->Port, given);
  if (parts->UserInfo) {
    const std::string& info = *parts->UserInfo;
    const std::size_t colon = info.find(':');
    url.HasCredentials = true;
    url.User = PercentDecode(info.substr(0, colon));
    if (colon != std::string::npos)
      url.Password = PercentDecode(info.substr(colon + 1));
  }
  url.PathAndQuery = PathAndQueryOf(url.Text);
  return url;
}

std::string ResolveHTTPReference(const THTTPURL& base, const std::string& reference) {
  const std::string escaped = EscapeUnsafe(reference);
  if (!ValidReference(base.Text))
    RaiseInvalid(base.Text);
  std::optional<std::string> resolved = Resolve(base.Text, escaped);
  if (!resolved)
    RaiseInvalid(reference);
  return std::move(*resolved);
}

}  // namespace kyt
