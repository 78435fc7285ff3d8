#include "network/server_socket.h"

#include <fmt/format.h>

#include <exception>

#include "framework/translate.h"

namespace kyt {

namespace {
// The Server Socket whose connection thread is handing a block to the children right now.
thread_local const TKYTServerSocket* t_delivering = nullptr;
// The number of the client whose block that is.
thread_local uint32_t t_deliveringClient = 0;
}  // namespace

const TKYTModuleClass TKYTServerSocket::Class = MakeModuleClass<TKYTServerSocket>({
    .ClassName = "TKYTServerSocket",
    .ModuleID = IKYTServerSocket::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "Server Socket",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TServerSocketTimings& TKYTServerSocket::Timings() {
  static TServerSocketTimings timings;
  return timings;
}

TKYTServerSocket::TKYTServerSocket(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID),
      reconnect_(Kernel, InstanceID, InstanceTimer([this] { Reconnect(); })),
      server_(std::make_unique<TTCPServer>()) {
  server_->WriteTimeout = Timings().WriteTimeout;
  server_->SendQueueBound = Timings().SendQueueBound;
  server_->Linger = Timings().Linger;
  server_->ThreadStackSize = Timings().ThreadStackSize;
  server_->OnConnect = [this](TServerConnection& c) { ClientConnected(c); };
  server_->OnDisconnect = [](TServerConnection&) {};  // a client that leaves is not logged
  server_->OnExecute = [this](TServerConnection& c) { Received(c); };
  server_->OnBeforeRead = [this](TServerConnection& c) { BeforeRead(c); };
  server_->OnConnectionError = [this](TServerConnection& c, const std::exception& e) {
    ConnectionError(c, e);
  };
  server_->OnListenError = [this](const std::exception& e) { ListenError(e); };
  server_->OnListenResumed = [this] {
    LogMessage(KL_MESSAGE, Translate("Listen: accepting connections again"));
  };

  RegisterPropertyBoolean(
      "Open", [this] { return GetOpen(); }, [this](bool v) { SetOpen(v); });
  RegisterPropertyInteger(
      "Port", [this] { return GetPort(); }, [this](int32_t v) { SetPort(v); });
  RegisterPropertyInteger(
      "Limit", [this] { return GetLimit(); }, [this](int32_t v) { SetLimit(v); });

  LoadAndApplySettings();
  settings_.Apply();
}

TKYTServerSocket::~TKYTServerSocket() {
  PrepareDelete();
  reconnect_.Unregister();
  try {
    server_->SetActive(false);
  } catch (...) {
  }
  server_.reset();
}

// Every client has a queue of its own: the text is put on each and the call returns. A client
// that cannot keep up is dropped by its queue, never waited for, and costs the others nothing.
void TKYTServerSocket::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  {
    TTCPServer::TLockedList clients = server_->LockList();
    clients.ForEach([&](TServerConnection& client) { client.Write(Text); });
  }
  SendDebug("TRANSMITTED", Text);
}

uint32_t TKYTServerSocket::DeliveringClient() {
  return t_delivering == this ? t_deliveringClient : 0;
}

std::vector<uint32_t> TKYTServerSocket::GetClients() {
  std::vector<uint32_t> numbers;
  server_->LockList().ForEach(
      [&](TServerConnection& client) { numbers.push_back(client.Number()); });
  return numbers;
}

bool TKYTServerSocket::SendToClient(uint32_t Client, const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  bool found = false;
  {
    TTCPServer::TLockedList clients = server_->LockList();
    clients.ForEach([&](TServerConnection& client) {
      if (client.Number() == Client) {
        found = true;
        client.Write(Text);
      }
    });
  }
  if (found)
    SendDebug("TRANSMITTED", Text);
  return found;
}

void TKYTServerSocket::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTServerSocket::ApplyChanges() {
  // Applying stops every connection thread, this one too when a child applies from inside its
  // ReceiveData.
  if (ApplyLaterWhenDelivering())
    return;
  const TInstanceLock::THold hold = Changing();
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  server_->SetActive(false);
  const TSettings& applied = settings_.Applied;
  server_->DefaultPort = static_cast<uint16_t>(applied.Port);
  server_->MaxConnections = applied.Limit;
  server_->Bindings.clear();
  server_->AddBinding("0.0.0.0");
  if (applied.Open) {
    try {
      // Listening on the low 16 bits of a bad port would quietly serve another one.
      if (applied.Port < 0 || applied.Port > 0xFFFF) {
        throw EKYTServerSocket(TranslateFormat("Invalid port: %d", applied.Port));
      }
      server_->SetActive(true);
    } catch (...) {
      SetStatus(IS_ERROR);
      ScheduleRetry();
      throw;
    }
    SetStatus(IS_ACTIVE);
    reconnect_.Opened();
  } else {
    SetStatus(IS_INACTIVE);
    reconnect_.Stop();
  }
  retrying_ = false;
  SetSummary(fmt::format("Port {}", applied.Port));
}

// A failed open outside the timer's own attempts starts the schedule; within them the attempt
// already set the wait for the next one.
void TKYTServerSocket::ScheduleRetry() {
  if (KernelRunlevel == KR_READY && !retrying_.exchange(true))
    reconnect_.Lost();
}

void TKYTServerSocket::Reconnect() {
  if (KernelRunlevel != KR_READY)
    return;
  if (!settings_.Applied.Open || server_->Active()) {
    reconnect_.Stop();
    retrying_ = false;
    return;
  }
  retrying_ = true;
  const int32_t attempt = reconnect_.NextAttempt();
  LogMessage(KL_MESSAGE, TranslateFormat("Listen: retrying... #%d", attempt));
  try {
    ApplyChanges();
  } catch (const std::exception& e) {
    LogMessage(KL_ERROR, e.what());
  }
}

void TKYTServerSocket::Received(TServerConnection& Connection) {
  std::string data = Connection.TakeAll();
  if (data.empty())
    return;
  std::lock_guard lock(deliveryMutex_);
  t_delivering = this;
  t_deliveringClient = Connection.Number();
  struct TDone {
    ~TDone() {
      t_delivering = nullptr;
      t_deliveringClient = 0;
    }
  } done;
  flow_.Deliver([&] { DeliverToChildren(data); });
  SendDebug("RECEIVED", data);
}

// A target of the last block that cannot take more (its queue is full, it is not connected)
// keeps the client's bytes in the kernel until it can, rather than have them dropped there.
// A client that has left is not held for a target that is not connected (it may come back
// much later, after the client's successors): what it sent goes the way of any block such a
// target refuses. A full queue it still waits for: that target drains.
void TKYTServerSocket::BeforeRead(TServerConnection& Connection) {
  flow_.WaitPassable([&Connection] { return Connection.Ending(); },
                     [&Connection] { return Connection.PeerEnded(); });
}

void TKYTServerSocket::ClientConnected(TServerConnection& Connection) {
  LogMessage(KL_MESSAGE, TranslateFormat("Client Connected [%s]", Connection.PeerIP()));
}

void TKYTServerSocket::ConnectionError(TServerConnection& Connection, const std::exception& Error) {
  LogMessage(KL_WARNING,
             TranslateFormat("Socket Error [%s] - %s", Connection.PeerIP(), Error.what()));
  switch (Connection.DropCause()) {
    case TDropCause::Stalled:
      LogMessage(
          KL_WARNING,
          TranslateFormat("Client dropped [%s]: it took nothing sent to it for %d ms",
                          Connection.PeerIP(), static_cast<int>(server_->WriteTimeout.count())));
      break;
    case TDropCause::Overflow:
      LogMessage(KL_WARNING,
                 TranslateFormat("Client dropped [%s]: more than %d bytes waited to be sent to it",
                                 Connection.PeerIP(), static_cast<int>(server_->SendQueueBound)));
      break;
    case TDropCause::None:
      break;
  }
}

void TKYTServerSocket::ListenError(const std::exception& Error) {
  LogMessage(KL_WARNING, TranslateFormat("Listen Error - %s", Error.what()));
}

}  // namespace kyt
