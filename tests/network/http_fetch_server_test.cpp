// The fetch against a real HTTP server (cpp-httplib): chunked pages, error answers, redirect
// chains, cookies, Digest and NTLM exchanges.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "network/http_auth.h"
#include "network/http_fetch.h"
#include "tests/network/tcp_test_peer.h"

namespace kyt {
namespace {

// A cpp-httplib server on a loopback port, listening on its own thread for the test's life.
class TWebServer {
 public:
  TWebServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    test::WaitUntil([this] { return server_.is_running(); });
  }
  ~TWebServer() {
    server_.stop();
    thread_.join();
  }
  httplib::Server& Server() { return server_; }
  std::string URL(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Port() const { return port_; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// State the server's threads write and the test reads.
template <class T>
class TShared {
 public:
  void Set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  T Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  template <class F>
  void Update(F&& change) {
    std::lock_guard lock(mutex_);
    change(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

std::string FetchError(const std::string& url, const THTTPFetchParams& params = {}) {
  try {
    HTTPGet(url, params);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(HTTPFetchServerTest, ChunkedPageArrivesJoined) {
  TWebServer web;
  const std::string page = test::EveryByteValue(300);
  web.Server().Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider(
        "application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
          const size_t n = std::min<size_t>(1000, page.size() - offset);
          sink.write(page.data() + offset, n);
          if (offset + n == page.size())
            sink.done();
          return true;
        });
  });
  EXPECT_EQ(HTTPGet(web.URL("/chunked"), {}), page);
}

TEST(HTTPFetchServerTest, NotFoundFailsWithItsStatusLine) {
  TWebServer web;
  try {
    HTTPGet(web.URL("/nothing"), {});
    FAIL();
  } catch (const EHTTPError& e) {
    EXPECT_EQ(e.Code(), 404);
    EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
  }
}

TEST(HTTPFetchServerTest, FourteenRedirectsAreFollowedAndTheFifteenthFails) {
  TWebServer web;
  web.Server().Get(R"(/hop/(\d+)/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    const int at = std::stoi(req.matches[1]);
    const int last = std::stoi(req.matches[2]);
    if (at == last) {
      res.set_content("arrived after " + std::to_string(at), "text/plain");
    } else {
      res.set_redirect("/hop/" + std::to_string(at + 1) + "/" + std::to_string(last));
    }
  });
  EXPECT_EQ(HTTPGet(web.URL("/hop/0/14"), {}), "arrived after 14");
  try {
    HTTPGet(web.URL("/hop/0/15"), {});
    FAIL();
  } catch (const EHTTPError& e) {
    EXPECT_EQ(e.Code(), 302);
    EXPECT_STREQ(e.what(), "HTTP/1.1 302 Found");
  }
}

TEST(HTTPFetchServerTest, RedirectToAnotherPortAndCookiesSentBack) {
  TWebServer first;
  TWebServer second;
  TShared<std::string> cookiesAtSecond;
  TShared<std::string> cookiesBack;
  first.Server().Get("/start", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "session=abc; Path=/");
    res.set_redirect("/again");
  });
  first.Server().Get("/again", [&](const httplib::Request& req, httplib::Response& res) {
    cookiesBack.Set(req.get_header_value("Cookie"));
    res.set_redirect(second.URL("/elsewhere"));
  });
  second.Server().Get("/elsewhere", [&](const httplib::Request& req, httplib::Response& res) {
    cookiesAtSecond.Set(req.get_header_value("Cookie"));
    res.set_content("second", "text/plain");
  });
  EXPECT_EQ(HTTPGet(first.URL("/start"), {}), "second");
  EXPECT_EQ(cookiesBack.Get(), "session=abc");
  // Cookies belong to their host; 127.0.0.1 on another port is the same host.
  EXPECT_EQ(cookiesAtSecond.Get(), "session=abc");
  // Nothing survives the fetch.
  EXPECT_EQ(HTTPGet(first.URL("/again"), {}), "second");
  EXPECT_EQ(cookiesBack.Get(), "");
}

TEST(HTTPFetchServerTest, DigestChallengeIsAnswered) {
  TWebServer web;
  TCryptoLibrary crypto;
  std::atomic<int> attempts = 0;
  web.Server().Get("/dir/index.html", [&](const httplib::Request& req, httplib::Response& res) {
    ++attempts;
    const auto given = ParseChallenges({req.get_header_value("Authorization")});
    if (!given.empty() && given[0].Scheme == "Digest") {
      auto hex = [&](const std::string& s) {
        std::string out;
        for (uint8_t b : crypto.MD5(s)) out += fmt::format("{:02x}", b);
        return out;
      };
      const auto& c = given[0];
      const std::string expected =
          hex(hex("Mufasa:testrealm@host.com:Circle Of Life") + ":" + c.Param("nonce") + ":" +
              c.Param("nc") + ":" + c.Param("cnonce") + ":" + c.Param("qop") + ":" +
              hex("GET:" + c.Param("uri")));
      if (c.Param("uri") == "/dir/index.html" && c.Param("response") == expected &&
          c.Param("opaque") == "5ccc069c403ebaf9f0171e9517f40e41" &&
          c.Param("username") == "Mufasa") {
        res.set_content("digest ok", "text/plain");
        return;
      }
    }
    res.status = 401;
    res.set_header("WWW-Authenticate",
                   "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                   "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                   "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
  });
  THTTPFetchParams params;
  params.User = "Mufasa";
  params.Password = "Circle Of Life";
  EXPECT_EQ(HTTPGet(web.URL("/dir/index.html"), params), "digest ok");
  EXPECT_EQ(attempts, 2);

  attempts = 0;
  params.Password = "wrong";
  EXPECT_EQ(FetchError(web.URL("/dir/index.html"), params), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(attempts, 4);  // the first request and three attempts

  attempts = 0;
  params.User = "";
  EXPECT_EQ(FetchError(web.URL("/dir/index.html"), params), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(attempts, 1);
}

// The NTLM handshake on one connection, with the server challenge of MS-NLMP 4.2 and no
// extended session security, so the client's answer is the published NTLMv1 response.
TEST(HTTPFetchServerTest, NTLMHandshakeOnOneConnection) {
  TWebServer web;
  TShared<std::vector<int>> ports;
  TShared<std::string> ntResponse;
  web.Server().Get("/ntlm", [&](const httplib::Request& req, httplib::Response& res) {
    ports.Update([&](std::vector<int>& all) { all.push_back(req.remote_port); });
    const auto given = ParseChallenges({req.get_header_value("Authorization")});
    res.status = 401;
    if (given.empty() || given[0].Token.empty()) {
      res.set_header("WWW-Authenticate", "NTLM");
      return;
    }
    const auto message = Base64Decode(given[0].Token).value_or("");
    if (message.size() > 8 && message[8] == 1) {
      std::string type2("NTLMSSP\0\2\0\0\0", 12);
      type2 += std::string(8, '\0');
      type2 += std::string("\x01\x02\0\0", 4);
      type2 += "\x01\x23\x45\x67\x89\xab\xcd\xef";
      type2 += std::string(8, '\0');
      res.set_header("WWW-Authenticate", "NTLM " + Base64Encode(type2));
      return;
    }
    const std::size_t offset = static_cast<uint8_t>(message[24]) | static_cast<uint8_t>(message[25])
                                                                       << 8;
    ntResponse.Set(message.substr(offset, 24));
    res.status = 200;
    res.set_content("ntlm ok", "text/plain");
  });
  THTTPFetchParams params;
  params.User = "Domain\\User";
  params.Password = "Password";
  EXPECT_EQ(HTTPGet(web.URL("/ntlm"), params), "ntlm ok");
  EXPECT_EQ(ntResponse.Get(),
            std::string("\x67\xc4\x30\x11\xf3\x02\x98\xa2\xad\x35\xec\xe6\x4f\x16\x33"
                        "\x1c\x44\xbd\xbe\xd9\x27\x84\x1f\x94"));
  const std::vector<int> seen = ports.Get();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], seen[2]);

  setenv("KYT_LIBCRYPTO_LIBRARY", "/nonexistent/libcrypto.so.3", 1);
  EXPECT_EQ(FetchError(web.URL("/ntlm"), params), "Could not load SSL library.");
  unsetenv("KYT_LIBCRYPTO_LIBRARY");
}

TEST(HTTPFetchServerTest, BasicFlagSendsFromTheFirstRequestAndChallengeUsesFirstKnownScheme) {
  TWebServer web;
  TShared<std::vector<std::string>> seen;
  web.Server().Get("/basic", [&](const httplib::Request& req, httplib::Response& res) {
    seen.Update([&](auto& all) { all.push_back(req.get_header_value("Authorization")); });
    if (req.get_header_value("Authorization") == "Basic dTpw") {
      res.set_content("basic ok", "text/plain");
      return;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer realm=\"x\", Basic realm=\"y\"");
  });
  THTTPFetchParams params;
  params.User = "u";
  params.Password = "p";
  EXPECT_EQ(HTTPGet(web.URL("/basic"), params), "basic ok");
  EXPECT_EQ(seen.Get(), (std::vector<std::string>{"", "Basic dTpw"}));
  seen.Set({});
  params.BasicAuth = true;
  EXPECT_EQ(HTTPGet(web.URL("/basic"), params), "basic ok");
  EXPECT_EQ(seen.Get(), (std::vector<std::string>{"Basic dTpw"}));
}

}  // namespace
}  // namespace kyt
