#include "host/object_store.h"

#include <fmt/format.h>

#include <chrono>

#include "runtime/exception.h"

namespace kyt::host {

namespace {

constexpr const char* Noun(TKYTObjectType type) {
  switch (type) {
    case TKYTObjectType::otCategory:
      return "category";
    case TKYTObjectType::otInstance:
      return "instance";
    case TKYTObjectType::otVariable:
      return "variable";
    case TKYTObjectType::otScript:
      return "script";
    case TKYTObjectType::otEvent:
      return "event";
    case TKYTObjectType::otMedia:
      return "media object";
  }
  return "object";
}

[[noreturn]] void NoSuchObject(TKYTID id) {
  throw Exception(fmt::format("Object #{} does not exist", id));
}

}  // namespace

TDateTime NowAsDateTime() {
  constexpr double kUnixEpochAsDateTime = 25569.0;
  constexpr double kSecondsPerDay = 86400.0;
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsDateTime + std::chrono::duration<double>(since).count() / kSecondsPerDay;
}

TKYTID TObjectStore::Add(TKYTObjectType type, TKYTID id, bool persistent) {
  std::lock_guard lock(mutex_);
  return AddLocked(type, id, persistent);
}

TKYTID TObjectStore::AddLocked(TKYTObjectType type, TKYTID id, bool persistent) {
  if (id == 0) {
    id = AllocateLocked();
  } else if (objects_.contains(id)) {
    throw Exception(fmt::format("Object #{} exists already", id));
  }
  TEntry& entry = objects_[id];
  entry.Type = type;
  entry.Persistent = persistent;
  return id;
}

TKYTID TObjectStore::AllocateLocked() const {
  for (uint32_t id = kFirstAllocatedID; id <= 0xFFFF; ++id) {
    if (!objects_.contains(static_cast<TKYTID>(id)))
      return static_cast<TKYTID>(id);
  }
  for (uint32_t id = 1; id < kFirstAllocatedID; ++id) {
    if (!objects_.contains(static_cast<TKYTID>(id)))
      return static_cast<TKYTID>(id);
  }
  throw Exception("No free object ID");
}

void TObjectStore::Remove(TKYTID id) {
  std::lock_guard lock(mutex_);
  EntryLocked(id);
  if (objects_[id].Instance)
    DisconnectLocked(id);
  objects_.erase(id);
  for (auto& [other, entry] : objects_) {
    if (entry.Parent == id)
      entry.Parent = 0;
    if (entry.Instance && entry.Instance->ConnectedTo == id)
      entry.Instance->ConnectedTo = 0;
  }
}

bool TObjectStore::Exists(TKYTID id) const {
  std::lock_guard lock(mutex_);
  return objects_.contains(id);
}

bool TObjectStore::Exists(TKYTID id, TKYTObjectType type) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  return it != objects_.end() && it->second.Type == type;
}

void TObjectStore::Check(TKYTID id) const {
  std::lock_guard lock(mutex_);
  EntryLocked(id);
}

void TObjectStore::Check(TKYTID id, TKYTObjectType type) const {
  std::lock_guard lock(mutex_);
  if (EntryLocked(id).Type != type) {
    throw Exception(fmt::format("Object #{} is no {}", id, Noun(type)));
  }
}

TKYTObjectType TObjectStore::TypeOf(TKYTID id) const {
  std::lock_guard lock(mutex_);
  return EntryLocked(id).Type;
}

TKYTIDs TObjectStore::List(std::optional<TKYTObjectType> type) const {
  std::lock_guard lock(mutex_);
  TKYTIDs ids;
  for (const auto& [id, entry] : objects_) {
    if (!type || entry.Type == *type)
      ids.push_back(id);
  }
  return ids;
}

void TObjectStore::SetParent(TKYTID id, TKYTID parent) {
  std::lock_guard lock(mutex_);
  TEntry& entry = EntryLocked(id);
  if (parent != 0) {
    EntryLocked(parent);
    if (parent == id || IsTreeAncestorLocked(id, parent)) {
      throw Exception(fmt::format("Object #{} cannot be placed below #{}", id, parent));
    }
  }
  entry.Parent = parent;
}

void TObjectStore::SetName(TKYTID id, const std::string& name) {
  std::lock_guard lock(mutex_);
  EntryLocked(id).Name = name;
}

void TObjectStore::SetInfo(TKYTID id, const std::string& info) {
  std::lock_guard lock(mutex_);
  EntryLocked(id).Info = info;
}

