#pragma once

#include "framework/module_object.h"

namespace kyt::host {

// A child that shows what it receives: every block becomes a Data event of the host (and a
// line of kyt-host's output).
class TKYTConsole : public TKYTModuleObject,
                    public virtual IKYTReceiveData,
                    public virtual IKYTHIDReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData, IKYTHIDReceiveData>;
  static const TKYTModuleClass Class;

  TKYTConsole(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TKYTConsole() override;

  void ReceiveData(const std::string& Data) override;
  void ReceiveEvent(uint8_t ReportID, const std::string& Data) override;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  void Record(const std::string& data, bool hid, uint8_t reportID);
};

}  // namespace kyt::host
