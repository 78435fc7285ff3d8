#include "usb/hid_controller.h"

#include <algorithm>

namespace kyt {

namespace {

bool SameAppearance(const TJvHidDevice& a, const TJvHidDevice& b) {
  return a.DeviceID() == b.DeviceID() && a.Identity() == b.Identity();
}

}  // namespace

TJvHidDeviceController::TJvHidDeviceController() : self_(std::make_shared<TCell>()) {
  self_->Controller = this;
  try {
    watch_ = hid::Platform().Watch(QueuedChange(false));
  } catch (const std::exception&) {
    // Without notices the list still follows every explicit device change.
  }
  TThread::Queue(QueuedChange(true));
}

TJvHidDeviceController::~TJvHidDeviceController() {
  StopNotices();
  watch_.reset();
  onArrival_ = nullptr;
  onRemoval_ = nullptr;
  onEnumerate_ = nullptr;
  onDeviceChange_ = nullptr;
  onDeviceData_ = nullptr;
  onDeviceUnplug_ = nullptr;
  onDeviceDataError_ = nullptr;
  const std::vector<TDevicePtr> devices = std::move(devices_);
  devices_.clear();
  for (const TDevicePtr& device : devices) {
    device->controller_ = nullptr;
    if (device->IsCheckedOut()) {
      device->Unplug();
    } else {
      device->StopThread();
      device->CloseHandles();
    }
  }
}

void TJvHidDeviceController::StopNotices() {
  TCell& cell = *self_;
  std::unique_lock lock(cell.Lock);
  cell.Controller = nullptr;
  if (!IsMainThread()) {
    cell.Idle.wait(lock, [&] { return cell.Running == 0; });
    return;
  }
  // A notice running elsewhere (deferred to an instance's holder) may wait for this thread.
  lock.unlock();
  ServeUntil([&] {
    std::lock_guard inner(cell.Lock);
    return cell.Running == 0;
  });
}

void TJvHidDeviceController::EndNotice(TCell& cell) {
  {
    std::lock_guard lock(cell.Lock);
    --cell.Running;
  }
  cell.Idle.notify_all();
  WakeMainThread();
}

std::function<void()> TJvHidDeviceController::QueuedChange(bool forced) {
  std::weak_ptr<TCell> cell = self_;
  return
      [cell, forced] { Reach(cell, [&](TJvHidDeviceController& c) { c.DeviceChange(forced); }); };
}

void TJvHidDeviceController::SetOnDeviceChange(TNotifyEvent Handler) {
  onDeviceChange_ = std::move(Handler);
  DeviceChange();
}

void TJvHidDeviceController::DeviceChange(bool forced) {
  if (serializer_) {
    // The notice may run later (deferred while the owner waits for one of its threads): it
    // comes back through the cell, which is empty once this controller is gone.
    std::weak_ptr<TCell> cell = self_;
    serializer_([cell, forced] {
      Reach(cell, [&](TJvHidDeviceController& c) { c.RunDeviceChanges(forced); });
    });
    return;
  }
  RunDeviceChanges(forced);
}

void TJvHidDeviceController::RunDeviceChanges(bool forced) {
  // Handlers may serve the main thread's queue (stopping a read thread does), which can bring
  // the next notice in while this one runs. It runs after this one instead of being dropped,
  // or an arrival during a removal would go unseen.
  if (inChange_) {
    changeWaiting_ = true;
    forcedWaiting_ = forcedWaiting_ || forced;
    return;
  }
  inChange_ = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{inChange_};
  bool changed = forced;
  for (;;) {
    RunDeviceChange(changed);
    if (!changeWaiting_)
      break;
    changed = forcedWaiting_;
    changeWaiting_ = forcedWaiting_ = false;
  }
}

std::vector<TJvHidDeviceController::TDevicePtr> TJvHidDeviceController::Scan() {
  std::vector<TDevicePtr> found;
  std::vector<hid::TDeviceEntry> entries;
  try {
    entries = hid::Platform().Enumerate();
  } catch (const std::exception&) {
    return found;
  }
  std::weak_ptr<TCell> cell = self_;
  for (const hid::TDeviceEntry& entry : entries) {
    TDevicePtr device;
    try {
      device = std::make_shared<TJvHidDevice>(this, entry, onDeviceData_, onDeviceUnplug_,
                                              DevThreadSleepTime);
    } catch (const std::exception&) {
      continue;  // cannot be opened even for queries: not listed
    }
    device->SetOnDataError(onDeviceDataError_);
    // A read loop that finds its device gone asks for a scan, in case no notice comes.
    device->onGone_ = [cell] {
      TThread::Queue([cell] { Reach(cell, [](TJvHidDeviceController& c) { c.DeviceChange(); }); });
    };
    found.push_back(std::move(device));
  }
  return found;
}

void TJvHidDeviceController::RunDeviceChange(bool changed) {
  std::vector<TDevicePtr> found = Scan();

  const std::vector<TDevicePtr> current = devices_;
  for (auto it = current.rbegin(); it != current.rend(); ++it) {
    const TDevicePtr& device = *it;
    // An unplugged device still checked out waits for its CheckIn; it left only once.
    if (!device->IsPluggedIn())
      continue;
    const bool stays = std::any_of(found.begin(), found.end(), [&](const TDevicePtr& f) {
      return SameAppearance(*f, *device);
    });
    if (stays)
      continue;
    device->Unplug();
    if (onRemoval_)
      onRemoval_(*device);
    if (!device->IsCheckedOut())
      RemoveFromList(*device);
    changed = true;
  }

  std::erase_if(found, [&](const TDevicePtr& f) {
    return std::any_of(devices_.begin(), devices_.end(), [&](const TDevicePtr& d) {
      return d->IsPluggedIn() && SameAppearance(*d, *f);
    });
  });
  for (const TDevicePtr& device : found) {
    devices_.push_back(device);
    changed = true;
    if (onArrival_) {
      device->enumerated_ = true;
      onArrival_(*device);
      device->enumerated_ = false;
    }
  }

  CountDevices();
  if (changed && onDeviceChange_)
    onDeviceChange_(*this);
}

int TJvHidDeviceController::Enumerate() {
  int visited = 0;
  const std::vector<TDevicePtr> current = devices_;
  for (std::size_t index = 0; index < current.size(); ++index) {
    TJvHidDevice& device = *current[index];
    if (!device.IsPluggedIn())
      continue;
    ++visited;
    bool more = true;
    if (onEnumerate_) {
      device.enumerated_ = true;
      more = onEnumerate_(device, static_cast<int>(index));
      device.enumerated_ = false;
    }
    if (!device.IsCheckedOut())
      device.CloseHandles();
    if (!more)
      break;
  }
  return visited;
}

bool TJvHidDeviceController::CheckOut(TJvHidDevice& HidDev) {
  if (!HidDev.controller_ || !HidDev.IsPluggedIn() || HidDev.IsCheckedOut())
    return false;
  HidDev.checkedOut_ = true;
  HidDev.StartThreadIfWanted();
  CountDevices();
  return true;
}

void TJvHidDeviceController::CheckIn(TDevicePtr& HidDev) {
  if (!HidDev)
    return;
  const TDevicePtr device = std::move(HidDev);
  HidDev.reset();
  device->StopThread();
  device->CloseHandles();
  if (device->IsPluggedIn()) {
    device->checkedOut_ = false;
  } else {
    RemoveFromList(*device);
  }
  CountDevices();
}

void TJvHidDeviceController::RemoveFromList(const TJvHidDevice& HidDev) {
  std::erase_if(devices_, [&](const TDevicePtr& d) { return d.get() == &HidDev; });
}

void TJvHidDeviceController::CountDevices() {
  checkedIn_ = checkedOut_ = unplugged_ = 0;
  for (const TDevicePtr& device : devices_) {
    if (!device->IsPluggedIn()) {
      ++unplugged_;
    } else if (device->IsCheckedOut()) {
      ++checkedOut_;
    } else {
      ++checkedIn_;
    }
  }
}

}  // namespace kyt
