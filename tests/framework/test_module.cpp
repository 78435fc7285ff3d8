#include "tests/framework/test_module.h"

namespace kyt::testing_module {

using typeinfo_detail::Method;

const TInterfaceTypeInfo& TestTypeInfo() {
  using I = ITestModule;
  static const TInterfaceTypeInfo info{
      "ITestModule",
      I::IID,
      nullptr,
      {
          Method<&I::SetName>("SetName", {"Name"}),
          Method<&I::GetName>("GetName"),
          Method<&I::Inject>("Inject", {"Data"}),
          Method<&I::InjectEvent>("InjectEvent", {"ReportID", "Data"}),
          Method<&I::Runlevel>("Runlevel"),
      }};
  return info;
}

TTestOptions& Options() {
  static TTestOptions options;
  return options;
}

const TKYTModuleClass TTestModule::Class = MakeModuleClass<TTestModule>({
    .ClassName = "TTestModule",
    .ModuleID = ITestModule::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "Test Module",
    .ChildRequirements = {IKYTReceiveData::IID.ToString()},
    .Implemented = {IKYTSendData::IID.ToString()},
});

TTestModule::TTestModule(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  auto& s = settings_.Pending;
  RegisterPropertyBoolean(
      "Open", [&s] { return s.Open; },
      [this](bool v) { ChangeSetting(settings_.Pending.Open, v); });
  RegisterPropertyString(
      "Name", [this] { return GetName(); }, [this](const std::string& v) { SetName(v); });
  RegisterPropertyInteger(
      "Count", [&s] { return s.Count; },
      [this](int32_t v) { ChangeSetting(settings_.Pending.Count, v); });
  if (Options().RegisterOpenTwice) {
    RegisterPropertyBoolean(
        "open", [] { return false; }, [](bool) {});
  }
  if (Options().RegisterBadType) {
    RegisterProperty(
        "Odd", 9, [] { return Variant(); }, [](const Variant&) {});
  }
  if (Options().DeclareStatusVariables) {
    TKYTVarProfile profile;
    profile.ProfileName = "Level.Test";
    RegisterStatusVariable("Level", "Level", TKYTVarType::vtInteger, profile,
                           [this](TKYTStatusVariable& var, const Variant& value) {
                             actions.emplace_back(var.VariableIdent, value);
                           });
    RegisterStatusVariable("Mode", "Mode", TKYTVarType::vtString);
  }
  LoadAndApplySettings();
}

TTestModule::~TTestModule() {
  PrepareDelete();
}

void TTestModule::ResetChanges() {
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TTestModule::ApplyChanges() {
  if (settings_.Pending.Name == "fail")
    throw EKYTModuleObject("Cannot apply \"fail\"");
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
}

// ---- children -------------------------------------------------------------------------------

namespace {
std::mutex receivedLock;
std::vector<std::pair<TInstanceID, std::string>> received;
}  // namespace

const TKYTModuleClass TTestChild::Class = MakeModuleClass<TTestChild>({
    .ClassName = "TTestChild",
    .ModuleID = "{7A1D2F00-0000-4000-8000-00000000A002}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Test Child",
});

TTestChild::TTestChild(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  RegisterPropertyBoolean(
      "Fail", [this] { return fail_.Pending; },
      [this](bool v) { ChangeSetting(fail_.Pending, v); });
  LoadAndApplySettings();
}

TTestChild::~TTestChild() {
  PrepareDelete();
}

void TTestChild::ReceiveData(const std::string& Data) {
  if (fail_.Applied)
    throw EKYTModuleObject("child #" + std::to_string(InstanceID) + " refused");
  std::lock_guard lock(receivedLock);
  received.emplace_back(InstanceID, Data);
}

void TTestChild::ApplyChanges() {
  fail_.Apply();
  TKYTModuleObject::ApplyChanges();
}

void TTestChild::ResetChanges() {
  fail_.Reset();
  TKYTModuleObject::ResetChanges();
}

std::vector<std::pair<TInstanceID, std::string>> TTestChild::Received() {
  std::lock_guard lock(receivedLock);
  return received;
}

void TTestChild::ClearReceived() {
  std::lock_guard lock(receivedLock);
  received.clear();
}

const TKYTModuleClass TDeafChild::Class = MakeModuleClass<TDeafChild>({
    .ClassName = "TDeafChild",
    .ModuleID = "{7A1D2F00-0000-4000-8000-00000000A003}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Deaf Child",
});

TDeafChild::TDeafChild(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  LoadAndApplySettings();
}

void RegisterTestModules(host::TReferenceHost& host) {
  host.RegisterModule(&TTestModule::Class, &TestTypeInfo(), "TEST");
  host.RegisterModule(&TTestChild::Class, nullptr, "TESTCHILD");
  host.RegisterModule(&TDeafChild::Class, nullptr, "DEAF");
}

}  // namespace kyt::testing_module
