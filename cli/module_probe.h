#pragma once

// A scratch host that loads the plug-in to ask its modules about themselves: the properties an
// instance registers (name, type, default), whether it takes data from a child, what an
// instance makes of given settings, and what its script functions answer (GetDevices). Nothing
// it is told reaches the command's output.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/reference_host.h"
#include "runtime/variant.h"

namespace kyt::host {

using TSettingList = std::vector<std::pair<std::string, Variant>>;

struct TModuleFacts {
  std::string Name;  // as registered
  // Every property with its default, in the kind the module reads it with.
  TSettingList Properties;
  bool TakesData = false;  // offers IKYTSendData to its children
  std::string Failure;     // an instance without settings could not be made
};

struct TProbeResult {
  std::optional<std::string> Failure;  // the instance could not be made
  TSettingList Saved;                  // what it stored as its settings once made
  std::vector<THostEvent> Log;         // its log entries while it lived
};

class TModuleProbe {
 public:
  // Raises when the plug-in does not load.
  explicit TModuleProbe(const std::string& library);
  // The modules `loaded` has registered, its plug-in's and the built-in ones, without loading
  // the plug-in a second time (a second load in one process shares the first one's state).
  explicit TModuleProbe(const TReferenceHost& loaded);
  ~TModuleProbe();  // deletes what is left, serves what it queued, unloads
  TModuleProbe(const TModuleProbe&) = delete;
  TModuleProbe& operator=(const TModuleProbe&) = delete;

  // The plug-in's modules in registration order, then Console, Bridge and the gateway modules.
  std::vector<std::string> ModuleNames() const;
  // The registered name for a config's "module": any letter case, or the module GUID.
  std::optional<std::string> Resolve(const std::string& module) const;
  // Learnt from an instance without settings, once per module.
  const TModuleFacts& Facts(const std::string& module);
  // Makes an instance of the module with these settings, hands its ID to `use`, deletes it.
  TProbeResult Probe(const std::string& module, const TSettingList& settings,
                     const std::function<void(TInstanceID)>& use = {});

  TReferenceHost& Host() { return host_; }

 private:
  TReferenceHost host_;
  TInstanceID nextID_ = 1;
  std::map<std::string, TModuleFacts> facts_;
};

}  // namespace kyt::host
