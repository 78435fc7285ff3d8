#pragma once

// Web addresses as the HTTP fetch takes them: scheme, optional credentials, host, port, and the
// path with its query exactly as written.

#include <cstdint>
#include <string>

#include "runtime/exception.h"

namespace kyt {

struct THTTPURL {
  std::string Scheme;  // lower case; "http" when the text named none
  bool HasCredentials = false;
  std::string User;      // percent-decoded
  std::string Password;  // percent-decoded
  std::string Host;      // without the brackets of an IPv6 literal
  uint16_t Port = 0;
  std::string PathAndQuery;  // as written, "/" when the text had no path
  std::string Text;          // the whole address with its scheme, the base for references

  // "host" or "host:port" when the port is not 80 (IPv6 literals in brackets).
  std::string HostHeader() const;
  // What a proxy expects in the request line: scheme, "://", the Host header, path and query.
  std::string AbsoluteForm() const;
};

// Raises Exception "Unknown Protocol" for a scheme other than http and https without a port,
// and "Invalid URL: ..." for text that is no URL with a host.
THTTPURL ParseHTTPURL(const std::string& text);

// Resolves a Location reference against the address it came from (RFC 3986, section 5). Bytes
// that may not stand in a URL (spaces, controls, 8-bit bytes) are percent-encoded first, since
// servers send them raw.
std::string ResolveHTTPReference(const THTTPURL& base, const std::string& reference);

}  // namespace kyt
