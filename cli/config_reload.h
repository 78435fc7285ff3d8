#pragma once

// What a reload (SIGHUP) changes: the running config against the one read anew.

#include <utility>
#include <vector>

#include "cli/host_config.h"

namespace kyt::host {

struct TReloadPlan {
  // Instances that are gone or changed (module, name, parent or settings), children first.
  std::vector<TInstanceID> Delete;
  // Instances that are new or changed, parents first.
  std::vector<TInstanceConfig> Create;
  // Kept instances (child, parent) whose parent is made anew: connected to it again.
  std::vector<std::pair<TInstanceID, TInstanceID>> Reconnect;
  size_t Added = 0;
  size_t Removed = 0;
  size_t Changed = 0;
  size_t Kept = 0;
};

TReloadPlan PlanReload(const THostConfig& running, const THostConfig& next);

}  // namespace kyt::host
