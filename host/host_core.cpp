#include "host/host_core.h"

#include <fmt/format.h>

#include <cstdio>

#include "framework/codes.h"
#include "host/loaded_library.h"
#include "host/services.h"
#include "host/settings_file.h"

namespace kyt::host {

namespace {

// Balances the reference a QueryInterface added, through the object's own count.
class TQueriedInterface {
 public:
  TQueriedInterface(const TRef<IKYTModule>& object, const TGUID& iid) : object_(object) {
    if (object_->QueryInterface(iid, &pointer_) != S_OK)
      pointer_ = nullptr;
  }
  ~TQueriedInterface() {
    if (pointer_ != nullptr)
      object_->Release();
  }
  TQueriedInterface(const TQueriedInterface&) = delete;
  TQueriedInterface& operator=(const TQueriedInterface&) = delete;
  void* Get() const { return pointer_; }

 private:
  TRef<IKYTModule> object_;
  void* pointer_ = nullptr;
};

TInstanceID InstanceArgument(const std::string& function, const std::vector<Variant>& args) {
  if (args.empty())
    throw Exception(function + ": the instance ID is missing");
  int64_t id = args[0].AsInt64();
  if (id < 1 || id > 0xFFFF)
    throw Exception(fmt::format("{}: {} is no instance ID", function, id));
  return static_cast<TInstanceID>(id);
}

}  // namespace

THostCore::THostCore(THostOptions options)
    : Options(std::move(options)),
      Timers(Options.TestMode, [this](THostEvent event) { Events.Record(std::move(event)); }),
      Runlevel(Options.InitialRunlevel) {
  if (!Options.SettingsFile.empty()) {
    SettingsOwner = std::make_unique<TSettingsFileOwner>(Options.SettingsFile);
    Settings.Assign(ReadSettingsFile(Options.SettingsFile));
  }
}

THostCore::~THostCore() = default;

void THostCore::Start() {
  std::weak_ptr<THostCore> self = weak_from_this();
  Services.Kernel = MakeKernelService(self);
  Services.ModuleLoader = MakeModuleLoaderService(self);
  Services.ScriptEngine = MakeScriptEngineService(self);
  Services.TimerPool = MakeTimerPoolService(self);
  Services.Settings = MakeSettingsService(self);
  Services.StatusService = MakeStatusService(self);
  Services.ProfileService = MakeProfileService(self);
  Services.DebugService = MakeDebugService(self);
  Services.ConnectionService = MakeConnectionService(self);
  Services.ObjectManager = MakeObjectManagerService(self);
  Services.InstanceManager = MakeInstanceManagerService(self);
  Services.VariableManager = MakeVariableManagerService(self);
}

void THostCore::Shutdown() noexcept {
  auto report = [](const char* step, const std::exception& e) {
    std::fprintf(stderr, "kyt host: %s: %s\n", step, e.what());
  };
  try {
    DeleteAllInstances();
  } catch (const std::exception& e) {
    report("deleting instances", e);
  }
  try {
    UnloadLibrary();
  } catch (const std::exception& e) {
    report("unloading the library", e);
  }
  try {
    // Objects of the classes registered in-process (built-ins, tests) may outlive their
    // instance too, and their teardown still calls the host's services and timers.
    std::vector<const TKYTModuleClass*> classes;
    for (const auto& module : Modules.All()) classes.push_back(module.Class);
    WaitForObjects(classes);
  } catch (const std::exception& e) {
    report("waiting for objects", e);
  }
  Timers.Stop();
}

void THostCore::SetRunlevel(int32_t level) {
  Runlevel = level;
  for (const auto& [id, object] : Objects.LiveObjects()) {
    try {
      object->MessageSink(TKYTMessage{0, IM_CHANGERUNLEVEL, {Variant(level)}});
    } catch (const std::exception& e) {
      // One instance failing must not keep the others at the old run level.
      Log(KL_ERROR, id, "Kernel", e.what());
    }
  }
}

void THostCore::SendMessageTo(TInstanceID instance, const TKYTMessage& message) {
  TRef<IKYTModule> object = Objects.LiveObject(instance);
  if (!object)
    throw Exception(fmt::format("Instance #{} has no live object", instance));
  object->MessageSink(message);
}

void THostCore::Log(int32_t code, TKYTID sender, const std::string& name, const std::string& text) {
  Events.Record({THostEvent::Kind::Log, sender, code, name, text, {}, false});
}

TInstanceID THostCore::CreateInstance(const std::string& module, TInstanceID id, TInstanceID parent,
                                      const std::string& name) {
  auto entry = Modules.Find(module);
  if (!entry)
    throw Exception(fmt::format("Module \"{}\" is not registered", module));
  const TKYTModuleClass* cls = entry->Module.Class;
  if (cls->Create == nullptr)
    throw Exception(fmt::format("Module \"{}\" has no factory", module));
  id = Objects.AddInstance(id, cls, name);
  try {
    if (parent != 0)
      Objects.Connect(id, parent);
    Objects.SetLiveObject(id, cls->Create(Services.Kernel, id));
  } catch (...) {
    // A constructor that raised never ran its destructor: drop what it left registered.
    Scripts.Unregister(id);
    Timers.UnregisterInstance(id);
    Objects.EraseInstance(id);
    throw;
  }
  return id;
}

void THostCore::DeleteInstance(TInstanceID id) {
  Objects.Check(id, TKYTObjectType::otInstance);
  // Stop the instance's timers and script functions first, so none of them runs into an
  // object that is being destroyed, even where a module forgets to unregister them.
  Scripts.Unregister(id);
  Timers.UnregisterInstance(id);
  // The entry stays while the destructor runs: it reports its own status and summary.
  TRef<IKYTModule> object = Objects.TakeLiveObject(id);
  object.Reset();
  Objects.EraseInstance(id);
}

void THostCore::DeleteInstances(const TInstanceIDs& ids) {
  std::optional<Exception> failure;
  for (TInstanceID id : Objects.ChildrenFirst(ids)) {
    try {
      if (Objects.Exists(id, TKYTObjectType::otInstance))
        DeleteInstance(id);
    } catch (const std::exception& e) {
      if (!failure)
        failure.emplace(e.what());
    }
  }
  if (failure)
    throw *failure;
}

void THostCore::DeleteAllInstances() {
  DeleteInstances(Objects.Instances());
}

Variant THostCore::Call(const std::string& function, const std::vector<Variant>& args) {
  TInstanceID instance = InstanceArgument(function, args);
  // Holding the object keeps it alive through the call, even if it is deleted meanwhile.
  TRef<IKYTModule> object = Objects.LiveObject(instance);
  if (!object) {
    bool exists = Objects.Exists(instance, TKYTObjectType::otInstance);
    throw Exception(fmt::format("{}: instance #{} {}", function, instance,
                                exists ? "has no live object" : "does not exist"));
  }
  TScriptTarget target = Scripts.Resolve(function, instance);
  std::vector<Variant> rest(args.begin() + 1, args.end());
  if (target.Method == nullptr) {
    if (!target.Handler)
      throw Exception("Unknown function: " + function);
    return target.Handler(function, rest);
  }
  if (rest.size() != target.Method->Params.size()) {
    throw Exception(fmt::format("{}: expects {} arguments after the instance ID, got {}",
                                target.Name, target.Method->Params.size(), rest.size()));
  }
  TQueriedInterface queried(object, target.Info->IID);
  if (queried.Get() == nullptr) {
    throw Exception(fmt::format("{}: instance #{} does not implement {}", target.Name, instance,
                                target.Info->Name));
  }
  return target.Method->Invoke(queried.Get(), rest);
}

}  // namespace kyt::host
