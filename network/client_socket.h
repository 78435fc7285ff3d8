#pragma once

// The Client Socket module ("CSCK"): one outgoing TCP connection whose bytes reach every child
// unchanged, written to by its children, and re-established on the "Reconnect" timer.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "framework/module_object.h"
#include "framework/reconnect_timer.h"
#include "framework/send_queue.h"
#include "network/tcp_client.h"
#include "runtime/thread.h"

namespace kyt {

class EKYTClientSocket : public Exception {
 public:
  using Exception::Exception;
};

// Polls the connection and hands each block to the main thread, waiting until it was handled.
// With a flow watch it reads nothing while a target of the last block cannot take more.
class TReadThread : public TThread {
 public:
  using TDataEvent = std::function<void(const std::string&)>;
  TReadThread(TTCPClient& client, TDataEvent onData, std::chrono::milliseconds pollInterval,
              TFlowWatch* flow = nullptr);
  ~TReadThread() override;

  std::atomic<bool> StopFlag{false};

 protected:
  void Execute() override;

 private:
  TTCPClient& client_;
  TDataEvent dataEvent_;
  std::chrono::milliseconds pollInterval_;
  TFlowWatch* flow_;
  std::string receivedData_;
};

// Time constants; process-wide so tests can shorten them before creating instances.
struct TClientSocketTimings {
  std::chrono::milliseconds ConnectTimeout{10000};
  std::chrono::milliseconds ReadTimeout{10000};
  // The reader's wait wakes at once for bytes, for the peer's close and for a stop (a stop
  // closes the connection first); this bounds an idle wait.
  std::chrono::milliseconds PollInterval{50};
  // A peer that takes nothing of the send queue for this long loses the connection.
  std::chrono::milliseconds WriteTimeout{5000};
  // Sources that can wait (a Server Socket's clients) are not read while more than this waits
  // to be sent; a send that would take the queue past the bound fails.
  std::size_t PauseAbove = 1 << 20;
  std::size_t SendQueueBound = 64 << 20;
  // How long closing the connection waits for the queue to be written.
  std::chrono::milliseconds DrainOnClose{1000};
};

class TKYTClientSocket final : public TKYTModuleObject,
                               public virtual IKYTSendData,
                               public virtual IKYTClientSocket {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTClientSocket>;
  static const TKYTModuleClass Class;
  static TClientSocketTimings& Timings();

  TKYTClientSocket(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTClientSocket() override;

  // IKYTClientSocket
  void SetOpen(bool Open) override;
  void SetHost(const std::string& Host) override;
  void SetPort(int32_t Port) override;
  bool GetOpen() override { return Read(settings_.Pending.Open); }
  std::string GetHost() override { return Read(settings_.Pending.Host); }
  int32_t GetPort() override { return Read(settings_.Pending.Port); }
  void SendText(const std::string& Text) override;
  // IKYTSendData
  void SendData(const std::string& Data) override { SendText(Data); }

  void ResetChanges() override;
  void ApplyChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  struct TSettings {
    bool Open = false;
    std::string Host;
    int32_t Port = 0;
  };

  void StartConnection();
  void StopConnection();
  void Received(const std::string& Data);
  void Connected();
  void Disconnected();
  void ReaderEnded();
  void Reconnect();
  void ScheduleRetry();
  void DrainOutput();

  TSettingsPair<TSettings> settings_;
  TReconnectTimer reconnect_;
  std::unique_ptr<TTCPClient> client_;
  std::unique_ptr<TReadThread> reader_;
  // What is sent goes through the connection's queue, written by its own thread.
  std::shared_ptr<TFlowGate> gate_;
  std::unique_ptr<TSendQueue> output_;
  TFlowWatch flow_;
  // The "Reconnect" timer is counting towards an attempt (it starts so, at 1 s).
  std::atomic<bool> retrying_{true};
};

}  // namespace kyt
