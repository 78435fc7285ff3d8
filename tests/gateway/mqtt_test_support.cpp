#include "tests/gateway/mqtt_test_support.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/sockets.h"

namespace kyt::test {

namespace {

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("failed: " + command);
}

uint16_t FreePort() {
  net::Socket probe = net::Listen(0, "127.0.0.1");
  return net::LocalPort(probe);
}

}  // namespace

TTestCertificates::TTestCertificates(const std::string& folder) {
  CA = folder + "/ca.crt";
  OtherCA = folder + "/other-ca.crt";
  ServerCert = folder + "/server.crt";
  ServerKey = folder + "/server.key";
  ClientCert = folder + "/client.crt";
  ClientKey = folder + "/client.key";
  const std::string f = folder + "/";
  for (const char* ca : {"ca", "other-ca"}) {
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
        "/CN=" +
        std::string(ca) + " -keyout " + f + ca + ".key -out " + f + ca + ".crt");
  }
  std::ofstream(f + "san.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  for (const char* who : {"server", "client"}) {
    std::string w = f + who;
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" +
        std::string(who) + " -keyout " + w + ".key -out " + w + ".csr");
    Run("openssl x509 -req -in " + w + ".csr -CA " + f + "ca.crt -CAkey " + f +
        "ca.key -CAcreateserial -days 2 -extfile " + f + "san.ext -out " + w + ".crt");
  }
}

TMosquittoBroker::TMosquittoBroker(TBrokerOptions options) : options_(options) {
  port_ = FreePort();
  std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\n";
  // As root it would change to the user "mosquitto", who may not write the test's folder.
  conf += "user " + std::string(getpwuid(getuid())->pw_name) + "\n";
  conf += "log_dest stderr\npersistence true\npersistence_location " + dir_.Path() + "/\n";
  conf += "max_queued_messages 10000\n";
  if (options_.MessageSizeLimit > 0)
    conf += "message_size_limit " + std::to_string(options_.MessageSizeLimit) + "\n";
  if (options_.Passwords) {
    Run("mosquitto_passwd -b -c " + dir_.File("passwd") + " gw secret");
    conf += "allow_anonymous false\npassword_file " + dir_.File("passwd") + "\n";
  } else {
    conf += "allow_anonymous true\n";
  }
  if (options_.TLS) {
    // One set for every broker of the test run.
    static test_support::TTempDir folder;
    static TTestCertificates made(folder.Path());
    certificates_ = &made;
    conf += "cafile " + certificates_->CA + "\ncertfile " + certificates_->ServerCert +
            "\nkeyfile " + certificates_->ServerKey + "\n";
    if (options_.ClientCertificates)
      conf += "require_certificate true\n";
  }
  config_ = dir_.Write("mosquitto.conf", conf);
  Start();
}

TMosquittoBroker::~TMosquittoBroker() {
  Stop();
}

void TMosquittoBroker::Start() {
  process_ = std::make_unique<test_support::TSubprocess>(
      std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config_});
  // Its log is buffered in a pipe, so the port answering is the sign that it runs.
  const auto end = std::chrono::steady_clock::now() + kBrokerLimit;
  std::vector<net::Address> address = net::Resolve("127.0.0.1", port_);
  while (std::chrono::steady_clock::now() < end) {
    try {
      net::Connect(address, std::chrono::seconds(1));
      return;
    } catch (const net::SocketError&) {
    }
    if (process_->Exited())
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("mosquitto did not start: " + process_->Stderr());
}

void TMosquittoBroker::Stop() {
  if (!process_)
    return;
  process_->Signal(SIGTERM);
  process_->Wait(kBrokerLimit);
  process_.reset();
}

TMqttTestClient::TMqttTestClient(uint16_t port, TClientOptions options) {
  mosquitto_lib_init();
  mosq_ =
      mosquitto_new(options.ID.empty() ? nullptr : options.ID.c_str(), !options.Persistent, this);
  if (!options.Username.empty())
    mosquitto_username_pw_set(mosq_, options.Username.c_str(), options.Password.c_str());
  if (options.TLS) {
    mosquitto_tls_set(mosq_, options.TLS->CA.c_str(), nullptr, options.TLS->ClientCert.c_str(),
                      options.TLS->ClientKey.c_str(), nullptr);
  }
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect_callback_set(mosq_, &TMqttTestClient::OnConnect);
  mosquitto_message_callback_set(mosq_, &TMqttTestClient::OnMessage);
  mosquitto_disconnect_callback_set(mosq_, &TMqttTestClient::OnDisconnect);
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("test client cannot connect");
  mosquitto_loop_start(mosq_);
  if (!WaitForConnection())
    throw std::runtime_error("test client has no connection");
}

