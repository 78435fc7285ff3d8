#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/interfaces.h"
#include "framework/module_class.h"
#include "framework/records.h"

namespace kyt::host {

// The host's object tree: one 16-bit ID space for categories, instances, variables and the
// rest. Instances also carry their connection (data) parent and children, which is a second
// tree beside the object tree's parent. Every method takes the store's lock for its own
// duration only, and none calls module code.
class TObjectStore {
 public:
  // ---- IDs and the object tree ----
  // id 0 allocates the first free ID from kFirstAllocatedID upward (then from 1); an ID in
  // use raises.
  TKYTID Add(TKYTObjectType type, TKYTID id, bool persistent);
  // Tree children of a removed object move to the root. Raises for an unknown ID.
  void Remove(TKYTID id);
  bool Exists(TKYTID id) const;
  bool Exists(TKYTID id, TKYTObjectType type) const;
  // Raises Exception("Object #N does not exist") (or that it is not of `type`).
  void Check(TKYTID id) const;
  void Check(TKYTID id, TKYTObjectType type) const;
  TKYTObjectType TypeOf(TKYTID id) const;
  // Ascending IDs; all types when none is given.
  TKYTIDs List(std::optional<TKYTObjectType> type = std::nullopt) const;

  void SetParent(TKYTID id, TKYTID parent);  // refuses to make an object its own ancestor
  void SetName(TKYTID id, const std::string& name);
  void SetInfo(TKYTID id, const std::string& info);
  void SetSummary(TKYTID id, const std::string& summary);
  void SetPosition(TKYTID id, uint16_t position);
  // Flags are bit masks: HasFlag is true when any bit of `flag` is set.
  bool HasFlag(TKYTID id, uint8_t flag) const;
  void SetFlag(TKYTID id, uint8_t flag, bool value);

  TKYTObject Object(TKYTID id) const;
  // Raises when no object of that name (and type) sits below `parent`.
  TKYTID FindByName(const std::string& name, TKYTID parent,
                    std::optional<TKYTObjectType> type = std::nullopt) const;
  // Any parent; raises when no object of that name and type exists.
  TKYTID FindByNameAnywhere(const std::string& name, TKYTObjectType type) const;
  TKYTIDs TreeChildren(TKYTID id) const;
  bool IsTreeChild(TKYTID id, TKYTID parent, bool recursive) const;
  bool IsPersistent(TKYTID id) const;
  std::string Name(TKYTID id) const;
  std::string Summary(TKYTID id) const;  // "" for an unknown ID
  // Names from the root down, separated by '\'.
  std::string Location(TKYTID id) const;

  // ---- Instances ----
  TInstanceID AddInstance(TInstanceID id, const TKYTModuleClass* cls, const std::string& name);
  void SetLiveObject(TInstanceID id, TRef<IKYTModule> object);
  // Detaches the live object, so nobody reaches it while it is being destroyed.
  TRef<IKYTModule> TakeLiveObject(TInstanceID id);
  TRef<IKYTModule> LiveObject(TInstanceID id) const;  // none when absent or dead
  std::vector<std::pair<TInstanceID, TRef<IKYTModule>>> LiveObjects() const;
  // Removes the entry and its connections. Unknown IDs are ignored.
  void EraseInstance(TInstanceID id);
  TKYTInstance Instance(TInstanceID id) const;
  const TKYTModuleClass* ClassOf(TInstanceID id) const;  // nullptr for a dead entry
  TInstanceIDs Instances() const;

  void Connect(TInstanceID child, TInstanceID parent);  // parent 0 disconnects
  void Disconnect(TInstanceID child);
  TInstanceID ConnectedParent(TInstanceID id) const;
  TInstanceIDs ConnectedChildren(TInstanceID id) const;  // connection order
  // Status changes of unknown instances are dropped: a module's destructor may still report.
  void SetStatus(TInstanceID id, int32_t status);
  int32_t Status(TInstanceID id) const;
  // `ids` ordered so that every instance comes after its connected children.
  TInstanceIDs ChildrenFirst(TInstanceIDs ids) const;

  // ---- Variables ----
  TVariableID AddVariable(TKYTVarType type, TVariableID id);
  // Gives an existing variable a new type and a fresh value (tests recreate IDs this way).
  void RetypeVariable(TVariableID id, TKYTVarType type);
  TKYTVariable Variable(TVariableID id) const;
  // Runs `change` on the variable under the lock; raises for an unknown variable.
  template <class F>
  auto ChangeVariable(TVariableID id, F&& change) {
    std::lock_guard lock(mutex_);
    return change(VariableLocked(id));
  }

  static constexpr TKYTID kFirstAllocatedID = 10000;

 private:
  struct TInstanceData {
    const TKYTModuleClass* Class = nullptr;
    TRef<IKYTModule> Object;
    TInstanceID ConnectedTo = 0;
    TInstanceIDs Children;
    int32_t Status = 0;
    TDateTime LastChange = 0;
  };
  struct TEntry {
    TKYTObjectType Type = TKYTObjectType::otCategory;
    TKYTID Parent = 0;
    std::string Name;
    std::string Info;
    std::string Summary;
    uint16_t Position = 0;
    uint32_t Flags = 0;
    bool Persistent = false;
    std::optional<TInstanceData> Instance;
    std::optional<TKYTVariable> Variable;
  };

  TKYTID AddLocked(TKYTObjectType type, TKYTID id, bool persistent);
  TKYTID AllocateLocked() const;
  TEntry& EntryLocked(TKYTID id);
  const TEntry& EntryLocked(TKYTID id) const;
  TInstanceData& InstanceLocked(TInstanceID id);
  const TInstanceData& InstanceLocked(TInstanceID id) const;
  TKYTVariable& VariableLocked(TVariableID id);
  const TKYTVariable& VariableLocked(TVariableID id) const;
  void DisconnectLocked(TInstanceID child);
  bool IsTreeAncestorLocked(TKYTID ancestor, TKYTID id) const;

  mutable std::mutex mutex_;
  std::map<TKYTID, TEntry> objects_;
};

// The current time as days since 30 December 1899.
TDateTime NowAsDateTime();

}  // namespace kyt::host
