#include "usb/vendor_controller.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/module_path.h"

namespace kyt {

namespace {

// A device whose close failed may still be known to the library, which then still holds the
// address of the watch thread's event and may run threads of its own. Such an event and library
// are kept until the process ends instead of being freed under the library's feet.
struct TRetired {
  std::mutex Lock;
  std::vector<std::unique_ptr<TBufferWatch>> Watches;
  std::vector<TDynamicLibrary> Libraries;
};

TRetired& Retired() {
  static TRetired retired;
  return retired;
}

void Retire(std::unique_ptr<TBufferWatch> watch) {
  if (!watch)
    return;
  std::lock_guard guard(Retired().Lock);
  Retired().Watches.push_back(std::move(watch));
}

void Retire(TDynamicLibrary library) {
  std::lock_guard guard(Retired().Lock);
  Retired().Libraries.push_back(std::move(library));
}

}  // namespace

// ---- TBufferWatch -------------------------------------------------------------------------

TBufferWatch::TBufferWatch(std::chrono::milliseconds Interval, bool WakeOnEvent)
    : interval_(Interval), wakeOnEvent_(WakeOnEvent) {}

TBufferWatch::~TBufferWatch() {
  Terminate();
  event_.Signal();
  TerminateAndWait();
}

void TBufferWatch::Stop() {
  Terminate();
  event_.Signal();
}

void TBufferWatch::Execute() {
  // Checking before the first wait fetches bytes that came before the thread ran, whose signal
  // nobody heard.
  while (!Terminated()) {
    // After a delivery ask again at once: the driver's signal for bytes that came in meanwhile
    // found nobody waiting and is gone.
    while (OnCheck && OnCheck() && wakeOnEvent_ && !Terminated()) {
    }
    if (Terminated())
      break;
    Pause();
  }
}

void TBufferWatch::Pause() {
  const auto deadline = std::chrono::steady_clock::now() + interval_;
  if (wakeOnEvent_) {
    event_.WaitUntil(deadline);
    return;
  }
  // Polling only: the full interval, cut short by a stop alone.
  while (!Terminated() && std::chrono::steady_clock::now() < deadline) event_.WaitUntil(deadline);
}

// ---- TVendorLibraryFile -------------------------------------------------------------------

std::string TVendorLibraryFile::Resolve() const {
  const char* chosen = std::getenv(EnvironmentVariable);
  return chosen && *chosen ? chosen : DefaultFile;
}

std::string TVendorLibraryFile::Fallback() const {
  const char* chosen = std::getenv(EnvironmentVariable);
  if (!FallbackFile || (chosen && *chosen))
    return {};
  // The folder of the object this code is linked into: the plug-in's.
  static const int anchor = 0;
  const std::string self = LoadedObjectPath(&anchor);
  const size_t slash = self.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : self.substr(0, slash + 1) + FallbackFile;
}

// ---- TVendorController --------------------------------------------------------------------

TWatchDefaults& TVendorController::Defaults() {
  static TWatchDefaults defaults;
  return defaults;
}

TVendorController::TVendorController(const TVendorLibraryFile& File,
                                     std::initializer_list<const char*> Exports)
    : libraryPath_(File.Resolve()) {
  try {
    library_ = TDynamicLibrary(libraryPath_);
  } catch (const EDynamicLibrary& e) {
    const std::string fallback = File.Fallback();
    if (fallback.empty())
      throw EVendorLibraryLoad(libraryPath_, e.Message());
    try {
      library_ = TDynamicLibrary(fallback);
      libraryPath_ = fallback;
    } catch (const EDynamicLibrary& second) {
      throw EVendorLibraryLoad(libraryPath_, e.Message() + "; " + second.Message());
    }
  }
  exports_.reserve(Exports.size());
  for (const char* name : Exports) exports_.push_back(library_.Symbol(name));
}

TVendorController::~TVendorController() {
  try {
    Unload();
  } catch (...) {
    // The owner calls Unload itself when it wants to hear of a failure.
  }
}

void TVendorController::RequireOpen() const {
  if (!opened_)
    throw EFTDIException("Device is not open");
}

void TVendorController::RequireClosed() const {
  if (opened_)
    throw EFTDIException("Device already open");
}

TBufferWatch& TVendorController::NewWatch(bool WakeOnEvent) {
  watch_ = std::make_unique<TBufferWatch>(PollInterval, WakeOnEvent);
  watch_->OnCheck = [this] { return CheckBuffer(); };
  return *watch_;
}

void TVendorController::SetOpened(void* Handle, const std::string& SerialNumber) {
  handle_ = Handle;
  serialNumber_ = SerialNumber;
  opened_ = true;
  watch_->Start();
}

void TVendorController::Deliver(const std::string& Data) {
  if (OnReceive)
    OnReceive(Data, static_cast<int32_t>(Data.size()));
}

void TVendorController::Write(const std::string& Data) {
  RequireOpen();
  uint32_t written = 0;
  if (!WriteToDevice(handle_.load(), Data, written))
    throw EFTDIException("Error writing Buffer");
  if (written != Data.size())
    throw EFTDIException("BytesWritten does not match Bufferlength");
}

void TVendorController::Close() {
  RequireOpen();
  opened_ = false;
  if (watch_) {
    watch_->Stop();
    watch_->WaitFor();
  }
  // The library holds the event's address until the handle is closed, so the watch (and its
  // event) goes only after a successful close.
  if (!CloseDevice(handle_.load())) {
    Retire(std::move(watch_));
    throw EFTDIException("Error closing Device");
  }
  handle_ = nullptr;
  watch_.reset();
}

void TVendorController::Unload() {
  if (opened_) {
    try {
      Close();
    } catch (...) {
      // The library may still know the device: it stays loaded.
      if (library_.IsOpen())
        Retire(std::move(library_));
      UnloadLibrary();
      throw;
    }
  }
  UnloadLibrary();
}

void TVendorController::UnloadLibrary() {
  std::fill(exports_.begin(), exports_.end(), nullptr);
  if (library_.IsOpen())
    library_.Close();
}

std::string FixedText(const char* Field, size_t Size) {
  const void* nul = std::memchr(Field, '\0', Size);
  return std::string(Field, nul ? static_cast<const char*>(nul) - Field : Size);
}

}  // namespace kyt
