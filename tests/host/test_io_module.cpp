#include "tests/host/test_io_module.h"

namespace kyt::test_support {

using typeinfo_detail::Method;

const TInterfaceTypeInfo& TestIOTypeInfo() {
  using I = ITestIO;
  static const TInterfaceTypeInfo info{"ITestIO",
                                       I::IID,
                                       nullptr,
                                       {
                                           Method<&I::Add>("Add", {"A", "B"}),
                                           Method<&I::Echo>("Echo", {"Text"}),
                                           Method<&I::Fail>("Fail", {"Text"}),
                                           Method<&I::Inject>("Inject", {"Data"}),
                                       }};
  return info;
}

const TKYTModuleClass TTestIO::Class = MakeModuleClass<TTestIO>({
    .ClassName = "TTestIO",
    .ModuleID = ITestIO::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "Test IO",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TTestIO::TTestIO(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  timer_ = Kernel->GetTimerPool()->RegisterTimer(
      "Poll", InstanceID, [] {}, 0);
  RegisterPropertyBoolean(
      "Explode", [this] { return explode_; }, [this](bool v) { explode_ = v; });
  LoadAndApplySettings();
  if (explode_)
    throw EKYTModuleObject("exploded while being created");
}

TTestIO::~TTestIO() {
  PrepareDelete();
  SetSummary("gone");
  Kernel->GetTimerPool()->UnregisterTimer(timer_);
}

void TTestIO::SendData(const std::string& Data) {
  std::lock_guard lock(mutex_);
  sent_.push_back(Data);
}

std::vector<std::string> TTestIO::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void RegisterTestIO(host::TReferenceHost& host) {
  host.RegisterModule(&TTestIO::Class, &TestIOTypeInfo(), "TIO");
}

TTestIO& TestIO(host::TReferenceHost& host, TInstanceID id) {
  return *dynamic_cast<TTestIO*>(host.Instance(id).Get());
}

}  // namespace kyt::test_support
