// THostCore: loading and unloading the plug-in.

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/codes.h"
#include "host/loaded_library.h"
#include "runtime/teardown.h"

namespace kyt::host {

namespace {

// Clears a flag however the scope is left.
class TFlagScope {
 public:
  explicit TFlagScope(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
  ~TFlagScope() { flag_ = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

const TKYTLibraryInfo* QueryLibraryInfo(TDynamicLibrary& library) {
  auto entry = reinterpret_cast<TKYTLibraryInfoFunction>(library.RequireSymbol(kLibraryInfoSymbol));
  TKYTLibraryInfo* info = nullptr;
  entry(&info);
  if (info == nullptr || info->RegisterHook == nullptr) {
    throw Exception(fmt::format("{}: {} gave no library record with a register hook",
                                library.Path(), kLibraryInfoSymbol));
  }
  return info;
}

}  // namespace

void THostCore::LoadLibrary(const std::string& path) {
  {
    std::lock_guard lock(libraryMutex_);
    if (library_ || inRegisterHook_) {
      throw Exception(fmt::format("Cannot load {}: a library is loaded already", path));
    }
  }
  auto loaded = std::make_unique<TLoadedLibrary>();
  loaded->Handle = TDynamicLibrary(path);
  loaded->Info = QueryLibraryInfo(loaded->Handle);
  TRegisterHook hook = loaded->Info->RegisterHook;
  {
    // From the hook on, the plug-in holds our kernel: it counts as loaded even when the hook
    // fails, so that unloading still calls its unregister hook.
    std::lock_guard lock(libraryMutex_);
    library_ = std::move(loaded);
  }
  TFlagScope registering(inRegisterHook_);
  hook(Services.Kernel.Get(), static_cast<IKYTModuleLoader*>(Services.ModuleLoader.Get()));
}

void THostCore::UnloadLibrary() {
  {
    std::lock_guard lock(libraryMutex_);
    if (!library_)
      return;
  }
  // The plug-in's code goes away with it: its instances (and their timers and script
  // functions) must go first, and so must every object of its classes, some of which a worker
  // may still hold for a moment after its instance was deleted.
  DeleteInstances(LibraryInstances());
  const bool gone = WaitForObjects(Modules.LibraryClasses());
  std::unique_ptr<TLoadedLibrary> loaded;
  {
    std::lock_guard lock(libraryMutex_);
    loaded = std::move(library_);
  }
  if (!loaded)
    return;
  if (loaded->Info->UnregisterHook != nullptr) {
    try {
      loaded->Info->UnregisterHook();
    } catch (const std::exception& e) {
      Log(KL_ERROR, 0, "Module Loader", e.what());
    }
  }
  Modules.RemoveLibraryModules();
  if (!gone) {
    // Unmapping the code under a running thread would crash the process: it stays mapped.
    const std::string text = fmt::format(
        "{}: objects are still alive {} ms after their instances were deleted; the library stays "
        "loaded",
        loaded->Handle.Path(), Options.ObjectWait.count());
    std::fprintf(stderr, "kyt host: %s\n", text.c_str());
    Log(KL_ERROR, 0, "Module Loader", text);
    LibraryKeptLoaded = true;
    // Held from a global for the rest of the process and never closed, not even at exit (a
    // leak checker then sees it held, not lost).
    static auto* const kept = new std::vector<std::unique_ptr<TLoadedLibrary>>;
    static std::mutex keptMutex;
    std::lock_guard lock(keptMutex);
    kept->push_back(std::move(loaded));
    return;
  }
  loaded->Handle.Close();
}

bool THostCore::WaitForObjects(const std::vector<const TKYTModuleClass*>& classes) {
  const std::vector<const void*> owners(classes.begin(), classes.end());
  return WaitForObjectsGone(owners, Options.ObjectWait);
}

void THostCore::RegisterModule(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info,
                               const std::string& name) {
  Modules.Register(cls, info, name, inRegisterHook_);
}

TInstanceIDs THostCore::LibraryInstances() const {
  auto classes = Modules.LibraryClasses();
  TInstanceIDs ids;
  for (TInstanceID id : Objects.Instances()) {
    try {
      const TKYTModuleClass* cls = Objects.ClassOf(id);
      if (std::find(classes.begin(), classes.end(), cls) != classes.end())
        ids.push_back(id);
    } catch (const Exception&) {
      // Deleted meanwhile: nothing left to unload.
    }
  }
  return ids;
}

}  // namespace kyt::host
