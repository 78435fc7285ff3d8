#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TConnectionService final : public THostObject<IKYTConnectionService>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void ConnectInstance(TInstanceID InstanceID, TInstanceID ParentID) override {
    Core()->Objects.Connect(InstanceID, ParentID);
  }
  void DisconnectInstance(TInstanceID InstanceID) override {
    Core()->Objects.Disconnect(InstanceID);
  }
  bool HasParent(TInstanceID InstanceID) override {
    return Core()->Objects.ConnectedParent(InstanceID) != 0;
  }
  TInstanceID GetParent(TInstanceID InstanceID) override {
    return Core()->Objects.ConnectedParent(InstanceID);
  }
  bool HasChildren(TInstanceID InstanceID) override {
    return !Core()->Objects.ConnectedChildren(InstanceID).empty();
  }
  bool IsChild(TInstanceID InstanceID, TInstanceID ParentID) override {
    return Core()->Objects.ConnectedParent(InstanceID) == ParentID;
  }
  TInstanceIDs GetChildren(TInstanceID InstanceID) override {
    return Core()->Objects.ConnectedChildren(InstanceID);
  }
};

}  // namespace

TRef<IKYTConnectionService> MakeConnectionService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTConnectionService>(new TConnectionService(std::move(core)));
}

}  // namespace kyt::host
