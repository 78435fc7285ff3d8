#pragma once

// The list of HID devices present on the machine, kept current as devices arrive and leave.
// Device changes are handled on the thread that created the controller (the main thread), as
// the platform's notices are queued there.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/hid.h"
#include "usb/hid_device.h"

namespace kyt {

class TJvHidDeviceController {
 public:
  using TDevicePtr = std::shared_ptr<TJvHidDevice>;
  using TDeviceEvent = std::function<void(TJvHidDevice& HidDev)>;
  using TEnumerateEvent = std::function<bool(TJvHidDevice& HidDev, int Index)>;
  using TNotifyEvent = std::function<void(TJvHidDeviceController& Sender)>;

  // Starts watching for device changes and queues a first one, so a scan follows once the
  // main thread serves its queue. Raises nothing: without a working platform it stays empty.
  TJvHidDeviceController();
  ~TJvHidDeviceController();
  // From here on no queued notice reaches the controller or its handlers; one that is running
  // (on the main thread) is waited for. The owner's destructor calls it before it frees what
  // the handlers use, since it may run off the main thread.
  void StopNotices();
  TJvHidDeviceController(const TJvHidDeviceController&) = delete;
  TJvHidDeviceController& operator=(const TJvHidDeviceController&) = delete;

  void SetOnArrival(TDeviceEvent Handler) { onArrival_ = std::move(Handler); }
  void SetOnRemoval(TDeviceEvent Handler) { onRemoval_ = std::move(Handler); }
  void SetOnEnumerate(TEnumerateEvent Handler) { onEnumerate_ = std::move(Handler); }
  // Runs a device change at once, so the handler sees the present devices.
  void SetOnDeviceChange(TNotifyEvent Handler);
  // Every device change (and so every arrival, removal and unplug handler) runs inside it: the
  // owner serialises them with its other work.
  using TSerializer = std::function<void(std::function<void()> Change)>;
  void SetSerializer(TSerializer Serializer) { serializer_ = std::move(Serializer); }
  // Given to every device created from now on.
  void SetOnDeviceData(TJvHidDevice::TDataEvent Handler) { onDeviceData_ = std::move(Handler); }
  void SetOnDeviceUnplug(TDeviceEvent Handler) { onDeviceUnplug_ = std::move(Handler); }
  void SetOnDeviceDataError(TJvHidDevice::TDataErrorEvent Handler) {
    onDeviceDataError_ = std::move(Handler);
  }

  // Calls OnEnumerate for each plugged-in device in list order until it answers false;
  // returns how many it visited.
  int Enumerate();
  // Reserves a plugged-in device that is not checked out (and starts its read thread when it
  // has a data handler); false when it cannot.
  bool CheckOut(TJvHidDevice& HidDev);
  // Returns a device: stops its reading, closes it, and frees it when it was unplugged. The
  // caller's reference is cleared.
  void CheckIn(TDevicePtr& HidDev);

  // What a device-change notice does; `forced` reports a change even when the scan found none.
  void DeviceChange(bool forced = false);

  const std::vector<TDevicePtr>& Devices() const { return devices_; }
  int CheckedInCount() const { return checkedIn_; }
  int CheckedOutCount() const { return checkedOut_; }
  int UnpluggedCount() const { return unplugged_; }
  uint32_t DevThreadSleepTime = 100;

 private:
  std::vector<TDevicePtr> Scan();
  void RunDeviceChanges(bool forced);
  void RunDeviceChange(bool changed);
  void RemoveFromList(const TJvHidDevice& HidDev);
  void CountDevices();
  // A notice to run a device change on the main thread later, safe after destruction.
  std::function<void()> QueuedChange(bool forced);

  std::vector<TDevicePtr> devices_;
  bool inChange_ = false;
  bool changeWaiting_ = false;
  bool forcedWaiting_ = false;
  int checkedIn_ = 0, checkedOut_ = 0, unplugged_ = 0;

  TDeviceEvent onArrival_, onRemoval_, onDeviceUnplug_;
  TEnumerateEvent onEnumerate_;
  TNotifyEvent onDeviceChange_;
  TJvHidDevice::TDataEvent onDeviceData_;
  TJvHidDevice::TDataErrorEvent onDeviceDataError_;
  TSerializer serializer_;

  // Queued notices reach the controller through this cell. StopNotices empties it and waits
  // for the notices that are running (the owner may be destroyed off the main thread). No lock
  // is held while a notice runs: it may wait for the instance, whose holder may run a deferred
  // notice meanwhile.
  struct TCell {
    std::mutex Lock;
    std::condition_variable Idle;
    TJvHidDeviceController* Controller = nullptr;
    int Running = 0;
  };
  // Runs `fn` on the controller when it still exists.
  template <class F>
  static void Reach(const std::weak_ptr<TCell>& cell, F fn) {
    const std::shared_ptr<TCell> alive = cell.lock();
    if (!alive)
      return;
    TJvHidDeviceController* controller = nullptr;
    {
      std::lock_guard lock(alive->Lock);
      controller = alive->Controller;
      if (controller == nullptr)
        return;
      ++alive->Running;
    }
    struct TDone {
      TCell& cell;
      ~TDone() { EndNotice(cell); }
    } done{*alive};
    fn(*controller);
  }
  static void EndNotice(TCell& cell);
  std::shared_ptr<TCell> self_;
  std::unique_ptr<hid::IDeviceWatch> watch_;
};

}  // namespace kyt
