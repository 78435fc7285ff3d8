#include <algorithm>

#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

bool Declares(const TKYTModuleClass& cls, const std::string& requirement) {
  TGUID required;
  if (!TGUID::TryParse(requirement, required))
    return false;
  return std::find(cls.Interfaces.begin(), cls.Interfaces.end(), required) != cls.Interfaces.end();
}

// A parent takes a child when the child declares every interface the parent requires of its
// children. Modules that cannot have children (their class raises) take none.
bool Compatible(const TKYTModuleClass* child, const TKYTModuleClass* parent) {
  if (child == nullptr || parent == nullptr)
    return false;
  try {
    TStringArray required = parent->GetChildRequirements();
    return std::all_of(required.begin(), required.end(),
                       [&](const std::string& guid) { return Declares(*child, guid); });
  } catch (const std::exception&) {
    return false;
  }
}

class TInstanceManagerService final : public THostObject<IKYTInstanceManager>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  TInstanceID CreateInstance(const std::string& ModuleID) override {
    return Core()->CreateInstance(ModuleID, 0, 0, "");
  }
  TInstanceID CreateInstanceEx(const std::string& ModuleID, TInstanceID InstanceID) override {
    return Core()->CreateInstance(ModuleID, InstanceID, 0, "");
  }
  void DeleteInstance(TInstanceID InstanceID) override { Core()->DeleteInstance(InstanceID); }
  void ConnectModuleInstances(const std::string& ModuleID) override {
    auto core = Core();
    for (TInstanceID id : GetInstancesByModuleID(ModuleID)) {
      if (core->Objects.ConnectedParent(id) != 0)
        continue;
      TInstanceIDs parents = GetCompatibleInstances(id);
      if (!parents.empty())
        core->Objects.Connect(id, parents.front());
    }
  }
  void DisconnectModuleInstances(const std::string& ModuleID) override {
    auto core = Core();
    for (TInstanceID id : GetInstancesByModuleID(ModuleID)) core->Objects.Disconnect(id);
  }
  bool InstanceExists(TInstanceID InstanceID) override {
    return Core()->Objects.Exists(InstanceID, TKYTObjectType::otInstance);
  }
  void CheckInstance(TInstanceID InstanceID) override {
    Core()->Objects.Check(InstanceID, TKYTObjectType::otInstance);
  }
  TKYTInstance GetInstance(TInstanceID InstanceID) override {
    return Core()->Objects.Instance(InstanceID);
  }
  TKYTInstances GetInstances(const TInstanceIDs& InstanceIDs) override {
    auto core = Core();
    TKYTInstances instances;
    for (TInstanceID id : InstanceIDs) instances.push_back(core->Objects.Instance(id));
    return instances;
  }
  TInstanceIDs GetInstanceList() override { return Core()->Objects.Instances(); }
  TInstanceID GetInstanceIDByName(const std::string& Name, TKYTID ParentID) override {
    return Core()->Objects.FindByName(Name, ParentID, TKYTObjectType::otInstance);
  }
  TInstanceIDs GetInstancesByModuleID(const std::string& ModuleID) override {
    auto core = Core();
    TInstanceIDs ids;
    for (TInstanceID id : core->Objects.Instances()) {
      const TKYTModuleClass* cls = ClassOf(*core, id);
      if (cls != nullptr && SameModuleID(cls->ModuleID, ModuleID))
        ids.push_back(id);
    }
    return ids;
  }
  bool IsInstanceCompatible(TInstanceID InstanceID, TInstanceID ParentInstanceID) override {
    auto core = Core();
    return InstanceID != ParentInstanceID &&
           Compatible(core->Objects.ClassOf(InstanceID), core->Objects.ClassOf(ParentInstanceID));
  }
  TInstanceIDs GetCompatibleInstances(TInstanceID InstanceID) override {
    auto core = Core();
    const TKYTModuleClass* child = core->Objects.ClassOf(InstanceID);
    TInstanceIDs ids;
    for (TInstanceID id : core->Objects.Instances()) {
      if (id != InstanceID && Compatible(child, ClassOf(*core, id)))
        ids.push_back(id);
    }
    return ids;
  }

 private:
  // nullptr for an instance deleted since the list was taken.
  static const TKYTModuleClass* ClassOf(THostCore& core, TInstanceID id) {
    try {
      return core.Objects.ClassOf(id);
    } catch (const Exception&) {
      return nullptr;
    }
  }
};

}  // namespace

TRef<IKYTInstanceManager> MakeInstanceManagerService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTInstanceManager>(new TInstanceManagerService(std::move(core)));
}

}  // namespace kyt::host
