#pragma once

#include <atomic>

#include "framework/module_object.h"

namespace kyt::host {

// A child that passes every block it receives on to another instance's IKYTSendData. Two
// bridges, each below one I/O instance and aimed at the other, make a gateway (serial to TCP).
class TKYTBridge : public TKYTModuleObject, public virtual IKYTReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData>;
  static const TKYTModuleClass Class;

  TKYTBridge(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTBridge() override;

  // Raises EKYTModuleObject when the target is unset, gone, or takes no data.
  void ReceiveData(const std::string& Data) override;

  void ApplyChanges() override;
  void ResetChanges() override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  TRef<IKYTSendData> Target() const;

  TSettingsPair<int32_t> target_;
  // What ReceiveData reads, on whichever thread the parent delivers on.
  std::atomic<int32_t> appliedTarget_{0};
};

}  // namespace kyt::host
