#include "usb/hid_device.h"

#include <algorithm>
#include <chrono>

namespace kyt {

namespace {
// HID string fields hold at most this many characters.
constexpr std::size_t kMaxTextUnits = 254;
}  // namespace

// ---- TJvHidDeviceReadThread -----------------------------------------------------------------

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice& Device) : device_(Device) {}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread() {
  TerminateAndWait();
}

void TJvHidDeviceReadThread::Stop() {
  std::lock_guard lock(lock_);
  Terminate();
  if (reader_)
    reader_->Stop();
  wake_.notify_all();
}

void TJvHidDeviceReadThread::Pause() {
  std::unique_lock lock(lock_);
  wake_.wait_for(lock, std::chrono::milliseconds(device_.ThreadSleepTime()),
                 [this] { return Terminated(); });
}

void TJvHidDeviceReadThread::ReportError(int code) {
  device_.lastError_ = code;
  device_.DeliverError(static_cast<uint32_t>(code));
}

void TJvHidDeviceReadThread::Execute() {
  const std::size_t length = device_.Caps().InputReportByteLength;
  while (!Terminated()) {
    report_.assign(length, 0);
    if (!reader_) {
      std::unique_ptr<hid::IReportReader> reader;
      try {
        reader = hid::Platform().OpenReader(device_.DevicePath());
      } catch (const hid::HidError& e) {
        ReportError(e.Code());
        if (hid::IsDeviceGone(e.Code())) {
          // No notice may come for it (the watch may have missed it): ask for a scan.
          device_.Gone();
          break;
        }
        // Retrying at once would spin as long as the cause lasts.
        Pause();
        continue;
      }
      std::lock_guard lock(lock_);
      if (Terminated())
        break;
      reader_ = std::move(reader);
    }
    const hid::TReadResult result =
        reader_->Read(report_, std::chrono::milliseconds(device_.ThreadSleepTime()));
    switch (result.Status) {
      case hid::TReadStatus::Report:
        if (result.Count > 0) {
          const auto size = static_cast<uint16_t>(std::min<std::size_t>(result.Count - 1, 0xFFFF));
          device_.Deliver(report_[0], report_.data() + 1, size);
        }
        break;
      case hid::TReadStatus::Idle:
      case hid::TReadStatus::Stopped:
        break;
      case hid::TReadStatus::Gone:
        // Once: the device will not come back under this handle, and polling it again would
        // wake at once forever.
        device_.lastError_ = result.Error;
        device_.Gone();
        return;
      case hid::TReadStatus::Failed:
        ReportError(result.Error);
        Pause();
        break;
    }
  }
}

// ---- TJvHidDevice ---------------------------------------------------------------------------

TJvHidDevice::TJvHidDevice(TJvHidDeviceController* Controller, const hid::TDeviceEntry& Entry,
                           TDataEvent OnData, TUnplugEvent OnUnplug, uint32_t ThreadSleepTime)
    : controller_(Controller),
      entry_(Entry),
      sleepTime_(ThreadSleepTime),
      onData_(std::move(OnData)),
      onUnplug_(std::move(OnUnplug)) {
  auto& platform = hid::Platform();
  try {
    general_ = platform.Open(entry_.Path, hid::TAccess::ReadWrite);
    readWrite_ = true;
  } catch (const hid::HidError&) {
    general_ = platform.Open(entry_.Path, hid::TAccess::QueryOnly);
  }
  attributes_ = general_->Attributes();
  try {
    caps_ = general_->Caps();
  } catch (const hid::HidError&) {
    // A device without a readable descriptor still identifies itself; it has no reports.
  }
  general_.reset();
}

TJvHidDevice::~TJvHidDevice() {
  StopThread();
  CloseHandles();
}

bool TJvHidDevice::OpenGeneral() {
  if (general_)
    return true;
  if (!IsAccessible())
    return false;
  try {
    general_ = hid::Platform().Open(entry_.Path,
                                    readWrite_ ? hid::TAccess::ReadWrite : hid::TAccess::QueryOnly);
    return true;
  } catch (const hid::HidError& e) {
    lastError_ = e.Code();
    return false;
  }
}

void TJvHidDevice::CloseHandles() {
  std::lock_guard lock(handleLock_);
  general_.reset();
}

std::u16string TJvHidDevice::CachedText(
    std::u16string& cache, std::optional<std::u16string> (hid::IDeviceHandle::*query)()) {
  std::lock_guard lock(handleLock_);
  if (!cache.empty())
    return cache;
  if (!OpenGeneral())
    return {};
  std::u16string text = (general_.get()->*query)().value_or(std::u16string{});
  if (text.size() > kMaxTextUnits)
    text.resize(kMaxTextUnits);
  cache = text;
  general_.reset();
  return text;
}

