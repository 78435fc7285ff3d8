#include "network/www_reader.h"

#include <fmt/printf.h>

#include <limits>

#include "framework/translate.h"

namespace kyt {

const TKYTModuleClass TKYTWWWReader::Class = MakeModuleClass<TKYTWWWReader>({
    .ClassName = "TKYTWWWReader",
    .ModuleID = IKYTWWWReader::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "WWW Reader",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TWWWReaderTimings& TKYTWWWReader::Timings() {
  static TWWWReaderTimings timings;
  return timings;
}

TKYTWWWReader::TKYTWWWReader(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  using S = const std::string&;
  RegisterPropertyString(
      "URL", [this] { return GetPage(); }, [this](S v) { SetPage(v); });
  RegisterPropertyBoolean(
      "TimerEnabled", [this] { return GetUseTimer(); }, [this](bool v) { SetUseTimer(v); });
  RegisterPropertyInteger(
      "SecInterval", [this] { return GetInterval(); }, [this](int32_t v) { SetInterval(v); });
  RegisterPropertyBoolean(
      "UseProxy", [this] { return GetUseProxy(); }, [this](bool v) { SetUseProxy(v); });
  RegisterPropertyString(
      "ProxyHost", [this] { return GetProxyHost(); }, [this](S v) { SetProxyHost(v); });
  RegisterPropertyInteger(
      "ProxyPort", [this] { return GetProxyPort(); }, [this](int32_t v) { SetProxyPort(v); });
  RegisterPropertyString(
      "ProxyUser", [this] { return GetProxyUsername(); }, [this](S v) { SetProxyUsername(v); });
  RegisterPropertyString(
      "ProxyPass", [this] { return GetProxyPassword(); }, [this](S v) { SetProxyPassword(v); });
  RegisterPropertyBoolean(
      "UseBasicAuth", [this] { return GetUseBasicAuth(); }, [this](bool v) { SetUseBasicAuth(v); });
  RegisterPropertyString(
      "AuthUser", [this] { return GetAuthUsername(); }, [this](S v) { SetAuthUsername(v); });
  RegisterPropertyString(
      "AuthPass", [this] { return GetAuthPassword(); }, [this](S v) { SetAuthPassword(v); });

  pageTimer_ = Kernel->GetTimerPool()->RegisterTimer(
      "UpdatePage", InstanceID, [this] { UpdatePage(); }, 0);
  LoadAndApplySettings();
  // The timer may already be fetching on its own thread, reading the applied settings.
  const TInstanceLock::THold hold = Changing();
  settings_.Apply();
}

TKYTWWWReader::~TKYTWWWReader() {
  PrepareDelete();
  if (pageTimer_ != 0) {
    try {
      Kernel->GetTimerPool()->UnregisterTimer(pageTimer_);
    } catch (...) {
    }
  }
}

void TKYTWWWReader::SetPage(const std::string& URL) {
  Store(settings_.Pending.URL, URL);
}
void TKYTWWWReader::SetUseTimer(bool Enabled) {
  Store(settings_.Pending.TimerEnabled, Enabled);
}
void TKYTWWWReader::SetInterval(int32_t Seconds) {
  Store(settings_.Pending.SecInterval, Seconds);
}
void TKYTWWWReader::SetUseProxy(bool Enabled) {
  Store(settings_.Pending.UseProxy, Enabled);
}
void TKYTWWWReader::SetProxyHost(const std::string& Host) {
  Store(settings_.Pending.ProxyHost, Host);
}
void TKYTWWWReader::SetProxyPort(int32_t Port) {
  Store(settings_.Pending.ProxyPort, Port);
}
void TKYTWWWReader::SetProxyUsername(const std::string& Username) {
  Store(settings_.Pending.ProxyUser, Username);
}
void TKYTWWWReader::SetProxyPassword(const std::string& Password) {
  Store(settings_.Pending.ProxyPass, Password);
}
void TKYTWWWReader::SetUseBasicAuth(bool Enabled) {
  Store(settings_.Pending.UseBasicAuth, Enabled);
}
void TKYTWWWReader::SetAuthUsername(const std::string& Username) {
  Store(settings_.Pending.AuthUser, Username);
}
void TKYTWWWReader::SetAuthPassword(const std::string& Password) {
  Store(settings_.Pending.AuthPass, Password);
}

TKYTWWWReader::TSettings TKYTWWWReader::AppliedSettings() {
  return Read(settings_.Applied);
}

THTTPFetchParams TKYTWWWReader::FetchParams(const TSettings& applied) const {
  THTTPFetchParams params;
  if (applied.UseProxy) {
    params.ProxyServer = applied.ProxyHost;
    params.ProxyPort = applied.ProxyPort;
    params.ProxyUser = applied.ProxyUser;
    params.ProxyPassword = applied.ProxyPass;
    params.ProxyBasicAuth = !applied.ProxyUser.empty();
  }
  if (applied.UseBasicAuth) {
    params.BasicAuth = true;
    params.User = applied.AuthUser;
    params.Password = applied.AuthPass;
  }
  params.ConnectTimeout = Timings().ConnectTimeout;
  params.ReadTimeout = Timings().ReadTimeout;
  params.Deadline = Timings().Deadline;
  // A fetch must not keep a host that shuts down waiting for a slow server.
  params.Stopped = [kernel = Kernel] { return kernel->GetKernelRunlevel() == KR_SHUTDOWN; };
  return params;
}

std::string TKYTWWWReader::RetrievePage(const std::string& URL) {
  // A fetch started once the host shuts down (a page tick due during the stop) would only have
  // its page dropped: it is refused before it connects.
  if (Kernel->GetKernelRunlevel() == KR_SHUTDOWN)
    throw EKYTWWWReader(Translate("Aborting execution. Shutdown was initialized..."));
  std::string content;
  try {
    content = HTTPGet(URL, FetchParams(AppliedSettings()));
  } catch (const EHTTPStopped&) {
    throw EKYTWWWReader(Translate("Aborting execution. Shutdown was initialized..."));
  }
  SendDebug("Retrieved: " + URL, content);
  if (Kernel->GetKernelRunlevel() == KR_SHUTDOWN) {
    throw EKYTWWWReader(Translate("Aborting execution. Shutdown was initialized..."));
  }
  return content;
}

void TKYTWWWReader::UpdatePage() {
  DeliverToChildren(RetrievePage(AppliedSettings().URL));
}

void TKYTWWWReader::LoadSettings() {
  const TInstanceLock::THold hold = Changing();
  TKYTModuleObject::LoadSettings();
  int32_t minutes = 0;
  const TRef<IKYTSettings> store = Kernel->GetSettings();
  if (store->ReadInteger(InstanceID, {"Settings"}, "Interval", minutes) < 0)
    return;
  // A stored value too large for seconds would wrap around; the longest interval is kept.
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  settings_.Pending.SecInterval = minutes > kMax / 60   ? kMax
                                  : minutes < kMin / 60 ? kMin
                                                        : minutes * 60;
  store->DeleteEntry(InstanceID, {"Settings", "Interval"});
}

void TKYTWWWReader::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTWWWReader::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Apply();
  const TSettings& applied = settings_.Applied;
  // Switching the timer off stops it at this apply rather than leaving the old interval
  // running; an interval below one second stops it too, as the pool knows no negative one.
  const int32_t interval = applied.TimerEnabled ? std::max(applied.SecInterval, 0) : 0;
  Kernel->GetTimerPool()->SetTimerInterval(pageTimer_, interval);
  SetSummary(fmt::sprintf("%ds - %s", applied.SecInterval, applied.URL));
  TKYTModuleObject::ApplyChanges();
}

}  // namespace kyt
