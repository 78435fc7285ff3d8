#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TSettingsService final : public THostObject<IKYTSettings>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void WriteBoolean(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                    bool Value) override {
    Core()->Settings.Write(InstanceID, Path, Name, Value);
  }
  void WriteInteger(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                    int32_t Value) override {
    Core()->Settings.Write(InstanceID, Path, Name, Value);
  }
  void WriteFloat(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                  double Value) override {
    Core()->Settings.Write(InstanceID, Path, Name, Value);
  }
  void WriteString(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                   const std::string& Value) override {
    Core()->Settings.Write(InstanceID, Path, Name, Value);
  }
  int32_t ReadBoolean(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                      bool& Value) override {
    return Core()->Settings.Read(InstanceID, Path, Name, Value);
  }
  int32_t ReadInteger(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                      int32_t& Value) override {
    return Core()->Settings.Read(InstanceID, Path, Name, Value);
  }
  int32_t ReadFloat(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                    double& Value) override {
    return Core()->Settings.Read(InstanceID, Path, Name, Value);
  }
  int32_t ReadString(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                     std::string& Value) override {
    return Core()->Settings.Read(InstanceID, Path, Name, Value);
  }
  void DeleteEntry(TInstanceID InstanceID, const TStringArray& Path) override {
    Core()->Settings.DeleteEntry(InstanceID, Path);
  }
};

}  // namespace

TRef<IKYTSettings> MakeSettingsService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTSettings>(new TSettingsService(std::move(core)));
}

}  // namespace kyt::host