void TObjectStore::SetSummary(TKYTID id, const std::string& summary) {
  std::lock_guard lock(mutex_);
  EntryLocked(id).Summary = summary;
}

void TObjectStore::SetPosition(TKYTID id, uint16_t position) {
  std::lock_guard lock(mutex_);
  EntryLocked(id).Position = position;
}

bool TObjectStore::HasFlag(TKYTID id, uint8_t flag) const {
  std::lock_guard lock(mutex_);
  return (EntryLocked(id).Flags & flag) != 0;
}

void TObjectStore::SetFlag(TKYTID id, uint8_t flag, bool value) {
  std::lock_guard lock(mutex_);
  uint32_t& flags = EntryLocked(id).Flags;
  flags = value ? (flags | flag) : (flags & ~uint32_t{flag});
}

TKYTObject TObjectStore::Object(TKYTID id) const {
  std::lock_guard lock(mutex_);
  const TEntry& entry = EntryLocked(id);
  TKYTObject object;
  object.ParentID = entry.Parent;
  object.ObjectID = id;
  object.ObjectName = entry.Name;
  object.ObjectInfo = entry.Info;
  object.ObjectSummary = entry.Summary;
  object.ObjectType = entry.Type;
  object.ObjectPosition = entry.Position;
  object.ObjectFlag = entry.Flags;
  object.IsPersistent = entry.Persistent;
  for (const auto& [other, child] : objects_) {
    if (child.Parent == id)
      object.ChildrenIDs.push_back(other);
  }
  object.HasChildren = !object.ChildrenIDs.empty();
  return object;
}

TKYTID TObjectStore::FindByName(const std::string& name, TKYTID parent,
                                std::optional<TKYTObjectType> type) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, entry] : objects_) {
    if (entry.Parent == parent && entry.Name == name && (!type || entry.Type == *type))
      return id;
  }
  throw Exception(fmt::format("No object named \"{}\" below #{}", name, parent));
}

TKYTID TObjectStore::FindByNameAnywhere(const std::string& name, TKYTObjectType type) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, entry] : objects_) {
    if (entry.Name == name && entry.Type == type)
      return id;
  }
  throw Exception(fmt::format("No {} is named \"{}\"", Noun(type), name));
}

TKYTIDs TObjectStore::TreeChildren(TKYTID id) const {
  return Object(id).ChildrenIDs;
}

bool TObjectStore::IsTreeChild(TKYTID id, TKYTID parent, bool recursive) const {
  std::lock_guard lock(mutex_);
  const TEntry& entry = EntryLocked(id);
  if (!recursive)
    return entry.Parent == parent;
  return IsTreeAncestorLocked(parent, id);
}

bool TObjectStore::IsPersistent(TKYTID id) const {
  std::lock_guard lock(mutex_);
  return EntryLocked(id).Persistent;
}

std::string TObjectStore::Name(TKYTID id) const {
  std::lock_guard lock(mutex_);
  return EntryLocked(id).Name;
}

std::string TObjectStore::Summary(TKYTID id) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(id);
  return it == objects_.end() ? std::string() : it->second.Summary;
}

std::string TObjectStore::Location(TKYTID id) const {
  std::lock_guard lock(mutex_);
  std::string location = EntryLocked(id).Name;
  // The tree has no cycles (SetParent refuses them); the bound guards against a corrupt one.
  TKYTID parent = EntryLocked(id).Parent;
  for (size_t depth = 0; parent != 0 && depth < objects_.size(); ++depth) {
    const TEntry& entry = EntryLocked(parent);
    location = entry.Name + "\\" + location;
    parent = entry.Parent;
  }
  return location;
}

TObjectStore::TEntry& TObjectStore::EntryLocked(TKYTID id) {
  auto it = objects_.find(id);
  if (it == objects_.end())
    NoSuchObject(id);
  return it->second;
}

const TObjectStore::TEntry& TObjectStore::EntryLocked(TKYTID id) const {
  auto it = objects_.find(id);
  if (it == objects_.end())
    NoSuchObject(id);
  return it->second;
}

bool TObjectStore::IsTreeAncestorLocked(TKYTID ancestor, TKYTID id) const {
  TKYTID parent = EntryLocked(id).Parent;
  for (size_t depth = 0; parent != 0 && depth < objects_.size(); ++depth) {
    if (parent == ancestor)
      return true;
    auto it = objects_.find(parent);
    if (it == objects_.end())
      return false;
    parent = it->second.Parent;
  }
  return false;
}

}  // namespace kyt::host
