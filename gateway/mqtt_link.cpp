#include "gateway/mqtt_link.h"

#include <errno.h>
#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/codes.h"
#include "platform/socket_wait.h"

namespace kyt::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

// The library cannot be configured once more but through a new handle, so every option is set
// here, once, and a setting that fails is the apply's failure.
void Check(int rc, const char* what) {
  if (rc != MOSQ_ERR_SUCCESS) {
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    throw EMQTTSettings(fmt::format("MQTT: {}: {}", what, text));
  }
}

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

int Seconds(milliseconds delay) {
  return static_cast<int>((delay.count() + 999) / 1000);
}

}  // namespace

TMQTTLink::TMQTTLink(TMQTTOptions options, IMQTTGateway& gateway, TMQTTTimings timings)
    : options_(std::move(options)),
      timings_(timings),
      gateway_(gateway),
      rxQueue_(timings.RxLimit),
      txQueue_(timings.TxLimit) {
  if (options_.QoS != 0 && options_.QoS != 1)
    throw EMQTTSettings(fmt::format("MQTT: QoS {} is not offered: 0 or 1", options_.QoS));
  if (!options_.TxTopic.empty() &&
      mosquitto_sub_topic_check(options_.TxTopic.c_str()) != MOSQ_ERR_SUCCESS)
    throw EMQTTSettings(
        fmt::format("MQTT: TxTopic \"{}\" is no topic to subscribe to", options_.TxTopic));
  if (options_.KeepAlive < 5 || options_.KeepAlive > 65535)
    throw EMQTTSettings(
        fmt::format("MQTT: a keep-alive of {} s is out of range: 5 to 65535", options_.KeepAlive));
  InitLibrary();
  // QoS 1 keeps a session at the broker, so what arrives while the link is down waits there.
  mosq_ = mosquitto_new(options_.ClientID.c_str(), options_.QoS == 0, this);
  if (mosq_ == nullptr)
    throw EMQTTSettings(fmt::format("MQTT: no client for id \"{}\"", options_.ClientID));
  try {
    Check(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
          "protocol version");
    Check(mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY");
    Check(mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(timings_.Window)),
          "in-flight window");
    if (!options_.Username.empty()) {
      Check(mosquitto_username_pw_set(mosq_, options_.Username.c_str(), OrNull(options_.Password)),
            "user name and password");
    }
    if (options_.UseTLS) {
      const char* folder = options_.CAFile.empty() ? "/etc/ssl/certs" : nullptr;
      Check(mosquitto_tls_set(mosq_, OrNull(options_.CAFile), folder, OrNull(options_.CertFile),
                              OrNull(options_.KeyFile), nullptr),
            "TLS files (CAFile, CertFile, KeyFile)");
    }
  } catch (...) {
    mosquitto_destroy(mosq_);
    throw;
  }
  mosquitto_connect_callback_set(mosq_, &TMQTTLink::OnConnect);
  mosquitto_subscribe_callback_set(mosq_, &TMQTTLink::OnSubscribe);
  mosquitto_publish_callback_set(mosq_, &TMQTTLink::OnPublish);
  mosquitto_message_callback_set(mosq_, &TMQTTLink::OnMessage);
  mosquitto_log_callback_set(mosq_, &TMQTTLink::OnLog);
}

TMQTTLink::~TMQTTLink() {
  Stop();
  mosquitto_destroy(mosq_);
}

std::string TMQTTLink::Describe() const {
  return fmt::format("{}:{}", options_.Host, options_.Port);
}

void TMQTTLink::Start() {
  writer_ = std::make_unique<TFunctionThread>([this](TThread& self) { Write(self); });
  loop_ = std::make_unique<TFunctionThread>([this](TThread& self) { Loop(self); });
  writer_->Start();
  loop_->Start();
}

void TMQTTLink::Stop() noexcept {
  if (loop_) {
    loop_->Terminate();
    wake_.Raise();
  }
  if (writer_) {
    writer_->Terminate();
    std::lock_guard lock(txMutex_);
    txReady_.notify_all();
  }
  try {
    if (loop_)
      loop_->WaitFor();
    if (writer_)
      writer_->WaitFor();
  } catch (const std::exception& e) {
    gateway_.Log(KL_ERROR, fmt::format("stopping: {}", e.what()));
  }
  loop_.reset();
  writer_.reset();
}

