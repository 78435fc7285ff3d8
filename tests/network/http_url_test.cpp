// Web address rules: default scheme and ports, credentials, path and query as written, and
// references resolved against the page they came from.

#include "network/http_url.h"

#include <gtest/gtest.h>

namespace kyt {
namespace {

std::string ErrorOf(const std::string& text) {
  try {
    ParseHTTPURL(text);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(parsed)";
}

TEST(HTTPURLTest, SchemeAndPortDefaults) {
  const THTTPURL plain = ParseHTTPURL("www.host.example");
  EXPECT_EQ(plain.Scheme, "http");
  EXPECT_EQ(plain.Port, 80);
  EXPECT_EQ(plain.PathAndQuery, "/");
  EXPECT_EQ(plain.HostHeader(), "www.host.example");
  EXPECT_EQ(ParseHTTPURL("://h/x").Scheme, "http");
  EXPECT_EQ(ParseHTTPURL("HTTPS://h/").Port, 443);
  EXPECT_EQ(ParseHTTPURL("gopher://h:70/").Port, 70);
  EXPECT_EQ(ErrorOf("gopher://h/"), "Unknown Protocol");
}

TEST(HTTPURLTest, PathAndQueryStayAsWritten) {
  const THTTPURL url = ParseHTTPURL("http://h:8080/a%2Fb/./c?x=%41&y=1#frag");
  EXPECT_EQ(url.Host, "h");
  EXPECT_EQ(url.Port, 8080);
  EXPECT_EQ(url.PathAndQuery, "/a%2Fb/./c?x=%41&y=1");
  EXPECT_EQ(url.HostHeader(), "h:8080");
  EXPECT_EQ(url.AbsoluteForm(), "http://h:8080/a%2Fb/./c?x=%41&y=1");
  EXPECT_EQ(ParseHTTPURL("http://h?q").PathAndQuery, "/?q");
  const THTTPURL v6 = ParseHTTPURL("http://[::1]:81/");
  EXPECT_EQ(v6.Host, "::1");
  EXPECT_EQ(v6.HostHeader(), "[::1]:81");
}

TEST(HTTPURLTest, Credentials) {
  const THTTPURL url = ParseHTTPURL("http://us%65r:p%3Ass:x@h/");
  EXPECT_TRUE(url.HasCredentials);
  EXPECT_EQ(url.User, "user");
  EXPECT_EQ(url.Password, "p:ss:x");
  EXPECT_EQ(url.HostHeader(), "h");
  EXPECT_FALSE(ParseHTTPURL("http://h/").HasCredentials);
  // Escapes that end the user name and the password.
  const THTTPURL ends = ParseHTTPURL("http://us%65:pa%41@h/");
  EXPECT_EQ(ends.User, "use");
  EXPECT_EQ(ends.Password, "paA");
}

TEST(HTTPURLTest, BrokenAddressesAreRefused) {
  for (const std::string text : {"http://", "http://h:0/", "http://h:65536/", "http://h:8x/",
                                 "http://h /", "http://h/\r\nX: y", "http://[::1/"}) {
    EXPECT_TRUE(ErrorOf(text).starts_with("Invalid URL: ")) << text << ": " << ErrorOf(text);
  }
  EXPECT_EQ(ErrorOf("http://" + std::string(1000, 'a') + " /").size(), 213u);
}

TEST(HTTPURLTest, ReferencesResolveAgainstTheCurrentPage) {
  const THTTPURL base = ParseHTTPURL("http://h:81/a/b/c?q=1");
  EXPECT_EQ(ResolveHTTPReference(base, "d"), "http://h:81/a/b/d");
  EXPECT_EQ(ResolveHTTPReference(base, "../d?x"), "http://h:81/a/d?x");
  EXPECT_EQ(ResolveHTTPReference(base, "/root"), "http://h:81/root");
  EXPECT_EQ(ResolveHTTPReference(base, "//other/x"), "http://other/x");
  EXPECT_EQ(ResolveHTTPReference(base, "?only"), "http://h:81/a/b/c?only");
  EXPECT_EQ(ResolveHTTPReference(base, "http://else:9/"), "http://else:9/");
  EXPECT_EQ(ResolveHTTPReference(base, "/a b"), "http://h:81/a%20b");
}

}  // namespace
}  // namespace kyt
