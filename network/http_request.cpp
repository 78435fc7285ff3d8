#include "network/http_request.h"

namespace kyt {

namespace {

void AddHeader(std::string& out, const char* name, const std::string& value) {
  if (value.empty())
    return;
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

std::string FormatGetRequest(const THTTPRequest& request) {
  std::string out = "GET " + request.Target + " HTTP/1.1\r\n";
  AddHeader(out, "Host", request.Host);
  AddHeader(out, "Accept", "text/html, */*");
  AddHeader(out, "Accept-Encoding", "identity");
  AddHeader(out, "User-Agent", "KYT2/Win32");
  AddHeader(out, "Authorization", request.Authorization);
  AddHeader(out, "Proxy-Authorization", request.ProxyAuthorization);
  AddHeader(out, "Cookie", request.Cookie);
  out += "\r\n";
  return out;
}

}  // namespace kyt
