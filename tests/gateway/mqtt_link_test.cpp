// The MQTT link against a real mosquitto: what a gateway instance publishes and receives, and
// what a broker's faults do to it. A fake module stands in for the host.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "framework/codes.h"
#include "gateway/mqtt_link.h"
#include "tests/gateway/mqtt_test_support.h"

namespace kyt::gateway {
namespace {

using namespace std::chrono_literals;
using test::TMosquittoBroker;
using test::TMqttTestClient;

// The module's side: a parent named "line1" (#20) that takes what the link sends it, unless a
// test closes its gate, and the reports and log entries the link gives.
class TFakeGateway : public IMQTTGateway {
 public:
  std::optional<TParentView> Parent() override {
    std::lock_guard lock(mutex_);
    return TParentView{20, "line1", parentStatus_, "COM 9600"};
  }
  void SendToParent(const std::string& block) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return gateOpen_; });
    sent_ += block;
    changed_.notify_all();
  }
  void Report(int32_t status, const std::string& summary) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(status);
    summaries_.push_back(summary);
    changed_.notify_all();
  }
  void Log(int32_t code, const std::string& text) override {
    std::lock_guard lock(mutex_);
    log_.push_back(std::to_string(code) + " " + text);
    changed_.notify_all();
  }

  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, done);
  }
  bool WaitForStatus(int32_t status) {
    return WaitUntil([&] { return !statuses_.empty() && statuses_.back() == status; });
  }
  void SetGate(bool open) {
    std::lock_guard lock(mutex_);
    gateOpen_ = open;
    changed_.notify_all();
  }
  void SetParentStatus(int32_t status) {
    std::lock_guard lock(mutex_);
    parentStatus_ = status;
  }
  std::string Sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  std::vector<std::string> Summaries() {
    std::lock_guard lock(mutex_);
    return summaries_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool gateOpen_ = true;
  int32_t parentStatus_ = IS_ACTIVE;
  std::string sent_;
  std::vector<int32_t> statuses_;
  std::vector<std::string> summaries_;
  std::vector<std::string> log_;
};

TMQTTTimings FastTimings() {
  TMQTTTimings t;
  t.FirstRetry = 100ms;
  t.LongestRetry = 400ms;
  t.StatePoll = 50ms;
  return t;
}

TMQTTOptions OptionsFor(const TMosquittoBroker& broker, const std::string& id) {
  TMQTTOptions o;
  o.Port = broker.Port();
  o.ClientID = id;
  return o;
}

std::string Binary() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(MqttLinkTest, CarriesBothWaysOnEveryKindOfBrokerAndKeepsTheStateRetained) {
  enum class TAuth { None, Password, TLS, ClientCertificate };
  for (TAuth auth : {TAuth::None, TAuth::Password, TAuth::TLS, TAuth::ClientCertificate}) {
    SCOPED_TRACE(static_cast<int>(auth));
    TMosquittoBroker broker({.Passwords = auth == TAuth::Password,
                             .TLS = auth == TAuth::TLS || auth == TAuth::ClientCertificate,
                             .ClientCertificates = auth == TAuth::ClientCertificate});
    test::TClientOptions clientOptions{.ID = "watcher"};
    TMQTTOptions options = OptionsFor(broker, "gw-both-ways");
    if (auth == TAuth::Password) {
      clientOptions.Username = options.Username = "gw";
      clientOptions.Password = options.Password = "secret";
    }
    if (auth == TAuth::TLS || auth == TAuth::ClientCertificate) {
      clientOptions.TLS = &broker.Certificates();
      options.UseTLS = true;
      options.CAFile = broker.Certificates().CA;
    }
    if (auth == TAuth::ClientCertificate) {
      options.CertFile = broker.Certificates().ClientCert;
      options.KeyFile = broker.Certificates().ClientKey;
    }
    TMqttTestClient watcher(broker.Port(), clientOptions);
    watcher.Subscribe("kyt/line1/#");
    // An old command the broker kept: never written to the device.
    watcher.Publish("kyt/line1/tx", "stale", 1, true);
    ASSERT_TRUE(watcher.WaitForLast("kyt/line1/tx", [](auto& m) { return m == "stale"; }));
    TFakeGateway gateway;
    TMQTTLink link(options, gateway, FastTimings());
    link.Start();
    ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE)) << testing::PrintToString(gateway.Log());

    link.Offer(Binary());
    link.Offer("second");
    watcher.Publish("kyt/line1/tx", std::string("\x00to device", 10));
    EXPECT_EQ(watcher.WaitForBytes("kyt/line1/rx", 262), Binary() + "second");
    EXPECT_TRUE(gateway.WaitUntil([&] { return gateway.sent_.size() >= 10; }));
    EXPECT_EQ(gateway.Sent(), std::string("\x00to device", 10));
    EXPECT_EQ(
        watcher.Last("kyt/line1/state").value_or(""),
        R"({"online":true,"instance":20,"name":"line1","status":102,"summary":"COM 9600","dropped":0})");

    gateway.SetParentStatus(IS_ERROR);
    EXPECT_TRUE(watcher.WaitForLast("kyt/line1/state", [](const std::string& state) {
      return state.find("\"status\":200") != std::string::npos;
    }));
    watcher.Publish("kyt/line1/tx", "", 1, true);  // clears the retained one
    link.Stop();
    EXPECT_TRUE(watcher.WaitForLast("kyt/line1/state", [](const std::string& state) {
      return state == R"({"online":false,"instance":20})";
    }));
  }
}

