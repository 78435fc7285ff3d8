#pragma once

// One present HID device interface as the controller sees it, and the thread that reads its
// input reports.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "runtime/thread.h"

namespace kyt {

class TJvHidDevice;
class TJvHidDeviceController;

// Reads one device's input reports and hands each to the device's OnData, on this thread.
class TJvHidDeviceReadThread : public TThread {
 public:
  explicit TJvHidDeviceReadThread(TJvHidDevice& Device);
  ~TJvHidDeviceReadThread() override;

  // Terminates and wakes a wait in progress; WaitFor then returns promptly.
  void Stop();

 protected:
  void Execute() override;

 private:
  // Waits the device's sleep time unless a stop comes first.
  void Pause();
  void ReportError(int code);

  TJvHidDevice& device_;
  std::vector<uint8_t> report_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::unique_ptr<hid::IReportReader> reader_;  // guarded by lock_ while it is set or stopped
};

class TJvHidDevice : public std::enable_shared_from_this<TJvHidDevice> {
 public:
  using TDataEvent = std::function<void(TJvHidDevice& HidDev, uint8_t ReportID, const uint8_t* Data,
                                        uint16_t Size)>;
  using TDataErrorEvent = std::function<void(TJvHidDevice& HidDev, uint32_t Error)>;
  using TUnplugEvent = std::function<void(TJvHidDevice& HidDev)>;

  // Opens the device read-write, or for queries only when that fails, and reads its identity.
  // Raises hid::HidError when it cannot be opened at all or its attributes cannot be read.
  TJvHidDevice(TJvHidDeviceController* Controller, const hid::TDeviceEntry& Entry,
               TDataEvent OnData, TUnplugEvent OnUnplug, uint32_t ThreadSleepTime);
  ~TJvHidDevice();
  TJvHidDevice(const TJvHidDevice&) = delete;
  TJvHidDevice& operator=(const TJvHidDevice&) = delete;

  uint32_t DeviceID() const { return entry_.InstanceNumber; }
  const std::string& DevicePath() const { return entry_.Path; }
  // Tells two appearances of one instance number apart.
  const std::string& Identity() const { return entry_.Identity; }
  bool IsPluggedIn() const { return pluggedIn_; }
  bool IsCheckedOut() const { return checkedOut_; }
  bool IsEnumerated() const { return enumerated_; }
  uint16_t VendorID() const { return attributes_.VendorID; }
  uint16_t ProductID() const { return attributes_.ProductID; }
  uint16_t VersionNumber() const { return attributes_.VersionNumber; }
  bool HasReadWriteAccess() const { return readWrite_; }
  const hid::TCaps& Caps() const { return caps_; }

  // Cached once read; asked of the device while it is accessible (plugged in, and checked out
  // or being enumerated). An empty serial number is asked again next time.
  std::u16string SerialNumber();
  std::u16string VendorName();
  std::u16string ProductName();

  // No handler stops the read thread; a handler starts it when the device is plugged in,
  // checked out and writable.
  void SetOnData(TDataEvent Handler);
  void SetOnDataError(TDataErrorEvent Handler);
  void SetOnUnplug(TUnplugEvent Handler);
  TUnplugEvent OnUnplug() const;
  bool HasReadThread() const { return thread_ != nullptr; }

  // Writes one report on the caller's thread. On failure LastError() holds the system's code.
  bool WriteReport(const void* Buffer, uint32_t Length, uint32_t& Written);
  int LastError() const { return lastError_; }

  uint32_t ThreadSleepTime() const { return sleepTime_; }
  // Accepts 10 to 10000 ms; other values are ignored.
  void SetThreadSleepTime(uint32_t Milliseconds);

 private:
  friend class TJvHidDeviceController;
  friend class TJvHidDeviceReadThread;

  bool IsAccessible() const { return pluggedIn_ && (checkedOut_ || enumerated_); }
  // The general handle serves queries and writes; opened on demand.
  bool OpenGeneral();
  void CloseHandles();
  std::u16string CachedText(std::u16string& cache,
                            std::optional<std::u16string> (hid::IDeviceHandle::*query)());
  std::u16string ReadSerialNumber(hid::IDeviceHandle& handle);
  void StartThreadIfWanted();
  void StopThread();
  // From the read thread.
  void Deliver(uint8_t ReportID, const uint8_t* Data, uint16_t Size);
  void DeliverError(uint32_t Error);
  void Gone();

  // Called by the controller.
  void Unplug();

  std::atomic<TJvHidDeviceController*> controller_;
  const hid::TDeviceEntry entry_;
  hid::TAttributes attributes_;
  hid::TCaps caps_;
  bool readWrite_ = false;
  std::atomic<bool> pluggedIn_{true};
  std::atomic<bool> checkedOut_{false};
  std::atomic<bool> enumerated_{false};
  std::atomic<uint32_t> sleepTime_;
  std::atomic<int> lastError_{0};

  mutable std::mutex handleLock_;
  std::unique_ptr<hid::IDeviceHandle> general_;
  std::u16string serial_, vendorName_, productName_;

  mutable std::mutex eventLock_;
  TDataEvent onData_;
  TDataErrorEvent onDataError_;
  TUnplugEvent onUnplug_;

  std::unique_ptr<TJvHidDeviceReadThread> thread_;
  // Set by the controller: what a read thread calls when it finds the device gone.
  std::function<void()> onGone_;
};

}  // namespace kyt
