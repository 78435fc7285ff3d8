#pragma once

// The state behind a TReferenceHost and the service objects it hands to modules. The stores
// each guard themselves; the operations here are the ones that call module code (constructors,
// destructors, message sinks, script methods, register hooks) and so run with no lock held.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/event_log.h"
#include "host/module_registry.h"
#include "host/object_store.h"
#include "host/reference_host.h"
#include "host/script_registry.h"
#include "host/settings_file.h"
#include "host/settings_store.h"
#include "host/timer_pool.h"
#include "platform/dynlib.h"

namespace kyt::host {

struct THostServices {
  TRef<IKYTKernel> Kernel;
  TRef<IKYTModuleLoaderEx> ModuleLoader;
  TRef<IKYTScriptEngineEx> ScriptEngine;
  TRef<IKYTTimerPoolEx> TimerPool;
  TRef<IKYTSettings> Settings;
  TRef<IKYTStatusService> StatusService;
  TRef<IKYTProfileService> ProfileService;
  TRef<IKYTDebugService> DebugService;
  TRef<IKYTConnectionService> ConnectionService;
  TRef<IKYTObjectManager> ObjectManager;
  TRef<IKYTInstanceManager> InstanceManager;
  TRef<IKYTVariableManager> VariableManager;
};

class THostCore : public std::enable_shared_from_this<THostCore> {
 public:
  explicit THostCore(THostOptions options);
  virtual ~THostCore();
  THostCore(const THostCore&) = delete;
  THostCore& operator=(const THostCore&) = delete;

  // Creates the service objects; call once, right after construction through a shared_ptr.
  void Start();
  // Deletes every instance, unloads the plug-in, stops the timer thread. Never throws.
  void Shutdown() noexcept;

  const THostOptions Options;
  // Held from before the settings file is read until the host is gone.
  std::unique_ptr<TSettingsFileOwner> SettingsOwner;
  TEventLog Events;
  TSettingsStore Settings;
  TModuleRegistry Modules;
  TScriptRegistry Scripts;
  TObjectStore Objects;
  TTimerPool Timers;
  std::atomic<int32_t> Runlevel;
  THostServices Services;

  // ---- Kernel ----
  void SetRunlevel(int32_t level);
  void SendMessageTo(TInstanceID instance, const TKYTMessage& message);
  void Log(int32_t code, TKYTID sender, const std::string& name, const std::string& text);

  // ---- Module loader ----
  void LoadLibrary(const std::string& path);
  void UnloadLibrary();
  std::atomic<bool> LibraryKeptLoaded{false};
  void RegisterModule(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info,
                      const std::string& name);

  // ---- Instances ----
  TInstanceID CreateInstance(const std::string& module, TInstanceID id, TInstanceID parent,
                             const std::string& name);
  void DeleteInstance(TInstanceID id);
  void DeleteInstances(const TInstanceIDs& ids);  // children first
  void DeleteAllInstances();

  // ---- Script engine ----
  Variant Call(const std::string& function, const std::vector<Variant>& args);

 private:
  struct TLoadedLibrary;
  TInstanceIDs LibraryInstances() const;
  // Waits (bounded) until no object of these classes is alive; false when some still are.
  bool WaitForObjects(const std::vector<const TKYTModuleClass*>& classes);

  std::mutex libraryMutex_;  // guards the slot only; never held across a hook
  std::unique_ptr<TLoadedLibrary> library_;
  std::atomic<bool> inRegisterHook_{false};
};

}  // namespace kyt::host
