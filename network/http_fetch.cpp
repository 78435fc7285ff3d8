#include "network/http_fetch.h"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <utility>

#include <fmt/printf.h>
#include "network/http_auth.h"
#include "network/http_cookies.h"
#include "network/http_request.h"
#include "network/http_url.h"
#include "network/tcp_client.h"
#include "platform/crypto.h"

namespace kyt {

namespace {

using Clock = std::chrono::steady_clock;

// Answer bytes from the TCP client: every wait for data is bounded by the read time-out.
class TConnectionSource : public THTTPByteSource {
 public:
  TConnectionSource(TTCPClient& client, std::chrono::milliseconds timeout)
      : client_(client), timeout_(timeout) {}

  bool ReadMore(std::string& buffer) override {
    const auto deadline = Clock::now() + timeout_;
    for (;;) {
      if (!client_.InputBufferIsEmpty()) {
        client_.TakeAllInto(buffer);
        return true;
      }
      // Waiting first saves a read that would only find nothing yet; on a closed connection
      // the wait returns at once and Connected() tells.
      const auto now = Clock::now();
      if (now < deadline) {
        client_.WaitForData(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
      }
      if (!client_.InputBufferIsEmpty())
        continue;
      if (!client_.Connected())
        return false;
      if (!client_.InputBufferIsEmpty())
        continue;
      if (Clock::now() >= deadline)
        throw Exception("Read timed out.");
    }
  }

 private:
  TTCPClient& client_;
  std::chrono::milliseconds timeout_;
};

struct TCredentials {
  bool Basic = false;
  std::string User;
  std::string Password;
};

class THTTPFetch {
 public:
  explicit THTTPFetch(const THTTPFetchParams& params);
  ~THTTPFetch() { Disconnect(); }
  THTTPFetch(const THTTPFetch&) = delete;
  THTTPFetch& operator=(const THTTPFetch&) = delete;
  std::string Get(const std::string& urlText);

 private:
  THTTPURL Parse(const std::string& text);
  void Connect(const THTTPURL& url);
  void Disconnect();
  THTTPAnswer Send(const THTTPURL& url);
  bool KeptOpen(const THTTPAnswer& answer);
  bool PrepareAuthentication(const THTTPURL& url, const THTTPAnswer& answer, bool proxy);
  std::optional<std::string> Answer(const THTTPChallenge& challenge, const TCredentials& creds,
                                    const std::string& target);
  const TCryptoLibrary& Crypto();
  [[noreturn]] void Fail(const THTTPAnswer& answer);
  std::string Target(const THTTPURL& url) const;

