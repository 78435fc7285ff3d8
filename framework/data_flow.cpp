// Reporting to the host and handing received data to the children.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "framework/module_object.h"
#include "runtime/teardown.h"

namespace kyt {
namespace {

// The instances this thread is handing a block to the children of, innermost last. Plain data:
// the plug-in is loaded at run time, so its thread-local storage is freed by whichever thread
// reuses an ended thread's stack, and a destructor of ours there would race with that (a
// delivery nested deeper than the array is counted but not recorded).
constexpr std::size_t kDeliveringDepth = 32;
thread_local const TKYTModuleObject* t_delivering[kDeliveringDepth];
thread_local std::size_t t_deliveringDepth = 0;

class TDelivering {
 public:
  explicit TDelivering(const TKYTModuleObject* instance) {
    if (t_deliveringDepth < kDeliveringDepth)
      t_delivering[t_deliveringDepth] = instance;
    ++t_deliveringDepth;
  }
  ~TDelivering() { --t_deliveringDepth; }
  TDelivering(const TDelivering&) = delete;
  TDelivering& operator=(const TDelivering&) = delete;

 private:
  // A child that drops the last reference to an instance (this one included) leaves its
  // teardown to the service thread, which can wait for this delivery to end.
  TCallScope inside_;
};

}  // namespace

std::string FailureText(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

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
  const TKYTModuleObject* const* const begin = t_delivering;
  const TKYTModuleObject* const* const end = begin + std::min(t_deliveringDepth, kDeliveringDepth);
  if (std::find(begin, end, this) == end)
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
