#pragma once

// kyt-host's stop, bounded whatever runs. The first Begin (a stop signal, the end of --for)
// answers run level 10014 at once, so every fetch and connect that asks for it gives up, and
// has the settings file written on a thread of its own before anything that may wait; once the
// bound has passed, that thread ends the process with the settings written, even when the main
// thread is held somewhere (a hand-over that does not return, an instance that does not go).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/reference_host.h"

namespace kyt::host {

class TStopSequence {
 public:
  // systemd waits 90 s, a person about three: the process has ended by then. Deleting an
  // instance takes about a millisecond, so a config of thousands gets that much longer, up to
  // kLongestBound, before the watchdog ends the process without deleting the rest.
  static constexpr std::chrono::milliseconds kBound{2000};
  static constexpr std::chrono::microseconds kBoundPerInstance{1000};
  static constexpr std::chrono::milliseconds kLongestBound{8000};

  explicit TStopSequence(TReferenceHost& host, std::chrono::milliseconds bound = kBound);
  ~TStopSequence();  // Finish
  TStopSequence(const TStopSequence&) = delete;
  TStopSequence& operator=(const TStopSequence&) = delete;

  // From any thread; only the first call counts.
  void Begin();
  bool Begun() const;
  // What is left of the bound (the base bound before Begin).
  std::chrono::milliseconds Left() const;
  // Writes the settings file now, one write at a time; false, with the reason on standard
  // error, when it could not be written.
  bool SaveSettings();
  // The stop went through: the watchdog stands down. The exit code: 1 when the last write of
  // the settings file failed, else 0.
  int Finish();
  // Ends the process now, once the settings file is written (or failed).
  [[noreturn]] void ExitNow(const char* why);

 private:
  void Watch();
  bool SaveLocked();

  TReferenceHost& host_;
  std::chrono::milliseconds bound_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool begun_ = false;
  bool done_ = false;
  std::chrono::steady_clock::time_point deadline_;
  // Serialises the writes; the watchdog waits for one in progress only so long.
  std::timed_mutex saveMutex_;
  bool saved_ = false;   // written at least once since Begin
  bool failed_ = false;  // the last write failed
  // The same, readable without the lock; true until a write succeeded.
  std::atomic<bool> lastFailed_{true};
  std::thread watchdog_;
};

}  // namespace kyt::host
