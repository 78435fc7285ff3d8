#include "network/http_cookies.h"

#include <algorithm>
#include <string_view>

namespace kyt {

namespace {

// One fetch sees at most a few answers, each with bounded headers; this only keeps a flood of
// distinct names from making every later request huge.
constexpr std::size_t kMaxCookies = 64;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The directory of the request path: "/a/b?x" gives "/a", "/a" gives "/" (RFC 6265, 5.1.4).
std::string DefaultPath(const std::string& pathAndQuery) {
  const std::string path = pathAndQuery.substr(0, pathAndQuery.find('?'));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return "/";
  return path.substr(0, slash);
}

bool DomainMatches(const std::string& host, const std::string& domain, bool hostOnly) {
  if (host == domain)
    return true;
  if (hostOnly || host.size() <= domain.size())
    return false;
  return host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath.compare(0, cookiePath.size(), cookiePath) != 0)
    return false;
  return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
         requestPath[cookiePath.size()] == '/';
}

}  // namespace

void THTTPCookieJar::Store(const THTTPURL& url, const THTTPAnswer& answer) {
  for (const auto& header : answer.Headers) {
    if (Lower(header.Name) == "set-cookie" || Lower(header.Name) == "set-cookie2") {
      StoreOne(url, header.Value);
    }
  }
}

void THTTPCookieJar::StoreOne(const THTTPURL& url, const std::string& header) {
  std::string_view rest = header;
  const std::size_t semicolon = rest.find(';');
  const std::string_view pair = rest.substr(0, semicolon);
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos)
    return;
  TCookie cookie{std::string(Trim(pair.substr(0, equals))),
                 std::string(Trim(pair.substr(equals + 1))), Lower(url.Host), true,
                 DefaultPath(url.PathAndQuery)};
  // The pair goes back into our Cookie header: a line break in it would add headers there.
  if (cookie.Name.empty() ||
      cookie.Name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
      cookie.Value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    return;
  }
  bool expired = false;
  rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    const std::string_view attribute = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const std::size_t eq = attribute.find('=');
    const std::string name = Lower(Trim(attribute.substr(0, eq)));
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : Trim(attribute.substr(eq + 1));
    if (name == "domain" && !value.empty()) {
      std::string domain = Lower(value);
      if (domain.front() == '.')
        domain.erase(0, 1);
      // A server may widen a cookie to its own parent domains only.
      if (!DomainMatches(cookie.Domain, domain, false))
        return;
      cookie.Domain = domain;
      cookie.HostOnly = false;
    } else if (name == "path" && !value.empty() && value.front() == '/') {
      cookie.Path = std::string(value);
    } else if (name == "max-age" && !value.empty() && (value.front() == '-' || value == "0")) {
      expired = true;
    }
  }
  auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const TCookie& c) {
    return c.Name == cookie.Name && c.Domain == cookie.Domain && c.Path == cookie.Path;
  });
  if (same != cookies_.end())
    cookies_.erase(same);
  if (expired)
    return;
  if (cookies_.size() >= kMaxCookies)
    cookies_.erase(cookies_.begin());
  cookies_.push_back(std::move(cookie));
}

std::string THTTPCookieJar::HeaderFor(const THTTPURL& url) const {
  const std::string host = Lower(url.Host);
  const std::string path = url.PathAndQuery.substr(0, url.PathAndQuery.find('?'));
  std::string out;
  for (const auto& cookie : cookies_) {
    if (!DomainMatches(host, cookie.Domain, cookie.HostOnly) || !PathMatches(path, cookie.Path)) {
      continue;
    }
    if (!out.empty())
      out += "; ";
    out += cookie.Name + "=" + cookie.Value;
  }
  return out;
}

}  // namespace kyt
