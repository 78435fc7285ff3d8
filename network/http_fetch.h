#pragma once

// One HTTP/1.1 GET with everything it may take: redirects, a proxy, cookies within the fetch,
// Basic, Digest and NTLM authentication. Each call builds its own client and drops it when it
// returns or raises, so fetches share nothing and may run on several threads at once.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "network/http_answer.h"
#include "runtime/exception.h"

namespace kyt {

// The answer was an HTTP failure; the message is its status line exactly as sent.
class EHTTPError : public Exception {
 public:
  EHTTPError(int code, const std::string& statusLine) : Exception(statusLine), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

class TTCPClient;

// Cancels fetches from another thread: the connection of each fetch in progress that uses it is
// closed, which ends its wait for data at once, and such a fetch that would connect again fails
// with "Fetch cancelled." instead. Fetches started afterwards are not affected.
class THTTPCancel {
 public:
  void Cancel();
  // For the fetch: a number when it starts; then follow its client (raises when the fetch was
  // cancelled) or stop following it.
  uint64_t Begin();
  void Attach(TTCPClient& client, uint64_t fetch);
  void Detach(TTCPClient& client);

 private:
  mutable std::mutex mutex_;
  uint64_t next_ = 0;
  uint64_t cancelledBelow_ = 0;
  std::vector<TTCPClient*> clients_;
};

struct THTTPFetchParams {
  // An empty server means a direct connection.
  std::string ProxyServer;
  int32_t ProxyPort = 0;
  std::string ProxyUser;
  std::string ProxyPassword;
  bool ProxyBasicAuth = false;

  bool BasicAuth = false;
  std::string User;
  std::string Password;

  std::chrono::milliseconds ConnectTimeout{10000};
  // The longest wait for data during any read.
  std::chrono::milliseconds ReadTimeout{10000};
  THTTPLimits Limits;
  THTTPCancel* Cancel = nullptr;  // optional
};

// The 15th redirect answer fails the fetch, so at most 14 are followed.
inline constexpr int kHTTPRedirectLimit = 15;
inline constexpr int kHTTPAuthAttempts = 3;

// The body of the final answer, unchanged. The error texts are this HTTP layer's own and, like
// the transport's, are not translated. Raises EHTTPError for HTTP failures, ESocketError
// for socket failures and Exception with the texts "Connect timed out.", "Read timed out.",
// "Connection Closed Gracefully.", "Unknown Protocol", "IOHandler value is not valid",
// "Could not load SSL library." and those of the answer parser.
std::string HTTPGet(const std::string& url, const THTTPFetchParams& params);

}  // namespace kyt
