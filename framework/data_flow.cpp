// Reporting to the host and handing received data to the children.

#include <algorithm>
#include <vector>

#include "framework/module_object.h"
#include "runtime/teardown.h"

namespace kyt {
namespace {

// The instances this thread is handing a block to the children of, innermost last.
thread_local std::vector<const TKYTModuleObject*> t_delivering;

class TDelivering {
 public:
  explicit TDelivering(const TKYTModuleObject* instance) { t_delivering.push_back(instance); }
  ~TDelivering() { t_delivering.pop_back(); }
  TDelivering(const TDelivering&) = delete;
  TDelivering& operator=(const TDelivering&) = delete;

 private:
  // A child that drops the last reference to an instance (this one included) leaves its
  // teardown to the service thread, which can wait for this delivery to end.
  TCallScope inside_;
};

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
  const TDelivering delivering(this);
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

bool TKYTModuleObject::ApplyLaterWhenDelivering() {
  if (std::find(t_delivering.begin(), t_delivering.end(), this) == t_delivering.end())
    return false;
  // The queued apply holds the instance, so it cannot be torn down before the apply ran.
  TRef<IKYTModule> self(static_cast<IKYTModule*>(this));
  RunOnServiceThread([this, self = std::move(self)] {
    try {
      ApplyChanges();
    } catch (const std::exception& e) {
      LogMessage(KL_ERROR, e.what());
    }
  });
  return true;
}

}  // namespace kyt
