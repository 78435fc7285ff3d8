// TObjectStore: instance entries and their connections.

#include <fmt/format.h>

#include <algorithm>

#include "host/object_store.h"
#include "runtime/exception.h"

namespace kyt::host {

TInstanceID TObjectStore::AddInstance(TInstanceID id, const TKYTModuleClass* cls,
                                      const std::string& name) {
  std::lock_guard lock(mutex_);
  id = AddLocked(TKYTObjectType::otInstance, id, true);
  TEntry& entry = objects_[id];
  entry.Name = name;
  entry.Instance = TInstanceData{};
  entry.Instance->Class = cls;
  entry.Instance->LastChange = NowAsDateTime();
  return id;
}

void TObjectStore::SetLiveObject(TInstanceID id, TRef<IKYTModule> object) {
  std::lock_guard lock(mutex_);
  InstanceLocked(id).Object = std::move(object);
}

TRef<IKYTModule> TObjectStore::TakeLiveObject(TInstanceID id) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end() || !it->second.Instance)
    return {};
  return std::exchange(it->second.Instance->Object, nullptr);
}

TRef<IKYTModule> TObjectStore::LiveObject(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end() || !it->second.Instance)
    return {};
  return it->second.Instance->Object;
}

std::vector<std::pair<TInstanceID, TRef<IKYTModule>>> TObjectStore::LiveObjects() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<TInstanceID, TRef<IKYTModule>>> out;
  for (const auto& [id, entry] : objects_) {
    if (entry.Instance && entry.Instance->Object)
      out.emplace_back(id, entry.Instance->Object);
  }
  return out;
}

void TObjectStore::EraseInstance(TInstanceID id) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end() || !it->second.Instance)
    return;
  DisconnectLocked(id);
  for (TInstanceID child : it->second.Instance->Children) {
    auto found = objects_.find(child);
    if (found != objects_.end() && found->second.Instance)
      found->second.Instance->ConnectedTo = 0;
  }
  objects_.erase(it);
  for (auto& [other, entry] : objects_) {
    if (entry.Parent == id)
      entry.Parent = 0;
  }
}

TKYTInstance TObjectStore::Instance(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  const TInstanceData& data = InstanceLocked(id);
  TKYTInstance record;
  record.InstanceID = id;
  record.ParentID = data.ConnectedTo;
  record.ChildrenIDs = data.Children;
  record.InstanceStatus = data.Status;
  record.LastChange = data.LastChange;
  if (data.Class != nullptr) {
    record.ModuleInfo.ModuleID = data.Class->ModuleID;
    record.ModuleInfo.ModuleName = data.Class->ModuleName;
    record.ModuleInfo.ModuleType = data.Class->ModuleType;
  }
  record.InstanceInterface = data.Object;
  return record;
}

const TKYTModuleClass* TObjectStore::ClassOf(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  return InstanceLocked(id).Class;
}

TInstanceIDs TObjectStore::Instances() const {
  return List(TKYTObjectType::otInstance);
}

void TObjectStore::Connect(TInstanceID child, TInstanceID parent) {
  std::lock_guard lock(mutex_);
  InstanceLocked(child);
  if (parent == 0) {
    DisconnectLocked(child);
    return;
  }
  InstanceLocked(parent);
  // Data would run in circles through a connection loop.
  for (TInstanceID up = parent; up != 0; up = InstanceLocked(up).ConnectedTo) {
    if (up == child) {
      throw Exception(fmt::format("Instance #{} cannot be connected below #{}", child, parent));
    }
  }
  DisconnectLocked(child);
  InstanceLocked(child).ConnectedTo = parent;
  InstanceLocked(parent).Children.push_back(child);
}

void TObjectStore::Disconnect(TInstanceID child) {
  std::lock_guard lock(mutex_);
  InstanceLocked(child);
  DisconnectLocked(child);
}

void TObjectStore::DisconnectLocked(TInstanceID child) {
  TInstanceData& data = InstanceLocked(child);
  TInstanceID parent = std::exchange(data.ConnectedTo, 0);
  if (parent == 0)
    return;
  auto it = objects_.find(parent);
  if (it != objects_.end() && it->second.Instance)
    std::erase(it->second.Instance->Children, child);
}

TInstanceID TObjectStore::ConnectedParent(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  return InstanceLocked(id).ConnectedTo;
}

TInstanceIDs TObjectStore::ConnectedChildren(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  return InstanceLocked(id).Children;
}

void TObjectStore::SetStatus(TInstanceID id, int32_t status) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  if (it == objects_.end() || !it->second.Instance)
    return;
  it->second.Instance->Status = status;
  it->second.Instance->LastChange = NowAsDateTime();
}

int32_t TObjectStore::Status(TInstanceID id) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  return it == objects_.end() || !it->second.Instance ? 0 : it->second.Instance->Status;
}

TInstanceIDs TObjectStore::ChildrenFirst(TInstanceIDs ids) const {
  std::lock_guard lock(mutex_);
  TInstanceIDs ordered;
  auto pending = [&](TInstanceID id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
  // Leaves first, repeatedly; the newest instance first among equals, like a stack unwinding.
  while (!ids.empty()) {
    size_t before = ids.size();
    for (auto it = ids.rbegin(); it != ids.rend();) {
      auto found = objects_.find(*it);
      bool leaf = found == objects_.end() || !found->second.Instance ||
                  std::none_of(found->second.Instance->Children.begin(),
                               found->second.Instance->Children.end(), pending);
      if (leaf) {
        ordered.push_back(*it);
        it = std::make_reverse_iterator(ids.erase(std::next(it).base()));
      } else {
        ++it;
      }
    }
    if (ids.size() == before) {  // a loop Connect would have refused; take the rest as they are
      ordered.insert(ordered.end(), ids.rbegin(), ids.rend());
      break;
    }
  }
  return ordered;
}

TObjectStore::TInstanceData& TObjectStore::InstanceLocked(TInstanceID id) {
  TEntry& entry = EntryLocked(id);
  if (!entry.Instance)
    throw Exception(fmt::format("Object #{} is no instance", id));
  return *entry.Instance;
}

const TObjectStore::TInstanceData& TObjectStore::InstanceLocked(TInstanceID id) const {
  const TEntry& entry = EntryLocked(id);
  if (!entry.Instance)
    throw Exception(fmt::format("Object #{} is no instance", id));
  return *entry.Instance;
}

}  // namespace kyt::host
