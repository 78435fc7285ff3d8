#include "gateway/mqtt_module.h"

#include <fmt/format.h>
#include <unistd.h>

#include "framework/codes.h"

namespace kyt::gateway {

namespace {

std::mutex timingsMutex;
TMQTTTimings timingsForNew;

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
    return "localhost";
  return name;
}

}  // namespace

const TKYTModuleClass TKYTMQTT::Class = MakeModuleClass<TKYTMQTT>({
    .ClassName = "TKYTMQTT",
    .ModuleID = "{5B7E7E34-2C1D-4F0A-9E47-6A0C3D58B1F2}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "MQTT",
    .Implemented = {IKYTReceiveData::IID.ToString()},
});

void TKYTMQTT::SetTimings(const TMQTTTimings& timings) {
  std::lock_guard lock(timingsMutex);
  timingsForNew = timings;
}

TKYTMQTT::TKYTMQTT(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  auto boolean = [this](const char* name, bool TMQTTSettings::*field) {
    RegisterPropertyBoolean(
        name, [this, field] { return Read(settings_.Pending.*field); },
        [this, field](bool v) { ChangeSetting(settings_.Pending.*field, v); });
  };
  auto integer = [this](const char* name, int32_t TMQTTSettings::*field) {
    RegisterPropertyInteger(
        name, [this, field] { return Read(settings_.Pending.*field); },
        [this, field](int32_t v) { ChangeSetting(settings_.Pending.*field, v); });
  };
  auto text = [this](const char* name, std::string TMQTTSettings::*field) {
    RegisterPropertyString(
        name, [this, field] { return Read(settings_.Pending.*field); },
        [this, field](const std::string& v) { ChangeSetting(settings_.Pending.*field, v); });
  };
  boolean("Open", &TMQTTSettings::Open);
  text("Host", &TMQTTSettings::Host);
  integer("Port", &TMQTTSettings::Port);
  text("ClientID", &TMQTTSettings::ClientID);
  text("Username", &TMQTTSettings::Username);
  text("Password", &TMQTTSettings::Password);
  boolean("UseTLS", &TMQTTSettings::UseTLS);
  text("CAFile", &TMQTTSettings::CAFile);
  text("CertFile", &TMQTTSettings::CertFile);
  text("KeyFile", &TMQTTSettings::KeyFile);
  integer("QoS", &TMQTTSettings::QoS);
  text("Prefix", &TMQTTSettings::Prefix);
  text("TxTopic", &TMQTTSettings::TxTopic);
  integer("KeepAlive", &TMQTTSettings::KeepAlive);
  integer("MaxPayload", &TMQTTSettings::MaxPayload);
  LoadAndApplySettings();
}

TKYTMQTT::~TKYTMQTT() {
  PrepareDelete();
  StopLink();
}

void TKYTMQTT::ReceiveData(const std::string& Data) {
  std::shared_ptr<TMQTTLink> link;
  {
    std::lock_guard lock(linkMutex_);
    link = link_;
  }
  if (!link)
    throw EKYTModuleObject(fmt::format("MQTT #{}: not open", InstanceID));
  link->Offer(Data);
}

void TKYTMQTT::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  StopLink();
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  if (!settings_.Applied.Open) {
    SetStatus(IS_INACTIVE);
    SetSummary("");
    return;
  }
  std::shared_ptr<TMQTTLink> link;
  try {
    TMQTTTimings timings;
    {
      std::lock_guard lock(timingsMutex);
      timings = timingsForNew;
    }
    link = std::make_shared<TMQTTLink>(Options(), static_cast<IMQTTGateway&>(*this), timings);
  } catch (const std::exception& e) {
    SetStatus(IS_ERROR);
    SetSummary(e.what());
    throw EKYTModuleObject(e.what());
  }
  link->Start();
  std::lock_guard lock(linkMutex_);
  link_ = std::move(link);
}

void TKYTMQTT::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTMQTT::StopLink() {
  std::shared_ptr<TMQTTLink> link;
  {
    std::lock_guard lock(linkMutex_);
    link.swap(link_);
  }
  if (link)
    link->Stop();
}

TMQTTOptions TKYTMQTT::Options() const {
  const TMQTTSettings& s = settings_.Applied;
  if (s.Port < 1 || s.Port > 65535)
    throw EMQTTSettings(fmt::format("MQTT: port {} is out of range: 1 to 65535", s.Port));
  if (s.MaxPayload < 0)
    throw EMQTTSettings(fmt::format("MQTT: MaxPayload {} is negative", s.MaxPayload));
  TMQTTOptions o;
  o.Host = s.Host;
  o.Port = static_cast<uint16_t>(s.Port);
  o.ClientID = !s.ClientID.empty() ? s.ClientID
                                   : fmt::format("kyt-{}-{}-{}", HostName(),
                                                 static_cast<long>(getpid()), InstanceID);
  o.Username = s.Username;
  o.Password = s.Password;
  o.UseTLS = s.UseTLS;
  o.CAFile = s.CAFile;
  o.CertFile = s.CertFile;
  o.KeyFile = s.KeyFile;
  o.QoS = s.QoS;
  o.Prefix = s.Prefix;
  o.TxTopic = s.TxTopic;
  o.KeepAlive = s.KeepAlive;
  o.MaxPayload = static_cast<std::size_t>(s.MaxPayload);
  return o;
}

std::optional<TParentView> TKYTMQTT::Parent() {
  auto instances = Kernel->GetInstanceManager();
  if (!instances->InstanceExists(InstanceID))
    return std::nullopt;
  TInstanceID parent = instances->GetInstance(InstanceID).ParentID;
  if (parent == 0 || !instances->InstanceExists(parent))
    return std::nullopt;
  TKYTObject object = Kernel->GetObjectManager()->GetObject(parent);
  TParentView view;
  view.ID = parent;
  view.Name = object.ObjectName;
  view.Summary = object.ObjectSummary;
  view.Status = instances->GetInstance(parent).InstanceStatus;
  return view;
}

void TKYTMQTT::SendToParent(const std::string& block) {
  std::optional<TParentView> parent = Parent();
  if (!parent)
    throw EKYTModuleObject(fmt::format("MQTT #{}: no parent instance", InstanceID));
  TKYTInstance record = Kernel->GetInstanceManager()->GetInstance(parent->ID);
  TRef<IKYTSendData> send = Supports<IKYTSendData>(record.InstanceInterface);
  if (!send) {
    throw EKYTModuleObject(
        fmt::format("MQTT #{}: parent #{} does not take data", InstanceID, parent->ID));
  }
  send->SendData(block);
}

void TKYTMQTT::Report(int32_t status, const std::string& summary) {
  SetStatus(status);
  SetSummary(summary);
}

void TKYTMQTT::Log(int32_t code, const std::string& text) {
  LogMessage(code, text);
}

}  // namespace kyt::gateway
