// The status, profile and debug services: what a module reports about itself.

#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TStatusService final : public THostObject<IKYTStatusService>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void SetInstanceStatus(TInstanceID InstanceID, int32_t Status) override {
    auto core = Core();
    core->Objects.SetStatus(InstanceID, Status);
    core->Events.Record({THostEvent::Kind::Status, InstanceID, Status, "", "", {}, false});
  }
};

class TProfileService final : public THostObject<IKYTProfileService>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void SetVariableProfile(TVariableID VariableID, const TKYTVarProfile& Profile) override {
    Core()->Objects.ChangeVariable(
        VariableID, [&](TKYTVariable& variable) { variable.SetVariableProfile(Profile); });
  }
};

class TDebugService final : public THostObject<IKYTDebugService>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void SendDebug(TKYTID SenderID, const std::string& Title, const std::string& Data) override {
    auto core = Core();
    if (core->Events.WantsDebug())
      core->Events.Record({THostEvent::Kind::Debug, SenderID, 0, Title, Data, {}, false});
  }
};

}  // namespace

TRef<IKYTStatusService> MakeStatusService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTStatusService>(new TStatusService(std::move(core)));
}

TRef<IKYTProfileService> MakeProfileService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTProfileService>(new TProfileService(std::move(core)));
}

TRef<IKYTDebugService> MakeDebugService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTDebugService>(new TDebugService(std::move(core)));
}

}  // namespace kyt::host