TMqttTestClient::~TMqttTestClient() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

void TMqttTestClient::Subscribe(const std::string& topic, int qos) {
  {
    std::lock_guard lock(mutex_);
    topics_.emplace_back(topic, qos);
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos);
  }
  // An empty message of our own through the filter: once it is back, the subscription holds.
  std::string probe = topic;
  for (char wildcard : {'#', '+'}) {
    for (auto at = probe.find(wildcard); at != std::string::npos; at = probe.find(wildcard))
      probe.replace(at, 1, "probe");
  }
  Publish(probe, "", 1);
  bool confirmed = WaitUntil([&](const std::vector<TReceived>& all) {
    return std::any_of(all.begin(), all.end(), [&](auto& m) { return m.Topic == probe; });
  });
  if (!confirmed)
    throw std::runtime_error("no subscription to " + topic);
}

void TMqttTestClient::Publish(const std::string& topic, const std::string& payload, int qos,
                              bool retain) {
  ASSERT_EQ(mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain),
            MOSQ_ERR_SUCCESS);
}

bool TMqttTestClient::WaitUntil(const std::function<bool(const std::vector<TReceived>&)>& done,
                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(received_); });
}

std::string JoinedIn(const std::vector<TReceived>& all, const std::string& topic) {
  std::string joined;
  for (const auto& message : all) {
    if (message.Topic == topic)
      joined += message.Payload;
  }
  return joined;
}

std::string TMqttTestClient::Joined(const std::string& topic) {
  std::lock_guard lock(mutex_);
  return JoinedIn(received_, topic);
}

std::string TMqttTestClient::WaitForBytes(const std::string& topic, std::size_t size,
                                          std::chrono::milliseconds timeout) {
  WaitUntil([&](const auto& all) { return JoinedIn(all, topic).size() >= size; }, timeout);
  return Joined(topic);
}

bool TMqttTestClient::WaitForLast(const std::string& topic,
                                  const std::function<bool(const std::string&)>& match,
                                  std::chrono::milliseconds timeout) {
  return WaitUntil(
      [&](const std::vector<TReceived>& all) {
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
          if (it->Topic == topic)
            return match(it->Payload);
        }
        return false;
      },
      timeout);
}

std::optional<std::string> TMqttTestClient::Last(const std::string& topic,
                                                 std::chrono::milliseconds timeout) {
  std::optional<std::string> last;
  WaitUntil(
      [&](const std::vector<TReceived>& all) {
        for (const auto& message : all) {
          if (message.Topic == topic)
            last = message.Payload;
        }
        return last.has_value();
      },
      timeout);
  return last;
}

bool TMqttTestClient::WaitForConnection(bool connected, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connected_ == connected; });
}

void TMqttTestClient::OnConnect(mosquitto* mosq, void* self, int rc) {
  auto* client = static_cast<TMqttTestClient*>(self);
  std::lock_guard lock(client->mutex_);
  client->connected_ = rc == 0;
  for (const auto& [topic, qos] : client->topics_)
    mosquitto_subscribe(mosq, nullptr, topic.c_str(), qos);
  client->changed_.notify_all();
}

void TMqttTestClient::OnDisconnect(mosquitto*, void* self, int) {
  auto* client = static_cast<TMqttTestClient*>(self);
  std::lock_guard lock(client->mutex_);
  client->connected_ = false;
  client->changed_.notify_all();
}

void TMqttTestClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* client = static_cast<TMqttTestClient*>(self);
  std::lock_guard lock(client->mutex_);
  client->received_.push_back({message->topic,
                               std::string(static_cast<const char*>(message->payload),
                                           static_cast<std::size_t>(message->payloadlen)),
                               message->retain});
  client->changed_.notify_all();
}

}  // namespace kyt::test
