#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TScriptEngineService final : public THostObject<IKYTScriptEngineEx>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  Variant CallScriptFunction(const std::string& Name, const std::vector<Variant>& Args) override {
    return Core()->Call(Name, Args);
  }
  bool ScriptFunctionExists(const std::string& Name) override {
    return Core()->Scripts.Exists(Name);
  }
  void RegisterFunctions(const TInterfaceTypeInfo* InterfaceTypeInfo, const std::string& Prefix,
                         TCallFunctionHandler Handler, TInstanceID InstanceID, bool Flag) override {
    Core()->Scripts.Register(InterfaceTypeInfo, Prefix, std::move(Handler), InstanceID, Flag);
  }
  void UnregisterFunctions(TInstanceID InstanceID) override {
    Core()->Scripts.Unregister(InstanceID);
  }
};

}  // namespace

TRef<IKYTScriptEngineEx> MakeScriptEngineService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTScriptEngineEx>(new TScriptEngineService(std::move(core)));
}

}  // namespace kyt::host
