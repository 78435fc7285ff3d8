#include "host/host_core.h"
#include "host/host_object.h"
#include "host/host_recorder.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TKernelService final : public THostObject<IKYTKernel, IHostRecorder>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void PostLogMessage(int32_t Code, TKYTID SenderID, const std::string& SenderName,
                      const std::string& Text) override {
    Core()->Log(Code, SenderID, SenderName, Text);
  }
  void SendMessage(TKYTID SenderID, int32_t Message, const std::vector<Variant>& Data) override {
    Core()->Events.Record({THostEvent::Kind::Message, SenderID, Message, "", "", Data, false});
  }
  int32_t GetKernelRunlevel() override { return Core()->Runlevel; }
  TRef<IKYTModuleLoaderEx> GetModuleLoader() override { return Core()->Services.ModuleLoader; }
  TRef<IKYTStatusService> GetStatusService() override { return Core()->Services.StatusService; }
  TRef<IKYTProfileService> GetProfileService() override { return Core()->Services.ProfileService; }
  TRef<IKYTScriptEngineEx> GetScriptEngine() override { return Core()->Services.ScriptEngine; }
  TRef<IKYTTimerPoolEx> GetTimerPool() override { return Core()->Services.TimerPool; }
  TRef<IKYTObjectManager> GetObjectManager() override { return Core()->Services.ObjectManager; }
  TRef<IKYTInstanceManager> GetInstanceManager() override {
    return Core()->Services.InstanceManager;
  }
  TRef<IKYTVariableManager> GetVariableManager() override {
    return Core()->Services.VariableManager;
  }
  TRef<IKYTConnectionService> GetConnectionService() override {
    return Core()->Services.ConnectionService;
  }
  TRef<IKYTSettings> GetSettings() override { return Core()->Services.Settings; }
  TRef<IKYTDebugService> GetDebugService() override { return Core()->Services.DebugService; }

  void RecordEvent(THostEvent Event) override { Core()->Events.Record(std::move(Event)); }
};

}  // namespace

TRef<IKYTKernel> MakeKernelService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTKernel>(new TKernelService(std::move(core)));
}

}  // namespace kyt::host
