#include "network/uri_reference.h"

#include <algorithm>

namespace kyt {

namespace {

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsUnreserved(char c) {
  return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool IsSubDelim(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Every byte is unreserved, a sub-delimiter, one of `extra`, or starts a complete escape.
bool ValidText(std::string_view text, std::string_view extra) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !IsHex(text[i + 1]) || !IsHex(text[i + 2]))
        return false;
      i += 2;
    } else if (!IsUnreserved(c) && !IsSubDelim(c) && extra.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool ValidScheme(std::string_view scheme) {
  if (scheme.empty() || !IsAlpha(scheme[0]))
    return false;
  return std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.';
  });
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), IsDigit);
}

// dec-octet: 0 to 255 without leading zeros.
bool ValidOctet(std::string_view text) {
  if (text.empty() || text.size() > 3 || !AllDigits(text) || (text.size() > 1 && text[0] == '0'))
    return false;
  return std::stoi(std::string(text)) <= 255;
}

bool ValidIPv4(std::string_view text) {
  for (int octet = 0; octet < 4; ++octet) {
    const std::size_t dot = octet < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos || !ValidOctet(text.substr(0, dot)))
      return false;
    text.remove_prefix(std::min(dot + 1, text.size()));
  }
  return text.empty();
}

// Counts the 16-bit pieces of one side of an IPv6 address; an IPv4 tail counts two.
bool CountIPv6Pieces(std::string_view text, bool mayEndInIPv4, int& count) {
  count = 0;
  while (!text.empty()) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    const bool last = colon == std::string_view::npos;
    if (last && mayEndInIPv4 && piece.find('.') != std::string_view::npos) {
      if (!ValidIPv4(piece))
        return false;
      count += 2;
    } else {
      if (piece.empty() || piece.size() > 4 || !std::all_of(piece.begin(), piece.end(), IsHex))
        return false;
      count += 1;
    }
    if (last)
      break;
    text.remove_prefix(colon + 1);
    if (text.empty())
      return false;  // a single trailing colon
  }
  return true;
}

bool ValidIPv6(std::string_view text) {
  const std::size_t gap = text.find("::");
  int left = 0;
  int right = 0;
  if (gap == std::string_view::npos)
    return CountIPv6Pieces(text, true, right) && right == 8;
  if (text.find("::", gap + 1) != std::string_view::npos)
    return false;
  return CountIPv6Pieces(text.substr(0, gap), false, left) &&
         CountIPv6Pieces(text.substr(gap + 2), true, right) && left + right <= 7;
}

// IPvFuture: "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" ).
bool ValidIPvFuture(std::string_view text) {
  if (text.size() < 4 || (text[0] != 'v' && text[0] != 'V'))
    return false;
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot < 2 || dot + 1 == text.size())
    return false;
  const std::string_view version = text.substr(1, dot - 1);
  const std::string_view rest = text.substr(dot + 1);
  return std::all_of(version.begin(), version.end(), IsHex) &&
         std::all_of(rest.begin(), rest.end(),
                     [](char c) { return IsUnreserved(c) || IsSubDelim(c) || c == ':'; });
}

bool ParseAuthority(std::string_view authority, TURIReference& uri) {
  const std::size_t at = authority.find('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    if (!ValidText(userInfo, ":"))
      return false;
    uri.UserInfo = std::string(userInfo);
    authority.remove_prefix(at + 1);
  }
  std::string_view portText;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos)
      return false;
    const std::string_view literal = authority.substr(1, close - 1);
    if (!ValidIPv6(literal) && !ValidIPvFuture(literal))
      return false;
    uri.Host = std::string(literal);
    authority.remove_prefix(close + 1);
    if (!authority.empty() && authority[0] != ':')
      return false;
    portText = authority.empty() ? authority : authority.substr(1);
  } else {
    const std::size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (!ValidText(host, ""))
      return false;
    uri.Host = std::string(host);
    if (colon != std::string_view::npos)
      portText = authority.substr(colon + 1);
  }
  if (!AllDigits(portText))
    return false;
  uri.Port = std::string(portText);
  return true;
}

