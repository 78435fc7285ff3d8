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

using std::chrono::milliseconds;

[[noreturn]] void RaiseReadTimedOut() {
  throw Exception(std::string("Read timed out."));
}

// What the whole fetch may still spend: its deadline, which the answer bytes that arrive push
// back, and the caller's stop.
class TFetchBudget {
 public:
  explicit TFetchBudget(const THTTPFetchParams& params) : params_(params), start_(Clock::now()) {}

  void Received(std::size_t bytes) { received_ += bytes; }
  uint64_t TotalReceived() const { return received_; }
  Clock::time_point End() const {
    const uint64_t rate = params_.DeadlineBytesPerSecond;
    const uint64_t earned = rate == 0 ? 0 : received_ * 1000 / rate;
    return start_ + params_.Deadline + milliseconds(static_cast<int64_t>(earned));
  }
  // Raises once the fetch is to end.
  void Check() const {
    if (params_.Stopped && params_.Stopped())
      throw EHTTPStopped();
    if (Clock::now() >= End())
      RaiseReadTimedOut();
  }
  // How long the next wait may be: within `until`, short enough to see a stop soon.
  milliseconds NextWait(Clock::time_point until) const {
    const auto end = std::min(until, End());
    auto wait = std::chrono::ceil<milliseconds>(end - Clock::now());
    if (params_.Stopped)
      wait = std::min(wait, params_.StopCheckInterval);
    return std::max(wait, milliseconds(0));
  }

 private:
  const THTTPFetchParams& params_;
  Clock::time_point start_;
  uint64_t received_ = 0;
};

// Answer bytes from the TCP client: every wait for data is bounded by the read time-out and by
// what the fetch may still spend.
class TConnectionSource : public THTTPByteSource {
 public:
  TConnectionSource(TTCPClient& client, milliseconds timeout, TFetchBudget& budget)
      : client_(client), timeout_(timeout), budget_(budget) {}

  bool ReadMore(std::string& buffer) override {
    const auto deadline = Clock::now() + timeout_;
    for (;;) {
      if (!client_.InputBufferIsEmpty()) {
        const std::size_t before = buffer.size();
        client_.TakeAllInto(buffer);
        budget_.Received(buffer.size() - before);
        return true;
      }
      budget_.Check();
      // Waiting first saves a read that would only find nothing yet; on a closed connection
      // the wait returns at once and Connected() tells.
      client_.WaitForData(budget_.NextWait(deadline));
      if (!client_.InputBufferIsEmpty())
        continue;
      if (!client_.Connected()) {
        sawClose_ = true;
        return false;
      }
      if (!client_.InputBufferIsEmpty())
        continue;
      if (Clock::now() >= deadline)
        RaiseReadTimedOut();
    }
  }
  // The server ended the stream (rather than the wait running out).
  bool SawClose() const { return sawClose_; }

 private:
  TTCPClient& client_;
  milliseconds timeout_;
  TFetchBudget& budget_;
  bool sawClose_ = false;
};

struct TCredentials {
  bool Basic = false;
  std::string User;
  std::string Password;
};

class THTTPFetch {
 public:
  explicit THTTPFetch(const THTTPFetchParams& params);
  std::string Get(const std::string& urlText);

 private:
  THTTPURL Parse(const std::string& text);
  void Connect(const THTTPURL& url);
  void Disconnect();
  THTTPAnswer Send(const THTTPURL& url);
  THTTPAnswer Exchange(const THTTPURL& url, const std::string& request);
  TCredentials CredentialsFor(const THTTPURL& url) const;
  bool KeptOpen(const THTTPAnswer& answer);
  bool PrepareAuthentication(const THTTPURL& url, const THTTPAnswer& answer, bool proxy);
  std::optional<std::string> Answer(const THTTPChallenge& challenge, const TCredentials& creds,
                                    const std::string& target);
  const TCryptoLibrary& Crypto();
  [[noreturn]] void Fail(const THTTPAnswer& answer);
  std::string Target(const THTTPURL& url) const;

