#pragma once

// The reference host: every host service in memory, thread-safe, and recording what it is told,
// so tests assert on what a real host would show and kyt-host prints it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/interfaces.h"
#include "framework/module_class.h"
#include "framework/typeinfo.h"
#include "runtime/variant.h"

namespace kyt::host {

// Everything a host shows, in the order it happened. One struct for all kinds keeps the event
// stream simple to record, filter and print.
struct THostEvent {
  enum class Kind { Log, Debug, Status, Summary, Message, Timer, Data };
  Kind EventKind = Kind::Log;
  TInstanceID Instance = 0;   // sender / instance
  int32_t Code = 0;           // log code, status, message code, timer interval, report ID
  std::string Name;           // log sender name, debug title, timer name
  std::string Text;           // log text, summary, debug or received data (bytes)
  std::vector<Variant> Data;  // message data
  bool HasReportID = false;   // Data events from IKYTHIDReceiveData
};

struct THostOptions {
  // Test mode: timers never tick on their own; tests fire them. Run mode: a timer thread.
  bool TestMode = true;
  // Optional JSON file: read at start when it exists, written by SaveSettingsFile.
  std::string SettingsFile;
  // Run level the kernel starts with (KR_READY unless a test wants "not yet ready").
  int32_t InitialRunlevel = 10013;
  // How long unloading the plug-in (and the host's end) waits for objects that outlive their
  // instance (a worker still inside a send holds one) before it gives up on them. The plug-in
  // then stays loaded, since its code still runs.
  std::chrono::milliseconds ObjectWait{2000};
};

class TReferenceHost {
 public:
  explicit TReferenceHost(THostOptions options = {});
  ~TReferenceHost();  // deletes remaining instances (children first), unloads the library
  TReferenceHost(const TReferenceHost&) = delete;
  TReferenceHost& operator=(const TReferenceHost&) = delete;

  TRef<IKYTKernel> Kernel() const;

  // ---- Kernel ----
  int32_t Runlevel() const;
  // Sets the run level and sends message 10010 [level] to every live instance.
  void SetRunlevel(int32_t level);
  // Only what GetKernelRunlevel answers, at once and from any thread (a stop signal's): code that
  // polls the run level sees it, and no instance is called here. SetRunlevel tells them later.
  void AnnounceRunlevel(int32_t level);
  // Delivers a message to one instance's MessageSink.
  void SendMessageTo(TInstanceID instance, const TKYTMessage& message);

  // ---- Module loader ----
  // dlopen a plug-in, fetch KYTLibraryInfo, call its register hook. Raises Exception with the
  // loader's text on failure. One library at a time.
  void LoadLibrary(const std::string& path);
  // Deletes the plug-in's instances, waits (up to THostOptions::ObjectWait) until the last of
  // its objects is gone, calls the unregister hook and dlcloses. An object still alive past the
  // wait keeps the plug-in mapped (reported on stderr and in the log; LibraryKeptLoaded()
  // answers true). No-op when nothing is loaded.
  void UnloadLibrary();
  // True when an unload left the plug-in mapped under a live object: a process that ends then
  // must not run the exit handlers under that object's thread (std::_Exit).
  bool LibraryKeptLoaded() const;
  // Registers a class in-process (what a plug-in's RegisterModule does).
  void RegisterModule(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info,
                      const std::string& name);
  struct TRegisteredModule {
    std::string Name;  // registration name, e.g. "CSCK"
    const TKYTModuleClass* Class = nullptr;
    const TInterfaceTypeInfo* TypeInfo = nullptr;
  };
  std::vector<TRegisteredModule> RegisteredModules() const;
  // Makes GetModuleFunctionFlag answer `flag` for a module GUID (default false).
  void SetModuleFunctionFlag(const std::string& moduleID, bool flag);

  // ---- Instances ----
  // Creates an instance of a registered module (by registration name or module GUID text),
  // with InstanceInterface set; id 0 picks the next free ID. Raises when the constructor raises.
  TInstanceID CreateInstance(const std::string& module, TInstanceID id = 0, TInstanceID parent = 0,
                             const std::string& name = "");
  // Destroys the instance's object (its destructor runs here, on the calling thread).
  void DeleteInstance(TInstanceID id);
  // Destroys every instance, children before parents.
  void DeleteAllInstances();
  void ConnectInstance(TInstanceID child, TInstanceID parent);
  void DisconnectInstance(TInstanceID child);
  TRef<IKYTModule> Instance(TInstanceID id) const;
  std::vector<TInstanceID> InstanceIDs() const;
  // Puts an entry into the instance manager without a live object (InstanceInterface none).
  TInstanceID AddDeadInstance(TInstanceID id, TInstanceID parent);

  // ---- Script engine ----
  // Calls a registered script function ("CSCK_SendText", "KYT_ApplyChanges") with its
  // arguments, the instance ID first. Raises what the method raises; raises Exception for an
  // unknown function.
  Variant Call(const std::string& function, const std::vector<Variant>& args);
  bool FunctionExists(const std::string& function) const;
  // Registered names in registration order, for one instance (0: all).
  std::vector<std::string> FunctionNames(TInstanceID instance = 0) const;

  // ---- Settings ----
  void StoreSetting(TInstanceID id, const std::vector<std::string>& path, const std::string& name,
                    const Variant& value);  // Boolean, integer, float or string
  std::optional<Variant> ReadSetting(TInstanceID id, const std::vector<std::string>& path,
                                     const std::string& name) const;
  // Every value stored for the instance at exactly this path, names as last written.
  std::vector<std::pair<std::string, Variant>> SettingsAt(
      TInstanceID id, const std::vector<std::string>& path) const;
  void SaveSettingsFile() const;  // to THostOptions::SettingsFile, when set

  // ---- Timers ----
  // Interval of the instance's timer of that name in seconds; nullopt when none is registered.
  std::optional<int32_t> TimerInterval(TInstanceID id, const std::string& name) const;
  // Runs the timer's callback now, on the calling thread (test mode and run mode alike).
  void FireTimer(TInstanceID id, const std::string& name);

  // ---- Variables and objects (status-variable machinery) ----
  TRef<IKYTVariableManager> Variables() const;
  TRef<IKYTObjectManager> Objects() const;

  // ---- Recorded events ----
  std::vector<THostEvent> Events() const;
  std::vector<THostEvent> Events(THostEvent::Kind kind, TInstanceID instance = 0) const;
  void ClearEvents();
  // Last status / summary of an instance (0 / "" when none was set).
  int32_t Status(TInstanceID id) const;
  std::string Summary(TInstanceID id) const;
  // Called for every event as it is recorded, on the thread that caused it.
  void SetEventListener(std::function<void(const THostEvent&)> listener);
  // Lets built-in children (Console) report what they received.
  void RecordEvent(THostEvent event);
  // false: events only reach the listener and are not kept, so a long run does not grow.
  void SetKeepEvents(bool keep);
  // false: debug entries are neither kept nor passed to the listener (default true).
  void SetRecordDebug(bool record);

  // ---- Main loop ----
  // Serves the main-thread hand-over for `duration` (call on the main thread).
  void RunFor(std::chrono::milliseconds duration);
  // Serves hand-overs until `done` is true or the time runs out; returns `done`'s last answer.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Registers the built-in children "Console" and "Bridge" with a host.
void RegisterBuiltinModules(TReferenceHost& host);

}  // namespace kyt::host
