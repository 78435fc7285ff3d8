#pragma once

// A real mosquitto broker started by the test on a free loopback port, a throwaway certificate
// authority for its TLS listener, and a libmosquitto client that records what it receives.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"
#include "tests/support/temp_dir.h"

struct mosquitto;
struct mosquitto_message;

namespace kyt::test {

inline constexpr std::chrono::seconds kBrokerLimit{10};

// A CA, a server certificate for 127.0.0.1 and a client certificate, made with openssl.
struct TTestCertificates {
  explicit TTestCertificates(const std::string& folder);
  std::string CA, ServerCert, ServerKey, ClientCert, ClientKey;
  std::string OtherCA;  // a CA that signed nothing here
};

struct TBrokerOptions {
  bool Passwords = false;  // user "gw", password "secret"; no anonymous clients
  bool TLS = false;
  bool ClientCertificates = false;  // with TLS: a client must show a certificate of the CA
  int MessageSizeLimit = 0;
};

class TMosquittoBroker {
 public:
  explicit TMosquittoBroker(TBrokerOptions options = {});
  ~TMosquittoBroker();
  uint16_t Port() const { return port_; }
  const TTestCertificates& Certificates() const { return *certificates_; }
  // SIGTERM, as a service manager stops it; sessions are saved and restored on Start.
  void Stop();
  void Start();

 private:
  TBrokerOptions options_;
  test_support::TTempDir dir_;
  const TTestCertificates* certificates_ = nullptr;
  uint16_t port_ = 0;
  std::string config_;
  std::unique_ptr<test_support::TSubprocess> process_;
};

struct TClientOptions {
  std::string ID;
  bool Persistent = false;  // a QoS 1 session that outlives a broker restart
  std::string Username{};
  std::string Password{};
  const TTestCertificates* TLS = nullptr;
};

struct TReceived {
  std::string Topic;
  std::string Payload;
  bool Retained;
};

// The payloads on the topic, joined.
std::string JoinedIn(const std::vector<TReceived>& all, const std::string& topic);

class TMqttTestClient {
 public:
  TMqttTestClient(uint16_t port, TClientOptions options);
  ~TMqttTestClient();
  // Subscribed again at every connection.
  void Subscribe(const std::string& topic, int qos = 1);
  void Publish(const std::string& topic, const std::string& payload, int qos = 1,
               bool retain = false);
  bool WaitUntil(const std::function<bool(const std::vector<TReceived>&)>& done,
                 std::chrono::milliseconds timeout = kBrokerLimit);
  // The payloads received on the topic, joined.
  std::string Joined(const std::string& topic);
  // Waits until that many bytes arrived on the topic; gives what arrived.
  std::string WaitForBytes(const std::string& topic, std::size_t size,
                           std::chrono::milliseconds timeout = kBrokerLimit);
  // Waits until the last payload on the topic satisfies `match`.
  bool WaitForLast(const std::string& topic, const std::function<bool(const std::string&)>& match,
                   std::chrono::milliseconds timeout = kBrokerLimit);
  // The last payload on the topic, once one arrived.
  std::optional<std::string> Last(const std::string& topic,
                                  std::chrono::milliseconds timeout = kBrokerLimit);
  // Around a broker restart: the client has seen it go (false), and is back (true; it tries
  // every second).
  bool WaitForConnection(bool connected = true, std::chrono::milliseconds timeout = kBrokerLimit);

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, int>> topics_;
  std::vector<TReceived> received_;
  bool connected_ = false;
};

}  // namespace kyt::test
