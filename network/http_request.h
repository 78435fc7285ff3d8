#pragma once

// The GET request as it goes on the wire.

#include <string>

namespace kyt {

struct THTTPRequest {
  std::string Target;  // path and query, or the absolute URL for a proxy
  std::string Host;
  std::string Authorization;
  std::string ProxyAuthorization;
  std::string Cookie;
};

// The request line and the headers in their fixed order, each only when it has a value, ended
// by an empty line. No "Connection" header and no body.
std::string FormatGetRequest(const THTTPRequest& request);

}  // namespace kyt
