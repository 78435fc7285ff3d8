#include "host/host_core.h"
#include "host/host_object.h"
#include "host/services.h"

namespace kyt::host {

namespace {

class TTimerPoolService final : public THostObject<IKYTTimerPoolEx>, TServiceBase {
 public:
  using TServiceBase::TServiceBase;

  TTimerID RegisterTimer(const std::string& Name, TInstanceID InstanceID, TTimerCallback Callback,
                         int32_t Interval) override {
    return Core()->Timers.Register(Name, InstanceID, std::move(Callback), Interval);
  }
  int32_t GetTimerInterval(TTimerID TimerID) override { return Core()->Timers.Interval(TimerID); }
  void UnregisterTimer(TTimerID TimerID) override { Core()->Timers.Unregister(TimerID); }
  void SetTimerInterval(TTimerID TimerID, int32_t Interval) override {
    Core()->Timers.SetInterval(TimerID, Interval);
  }
  bool TimerExists(TTimerID TimerID) override { return Core()->Timers.Exists(TimerID); }
  std::string GetTimerName(TTimerID TimerID) override { return Core()->Timers.Name(TimerID); }
};

}  // namespace

TRef<IKYTTimerPoolEx> MakeTimerPoolService(std::weak_ptr<THostCore> core) {
  return TRef<IKYTTimerPoolEx>(new TTimerPoolService(std::move(core)));
}

}  // namespace kyt::host