TEST(MqttLinkTest, StreamsFarMoreBlocksThanItsWindowAtEitherQoSAndStopsWithNothingLeft) {
  TMosquittoBroker broker;
  for (int qos : {0, 1}) {
    SCOPED_TRACE(qos);
    TMqttTestClient watcher(broker.Port(), {.ID = "watcher-stream"});
    watcher.Subscribe("kyt/line1/rx", qos);
    TMQTTOptions options = OptionsFor(broker, "gw-stream");
    options.QoS = qos;
    TMQTTTimings timings = FastTimings();
    timings.StopFlush = 60s;  // a stop that waits for a message never written would hang
    TFakeGateway gateway;
    TMQTTLink link(options, gateway, timings);
    link.Start();
    ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE));
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
      std::string block = std::to_string(i) + ";";
      link.Offer(block);
      expected += block;
    }
    EXPECT_EQ(watcher.WaitForBytes("kyt/line1/rx", expected.size()), expected);
    auto stopping = std::chrono::steady_clock::now();
    link.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s);
  }
}

TEST(MqttLinkTest, RetriesWithBackOffUntilTheBrokerComesAndThenDelivers) {
  TMosquittoBroker broker;
  // A session that the restarted broker keeps, so it misses nothing while both reconnect.
  TMqttTestClient watcher(broker.Port(), {.ID = "watcher-late", .Persistent = true});
  watcher.Subscribe("kyt/line1/rx");
  broker.Stop();
  TFakeGateway gateway;
  TMQTTLink link(OptionsFor(broker, "gw-late"), gateway, FastTimings());
  link.Start();
  link.Offer("queued while down");
  ASSERT_TRUE(gateway.WaitUntil([&] { return gateway.summaries_.size() >= 3; }));
  EXPECT_EQ(gateway.statuses_.back(), IS_ERROR);
  // One log entry for the refused connects, however many attempts.
  EXPECT_EQ(gateway.Log().size(), 1u) << testing::PrintToString(gateway.Log());
  EXPECT_NE(gateway.Summaries().back().find("attempt 3"), std::string::npos)
      << gateway.Summaries().back();

  broker.Start();
  ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE));
  link.Offer(", then this");
  EXPECT_EQ(watcher.WaitForBytes("kyt/line1/rx", 28), "queued while down, then this");
}

TEST(MqttLinkTest, RefusalsAreLoggedOnceAndNotRetriedSoon) {
  TMosquittoBroker broker({.Passwords = true, .TLS = true});
  struct Case {
    const char* Name;
    std::function<void(TMQTTOptions&)> Spoil;
    const char* Logged;
  } cases[] = {
      {"wrong password",
       [&](TMQTTOptions& o) {
         o.UseTLS = true, o.CAFile = broker.Certificates().CA, o.Username = "gw";
         o.Password = "wrong";
       },
       "the broker refused the connection: Connection Refused: not authorised."},
      {"unknown CA",
       [&](TMQTTOptions& o) {
         o.UseTLS = true, o.CAFile = broker.Certificates().OtherCA, o.Username = "gw";
         o.Password = "secret";
       },
       "certificate verify failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMQTTOptions options = OptionsFor(broker, "gw-refused");
    c.Spoil(options);
    TMQTTTimings timings = FastTimings();
    timings.RefusedRetry = 60s;
    TFakeGateway gateway;
    TMQTTLink link(options, gateway, timings);
    link.Start();
    ASSERT_TRUE(gateway.WaitForStatus(IS_ERROR));
    std::vector<std::string> log = gateway.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(c.Logged), std::string::npos) << log[0];
    EXPECT_EQ(log[0].rfind("10025 cannot connect to the broker at 127.0.0.1:", 0), 0u) << log[0];
    // Far longer than the back-off of a broker that is down: no second attempt.
    EXPECT_FALSE(gateway.WaitUntil([&] { return gateway.summaries_.size() > 1; }, 1s));
    EXPECT_NE(gateway.Summaries().back().find("next in 60 s"), std::string::npos);
  }
}

