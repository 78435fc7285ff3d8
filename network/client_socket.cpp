#include "network/client_socket.h"

#include <fmt/format.h>

#include <system_error>
#include <utility>

#include "framework/translate.h"
#include "platform/sockets.h"

namespace kyt {

// ---- TReadThread --------------------------------------------------------------------------

TReadThread::TReadThread(TTCPClient& client, TDataEvent onData,
                         std::chrono::milliseconds pollInterval)
    : client_(client), dataEvent_(std::move(onData)), pollInterval_(pollInterval) {}

TReadThread::~TReadThread() {
  WaitFor();
}

void TReadThread::Execute() {
  try {
    while (client_.Connected() && !StopFlag) {
      // Connected() may already have moved bytes into the buffer; waiting then would hold them
      // back for a whole interval. Otherwise the wait returns as soon as bytes arrive, and the
      // interval only bounds how late a stop is seen.
      if (client_.InputBufferIsEmpty())
        client_.WaitForData(pollInterval_);
      if (client_.InputBufferIsEmpty())
        continue;
      receivedData_ = client_.TakeAll();
      Synchronize([this] {
        try {
          dataEvent_(receivedData_);
        } catch (...) {
          // The receive handler reports its own failures; the reader goes on.
        }
      });
    }
  } catch (...) {
    // A lost or reset connection ends the reader; the reader-ended handler reports it.
    return;
  }
  // A requested stop is no loss of the connection: nothing to report.
  if (StopFlag)
    OnTerminate = nullptr;
}

// ---- TKYTClientSocket ---------------------------------------------------------------------

const TKYTModuleClass TKYTClientSocket::Class = MakeModuleClass<TKYTClientSocket>({
    .ClassName = "TKYTClientSocket",
    .ModuleID = IKYTClientSocket::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "Client Socket",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TClientSocketTimings& TKYTClientSocket::Timings() {
  static TClientSocketTimings timings;
  return timings;
}

TKYTClientSocket::TKYTClientSocket(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID),
      reconnect_(Kernel, InstanceID, InstanceTimer([this] { Reconnect(); })),
      client_(std::make_unique<TTCPClient>()) {
  client_->OnConnected = [this] { Connected(); };
  client_->OnDisconnected = [this] { Disconnected(); };
  client_->ConnectTimeout = Timings().ConnectTimeout;
  client_->ReadTimeout = Timings().ReadTimeout;
  client_->WriteTimeout = Timings().WriteTimeout;

  RegisterPropertyBoolean(
      "Open", [this] { return GetOpen(); }, [this](bool v) { SetOpen(v); });
  RegisterPropertyString(
      "Host", [this] { return GetHost(); }, [this](const std::string& v) { SetHost(v); });
  RegisterPropertyInteger(
      "Port", [this] { return GetPort(); }, [this](int32_t v) { SetPort(v); });

  LoadAndApplySettings();
  // A failed first apply still takes the settings, so the timer keeps trying them. The timer
  // may already run on its own thread, so the copy is made holding the instance.
  const TInstanceLock::THold hold = Changing();
  settings_.Apply();
}

TKYTClientSocket::~TKYTClientSocket() {
  PrepareDelete();
  reconnect_.Unregister();
  try {
    StopConnection();
  } catch (...) {
  }
  client_.reset();
}

void TKYTClientSocket::SetOpen(bool Open) {
  ChangeSetting(settings_.Pending.Open, Open);
}
void TKYTClientSocket::SetHost(const std::string& Host) {
  ChangeSetting(settings_.Pending.Host, Host);
}
void TKYTClientSocket::SetPort(int32_t Port) {
  ChangeSetting(settings_.Pending.Port, Port);
}

void TKYTClientSocket::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  if (!client_->Connected())
    throw EKYTClientSocket(Translate("Socket is not connected!"));
  try {
    client_->Write(Text);
  } catch (const ESocketError& e) {
    // A peer that stopped reading would hold every writer, and with a reader waiting on the
    // main thread the whole host: past the bound the connection is lost.
    if (e.Code() == net::kTimedOut)
      DropConnection();
    throw;
  }
  SendDebug("TRANSMITTED", Text);
}

void TKYTClientSocket::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTClientSocket::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  try {
    StopConnection();
  } catch (...) {
    SetStatus(IS_ERROR);
  }
  if (reader_)
    throw Exception("Data Reader already available!");
  if (settings_.Pending.Open) {
    try {
      const int32_t port = settings_.Pending.Port;
      // Taking the low 16 bits of a bad port would quietly connect somewhere else.
      if (port < 0 || port > 0xFFFF) {
        throw EKYTClientSocket(TranslateFormat("Invalid port: %d", port));
      }
      client_->Host = settings_.Pending.Host;
      client_->Port = static_cast<uint16_t>(port);
      if (KernelRunlevel == KR_READY)
        StartConnection();
    } catch (...) {
      SetStatus(IS_ERROR);
      // The timer retries what was asked for, as after a failed first apply.
      settings_.Apply();
      ScheduleRetry();
      throw;
    }
  }
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  SetSummary(fmt::format("{}:{}", settings_.Applied.Host, settings_.Applied.Port));
}

void TKYTClientSocket::StartConnection() {
  client_->Connect();
  reader_ = std::make_unique<TReadThread>(
      *client_, [this](const std::string& data) { Received(data); }, Timings().PollInterval);
  reader_->OnTerminate = [this] { ReaderEnded(); };
  reader_->Start();
  reconnect_.ResetCounter();
  SetStatus(IS_ACTIVE);
}

void TKYTClientSocket::StopConnection() {
  if (reader_) {
    reader_->StopFlag = true;
    // On the main thread this keeps serving the reader's pending deliveries.
    reader_->WaitFor();
    reader_.reset();
  }
  client_->Disconnect();
  SetStatus(IS_INACTIVE);
}

void TKYTClientSocket::Received(const std::string& Data) {
  DeliverToChildren(Data);
  SendDebug("RECEIVED", Data);
}

void TKYTClientSocket::Connected() {
  SetStatus(IS_ACTIVE);
  LogMessage(KL_MESSAGE, Translate("Socket: Connected"));
  if (KernelRunlevel == KR_READY) {
    reconnect_.Stop();
    retrying_ = false;
  }
}

void TKYTClientSocket::Disconnected() {
  SetStatus(IS_INACTIVE);
  LogMessage(KL_MESSAGE, Translate("Socket: Disconnected"));
  if (KernelRunlevel == KR_READY) {
    reconnect_.Lost();
    retrying_ = true;
  }
}

// A failed open outside the timer's own attempts (an apply by hand) starts the schedule; within
// them the attempt already set the wait for the next one.
void TKYTClientSocket::ScheduleRetry() {
  if (KernelRunlevel == KR_READY && !retrying_.exchange(true))
    reconnect_.Lost();
}

// Ends the connection from a writer's thread, which may be the main thread inside a delivery of
// the reader: the reader is told it is a stop, not waited for; the next apply collects it.
void TKYTClientSocket::DropConnection() {
  if (reader_)
    reader_->StopFlag = true;
  client_->Disconnect();
}

void TKYTClientSocket::ReaderEnded() {
  Disconnected();
}

void TKYTClientSocket::Reconnect() {
  if (KernelRunlevel != KR_READY)
    return;
  if (!settings_.Applied.Open) {
    reconnect_.Stop();
    retrying_ = false;
    return;
  }
  const int32_t attempt = reconnect_.NextAttempt();
  LogMessage(KL_MESSAGE, TranslateFormat("Socket: Connecting... #%d", attempt));
  try {
    ApplyChanges();
  } catch (const std::exception& e) {
    LogMessage(KL_ERROR, e.what());
  }
}

}  // namespace kyt
