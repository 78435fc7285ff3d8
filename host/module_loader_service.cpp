#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TModuleLoaderService final : public THostObject<IKYTModuleLoaderEx>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  void RegisterModule(const TKYTModuleClass* ModuleClass,
                      const TInterfaceTypeInfo* InterfaceTypeInfo, const std::string& Name,
                      int32_t /*Reserved*/) override {
    Core()->RegisterModule(ModuleClass, InterfaceTypeInfo, Name);
  }
  std::string GetModulePrefix(const std::string& ModuleID) override {
    return Core()->Modules.Prefix(ModuleID);
  }
  bool GetModuleFunctionFlag(const std::string& ModuleID) override {
    return Core()->Modules.FunctionFlag(ModuleID);
  }
  const TInterfaceTypeInfo* GetInterfaceTypeInfo(const TGUID& IID) override {
    return Core()->Modules.TypeInfo(IID);
  }

 protected:
  void* FindMore(const TGUID& iid) override {
    return iid == IKYTModuleLoader::IID ? static_cast<IKYTModuleLoader*>(this) : nullptr;
  }
};

}  // namespace

TRef<IKYTModuleLoaderEx> MakeModuleLoaderService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTModuleLoaderEx>(new TModuleLoaderService(std::move(core)));
}

}  // namespace kyt::host
