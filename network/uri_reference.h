#pragma once

// URI references read, resolved and written back by the rules of RFC 3986 (sections 3 and 5),
// for builds without uriparser (the Windows cross build has none). The Linux build uses uriparser
// and checks this code against it.

#include <optional>
#include <string>
#include <string_view>

namespace kyt {

// An absent component differs from an empty one: "http://h?" has an empty query, "http://h"
// none.
struct TURIReference {
  std::optional<std::string> Scheme;
  std::optional<std::string> Authority;  // "user@host:port" as written
  std::optional<std::string> UserInfo;
  std::string Host;  // an IP literal without its brackets
  std::string Port;
  std::string Path;
  std::optional<std::string> Query;
  std::optional<std::string> Fragment;
};

// None for text that breaks the grammar (a space, a bad escape, an unclosed IP literal, a port
// that is not digits, a colon in a relative reference's first segment).
std::optional<TURIReference> ParseURIReference(std::string_view text);

// The target of `reference` seen from `base` (section 5.2.2), dot segments removed.
TURIReference ResolveURIReference(const TURIReference& base, const TURIReference& reference);

// The reference written back (section 5.3).
std::string ComposeURIReference(const TURIReference& uri);

}  // namespace kyt