void TMQTTLink::Offer(const std::string& block) {
  std::vector<std::string_view> parts = SplitPayload(block, options_.MaxPayload);
  if (parts.size() > 1 && !splitLogged_.exchange(true)) {
    gateway_.Log(KL_WARNING,
                 fmt::format("a block of {} bytes goes out as {} messages: MaxPayload is {}",
                             block.size(), parts.size(), options_.MaxPayload));
  }
  for (std::string_view part : parts) {
    TBlockQueue::TPush push = rxQueue_.Push(std::string(part));
    if (!push.Taken) {
      ++dropped_;
      if (!dropping_.exchange(true)) {
        gateway_.Log(KL_WARNING,
                     fmt::format("{} bytes wait for the broker at {}; received blocks are "
                                 "dropped until it takes them",
                                 rxQueue_.Bytes(), Describe()));
      }
      continue;
    }
    if (push.WasEmpty)
      wake_.Raise();
  }
}

// ---- Loop thread ----

void TMQTTLink::Loop(TThread& self) {
  while (!self.Terminated()) {
    Clock::time_point now = Clock::now();
    if (phase_ == TPhase::Down && now >= nextAttempt_)
      BeginConnect();
    if (phase_ == TPhase::Down) {
      milliseconds left = std::chrono::ceil<milliseconds>(nextAttempt_ - Clock::now());
      net::WaitForeignSocket(-1, false, false, wake_,
                             std::clamp(left, milliseconds(0), milliseconds(1000)));
      wake_.Reset();
      continue;
    }
    Serve(std::min(timings_.StatePoll, milliseconds(1000)));
    if (phase_ == TPhase::Up && justConnected_) {
      justConnected_ = false;
      mosquitto_subscribe(mosq_, nullptr, topics_.Tx.c_str(), options_.QoS);
      WatchParent(true);
    }
    if (phase_ == TPhase::Up) {
      PublishQueued();
      if (Clock::now() >= nextWatch_)
        WatchParent(false);
    }
  }
  Farewell();
}

// One wait on the broker's socket and what the library makes of it.
void TMQTTLink::Serve(milliseconds timeout) {
  bool read = !txQueue_.Full();
  readingPaused_ = !read;
  net::ForeignWait ready = net::WaitForeignSocket(mosquitto_socket(mosq_), read,
                                                  mosquitto_want_write(mosq_), wake_, timeout);
  if (ready.Woken)
    wake_.Reset();
  int rc = MOSQ_ERR_SUCCESS;
  if (ready.Readable)
    rc = mosquitto_loop_read(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && ready.Writable && phase_ != TPhase::Down)
    rc = mosquitto_loop_write(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && phase_ != TPhase::Down)
    rc = mosquitto_loop_misc(mosq_);
  if (rc != MOSQ_ERR_SUCCESS || refusal_)
    Lost(rc);
}

void TMQTTLink::BeginConnect() {
  std::optional<TParentView> parent = gateway_.Parent();
  if (!parent) {
    gateway_.Report(IS_INACTIVE, fmt::format("{}: waiting for a parent instance", Describe()));
    nextAttempt_ = Clock::now() + timings_.StatePoll;
    return;
  }
  parent_ = *parent;
  topics_ = GatewayTopics(options_.Prefix, parent_.Name, parent_.ID);
  if (!options_.TxTopic.empty())
    topics_.Tx = options_.TxTopic;
  std::string offline = OfflineJSON(parent_.ID);
  refusal_.reset();
  libraryError_.clear();
  lastState_.clear();
  ++attempts_;
  int rc = mosquitto_will_set(mosq_, topics_.State.c_str(), static_cast<int>(offline.size()),
                              offline.data(), options_.QoS, true);
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_connect_bind_async(mosq_, options_.Host.c_str(), options_.Port,
                                      options_.KeepAlive, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Lost(rc);
    return;
  }
  phase_ = TPhase::Connecting;
}

