#pragma once

// One gateway instance's connection to an MQTT broker (libmosquitto, MQTT 3.1.1): a loop thread
// that connects with a back-off, publishes what the parent received, watches the parent's status
// for the retained state topic, and reads what arrives on the tx topic; and a writer thread that
// hands those blocks to the parent, so a slow parent holds up neither the broker's keep-alive nor
// the other direction.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/block_queue.h"
#include "gateway/mqtt_topics.h"
#include "platform/sockets.h"
#include "runtime/exception.h"
#include "runtime/thread.h"

struct mosquitto;
struct mosquitto_message;

namespace kyt::gateway {

// Settings the link cannot work with (a TLS file that cannot be read, a QoS of 2).
class EMQTTSettings : public Exception {
 public:
  using Exception::Exception;
};

struct TMQTTOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 1883;
  std::string ClientID;  // unique per broker; with QoS 1 also the name of the session
  std::string Username, Password;
  bool UseTLS = false;
  std::string CAFile;  // empty: the system's certificate folder
  std::string CertFile, KeyFile;
  int QoS = 1;
  std::string Prefix = "kyt";
  // Subscribed for the parent instead of PREFIX/NAME/tx: another gateway's rx topic makes a
  // tunnel between two gateways, a wildcard takes several publishers.
  std::string TxTopic;
  int KeepAlive = 60;          // seconds
  std::size_t MaxPayload = 0;  // larger blocks go out in parts; 0: no limit of ours
};

struct TMQTTTimings {
  std::chrono::milliseconds FirstRetry{1000};     // doubled after each failed attempt ...
  std::chrono::milliseconds LongestRetry{30000};  // ... up to this
  // After the broker refused us (credentials, certificate): trying again soon would only
  // repeat the refusal.
  std::chrono::milliseconds RefusedRetry{60000};
  std::chrono::milliseconds StatePoll{500};   // how often the parent's status is looked at
  std::chrono::milliseconds StopFlush{1000};  // a stop's time to publish what is queued
  std::size_t RxLimit = 8u << 20;             // bytes queued for the broker; more are dropped
  std::size_t TxLimit = 1u << 20;             // bytes queued for the parent; more stop the reading
  int Window = 64;  // messages handed to the library and not yet written (QoS 0) or acknowledged
};

struct TParentView {
  uint32_t ID = 0;
  std::string Name;
  int32_t Status = 0;
  std::string Summary;
};

// What the link asks of its module; called on the link's threads, never under its locks.
class IMQTTGateway {
 public:
  // The instance the module is connected below, or none yet.
  virtual std::optional<TParentView> Parent() = 0;
  // Raises when the parent does not take the block.
  virtual void SendToParent(const std::string& block) = 0;
  virtual void Report(int32_t status, const std::string& summary) = 0;
  virtual void Log(int32_t code, const std::string& text) = 0;

 protected:
  ~IMQTTGateway() = default;
};

class TMQTTLink {
 public:
  // Raises EMQTTSettings for options the library refuses.
  TMQTTLink(TMQTTOptions options, IMQTTGateway& gateway, TMQTTTimings timings = {});
  ~TMQTTLink();
  TMQTTLink(const TMQTTLink&) = delete;
  TMQTTLink& operator=(const TMQTTLink&) = delete;

  void Start();
  // Publishes what is queued (within StopFlush), marks the gateway offline, disconnects and
  // ends both threads.
  void Stop() noexcept;
  // From the parent's receive path, on any thread; never waits. A block that does not fit in
  // the queue is dropped and counted.
  void Offer(const std::string& block);

  std::string Describe() const;  // host:port, for texts
  // The most bytes that waited for the parent at once.
  std::size_t PeakForParent() const { return txQueue_.Peak(); }

 private:
  enum class TPhase { Down, Connecting, Up };

  void Loop(TThread& self);
  void Write(TThread& self);
  void BeginConnect();
  void Serve(std::chrono::milliseconds timeout);
  void Lost(int rc);
  void PublishQueued();
  void WatchParent(bool force);
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  void Farewell();
  std::string ErrorText(int rc, int savedErrno);

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  const TMQTTOptions options_;
  const TMQTTTimings timings_;
  IMQTTGateway& gateway_;
  mosquitto* mosq_ = nullptr;
  net::StopSignal wake_;
  TBlockQueue rxQueue_;
  TBlockQueue txQueue_;
  std::mutex txMutex_;
  std::condition_variable txReady_;
  std::atomic<bool> readingPaused_{false};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> dropping_{false};
  std::atomic<bool> splitLogged_{false};
  std::unique_ptr<TFunctionThread> loop_;
  std::unique_ptr<TFunctionThread> writer_;

  // Loop thread only.
  TPhase phase_ = TPhase::Down;
  bool justConnected_ = false;  // CONNACK came; subscribe and publish the state next
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::steady_clock::time_point nextWatch_{};
  int attempts_ = 0;
  int outstanding_ = 0;
  std::optional<std::string> refusal_;  // the broker's answer to this attempt
  std::string libraryError_;            // the library's last error entry in this attempt
  std::string lastFailure_;
  TParentView parent_;
  TGatewayTopics topics_;
  std::string lastState_;
  bool txFailing_ = false;  // writer thread only
  bool retainedLogged_ = false;
};

}  // namespace kyt::gateway