  const THTTPFetchParams& params_;
  TCredentials server_;
  TCredentials proxy_;
  std::unique_ptr<TTCPClient> client_;
  std::unique_ptr<TConnectionSource> source_;
  std::unique_ptr<THTTPAnswerReader> reader_;
  std::string connectedHost_;
  uint16_t connectedPort_ = 0;
  THTTPCookieJar cookies_;
  std::string authorization_;
  std::string proxyAuthorization_;
  int authAttempts_ = 0;
  std::optional<TCryptoLibrary> crypto_;
  uint64_t fetchNumber_ = 0;
};

THTTPFetch::THTTPFetch(const THTTPFetchParams& params)
    : params_(params),
      server_{params.BasicAuth, params.User, params.Password},
      proxy_{params.ProxyBasicAuth, params.ProxyUser, params.ProxyPassword},
      fetchNumber_(params.Cancel ? params.Cancel->Begin() : 0) {}

THTTPURL THTTPFetch::Parse(const std::string& text) {
  THTTPURL url = ParseHTTPURL(text);
  // There is no TLS layer. Through a proxy the request would travel unencrypted inside a
  // CONNECT tunnel, credentials included, so https fails the same way with or without one,
  // before anything is sent.
  if (url.Scheme == "https")
    throw Exception(std::string("IOHandler value is not valid"));
  if (url.HasCredentials && !url.User.empty()) {
    server_.User = url.User;
    server_.Password = url.Password;
  }
  return url;
}

std::string THTTPFetch::Target(const THTTPURL& url) const {
  return params_.ProxyServer.empty() ? url.PathAndQuery : url.AbsoluteForm();
}

void THTTPFetch::Connect(const THTTPURL& url) {
  const bool viaProxy = !params_.ProxyServer.empty();
  const std::string host = viaProxy ? params_.ProxyServer : url.Host;
  uint16_t port = url.Port;
  if (viaProxy) {
    // Taking the low 16 bits of a bad port would quietly connect somewhere else.
    if (params_.ProxyPort <= 0 || params_.ProxyPort > 0xFFFF) {
      throw Exception(fmt::sprintf("Invalid port: %d", params_.ProxyPort));
    }
    port = static_cast<uint16_t>(params_.ProxyPort);
  }
  client_ = std::make_unique<TTCPClient>();
  client_->Host = host;
  client_->Port = port;
  client_->ConnectOnCallerThread = true;
  client_->ConnectTimeout = params_.ConnectTimeout;
  client_->ReadTimeout = params_.ReadTimeout;
  client_->Connect();
  if (params_.Cancel)
    params_.Cancel->Attach(*client_, fetchNumber_);
  source_ = std::make_unique<TConnectionSource>(*client_, params_.ReadTimeout);
  reader_ = std::make_unique<THTTPAnswerReader>(*source_, params_.Limits);
  connectedHost_ = url.Host;
  connectedPort_ = url.Port;
}

void THTTPFetch::Disconnect() {
  reader_.reset();
  source_.reset();
  if (client_ && params_.Cancel)
    params_.Cancel->Detach(*client_);
  client_.reset();
}

THTTPAnswer THTTPFetch::Send(const THTTPURL& url) {
  if (!client_)
    Connect(url);
  THTTPRequest request;
  request.Target = Target(url);
  request.Host = url.HostHeader();
  request.Authorization =
      server_.Basic ? BasicCredentials(server_.User, server_.Password) : authorization_;
  request.ProxyAuthorization =
      proxy_.Basic ? BasicCredentials(proxy_.User, proxy_.Password) : proxyAuthorization_;
  request.Cookie = cookies_.HeaderFor(url);
  client_->Write(FormatGetRequest(request));
  THTTPAnswer answer = reader_->ReadHead();
  cookies_.Store(url, answer);
  return answer;
}

// The server left the connection usable for another request.
bool THTTPFetch::KeptOpen(const THTTPAnswer& answer) {
  if (reader_->EndedByClose() || answer.HasToken("Connection", "close"))
    return false;
  if (answer.MinorVersion == 0 && !answer.HasToken("Connection", "keep-alive"))
    return false;
  return client_->Connected();
}

const TCryptoLibrary& THTTPFetch::Crypto() {
  if (!crypto_) {
    try {
      crypto_.emplace();
    } catch (const ECryptoUnavailable&) {
      throw Exception(std::string("Could not load SSL library."));
    }
  }
  return *crypto_;
}

std::optional<std::string> THTTPFetch::Answer(const THTTPChallenge& challenge,
                                              const TCredentials& creds,
                                              const std::string& target) {
  if (EqualsIgnoringCase(challenge.Scheme, "Basic")) {
    return BasicCredentials(creds.User, creds.Password);
  }
  if (EqualsIgnoringCase(challenge.Scheme, "Digest")) {
    const TCryptoLibrary& crypto = Crypto();
    uint8_t random[8];
    crypto.RandomBytes(random, sizeof random);
    std::string cnonce;
    for (const uint8_t byte : random) cnonce += fmt::format("{:02x}", byte);
    return DigestCredentials(challenge, creds.User, creds.Password, "GET", target, cnonce, crypto);
  }
  if (EqualsIgnoringCase(challenge.Scheme, "NTLM")) {
    const TCryptoLibrary& crypto = Crypto();
    if (challenge.Token.empty())
      return ntlm::NegotiateCredentials();
    const std::optional<ntlm::TChallengeMessage> message = ntlm::ParseChallenge(challenge.Token);
    if (!message)
      return std::nullopt;
    TBlock8 clientChallenge{};
    crypto.RandomBytes(clientChallenge.data(), static_cast<int>(clientChallenge.size()));
    return ntlm::AuthenticateCredentials(*message, creds.User, creds.Password, clientChallenge,
                                         crypto);
  }
  return std::nullopt;
}

// Decides whether a 401 or 407 answer is worth another attempt and prepares its header.
bool THTTPFetch::PrepareAuthentication(const THTTPURL& url, const THTTPAnswer& answer, bool proxy) {
  const TCredentials& creds = proxy ? proxy_ : server_;
  if (authAttempts_ >= kHTTPAuthAttempts || creds.Password.empty())
    return false;
  std::optional<std::string> header;
  if (creds.Basic) {
    header = BasicCredentials(creds.User, creds.Password);
  } else if (!creds.User.empty()) {
    const auto challenges =
        ParseChallenges(answer.Values(proxy ? "Proxy-Authenticate" : "WWW-Authenticate"));
    for (const auto& challenge : challenges) {
      header = Answer(challenge, creds, Target(url));
      if (header)
        break;
    }
  }
  if (!header)
    return false;
  ++authAttempts_;
  (proxy ? proxyAuthorization_ : authorization_) = *header;
  return true;
}

void THTTPFetch::Fail(const THTTPAnswer& answer) {
  Disconnect();
  throw EHTTPError(answer.Code, answer.StatusLine);
}

std::string THTTPFetch::Get(const std::string& urlText) {
  THTTPURL url = Parse(urlText);
  int redirects = 0;
  for (;;) {
    const THTTPAnswer answer = Send(url);
    const std::string location = answer.Value("Location");
    const bool isRedirect =
        (answer.Code >= 300 && answer.Code < 400 && answer.Code != 304) || !location.empty();
    if (isRedirect) {
      if (++redirects >= kHTTPRedirectLimit)
        Fail(answer);
      reader_->ReadBody(answer, false);
      const THTTPURL next = Parse(ResolveHTTPReference(url, location));
      if (!KeptOpen(answer) || next.Host != connectedHost_ || next.Port != connectedPort_) {
        Disconnect();
      }
      authorization_.clear();
      proxyAuthorization_.clear();
      url = next;
      continue;
    }
    if (answer.Code >= 200 && answer.Code < 300) {
      std::string body = reader_->ReadBody(answer, true);
      Disconnect();
      return body;
    }
    if ((answer.Code == 401 || answer.Code == 407) &&
        PrepareAuthentication(url, answer, answer.Code == 407)) {
      reader_->ReadBody(answer, false);
      if (!KeptOpen(answer))
        Disconnect();
      continue;
    }
    try {
      reader_->ReadBody(answer, false);
    } catch (const std::exception&) {
      // The status line is the news; a broken error page adds nothing to it.
    }
    Fail(answer);
  }
}

}  // namespace

void THTTPCancel::Cancel() {
  std::lock_guard lock(mutex_);
  cancelledBelow_ = next_;
  for (TTCPClient* client : clients_) client->Disconnect();
}

uint64_t THTTPCancel::Begin() {
  std::lock_guard lock(mutex_);
  return next_++;
}

void THTTPCancel::Attach(TTCPClient& client, uint64_t fetch) {
  std::lock_guard lock(mutex_);
  if (fetch < cancelledBelow_)
    throw Exception("Fetch cancelled.");
  clients_.push_back(&client);
}

void THTTPCancel::Detach(TTCPClient& client) {
  std::lock_guard lock(mutex_);
  std::erase(clients_, &client);
}

std::string HTTPGet(const std::string& url, const THTTPFetchParams& params) {
  THTTPFetch fetch(params);
  return fetch.Get(url);
}

}  // namespace kyt
