#pragma once

// The WWW Reader module ("WWWReader"): fetches one web page on the "UpdatePage" timer or on
// request and hands it whole to every child; RetrievePage fetches any page for a script.

#include <mutex>
#include <string>

#include "framework/module_object.h"
#include "network/http_fetch.h"

namespace kyt {

class EKYTWWWReader : public Exception {
 public:
  using Exception::Exception;
};

// Time constants; process-wide so tests can shorten them before creating instances.
struct TWWWReaderTimings {
  std::chrono::milliseconds ConnectTimeout{10000};
  std::chrono::milliseconds ReadTimeout{10000};
  // The base of a fetch's overall deadline (THTTPFetchParams::Deadline).
  std::chrono::milliseconds Deadline{120000};
};

class TKYTWWWReader final : public TKYTModuleObject, public virtual IKYTWWWReader {
 public:
  using Interfaces = TInterfaceList<IKYTWWWReader>;
  static const TKYTModuleClass Class;
  static TWWWReaderTimings& Timings();
  static constexpr const char* kDefaultURL = "http://www.example.com/";

  TKYTWWWReader(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTWWWReader() override;

  // IKYTWWWReader: setters store into the pending settings and always notify.
  void SetPage(const std::string& URL) override;
  void SetUseTimer(bool Enabled) override;
  void SetInterval(int32_t Seconds) override;
  void SetUseProxy(bool Enabled) override;
  void SetProxyHost(const std::string& Host) override;
  void SetProxyPort(int32_t Port) override;
  void SetProxyUsername(const std::string& Username) override;
  void SetProxyPassword(const std::string& Password) override;
  void SetUseBasicAuth(bool Enabled) override;
  void SetAuthUsername(const std::string& Username) override;
  void SetAuthPassword(const std::string& Password) override;
  std::string GetPage() override { return Read(settings_.Pending.URL); }
  bool GetUseTimer() override { return Read(settings_.Pending.TimerEnabled); }
  int32_t GetInterval() override { return Read(settings_.Pending.SecInterval); }
  bool GetUseProxy() override { return Read(settings_.Pending.UseProxy); }
  std::string GetProxyHost() override { return Read(settings_.Pending.ProxyHost); }
  int32_t GetProxyPort() override { return Read(settings_.Pending.ProxyPort); }
  std::string GetProxyUsername() override { return Read(settings_.Pending.ProxyUser); }
  std::string GetProxyPassword() override { return Read(settings_.Pending.ProxyPass); }
  bool GetUseBasicAuth() override { return Read(settings_.Pending.UseBasicAuth); }
  std::string GetAuthUsername() override { return Read(settings_.Pending.AuthUser); }
  std::string GetAuthPassword() override { return Read(settings_.Pending.AuthPass); }
  void UpdatePage() override;
  std::string RetrievePage(const std::string& URL) override;

  void LoadSettings() override;
  void ResetChanges() override;
  void ApplyChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  struct TSettings {
    std::string URL = kDefaultURL;
    bool TimerEnabled = false;
    int32_t SecInterval = 300;
    bool UseProxy = false;
    std::string ProxyHost;
    int32_t ProxyPort = 0;
    std::string ProxyUser;
    std::string ProxyPass;
    bool UseBasicAuth = false;
    std::string AuthUser;
    std::string AuthPass;
  };

  template <class T, class U>
  void Store(T& field, U&& value) {
    const TInstanceLock::THold hold = Using();
    field = std::forward<U>(value);
    NotifyChange();
  }
  TSettings AppliedSettings();
  THTTPFetchParams FetchParams(const TSettings& applied) const;

  // Fetches run on timer and script threads outside the instance lock: they take a copy of
  // the applied settings and share nothing else, so a slow page holds up no other call.
  TSettingsPair<TSettings> settings_;
  TTimerID pageTimer_ = 0;
};

}  // namespace kyt