// Section 5.2.4.
std::string RemoveDotSegments(std::string_view in) {
  std::string out;
  const auto dropLastSegment = [&out] {
    const std::size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  std::string rest(in);
  while (!rest.empty()) {
    if (rest.starts_with("../")) {
      rest.erase(0, 3);
    } else if (rest.starts_with("./")) {
      rest.erase(0, 2);
    } else if (rest.starts_with("/./")) {
      rest.erase(0, 2);
    } else if (rest == "/.") {
      rest = "/";
    } else if (rest.starts_with("/../")) {
      rest.erase(0, 3);
      dropLastSegment();
    } else if (rest == "/..") {
      rest = "/";
      dropLastSegment();
    } else if (rest == "." || rest == "..") {
      rest.clear();
    } else {
      const std::size_t end = rest.find('/', 1);
      out += rest.substr(0, end);
      rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
  }
  return out;
}

// Section 5.2.3.
std::string MergePaths(const TURIReference& base, const std::string& path) {
  if (base.Authority && base.Path.empty())
    return "/" + path;
  const std::size_t slash = base.Path.rfind('/');
  return slash == std::string::npos ? path : base.Path.substr(0, slash + 1) + path;
}

void TakeAuthority(TURIReference& target, const TURIReference& from) {
  target.Authority = from.Authority;
  target.UserInfo = from.UserInfo;
  target.Host = from.Host;
  target.Port = from.Port;
}

}  // namespace

std::optional<TURIReference> ParseURIReference(std::string_view text) {
  TURIReference uri;
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon < text.find_first_of("/?#")) {
    // A colon in the first segment of a relative reference breaks the grammar as well.
    if (!ValidScheme(text.substr(0, colon)))
      return std::nullopt;
    uri.Scheme = std::string(text.substr(0, colon));
    text.remove_prefix(colon + 1);
  }
  if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    if (!ValidText(text.substr(hash + 1), ":@/?"))
      return std::nullopt;
    uri.Fragment = std::string(text.substr(hash + 1));
    text = text.substr(0, hash);
  }
  if (const std::size_t question = text.find('?'); question != std::string_view::npos) {
    if (!ValidText(text.substr(question + 1), ":@/?"))
      return std::nullopt;
    uri.Query = std::string(text.substr(question + 1));
    text = text.substr(0, question);
  }
  if (text.starts_with("//")) {
    const std::size_t end = text.find('/', 2);
    const std::string_view authority =
        text.substr(2, end == std::string_view::npos ? end : end - 2);
    if (!ParseAuthority(authority, uri))
      return std::nullopt;
    uri.Authority = std::string(authority);
    text.remove_prefix(2 + authority.size());
  }
  if (!ValidText(text, ":@/"))
    return std::nullopt;
  uri.Path = std::string(text);
  return uri;
}

TURIReference ResolveURIReference(const TURIReference& base, const TURIReference& reference) {
  TURIReference target;
  if (reference.Scheme) {
    target = reference;
    target.Path = RemoveDotSegments(reference.Path);
    return target;
  }
  if (reference.Authority) {
    TakeAuthority(target, reference);
    target.Path = RemoveDotSegments(reference.Path);
    target.Query = reference.Query;
  } else {
    TakeAuthority(target, base);
    if (reference.Path.empty()) {
      target.Path = base.Path;
      target.Query = reference.Query ? reference.Query : base.Query;
    } else {
      target.Path = RemoveDotSegments(
          reference.Path.starts_with("/") ? reference.Path : MergePaths(base, reference.Path));
      target.Query = reference.Query;
    }
  }
  target.Scheme = base.Scheme;
  target.Fragment = reference.Fragment;
  return target;
}

std::string ComposeURIReference(const TURIReference& uri) {
  std::string out;
  if (uri.Scheme)
    out += *uri.Scheme + ":";
  if (uri.Authority)
    out += "//" + *uri.Authority;
  out += uri.Path;
  if (uri.Query)
    out += "?" + *uri.Query;
  if (uri.Fragment)
    out += "#" + *uri.Fragment;
  return out;
}

}  // namespace kyt