void TMQTTLink::Lost(int rc) {
  const int savedErrno = errno;
  const bool wasUp = phase_ == TPhase::Up;
  phase_ = TPhase::Down;
  justConnected_ = false;
  const bool refused = refusal_.has_value() || rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE ||
                       rc == MOSQ_ERR_AUTH || rc == MOSQ_ERR_CONN_REFUSED;
  std::string text = refusal_ ? *refusal_ : ErrorText(rc, savedErrno);
  refusal_.reset();
  // What the library wrote but nobody acknowledged is gone at QoS 0; at QoS 1 the library sends
  // it again on the next connection.
  if (options_.QoS == 0)
    outstanding_ = 0;
  milliseconds delay = timings_.RefusedRetry;
  if (!refused) {
    delay = timings_.FirstRetry * (1 << std::min(std::max(attempts_ - 1, 0), 16));
    delay = std::min(delay, timings_.LongestRetry);
  }
  if (wasUp && !refused) {
    // A connection that worked is tried again at once.
    attempts_ = 0;
    delay = milliseconds(0);
    lastFailure_.clear();
    gateway_.Log(KL_WARNING,
                 fmt::format("connection to the broker at {} lost: {}", Describe(), text));
    gateway_.Report(IS_ERROR, fmt::format("{}: connection lost: {}", Describe(), text));
  } else {
    if (text != lastFailure_) {
      // The same failure again is not logged again; the status and summary count the attempts.
      gateway_.Log(refused ? KL_ERROR : KL_WARNING,
                   fmt::format("cannot connect to the broker at {}: {}; trying again every "
                               "{} s at most",
                               Describe(), text,
                               Seconds(refused ? timings_.RefusedRetry : timings_.LongestRetry)));
    }
    lastFailure_ = text;
    gateway_.Report(IS_ERROR, fmt::format("{}: {} (attempt {}, next in {} s)", Describe(), text,
                                          attempts_, Seconds(delay)));
  }
  nextAttempt_ = Clock::now() + delay;
}

std::string TMQTTLink::ErrorText(int rc, int savedErrno) {
  std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(savedErrno) : mosquitto_strerror(rc);
  if (!libraryError_.empty())
    text += " (" + libraryError_ + ")";
  return text;
}

void TMQTTLink::PublishQueued() {
  while (phase_ == TPhase::Up && outstanding_ < timings_.Window) {
    std::optional<std::string> block = rxQueue_.Pop();
    if (!block)
      break;
    dropping_ = false;
    // Counted before the call: at QoS 0 the library may write the message, and report it
    // written, before mosquitto_publish returns.
    ++outstanding_;
    int rc = mosquitto_publish(mosq_, nullptr, topics_.Rx.c_str(), static_cast<int>(block->size()),
                               block->data(), options_.QoS, false);
    const int savedErrno = errno;
    const bool connectionFailed =
        rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO;
    // At QoS 1 the library keeps the message for the next connection even when this write
    // failed; otherwise a failed call leaves nothing outstanding.
    if (rc != MOSQ_ERR_SUCCESS && !(connectionFailed && options_.QoS == 1))
      --outstanding_;
    if (rc == MOSQ_ERR_NO_CONN && options_.QoS == 0) {
      rxQueue_.ReturnFront(std::move(*block));
    } else if (rc != MOSQ_ERR_SUCCESS && !connectionFailed) {
      ++dropped_;
      gateway_.Log(KL_WARNING, fmt::format("a block of {} bytes was not published: {}",
                                           block->size(), ErrorText(rc, savedErrno)));
    }
    if (connectionFailed) {
      errno = savedErrno;
      Lost(rc);
    }
  }
}

void TMQTTLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
  mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                    options_.QoS, retain);
}

// Publishes the parent's state when it changed; a parent that changed its name or was replaced
// moves the gateway to other topics, which takes a new connection (the last will names them).
void TMQTTLink::WatchParent(bool force) {
  nextWatch_ = Clock::now() + timings_.StatePoll;
  std::optional<TParentView> parent = gateway_.Parent();
  if (!parent || parent->ID != parent_.ID || parent->Name != parent_.Name) {
    Publish(topics_.State, OfflineJSON(parent_.ID), true);
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
    phase_ = TPhase::Down;
    nextAttempt_ = Clock::now();
    return;
  }
  std::string state = StateJSON({.Online = true,
                                 .Instance = parent->ID,
                                 .Name = parent->Name,
                                 .Status = parent->Status,
                                 .Summary = parent->Summary,
                                 .DroppedBlocks = dropped_});
  if (force || state != lastState_) {
    Publish(topics_.State, state, true);
    lastState_ = std::move(state);
  }
}

