#include "network/client_socket.h"

#include <fmt/format.h>

#include <system_error>
#include <utility>

#include "framework/translate.h"
#include "platform/sockets.h"

namespace kyt {

// ---- TReadThread --------------------------------------------------------------------------

TReadThread::TReadThread(TTCPClient& client, TDataEvent onData,
                         std::chrono::milliseconds pollInterval, TFlowWatch* flow)
    : client_(client), dataEvent_(std::move(onData)), pollInterval_(pollInterval), flow_(flow) {}

TReadThread::~TReadThread() {
  WaitFor();
}

void TReadThread::Execute() {
  try {
    for (;;) {
      if (flow_)
        flow_->WaitPassable([this] { return StopFlag || !client_.Open(); });
      if (!client_.Connected() || StopFlag)
        break;
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
          if (flow_) {
            flow_->Deliver([this] { dataEvent_(receivedData_); });
          } else {
            dataEvent_(receivedData_);
          }
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
      client_(std::make_unique<TTCPClient>()),
      gate_(std::make_shared<TFlowGate>(Timings().PauseAbove)) {
  client_->OnConnected = [this] { Connected(); };
  client_->OnDisconnected = [this] { Disconnected(); };
  client_->ConnectTimeout = Timings().ConnectTimeout;
  client_->ReadTimeout = Timings().ReadTimeout;
  client_->WriteTimeout = Timings().WriteTimeout;
  // A host that shuts down (a stop signal during the start) must not wait out a connect.
  client_->Stopped = [kernel = Kernel] { return kernel->GetKernelRunlevel() == KR_SHUTDOWN; };

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

// The text goes on the connection's queue; its writer thread hands it to the peer, so the caller
// never waits for a peer that is slow or stopped reading. A peer that takes nothing for the
// write time-out loses the connection as any other failure does (the reader reports it).
void TKYTClientSocket::SendText(const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  // Also when refused: a source that delivered through a relay then waits for the connection.
  gate_->Touch();
  if (!output_ || !client_->Open())
    throw EKYTClientSocket(Translate("Socket is not connected!"));
  switch (output_->Push(Text)) {
    case TSendQueue::TPush::Queued:
      break;
    case TSendQueue::TPush::OverBound:
      throw ESocketError(net::kNoBufferSpace, net::ErrorText(net::kNoBufferSpace));
    case TSendQueue::TPush::Ended:
      throw EKYTClientSocket(Translate("Socket is not connected!"));
  }
  SendDebug("TRANSMITTED", Text);
}

void TKYTClientSocket::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTClientSocket::ApplyChanges() {
  if (ApplyLaterWhenDelivering())
    return;
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
  TTCPClient* client = client_.get();
  std::shared_ptr<TFlowGate> gate = gate_;
  output_ = std::make_unique<TSendQueue>(
      [client](std::span<const char> bytes) { return client->WriteSome(bytes); },
      [client, gate](std::exception_ptr failure) {
        gate->SetConnected(false);
        try {
          std::rethrow_exception(failure);
        } catch (const ESocketError& e) {
          if (e.Code() == net::kCanceled)
            return;  // the connection is being closed anyway
        } catch (...) {
        }
        client->Abandon();
      },
      gate_, TSendQueueLimits{.Bound = Timings().SendQueueBound},
      [client](std::span<const char> bytes) { return client->WriteNow(bytes); });
  gate_->SetConnected(true);
  reader_ = std::make_unique<TReadThread>(
      *client_, [this](const std::string& data) { Received(data); }, Timings().PollInterval,
      &flow_);
  reader_->OnTerminate = [this] { ReaderEnded(); };
  reader_->Start();
  reconnect_.ResetCounter();
  SetStatus(IS_ACTIVE);
}

void TKYTClientSocket::StopConnection() {
  gate_->SetConnected(false);
  DrainOutput();
  if (reader_) {
    reader_->StopFlag = true;
    // Closing first ends the reader's wait for data at once rather than at its next poll, which
    // a stop of thousands of instances would otherwise wait out one by one.
    client_->Disconnect();
    // On the main thread this keeps serving the reader's pending deliveries.
    reader_->WaitFor();
    reader_.reset();
  }
  client_->Disconnect();
  if (output_) {
    output_->Stop();
    output_.reset();
  }
  SetStatus(IS_INACTIVE);
}

// What was sent before a close still goes out, as far as the peer takes it within the bound.
// On the main thread the wait keeps serving hand-overs.
void TKYTClientSocket::DrainOutput() {
  if (output_)
    output_->DrainServing(Timings().DrainOnClose);
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
  gate_->SetConnected(false);
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
