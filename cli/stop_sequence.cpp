#include "cli/stop_sequence.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/host_commands.h"
#include "framework/codes.h"

namespace kyt::host {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Standard error without stdio's lock, which a thread held up in a write may own.
void WriteError(const std::string& text) {
#ifdef _WIN32
  [[maybe_unused]] int written = _write(2, text.data(), static_cast<unsigned>(text.size()));
#else
  [[maybe_unused]] ssize_t written = write(2, text.data(), text.size());
#endif
}

// A write in progress when the bound has run out is waited for this long more, so that it is
// not cut off half-way; one stuck in the file system is not.
constexpr milliseconds kSaveGrace{1000};

}  // namespace

TStopSequence::TStopSequence(TReferenceHost& host, milliseconds bound)
    : host_(host), bound_(bound) {}

TStopSequence::~TStopSequence() {
  Finish();
}

void TStopSequence::Begin() {
  {
    std::lock_guard lock(mutex_);
    if (begun_)
      return;
    begun_ = true;
    const auto perInstances = std::chrono::duration_cast<milliseconds>(
        kBoundPerInstance * static_cast<int64_t>(host_.InstanceIDs().size()));
    bound_ = std::min(std::max(bound_, kLongestBound), bound_ + perInstances);
    deadline_ = Clock::now() + bound_;
  }
  host_.AnnounceRunlevel(KR_SHUTDOWN);
  watchdog_ = std::thread([this] { Watch(); });
}

bool TStopSequence::Begun() const {
  std::lock_guard lock(mutex_);
  return begun_;
}

milliseconds TStopSequence::Left() const {
  std::lock_guard lock(mutex_);
  if (!begun_)
    return bound_;
  return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline_ - Clock::now()));
}

bool TStopSequence::SaveSettings() {
  std::lock_guard lock(saveMutex_);
  return SaveLocked();
}

bool TStopSequence::SaveLocked() {
  try {
    host_.SaveSettingsFile();
    failed_ = false;
  } catch (const std::exception& e) {
    WriteError(fmt::format("kyt-host: {}\n", e.what()));
    failed_ = true;
  }
  saved_ = true;
  lastFailed_ = failed_;
  return !failed_;
}

int TStopSequence::Finish() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
  if (watchdog_.joinable() && watchdog_.get_id() != std::this_thread::get_id())
    watchdog_.join();
  std::lock_guard lock(saveMutex_);
  return failed_ ? kExitFailure : kExitOK;
}

void TStopSequence::ExitNow(const char* why) {
  WriteError(fmt::format("kyt-host: {}\n", why));
  // Without the lock the write in progress is cut off; the file then is the one written
  // before (the write renames a whole file into place), and that one's result counts.
  int code = lastFailed_ ? kExitFailure : kExitOK;
  if (saveMutex_.try_lock_for(kSaveGrace)) {
    if (!saved_)
      SaveLocked();
    code = failed_ ? kExitFailure : kExitOK;
  }
  // Nothing more may run: the instances' threads still use the plug-in's code, and standard
  // output may be a pipe nobody reads.
  std::_Exit(code);
}

void TStopSequence::Watch() {
  // First, before anything that may wait: the main thread may be held where it cannot write
  // them.
  SaveSettings();
  std::unique_lock lock(mutex_);
  if (finished_.wait_until(lock, deadline_, [&] { return done_; }))
    return;
  lock.unlock();
  ExitNow(fmt::format("the stop took longer than {} ms; ending without waiting for the instances",
                      bound_.count())
              .c_str());
}

}  // namespace kyt::host
