#include "cli/config_reload.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace kyt::host {

namespace {

bool SameInstance(const TInstanceConfig& a, const TInstanceConfig& b) {
  return a.Module == b.Module && a.Name == b.Name && a.Parent == b.Parent &&
         a.Settings == b.Settings;
}

std::unordered_map<TInstanceID, const TInstanceConfig*> ByID(const THostConfig& config) {
  std::unordered_map<TInstanceID, const TInstanceConfig*> index;
  for (const auto& instance : config.Instances) index.emplace(instance.ID, &instance);
  return index;
}

}  // namespace

TReloadPlan PlanReload(const THostConfig& running, const THostConfig& next) {
  const auto before = ByID(running);
  const auto after = ByID(next);
  TReloadPlan plan;
  std::unordered_set<TInstanceID> remade;
  // Creation order puts parents first, so its reverse deletes children first.
  const std::vector<TInstanceConfig> runningOrder = CreationOrder(running.Instances);
  for (auto it = runningOrder.rbegin(); it != runningOrder.rend(); ++it) {
    auto kept = after.find(it->ID);
    if (kept == after.end()) {
      plan.Delete.push_back(it->ID);
      ++plan.Removed;
    } else if (!SameInstance(*it, *kept->second)) {
      plan.Delete.push_back(it->ID);
      remade.insert(it->ID);
      ++plan.Changed;
    }
  }
  for (auto& instance : CreationOrder(next.Instances)) {
    auto old = before.find(instance.ID);
    if (old == before.end()) {
      ++plan.Added;
    } else if (!remade.contains(instance.ID)) {
      ++plan.Kept;
      if (instance.Parent != 0 && remade.contains(instance.Parent))
        plan.Reconnect.emplace_back(instance.ID, instance.Parent);
      continue;
    }
    plan.Create.push_back(std::move(instance));
  }
  return plan;
}

}  // namespace kyt::host
