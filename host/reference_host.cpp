#include "host/reference_host.h"

#include <fmt/format.h>

#include <algorithm>

#include "host/ascii.h"
#include "host/host_core.h"
#include "host/settings_file.h"
#include "runtime/thread.h"

namespace kyt::host {

struct TReferenceHost::Impl : THostCore {
  using THostCore::THostCore;
};

namespace {

TSettingValue ToSettingValue(const Variant& value) {
  switch (value.GetKind()) {
    case Variant::Kind::Boolean:
      return value.AsBoolean();
    case Variant::Kind::Integer:
      return value.AsInteger();
    case Variant::Kind::Float:
      return value.AsFloat();
    case Variant::Kind::String:
      return value.AsString();
    default:
      throw Exception("A setting is Boolean, Integer, Float or String; got " +
                      value.ToDebugString());
  }
}

Variant ToVariant(const TSettingValue& value) {
  return std::visit([](const auto& v) { return Variant(v); }, value);
}

// Short slices keep a predicate that depends on other threads from waiting long after it
// became true; CheckSynchronize returns at once when a hand-over arrives.
constexpr auto kPumpSlice = std::chrono::milliseconds(10);

}  // namespace

TReferenceHost::TReferenceHost(THostOptions options)
    : impl_(std::make_shared<Impl>(std::move(options))) {
  impl_->Start();
}

TReferenceHost::~TReferenceHost() {
  impl_->Shutdown();
}

TRef<IKYTKernel> TReferenceHost::Kernel() const {
  return impl_->Services.Kernel;
}

int32_t TReferenceHost::Runlevel() const {
  return impl_->Runlevel;
}
void TReferenceHost::SetRunlevel(int32_t level) {
  impl_->SetRunlevel(level);
}
void TReferenceHost::AnnounceRunlevel(int32_t level) {
  impl_->Runlevel = level;
}
void TReferenceHost::SendMessageTo(TInstanceID instance, const TKYTMessage& message) {
  impl_->SendMessageTo(instance, message);
}

void TReferenceHost::LoadLibrary(const std::string& path) {
  impl_->LoadLibrary(path);
}
void TReferenceHost::UnloadLibrary() {
  impl_->UnloadLibrary();
}
bool TReferenceHost::LibraryKeptLoaded() const {
  return impl_->LibraryKeptLoaded;
}
void TReferenceHost::RegisterModule(const TKYTModuleClass* cls, const TInterfaceTypeInfo* info,
                                    const std::string& name) {
  impl_->RegisterModule(cls, info, name);
}
std::vector<TReferenceHost::TRegisteredModule> TReferenceHost::RegisteredModules() const {
  return impl_->Modules.All();
}
void TReferenceHost::SetModuleFunctionFlag(const std::string& moduleID, bool flag) {
  impl_->Modules.SetFunctionFlag(moduleID, flag);
}

TInstanceID TReferenceHost::CreateInstance(const std::string& module, TInstanceID id,
                                           TInstanceID parent, const std::string& name) {
  return impl_->CreateInstance(module, id, parent, name);
}
void TReferenceHost::DeleteInstance(TInstanceID id) {
  impl_->DeleteInstance(id);
}
void TReferenceHost::DeleteAllInstances() {
  impl_->DeleteAllInstances();
}
void TReferenceHost::ConnectInstance(TInstanceID child, TInstanceID parent) {
  impl_->Objects.Connect(child, parent);
}
void TReferenceHost::DisconnectInstance(TInstanceID child) {
  impl_->Objects.Disconnect(child);
}
TRef<IKYTModule> TReferenceHost::Instance(TInstanceID id) const {
  return impl_->Objects.LiveObject(id);
}
std::vector<TInstanceID> TReferenceHost::InstanceIDs() const {
  return impl_->Objects.Instances();
}
TInstanceID TReferenceHost::AddDeadInstance(TInstanceID id, TInstanceID parent) {
  id = impl_->Objects.AddInstance(id, nullptr, "");
  if (parent != 0)
    impl_->Objects.Connect(id, parent);
  return id;
}

Variant TReferenceHost::Call(const std::string& function, const std::vector<Variant>& args) {
  return impl_->Call(function, args);
}
bool TReferenceHost::FunctionExists(const std::string& function) const {
  return impl_->Scripts.Exists(function);
}
std::vector<std::string> TReferenceHost::FunctionNames(TInstanceID instance) const {
  return impl_->Scripts.Names(instance);
}

void TReferenceHost::StoreSetting(TInstanceID id, const std::vector<std::string>& path,
                                  const std::string& name, const Variant& value) {
  impl_->Settings.Write(id, path, name, ToSettingValue(value));
}
std::optional<Variant> TReferenceHost::ReadSetting(TInstanceID id,
                                                   const std::vector<std::string>& path,
                                                   const std::string& name) const {
  auto value = impl_->Settings.Find(id, path, name);
  if (!value)
    return std::nullopt;
  return ToVariant(*value);
}
std::vector<std::pair<std::string, Variant>> TReferenceHost::SettingsAt(
    TInstanceID id, const std::vector<std::string>& path) const {
  std::vector<std::pair<std::string, Variant>> found;
  for (const auto& setting : impl_->Settings.All()) {
    if (setting.Instance == id && setting.Path.size() == path.size() &&
        std::equal(path.begin(), path.end(), setting.Path.begin(), SameTextIgnoringCase)) {
      found.emplace_back(setting.Name, ToVariant(setting.Value));
    }
  }
  return found;
}
void TReferenceHost::SaveSettingsFile() const {
  if (!impl_->Options.SettingsFile.empty()) {
    WriteSettingsFile(impl_->Options.SettingsFile, impl_->Settings.All());
  }
}

std::optional<int32_t> TReferenceHost::TimerInterval(TInstanceID id,
                                                     const std::string& name) const {
  return impl_->Timers.IntervalOf(id, name);
}
void TReferenceHost::FireTimer(TInstanceID id, const std::string& name) {
  impl_->Timers.Fire(id, name);
}

TRef<IKYTVariableManager> TReferenceHost::Variables() const {
  return impl_->Services.VariableManager;
}
TRef<IKYTObjectManager> TReferenceHost::Objects() const {
  return impl_->Services.ObjectManager;
}

std::vector<THostEvent> TReferenceHost::Events() const {
  return impl_->Events.All();
}
std::vector<THostEvent> TReferenceHost::Events(THostEvent::Kind kind, TInstanceID instance) const {
  return impl_->Events.Filter(kind, instance);
}
void TReferenceHost::ClearEvents() {
  impl_->Events.Clear();
}
int32_t TReferenceHost::Status(TInstanceID id) const {
  return impl_->Objects.Status(id);
}
std::string TReferenceHost::Summary(TInstanceID id) const {
  return impl_->Objects.Summary(id);
}
void TReferenceHost::SetEventListener(std::function<void(const THostEvent&)> listener) {
  impl_->Events.SetListener(std::move(listener));
}
void TReferenceHost::RecordEvent(THostEvent event) {
  impl_->Events.Record(std::move(event));
}
void TReferenceHost::SetKeepEvents(bool keep) {
  impl_->Events.SetKeep(keep);
}
void TReferenceHost::SetRecordDebug(bool record) {
  impl_->Events.SetDebug(record);
}

void TReferenceHost::RunFor(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

bool TReferenceHost::PumpUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero())
      return done();
    CheckSynchronize(std::min(left, std::chrono::milliseconds(kPumpSlice)));
  }
  return true;
}

}  // namespace kyt::host