void TMQTTLink::Farewell() {
  wake_.Reset();
  const Clock::time_point end = Clock::now() + timings_.StopFlush;
  while (phase_ == TPhase::Up && Clock::now() < end &&
         (!rxQueue_.Empty() || outstanding_ > 0 || mosquitto_want_write(mosq_))) {
    PublishQueued();
    Serve(milliseconds(50));
  }
  if (phase_ != TPhase::Up)
    return;
  Publish(topics_.State, OfflineJSON(parent_.ID), true);
  mosquitto_disconnect(mosq_);
  while (Clock::now() < end && mosquitto_want_write(mosq_) &&
         mosquitto_loop_write(mosq_, 1) == MOSQ_ERR_SUCCESS) {
    net::WaitForeignSocket(mosquitto_socket(mosq_), false, true, wake_, milliseconds(50));
  }
  phase_ = TPhase::Down;
}

// ---- Library callbacks, on the loop thread ----

void TMQTTLink::OnConnect(mosquitto*, void* self, int rc) {
  auto* link = static_cast<TMQTTLink*>(self);
  if (rc != 0) {
    link->refusal_ =
        fmt::format("the broker refused the connection: {}", mosquitto_connack_string(rc));
    return;
  }
  link->phase_ = TPhase::Up;
  link->attempts_ = 0;
  link->lastFailure_.clear();
  // Subscribed and announced by the loop: the library holds its own locks around a callback,
  // and calls made from here take them in another order than elsewhere.
  link->justConnected_ = true;
}

// Active once the broker has the subscription: from then on nothing published to tx is missed.
void TMQTTLink::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted) {
  auto* link = static_cast<TMQTTLink*>(self);
  if (count < 1 || granted[0] > 2) {
    link->refusal_ = fmt::format("the broker refused the subscription to {}", link->topics_.Tx);
    return;
  }
  link->gateway_.Log(
      KL_MESSAGE, fmt::format("connected to the broker at {}; topics {}, {}, {}", link->Describe(),
                              link->topics_.Rx, link->topics_.Tx, link->topics_.State));
  link->gateway_.Report(IS_ACTIVE, fmt::format("{} {}", link->Describe(), link->topics_.Rx));
}

void TMQTTLink::OnPublish(mosquitto*, void* self, int) {
  auto* link = static_cast<TMQTTLink*>(self);
  if (link->outstanding_ > 0)
    --link->outstanding_;
}

void TMQTTLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* link = static_cast<TMQTTLink*>(self);
  if (message->retain) {
    // A retained message is an old one the broker kept: written again at every connection it
    // would repeat a command to the device.
    if (!link->retainedLogged_) {
      link->gateway_.Log(
          KL_WARNING,
          fmt::format("a retained message on {} is not sent to the parent", link->topics_.Tx));
      link->retainedLogged_ = true;
    }
    return;
  }
  if (message->payloadlen <= 0)
    return;
  std::string block(static_cast<const char*>(message->payload),
                    static_cast<std::size_t>(message->payloadlen));
  if (link->txQueue_.Push(std::move(block), true).WasEmpty) {
    std::lock_guard lock(link->txMutex_);
    link->txReady_.notify_all();
  }
}

void TMQTTLink::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR && text != nullptr)
    static_cast<TMQTTLink*>(self)->libraryError_ = text;
}

// ---- Writer thread ----

void TMQTTLink::Write(TThread& self) {
  for (;;) {
    {
      std::unique_lock lock(txMutex_);
      txReady_.wait(lock, [&] { return self.Terminated() || !txQueue_.Empty(); });
      if (self.Terminated())
        return;
    }
    std::optional<std::string> block = txQueue_.Pop();
    if (readingPaused_ && !txQueue_.Full())
      wake_.Raise();
    if (!block)
      continue;
    try {
      gateway_.SendToParent(*block);
      txFailing_ = false;
    } catch (const std::exception& e) {
      // One entry per run of failures: a parent that is closed would otherwise log every block.
      if (!txFailing_) {
        gateway_.Log(KL_WARNING,
                     fmt::format("blocks from {} are dropped: {}", topics_.Tx, e.what()));
      }
      txFailing_ = true;
    }
  }
}

}  // namespace kyt::gateway
