#pragma once

// The event a vendor driver library signals when a device has received data. On Linux the FTDI
// D2XX library takes a pointer to its EVENT_HANDLE (a condition variable, its mutex and an int)
// in FT_SetEventNotification and signals the condition variable on every notified event; this
// object owns one such record and lets a watcher wait on it with an upper bound.

#include <chrono>
#include <memory>

namespace kyt {

class TDriverEvent {
 public:
  TDriverEvent();
  ~TDriverEvent();
  TDriverEvent(const TDriverEvent&) = delete;
  TDriverEvent& operator=(const TDriverEvent&) = delete;

  // What the driver library is handed: the address of the EVENT_HANDLE record. It stays valid
  // for the object's lifetime.
  void* Handle();
  // Waits until the event is signalled (by the library or by Signal) or until `deadline`.
  // A condition variable keeps no memory of a signal sent while nobody waited, so callers check
  // their condition again after every return.
  void WaitUntil(std::chrono::steady_clock::time_point deadline);
  // Wakes a waiter, the way the library does.
  void Signal();

 private:
  struct TRecord;
  std::unique_ptr<TRecord> record_;
};

}  // namespace kyt