TEST(MqttLinkTest, AFloodOnTxWaitsAtTheBrokerNotInMemoryAndKeepsItsOrder) {
  TMosquittoBroker broker;
  TMqttTestClient publisher(broker.Port(), {.ID = "flooder"});
  TFakeGateway gateway;
  gateway.SetGate(false);
  TMQTTTimings timings = FastTimings();
  timings.TxLimit = 8 * 1024;
  TMQTTLink link(OptionsFor(broker, "gw-flood"), gateway, timings);
  link.Start();
  ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE));
  std::string expected;
  for (int i = 0; i < 400; ++i) {
    std::string message =
        std::to_string(i) + ":" + std::string(1000, static_cast<char>('a' + i % 26));
    publisher.Publish("kyt/line1/tx", message);
    expected += message;
  }
  // The parent takes nothing meanwhile; the link reads only while its queue has room.
  EXPECT_FALSE(gateway.WaitUntil([&] { return link.PeakForParent() > 64 * 1024; }, 1500ms))
      << link.PeakForParent();
  gateway.SetGate(true);
  EXPECT_TRUE(gateway.WaitUntil([&] { return gateway.sent_.size() >= expected.size(); }, 20s));
  EXPECT_EQ(gateway.Sent(), expected);
}

TEST(MqttLinkTest, ABlockOverMaxPayloadGoesOutInPartsAndAFullQueueDropsAndCounts) {
  TMosquittoBroker broker;
  TMqttTestClient watcher(broker.Port(), {.ID = "watcher-parts", .Persistent = true});
  watcher.Subscribe("kyt/line1/#");
  TMQTTOptions options = OptionsFor(broker, "gw-parts");
  options.MaxPayload = 1000;
  TMQTTTimings timings = FastTimings();
  timings.RxLimit = 4000;
  TFakeGateway gateway;
  TMQTTLink link(options, gateway, timings);
  link.Start();
  ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE));
  std::string block(2500, 'x');
  link.Offer(block);
  EXPECT_TRUE(watcher.WaitUntil([&](const auto& all) {
    return std::count_if(all.begin(), all.end(),
                         [](auto& m) { return m.Topic == "kyt/line1/rx"; }) == 3;
  }));
  EXPECT_EQ(watcher.Joined("kyt/line1/rx"), block);
  EXPECT_NE(gateway.Log().back().find("a block of 2500 bytes goes out as 3 messages"),
            std::string::npos);

  // With the broker away the queue fills: what passes its 4000 bytes is dropped and counted.
  broker.Stop();
  ASSERT_TRUE(gateway.WaitForStatus(IS_ERROR));
  for (char c = 'a'; c < 'g'; ++c) link.Offer(std::string(1000, c));
  broker.Start();
  ASSERT_TRUE(gateway.WaitForStatus(IS_ACTIVE));
  link.Offer("end");
  // At QoS 1 a message may come twice around a restart; none may be missing or reordered.
  const std::string kept = std::string(1000, 'a') + std::string(1000, 'b') +
                           std::string(1000, 'c') + std::string(1000, 'd') + "end";
  EXPECT_TRUE(watcher.WaitUntil([](const std::vector<test::TReceived>& all) {
    return test::JoinedIn(all, "kyt/line1/rx").ends_with("end");
  }));
  const std::string got = watcher.Joined("kyt/line1/rx");
  EXPECT_EQ(got.substr(got.size() - kept.size()), kept);
  EXPECT_EQ(got.find('e'), got.size() - 3);
  EXPECT_EQ(got.find('f'), std::string::npos);
  EXPECT_TRUE(watcher.WaitForLast("kyt/line1/state", [](const std::string& state) {
    return state.find("\"dropped\":2") != std::string::npos;
  }));
}

}  // namespace
}  // namespace kyt::gateway
