#pragma once

// The "Reconnect" host timer shared by the modules that reopen their channel on their own
// (Serial Port, Client Socket, FTDI, and the Server Socket for a port it could not bind): 1 s from
// creation so the first tick opens a channel once the kernel runs, 10 s after a loss, then 5, 6, 7,
// ... s (5 plus the attempts so far) while attempts fail, stopped once the channel is open.

#include <cstdint>

#include "framework/interfaces.h"

namespace kyt {

class TReconnectTimer {
 public:
  static constexpr int32_t kAfterLoss = 10;
  static constexpr int32_t kFirstRetry = 5;

  // Registers the timer "Reconnect" for the instance with an interval of 1 second.
  TReconnectTimer(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID, TTimerCallback OnTick);
  ~TReconnectTimer();
  TReconnectTimer(const TReconnectTimer&) = delete;
  TReconnectTimer& operator=(const TReconnectTimer&) = delete;

  // The channel is open: the timer stops and the attempts count from zero again.
  void Opened();
  // The channel was lost: the next attempt comes after 10 seconds.
  void Lost() { SetInterval(kAfterLoss); }
  void Stop() { SetInterval(0); }
  // Arms the wait before the following attempt (counter + 5 s) and returns this attempt's number,
  // counted from 1.
  int32_t NextAttempt();
  void ResetCounter() { counter_ = 0; }
  int32_t Counter() const { return counter_; }

  // Drops the host timer; later interval changes are ignored (a channel closed during
  // destruction reports its loss after the timer is gone). Never throws.
  void Unregister() noexcept;
  TTimerID ID() const { return timer_; }

 private:
  void SetInterval(int32_t Seconds);

  TRef<IKYTKernel> kernel_;
  TTimerID timer_ = 0;
  int32_t counter_ = 0;
};

}  // namespace kyt
