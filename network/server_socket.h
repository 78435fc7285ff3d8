#pragma once

// The Server Socket module ("SSCK"): a listening TCP port serving several clients at once.
// What any client sends reaches every child; what a child sends reaches every client.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "framework/module_object.h"
#include "framework/reconnect_timer.h"
#include "framework/send_queue.h"
#include "network/tcp_server.h"

namespace kyt {

class EKYTServerSocket : public Exception {
 public:
  using Exception::Exception;
};

// Transport limits; process-wide so tests can shorten them before creating instances.
struct TServerSocketTimings {
  // A client that takes nothing of its send queue for this long is dropped.
  std::chrono::milliseconds WriteTimeout{5000};
  // ... and so is one that lets more than this pile up in it.
  std::size_t SendQueueBound = 4 << 20;
  // A client that half-closes gets what is sent to it for this long still.
  std::chrono::milliseconds Linger{1000};
  std::size_t ThreadStackSize = 256 * 1024;
};

class TKYTServerSocket final : public TKYTModuleObject,
                               public virtual IKYTSendData,
                               public virtual IKYTServerSocket,
                               public virtual IKYTServerClients {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, IKYTServerSocket, IKYTServerClients>;
  static const TKYTModuleClass Class;
  static TServerSocketTimings& Timings();

  TKYTServerSocket(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTServerSocket() override;

  // IKYTServerSocket
  void SetOpen(bool Open) override { ChangeSetting(settings_.Pending.Open, Open); }
  void SetPort(int32_t Port) override { ChangeSetting(settings_.Pending.Port, Port); }
  void SetLimit(int32_t Limit) override { ChangeSetting(settings_.Pending.Limit, Limit); }
  bool GetOpen() override { return Read(settings_.Pending.Open); }
  int32_t GetPort() override { return Read(settings_.Pending.Port); }
  int32_t GetLimit() override { return Read(settings_.Pending.Limit); }
  void SendText(const std::string& Text) override;
  // IKYTSendData
  void SendData(const std::string& Data) override { SendText(Data); }
  // IKYTServerClients: for children that keep a state per client (a Telnet server).
  uint32_t DeliveringClient() override;
  std::vector<uint32_t> GetClients() override;
  bool SendToClient(uint32_t Client, const std::string& Text) override;

  void ResetChanges() override;
  void ApplyChanges() override;

  // The ports being listened on; for tests that let the system choose.
  std::vector<uint16_t> ListeningPorts() const { return server_->ListeningPorts(); }
  std::size_t ClientCount() { return server_->LockList().Count(); }

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  struct TSettings {
    bool Open = false;
    int32_t Port = 0;
    int32_t Limit = 0;
  };

  void Received(TServerConnection& Connection);
  void BeforeRead(TServerConnection& Connection);
  void ClientConnected(TServerConnection& Connection);
  void ConnectionError(TServerConnection& Connection, const std::exception& Error);
  void ListenError(const std::exception& Error);
  // A port that could not be bound (busy, say) is tried again on the "Reconnect" schedule.
  void Reconnect();
  void ScheduleRetry();

  TSettingsPair<TSettings> settings_;
  TReconnectTimer reconnect_;
  // The timer is counting towards an attempt.
  std::atomic<bool> retrying_{false};
  std::unique_ptr<TTCPServer> server_;
  // Connection threads take turns handing their blocks to the children, so a child that
  // writes them on somewhere never interleaves two clients' blocks.
  std::mutex deliveryMutex_;
  // The targets the last block went to: while one of them cannot take more, no client is read.
  TFlowWatch flow_;
};

}  // namespace kyt
