#pragma once

// A module built only on the base object, for the framework's tests: three properties, an
// interface of its own, optional status variables, and a child that records what it receives.

#include <mutex>
#include <string>
#include <vector>

#include "framework/module_object.h"
#include "framework/typeinfo.h"
#include "host/reference_host.h"

namespace kyt::testing_module {

struct ITestModule : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{7A1D2F00-0000-4000-8000-00000000A001}");
  virtual void SetName(const std::string& Name) = 0;
  virtual std::string GetName() = 0;
  virtual void Inject(const std::string& Data) = 0;  // hands a block to the children
  virtual void InjectEvent(uint8_t ReportID, const std::string& Data) = 0;  // a HID report
  virtual int32_t Runlevel() = 0;

 protected:
  ~ITestModule() = default;
};

const TInterfaceTypeInfo& TestTypeInfo();

// What the next TTestModule constructor does beyond the normal; reset by every test.
struct TTestOptions {
  bool DeclareStatusVariables = false;
  bool RegisterOpenTwice = false;
  bool RegisterBadType = false;
  TKYTModuleType Type = TKYTModuleType::mtIO;
};
TTestOptions& Options();

class TTestModule : public TKYTModuleObject,
                    public virtual IKYTSendData,
                    public virtual ITestModule {
 public:
  using Interfaces = TInterfaceList<IKYTSendData, ITestModule>;
  static const TKYTModuleClass Class;

  TTestModule(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TTestModule() override;

  void SetName(const std::string& Name) override { ChangeSetting(settings_.Pending.Name, Name); }
  std::string GetName() override { return settings_.Pending.Name; }
  void Inject(const std::string& Data) override { DeliverToChildren(Data); }
  void InjectEvent(uint8_t ReportID, const std::string& Data) override {
    DeliverEventToChildren(ReportID, Data);
  }
  int32_t Runlevel() override { return KernelRunlevel; }
  void SendData(const std::string&) override {}

  void ResetChanges() override;
  void ApplyChanges() override;

  int32_t runlevelHook = 0;
  std::vector<std::pair<TKYTID, int32_t>> instanceMessages;
  std::vector<std::pair<std::string, Variant>> actions;

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }
  void KernelRunlevelChanged(int32_t Runlevel) override { runlevelHook = Runlevel; }
  void HandleInstanceMessage(TKYTID SenderID, int32_t Value) override {
    instanceMessages.emplace_back(SenderID, Value);
  }

 private:
  struct TSettings {
    bool Open = false;
    std::string Name = "default";
    int32_t Count = 3;
  };
  TSettingsPair<TSettings> settings_;
};

// A child that records each block; with "Fail" set it raises instead.
class TTestChild : public TKYTModuleObject, public virtual IKYTReceiveData {
 public:
  using Interfaces = TInterfaceList<IKYTReceiveData>;
  static const TKYTModuleClass Class;
  TTestChild(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TTestChild() override;
  void ReceiveData(const std::string& Data) override;
  void ApplyChanges() override;
  void ResetChanges() override;

  static std::vector<std::pair<TInstanceID, std::string>> Received();
  static void ClearReceived();

 protected:
  void* FindInterface(const TGUID& iid) override { return Interfaces::Find(this, iid); }

 private:
  TSettingsPair<bool> fail_;
};

// A child without the data interface.
class TDeafChild : public TKYTModuleObject {
 public:
  using Interfaces = TInterfaceList<>;
  static const TKYTModuleClass Class;
  TDeafChild(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID);
  ~TDeafChild() override { PrepareDelete(); }
};

void RegisterTestModules(host::TReferenceHost& host);

}  // namespace kyt::testing_module
