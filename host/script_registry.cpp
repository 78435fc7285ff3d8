#include "host/script_registry.h"

#include <algorithm>

#include "host/ascii.h"
#include "runtime/exception.h"

namespace kyt::host {

namespace {

std::string PrefixOf(const std::string& name) {
  return name.substr(0, name.find('_'));
}

}  // namespace

void TScriptRegistry::Register(const TInterfaceTypeInfo* info, const std::string& prefix,
                               TCallFunctionHandler handler, TInstanceID instance, bool flag) {
  if (info == nullptr)
    throw Exception("RegisterFunctions: no interface description");
  std::lock_guard lock(mutex_);
  for (const auto& method : info->Methods) {
    std::string name = prefix + "_" + method.Name;
    auto& byInstance = functions_[AsciiLower(name)];
    if (!byInstance.contains(instance))
      order_.emplace_back(instance, name);
    byInstance[instance] = TFunction{name, info, &method, flag};
  }
  auto& prefixes = prefixes_[instance];
  std::string key = AsciiLower(prefix);
  auto same = [&](const TPrefix& p) { return p.Key == key; };
  if (std::none_of(prefixes.begin(), prefixes.end(), same)) {
    prefixes.push_back({key, std::move(handler)});
  }
}

void TScriptRegistry::Unregister(TInstanceID instance) {
  std::lock_guard lock(mutex_);
  for (auto it = functions_.begin(); it != functions_.end();) {
    it->second.erase(instance);
    it = it->second.empty() ? functions_.erase(it) : std::next(it);
  }
  prefixes_.erase(instance);
  std::erase_if(order_, [&](const auto& entry) { return entry.first == instance; });
}

TScriptTarget TScriptRegistry::Resolve(const std::string& name, TInstanceID instance) const {
  std::lock_guard lock(mutex_);
  if (auto byName = functions_.find(AsciiLower(name)); byName != functions_.end()) {
    if (auto it = byName->second.find(instance); it != byName->second.end()) {
      return {it->second.Name, instance, it->second.Info, it->second.Method, nullptr};
    }
  }
  if (auto it = prefixes_.find(instance); it != prefixes_.end()) {
    std::string key = AsciiLower(PrefixOf(name));
    for (const auto& prefix : it->second) {
      if (prefix.Key == key)
        return {name, instance, nullptr, nullptr, prefix.Handler};
    }
  }
  throw Exception("Unknown function: " + name);
}

bool TScriptRegistry::Exists(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return functions_.contains(AsciiLower(name));
}

std::vector<std::string> TScriptRegistry::Names(TInstanceID instance) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [owner, name] : order_) {
    if (instance == 0 || owner == instance)
      names.push_back(name);
  }
  return names;
}

}  // namespace kyt::host
