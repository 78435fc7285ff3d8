#pragma once

// One instance, many threads: the host calls an instance unserialised (host threads, timer
// threads, the main thread's hand-overs, the channel's own workers), so every module object
// owns one TInstanceLock and every entry point of the module enters it. docs/architecture.md
// ("Threads") describes the model; in short:
//
// - A Change entry (applying, resetting, a timer tick, a device arrival or removal, loading
//   and saving) has the instance to itself.
// - A Use entry (sending, reading or editing a property) has it to itself as well, except
//   while a Change holder waits for another thread (a worker being joined): then one Use entry
//   at a time may come in. A worker that is joined may be blocked handing a block to a child
//   that answers with SendData at once; lending the instance to the send path lets that
//   answer through instead of deadlocking the join.
// - Receive paths take no entry at all.
// - On the main thread an entry that must wait keeps serving the hand-over queue, so a holder
//   that waits for the main thread never waits in vain.
// - A Change entry from inside a Use entry that a holder's wait lent, or from the holder's own
//   thread while it waits, would wait for itself: it raises EInstanceBusy instead (or, with
//   ChangeOrDefer, runs once the holder has finished).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/exception.h"
#include "runtime/thread.h"

namespace kyt {

class EInstanceBusy : public Exception {
 public:
  using Exception::Exception;
};

class TInstanceLock final : private THeldDuringWait {
 public:
  enum class TEntry { Change, Use };

  class THold {
   public:
    THold(THold&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)), as_(other.as_) {}
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;
    THold& operator=(THold&&) = delete;
    ~THold();

   private:
    friend class TInstanceLock;
    enum class TAs { Owner, Guest };
    THold(TInstanceLock* lock, TAs as) : lock_(lock), as_(as) {}
    TInstanceLock* lock_;
    TAs as_;
  };

  TInstanceLock() = default;
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Waits until the entry may come in (serving hand-overs on the main thread). Re-entry on the
  // thread that holds the instance is allowed.
  [[nodiscard]] THold Enter(TEntry entry);
  // Runs `fn` as a Change entry; when this thread is the holder and is waiting for another
  // thread (a hand-over served inside that wait), `fn` runs instead right after the holder has
  // left. What a deferred `fn` raises is reported on stderr.
  void ChangeOrDefer(std::function<void()> fn);
  // True while this thread holds the instance (as holder or as lent-to user).
  bool HeldHere() const;

 private:
  void WaitBegins() noexcept override;
  void WaitEnds() noexcept override;
  bool MayEnter(TEntry entry) const;
  THold Take(std::thread::id self);
  void Leave(THold::TAs as);
  void RunDeferred();
  template <class Predicate>
  void WaitLocked(std::unique_lock<std::mutex>& lock, Predicate ready);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id owner_{};
  int ownerDepth_ = 0;
  int waits_ = 0;  // the holder's waits for other threads in progress
  std::thread::id guest_{};
  int guestDepth_ = 0;
  int mainWaiting_ = 0;  // the main thread waits to enter (and serves meanwhile)
  std::vector<std::function<void()>> deferred_;
};

}  // namespace kyt
