#pragma once

// What the FTDI D2XX and the USBXpress controllers share: the vendor library loaded at run time
// with its table of exports, the open/close discipline around one device handle, writing, and
// the watch thread that fetches received bytes and hands them to the owner. Each controller
// adds only the calls of its own library.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/driver_event.h"
#include "platform/dynlib.h"
#include "runtime/exception.h"
#include "runtime/thread.h"

namespace kyt {

// Every failure of the vendor controllers; carries only its message.
class EFTDIException : public Exception {
 public:
  using Exception::Exception;
};

// The vendor library did not load. The message is the controllers' usual one; the file tried
// and the loader's reason travel beside it, so that the log can say why.
class EVendorLibraryLoad : public EFTDIException {
 public:
  EVendorLibraryLoad(const std::string& File, const std::string& Reason)
      : EFTDIException("Failed loading DLL: " + File), File(File), Reason(Reason) {}
  // "Loader: REASON (file tried: FILE)"
  std::string Detail() const { return "Loader: " + Reason + " (file tried: " + File + ")"; }

  const std::string File;
  const std::string Reason;
};

// Calls OnCheck about every interval. With WakeOnEvent the wait ends early when the event is
// signalled, so a driver that signals on received data gets its bytes fetched at once.
class TBufferWatch : public TThread {
 public:
  // One poll; true when it fetched and delivered bytes.
  using TCheck = std::function<bool()>;

  TBufferWatch(std::chrono::milliseconds Interval, bool WakeOnEvent);
  ~TBufferWatch() override;

  TCheck OnCheck;
  TDriverEvent& Event() { return event_; }
  // Asks the thread to end and wakes it; WaitFor then returns within one poll.
  void Stop();

 protected:
  void Execute() override;

 private:
  void Pause();

  TDriverEvent event_;
  const std::chrono::milliseconds interval_;
  const bool wakeOnEvent_;
};

// The library file to load: the environment variable's value when set, else the default name,
// and when that does not load and there is one, the fallback file beside the plug-in (our own
// library for the same interface).
struct TVendorLibraryFile {
  const char* DefaultFile;
  const char* EnvironmentVariable;
  const char* FallbackFile = nullptr;
  std::string Resolve() const;
  // The fallback's full name, empty when there is none or the variable names a file.
  std::string Fallback() const;
};

// How new controllers watch their device; process-wide so tests and benchmarks can set them
// before instances are created.
struct TWatchDefaults {
  std::chrono::milliseconds PollInterval{100};
  bool WakeOnData = true;
};

class TVendorController {
 public:
  static TWatchDefaults& Defaults();

  // Data and its length; runs on the watch thread.
  using TReceiveEvent = std::function<void(const std::string& Data, int32_t Count)>;

  virtual ~TVendorController();
  TVendorController(const TVendorController&) = delete;
  TVendorController& operator=(const TVendorController&) = delete;

  bool Opened() const { return opened_.load(); }
  const std::string& OpenSerialNumber() const { return serialNumber_; }
  // The loaded library file.
  const std::string& LibraryPath() const { return libraryPath_; }

  // Raises "Device is not open", "Error writing Buffer" or "BytesWritten does not match
  // Bufferlength". Nothing is buffered or retried.
  void Write(const std::string& Data);
  // Stops the watch thread, then closes the device handle. Raises "Device is not open" or
  // "Error closing Device"; the controller is closed afterwards either way. Never call it from
  // the watch thread.
  void Close();
  // What destruction does, with its failure raised: closes an open device, forgets the exports
  // and unloads the library.
  void Unload();

  TReceiveEvent OnReceive;
  // The watch thread's poll interval, and whether it wakes on the driver's event (FTDI only).
  std::chrono::milliseconds PollInterval = Defaults().PollInterval;
  bool WakeOnData = Defaults().WakeOnData;

 protected:
  // Loads the library and looks up every name; a missing export is not an error here. Raises
  // "Failed loading DLL: " followed by the file name when the library does not load.
  TVendorController(const TVendorLibraryFile& File, std::initializer_list<const char*> Exports);

  void* Export(size_t Index) const { return exports_[Index]; }
  template <class F>
  F* Function(size_t Index) const {
    return reinterpret_cast<F*>(exports_[Index]);
  }

  void RequireOpen() const;    // "Device is not open"
  void RequireClosed() const;  // "Device already open"
  void* Handle() const { return handle_.load(); }

  // The open discipline: NewWatch creates the watch thread (not started) for the device about
  // to open; Opened stores the handle and serial number and only then starts it; a failure in
  // between drops the watch with DiscardWatch.
  TBufferWatch& NewWatch(bool WakeOnEvent);
  void DiscardWatch() { watch_.reset(); }
  void SetOpened(void* Handle, const std::string& SerialNumber);

  // Hands fetched bytes to OnReceive (on the watch thread).
  void Deliver(const std::string& Data);

  // What differs between the libraries. Each returns true on success.
  virtual bool WriteToDevice(void* Handle, const std::string& Data, uint32_t& Written) = 0;
  virtual bool CloseDevice(void* Handle) = 0;
  // One poll on the watch thread: fetch what the device holds and Deliver it; true when bytes
  // were delivered. Raises nothing.
  virtual bool CheckBuffer() = 0;

 private:
  void UnloadLibrary();

  std::string libraryPath_;
  TDynamicLibrary library_;
  std::vector<void*> exports_;
  std::atomic<void*> handle_{nullptr};
  std::atomic<bool> opened_{false};
  std::string serialNumber_;
  std::unique_ptr<TBufferWatch> watch_;
};

// Takes the bytes of a fixed-size text field up to its first NUL (all of them without one).
std::string FixedText(const char* Field, size_t Size);

}  // namespace kyt
