#pragma once

// The service objects a host hands to modules. Each holds the host weakly: a module that keeps
// a service past the host's end gets an exception, not a dangling pointer.

#include <memory>

#include "framework/interfaces.h"
#include "runtime/exception.h"

namespace kyt::host {

class THostCore;

class TServiceBase {
 public:
  explicit TServiceBase(std::weak_ptr<THostCore> core) : core_(std::move(core)) {}

 protected:
  std::shared_ptr<THostCore> Core() const {
    auto core = core_.lock();
    if (!core)
      throw Exception("The host has shut down");
    return core;
  }

 private:
  std::weak_ptr<THostCore> core_;
};

TRef<IKYTKernel> MakeKernelService(std::weak_ptr<THostCore> core);
TRef<IKYTModuleLoaderEx> MakeModuleLoaderService(std::weak_ptr<THostCore> core);
TRef<IKYTScriptEngineEx> MakeScriptEngineService(std::weak_ptr<THostCore> core);
TRef<IKYTTimerPoolEx> MakeTimerPoolService(std::weak_ptr<THostCore> core);
TRef<IKYTSettings> MakeSettingsService(std::weak_ptr<THostCore> core);
TRef<IKYTStatusService> MakeStatusService(std::weak_ptr<THostCore> core);
TRef<IKYTProfileService> MakeProfileService(std::weak_ptr<THostCore> core);
TRef<IKYTDebugService> MakeDebugService(std::weak_ptr<THostCore> core);
TRef<IKYTConnectionService> MakeConnectionService(std::weak_ptr<THostCore> core);
TRef<IKYTObjectManager> MakeObjectManagerService(std::weak_ptr<THostCore> core);
TRef<IKYTInstanceManager> MakeInstanceManagerService(std::weak_ptr<THostCore> core);
TRef<IKYTVariableManager> MakeVariableManagerService(std::weak_ptr<THostCore> core);

}  // namespace kyt::host
