#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TObjectManagerService final : public THostObject<IKYTObjectManager>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  TKYTID RegisterNewObject(TKYTObjectType ObjectType, bool Persistent) override {
    return Add(ObjectType, 0, Persistent);
  }
  void RegisterObject(TKYTObjectType ObjectType) override { Add(ObjectType, 0, true); }
  void RegisterObjectEx(TKYTObjectType ObjectType, TKYTID ID) override {
    Add(ObjectType, ID, true);
  }
  void UnregisterObject(TKYTID ID) override {
    auto core = Core();
    // An instance's object must be destroyed the instance's way: outside the store's lock.
    if (core->Objects.TypeOf(ID) == TKYTObjectType::otInstance) {
      core->DeleteInstance(ID);
    } else {
      core->Objects.Remove(ID);
    }
  }
  TKYTID CreateCategory() override { return Add(TKYTObjectType::otCategory, 0, true); }
  TKYTID CreateCategoryEx(TKYTID ID) override { return Add(TKYTObjectType::otCategory, ID, true); }
  void DeleteCategory(TKYTID ID) override {
    auto core = Core();
    core->Objects.Check(ID, TKYTObjectType::otCategory);
    core->Objects.Remove(ID);
  }
  bool CategoryExists(TKYTID ID) override {
    return Core()->Objects.Exists(ID, TKYTObjectType::otCategory);
  }
  void CheckCategory(TKYTID ID) override { Core()->Objects.Check(ID, TKYTObjectType::otCategory); }
  TKYTIDs GetCategoryList() override { return Core()->Objects.List(TKYTObjectType::otCategory); }
  TKYTID GetCategoryIDByName(const std::string& Name, TKYTID ParentID) override {
    return Core()->Objects.FindByName(Name, ParentID, TKYTObjectType::otCategory);
  }
  void SetParent(TKYTID ID, TKYTID ParentID) override { Core()->Objects.SetParent(ID, ParentID); }
  void SetName(TKYTID ID, const std::string& Name) override { Core()->Objects.SetName(ID, Name); }
  void SetInfo(TKYTID ID, const std::string& Info) override { Core()->Objects.SetInfo(ID, Info); }
  void SetSummary(TKYTID ID, const std::string& Summary) override {
    auto core = Core();
    core->Objects.SetSummary(ID, Summary);
    core->Events.Record({THostEvent::Kind::Summary, ID, 0, "", Summary, {}, false});
  }
  void SetPosition(TKYTID ID, uint16_t Position) override {
    Core()->Objects.SetPosition(ID, Position);
  }
  bool HasFlag(TKYTID ID, uint8_t Flag) override { return Core()->Objects.HasFlag(ID, Flag); }
  void SetFlag(TKYTID ID, uint8_t Flag, bool Value) override {
    Core()->Objects.SetFlag(ID, Flag, Value);
  }
  bool ObjectExists(TKYTID ID) override { return Core()->Objects.Exists(ID); }
  void CheckObject(TKYTID ID) override { Core()->Objects.Check(ID); }
  TKYTObject GetObject(TKYTID ID) override { return Core()->Objects.Object(ID); }
  TKYTObjects GetObjects(const TKYTIDs& IDs) override {
    auto core = Core();
    TKYTObjects objects;
    for (TKYTID id : IDs) objects.push_back(core->Objects.Object(id));
    return objects;
  }
  TKYTIDs GetObjectList() override { return Core()->Objects.List(); }
  TKYTID GetObjectIDByName(const std::string& Name, TKYTID ParentID) override {
    return Core()->Objects.FindByName(Name, ParentID);
  }
  TKYTID GetObjectIDByNameEx(const std::string& Name, TKYTID ParentID,
                             TKYTObjectType ObjectType) override {
    return Core()->Objects.FindByName(Name, ParentID, ObjectType);
  }
  bool HasChildren(TKYTID ID) override { return !Core()->Objects.TreeChildren(ID).empty(); }
  bool IsChild(TKYTID ID, TKYTID Parent, bool Recursive) override {
    return Core()->Objects.IsTreeChild(ID, Parent, Recursive);
  }
  TKYTIDs GetChildrenIDs(TKYTID ID) override { return Core()->Objects.TreeChildren(ID); }
  bool IsPersistent(TKYTID ID) override { return Core()->Objects.IsPersistent(ID); }
  std::string GetName(TKYTID ID) override { return Core()->Objects.Name(ID); }
  std::string GetLocation(TKYTID ID) override { return Core()->Objects.Location(ID); }
  TStringArray GetLocations(const TKYTIDs& IDs) override {
    auto core = Core();
    TStringArray locations;
    for (TKYTID id : IDs) locations.push_back(core->Objects.Location(id));
    return locations;
  }

 private:
  // Instances and variables carry data of their own, so they are made the same way as through
  // the instance and variable managers.
  TKYTID Add(TKYTObjectType type, TKYTID id, bool persistent) {
    auto core = Core();
    switch (type) {
      case TKYTObjectType::otInstance:
        return core->Objects.AddInstance(id, nullptr, "");
      case TKYTObjectType::otVariable:
        return core->Objects.AddVariable(TKYTVarType::vtVariant, id);
      default:
        return core->Objects.Add(type, id, persistent);
    }
  }
};

}  // namespace

TRef<IKYTObjectManager> MakeObjectManagerService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTObjectManager>(new TObjectManagerService(std::move(core)));
}

}  // namespace kyt::host
