#pragma once

// The cookies of one fetch: what the answers set is sent back to the addresses it belongs to,
// until the fetch ends.

#include <string>
#include <vector>

#include "network/http_answer.h"
#include "network/http_url.h"

namespace kyt {

class THTTPCookieJar {
 public:
  // Takes the "Set-Cookie" and "Set-Cookie2" headers of an answer to `url`.
  void Store(const THTTPURL& url, const THTTPAnswer& answer);
  // The "Cookie" header value for a request to `url`; empty when nothing matches.
  std::string HeaderFor(const THTTPURL& url) const;

 private:
  struct TCookie {
    std::string Name;
    std::string Value;
    std::string Domain;  // lower case, without a leading dot
    bool HostOnly = true;
    std::string Path;
  };
  void StoreOne(const THTTPURL& url, const std::string& header);

  std::vector<TCookie> cookies_;
};

}  // namespace kyt
