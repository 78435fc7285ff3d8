#include "network/server_socket.h"

#include <fmt/format.h>

#include <exception>

#include "framework/translate.h"
#include "runtime/thread.h"

namespace kyt {

namespace {
// The Server Socket whose connection thread is handing a block to the children right now.
thread_local const TKYTServerSocket* t_delivering = nullptr;
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
  server_->ThreadStackSize = Timings().ThreadStackSize;
  server_->OnConnect = [this](TServerConnection& c) { ClientConnected(c); };
  server_->OnDisconnect = [](TServerConnection&) {};  // a client that leaves is not logged
  server_->OnExecute = [this](TServerConnection& c) { Received(c); };
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

void TKYTServerSocket::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  std::exception_ptr firstFailure;
  {
    TTCPServer::TLockedList clients = server_->LockList();
    // One client's failure must not cost the others the text; the caller still learns of it.
    clients.ForEach([&](TServerConnection& client) {
      try {
        client.Write(Text);
      } catch (...) {
        if (!firstFailure)
          firstFailure = std::current_exception();
      }
    });
  }
  if (firstFailure)
    std::rethrow_exception(firstFailure);
  SendDebug("TRANSMITTED", Text);
}

void TKYTServerSocket::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTServerSocket::ApplyChanges() {
  // Applying stops every connection thread, this one too when a child applies from inside its
  // ReceiveData: that apply runs on the main thread once the delivery is over.
  if (t_delivering == this) {
    TRef<IKYTModule> self(static_cast<IKYTModule*>(this));
    TThread::Queue([this, self] {
      try {
        ApplyChanges();
      } catch (const std::exception& e) {
        LogMessage(KL_ERROR, e.what());
      }
    });
    return;
  }
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
  struct TDone {
    ~TDone() { t_delivering = nullptr; }
  } done;
  DeliverToChildren(data);
  SendDebug("RECEIVED", data);
}

void TKYTServerSocket::ClientConnected(TServerConnection& Connection) {
  LogMessage(KL_MESSAGE, TranslateFormat("Client Connected [%s]", Connection.PeerIP()));
}

void TKYTServerSocket::ConnectionError(TServerConnection& Connection, const std::exception& Error) {
  LogMessage(KL_WARNING,
             TranslateFormat("Socket Error [%s] - %s", Connection.PeerIP(), Error.what()));
}

void TKYTServerSocket::ListenError(const std::exception& Error) {
  LogMessage(KL_WARNING, TranslateFormat("Listen Error - %s", Error.what()));
}

}  // namespace kyt