  const THTTPFetchParams& params_;
  TFetchBudget budget_;
  // The configured credentials (or those of the first address), and where they may go.
  TCredentials server_;
  THTTPURL origin_;
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
};

THTTPFetch::THTTPFetch(const THTTPFetchParams& params)
    : params_(params),
      budget_(params),
      server_{params.BasicAuth, params.User, params.Password},
      proxy_{params.ProxyBasicAuth, params.ProxyUser, params.ProxyPassword} {}

THTTPURL THTTPFetch::Parse(const std::string& text) {
  THTTPURL url = ParseHTTPURL(text);
  // There is no TLS layer. Through a proxy the request would travel unencrypted inside a
  // CONNECT tunnel, credentials included, so https fails the same way with or without one,
  // before anything is sent.
  if (url.Scheme == "https")
    throw Exception(std::string("IOHandler value is not valid"));
  return url;
}

bool SameOrigin(const THTTPURL& a, const THTTPURL& b) {
  return a.Scheme == b.Scheme && EqualsIgnoringCase(a.Host, b.Host) && a.Port == b.Port;
}

// Configured credentials go only where they were configured for: a redirect to another host
// must not learn the password. An address with credentials of its own brings them.
TCredentials THTTPFetch::CredentialsFor(const THTTPURL& url) const {
  if (url.HasCredentials && !url.User.empty())
    return {server_.Basic, url.User, url.Password};
  if (SameOrigin(url, origin_))
    return server_;
  return {};
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
  // The look-up and the connect give way to the caller's stop as the reads do.
  client_->Stopped = params_.Stopped;
  budget_.Check();
  try {
    client_->Connect();
  } catch (const Exception&) {
    if (params_.Stopped && params_.Stopped())
      throw EHTTPStopped();
    throw;
  }
  source_ = std::make_unique<TConnectionSource>(*client_, params_.ReadTimeout, budget_);
  reader_ = std::make_unique<THTTPAnswerReader>(*source_, params_.Limits);
  connectedHost_ = url.Host;
  connectedPort_ = url.Port;
}

void THTTPFetch::Disconnect() {
  reader_.reset();
  source_.reset();
  client_.reset();
}

THTTPAnswer THTTPFetch::Send(const THTTPURL& url) {
  const bool reused = client_ != nullptr;
  if (!client_)
    Connect(url);
  const TCredentials server = CredentialsFor(url);
  THTTPRequest request;
  request.Target = Target(url);
  request.Host = url.HostHeader();
  request.Authorization =
      server.Basic ? BasicCredentials(server.User, server.Password) : authorization_;
  request.ProxyAuthorization =
      proxy_.Basic ? BasicCredentials(proxy_.User, proxy_.Password) : proxyAuthorization_;
  request.Cookie = cookies_.HeaderFor(url);
  const std::string bytes = FormatGetRequest(request);
  const uint64_t before = budget_.TotalReceived();
  const bool pending = reused && reader_->HasUnreadBytes();
  try {
    return Exchange(url, bytes);
  } catch (const EHTTPStopped&) {
    throw;
  } catch (const std::exception& e) {
    // A server may close a kept-alive connection whenever it likes after an answer. When the
    // request met that close (reset, or the end of the stream before any byte of an answer),
    // it never reached the server: it goes once more, on a new connection. A time-out does not.
    const bool metTheClose =
        dynamic_cast<const ESocketError*>(&e) != nullptr || (source_ && source_->SawClose());
    if (!reused || pending || !metTheClose || budget_.TotalReceived() != before)
      throw;
  }
  Disconnect();
  Connect(url);
  return Exchange(url, bytes);
}

THTTPAnswer THTTPFetch::Exchange(const THTTPURL& url, const std::string& request) {
  client_->Write(request);
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
  const TCredentials creds = proxy ? proxy_ : CredentialsFor(url);
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
  origin_ = url;
  if (url.HasCredentials && !url.User.empty()) {
    server_.User = url.User;
    server_.Password = url.Password;
  }
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

std::string HTTPGet(const std::string& url, const THTTPFetchParams& params) {
  THTTPFetch fetch(params);
  return fetch.Get(url);
}

}  // namespace kyt
