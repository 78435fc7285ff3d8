// Reporting to the host and handing received data to the children.

#include "framework/module_object.h"

namespace kyt {
namespace {

std::string FailureText(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace

void TKYTModuleObject::LogMessage(int32_t Code, const std::string& Text) {
  Kernel->PostLogMessage(Code, InstanceID, GetModuleName(), Text);
}

void TKYTModuleObject::SendDebug(const std::string& Title, const std::string& Data) {
  Kernel->GetDebugService()->SendDebug(InstanceID, Title, Data);
}

void TKYTModuleObject::SetStatus(int32_t Status) {
  Kernel->GetStatusService()->SetInstanceStatus(InstanceID, Status);
}

void TKYTModuleObject::SetSummary(const std::string& Summary) {
  Kernel->GetObjectManager()->SetSummary(InstanceID, Summary);
}

std::vector<TRef<IKYTModule>> TKYTModuleObject::GetChildInterfaces() {
  TInstanceIDs children = Kernel->GetConnectionService()->GetChildren(InstanceID);
  TRef<IKYTInstanceManager> instances = Kernel->GetInstanceManager();
  std::vector<TRef<IKYTModule>> result;
  for (TInstanceID child : children) {
    if (!instances->InstanceExists(child))
      continue;
    try {
      TKYTInstance record = instances->GetInstance(child);
      if (record.InstanceInterface)
        result.push_back(record.InstanceInterface);
    } catch (const Exception&) {
      // Deleted between the two calls: it is simply no longer a child.
    }
  }
  return result;
}

template <class I, class F>
void TKYTModuleObject::HandToChildren(const F& call) {
  for (const TRef<IKYTModule>& child : GetChildInterfaces()) {
    TRef<I> receiver = Supports<I>(child);
    if (!receiver)
      continue;
    // One child's failure must not cost the others their block.
    try {
      call(*receiver);
    } catch (...) {
      LogMessage(KL_WARNING, FailureText(std::current_exception()));
    }
  }
}

void TKYTModuleObject::DeliverToChildren(const std::string& Data) {
  HandToChildren<IKYTReceiveData>([&](IKYTReceiveData& child) { child.ReceiveData(Data); });
}

void TKYTModuleObject::DeliverEventToChildren(uint8_t ReportID, const std::string& Data) {
  HandToChildren<IKYTHIDReceiveData>(
      [&](IKYTHIDReceiveData& child) { child.ReceiveEvent(ReportID, Data); });
}

}  // namespace kyt
