#include "framework/reconnect_timer.h"

#include <utility>

namespace kyt {

TReconnectTimer::TReconnectTimer(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID,
                                 TTimerCallback OnTick)
    : kernel_(Kernel) {
  timer_ = kernel_->GetTimerPool()->RegisterTimer("Reconnect", InstanceID, std::move(OnTick), 1);
}

TReconnectTimer::~TReconnectTimer() {
  Unregister();
}

void TReconnectTimer::Opened() {
  counter_ = 0;
  SetInterval(0);
}

int32_t TReconnectTimer::NextAttempt() {
  SetInterval(counter_ + kFirstRetry);
  return ++counter_;
}

void TReconnectTimer::Unregister() noexcept {
  const TTimerID timer = std::exchange(timer_, 0);
  if (timer == 0)
    return;
  try {
    kernel_->GetTimerPool()->UnregisterTimer(timer);
  } catch (...) {
  }
}

void TReconnectTimer::SetInterval(int32_t Seconds) {
  if (timer_ == 0)
    return;
  kernel_->GetTimerPool()->SetTimerInterval(timer_, Seconds);
}

}  // namespace kyt