std::u16string TJvHidDevice::VendorName() {
  return CachedText(vendorName_, &hid::IDeviceHandle::ManufacturerString);
}

std::u16string TJvHidDevice::ProductName() {
  return CachedText(productName_, &hid::IDeviceHandle::ProductString);
}

std::u16string TJvHidDevice::SerialNumber() {
  std::lock_guard lock(handleLock_);
  if (!serial_.empty())
    return serial_;
  if (!OpenGeneral())
    return {};
  serial_ = ReadSerialNumber(*general_);
  general_.reset();
  return serial_;
}

// Some devices answer the serial number query with their language list (string 0); such a
// device has no serial number of its own.
std::u16string TJvHidDevice::ReadSerialNumber(hid::IDeviceHandle& handle) {
  std::u16string serial = handle.SerialNumberString().value_or(std::u16string{});
  if (serial.empty())
    return {};
  if (serial.size() > kMaxTextUnits)
    serial.resize(kMaxTextUnits);
  const std::optional<std::u16string> languages = handle.IndexedString(0);
  // A language list that cannot be read says nothing against the serial number.
  if (!languages)
    return serial;
  std::u16string list = *languages;
  while (!list.empty() && list.back() == 0xFFFF) list.pop_back();
  if (!list.empty() && list.back() == 0)
    list.pop_back();
  if (list.empty() || serial.compare(0, list.size(), list) == 0)
    return {};
  return serial;
}

void TJvHidDevice::SetOnData(TDataEvent Handler) {
  if (!Handler)
    StopThread();
  {
    std::lock_guard lock(eventLock_);
    onData_ = std::move(Handler);
  }
  StartThreadIfWanted();
}

void TJvHidDevice::SetOnDataError(TDataErrorEvent Handler) {
  std::lock_guard lock(eventLock_);
  onDataError_ = std::move(Handler);
}

void TJvHidDevice::SetOnUnplug(TUnplugEvent Handler) {
  std::lock_guard lock(eventLock_);
  onUnplug_ = std::move(Handler);
}

TJvHidDevice::TUnplugEvent TJvHidDevice::OnUnplug() const {
  std::lock_guard lock(eventLock_);
  return onUnplug_;
}

bool TJvHidDevice::WriteReport(const void* Buffer, uint32_t Length, uint32_t& Written) {
  Written = 0;
  std::lock_guard lock(handleLock_);
  if (!OpenGeneral())
    return false;
  try {
    Written = static_cast<uint32_t>(general_->Write(static_cast<const uint8_t*>(Buffer), Length));
    return true;
  } catch (const hid::HidError& e) {
    lastError_ = e.Code();
    return false;
  }
}

void TJvHidDevice::SetThreadSleepTime(uint32_t Milliseconds) {
  if (Milliseconds >= 10 && Milliseconds <= 10000)
    sleepTime_ = Milliseconds;
}

void TJvHidDevice::StartThreadIfWanted() {
  if (thread_ || !pluggedIn_ || !checkedOut_ || !readWrite_)
    return;
  {
    std::lock_guard lock(eventLock_);
    if (!onData_)
      return;
  }
  thread_ = std::make_unique<TJvHidDeviceReadThread>(*this);
  thread_->Start();
}

void TJvHidDevice::StopThread() {
  // Taken out first: the wait serves the main thread's queue, and a removal run from there
  // stops this device too. It must find no thread left to free under this wait.
  const std::unique_ptr<TJvHidDeviceReadThread> thread = std::move(thread_);
  if (!thread)
    return;
  thread->Stop();
  thread->WaitFor();
}

void TJvHidDevice::Deliver(uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
  TDataEvent handler;
  {
    std::lock_guard lock(eventLock_);
    handler = onData_;
  }
  if (handler)
    handler(*this, ReportID, Data, Size);
}

void TJvHidDevice::DeliverError(uint32_t Error) {
  // Read errors are told on the main thread; the device may be gone by the time it runs.
  std::weak_ptr<TJvHidDevice> self = weak_from_this();
  TThread::Queue([self, Error] {
    auto device = self.lock();
    if (!device)
      return;
    TDataErrorEvent handler;
    {
      std::lock_guard lock(device->eventLock_);
      handler = device->onDataError_;
    }
    if (handler)
      handler(*device, Error);
  });
}

void TJvHidDevice::Gone() {
  if (onGone_)
    onGone_();
}

void TJvHidDevice::Unplug() {
  StopThread();
  CloseHandles();
  pluggedIn_ = false;
  TUnplugEvent handler = OnUnplug();
  if (handler)
    handler(*this);
  SetOnUnplug(nullptr);
}

}  // namespace kyt
