#include "framework/instance_lock.h"

#include <cstdio>

#include "framework/translate.h"

namespace kyt {
namespace {

const std::thread::id kNobody{};

[[noreturn]] void RaiseBusy() {
  throw EInstanceBusy(
      Translate("The instance cannot be changed from its own data path while a change of it "
                "waits for that path"));
}

}  // namespace

TInstanceLock::THold::~THold() {
  if (lock_ != nullptr)
    lock_->Leave(as_);
}

TInstanceLock::THold TInstanceLock::Enter(TEntry entry) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (owner_ == self) {
    if (entry == TEntry::Change && waits_ > 0)
      RaiseBusy();
    ++ownerDepth_;
    return THold(this, THold::TAs::Owner);
  }
  if (guest_ == self) {
    if (entry == TEntry::Change)
      RaiseBusy();
    ++guestDepth_;
    return THold(this, THold::TAs::Guest);
  }
  WaitLocked(lock, [&] { return MayEnter(entry); });
  return Take(self);
}

void TInstanceLock::ChangeOrDefer(std::function<void()> fn) {
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard lock(mutex_);
    if ((owner_ == self && waits_ > 0) || guest_ == self) {
      deferred_.push_back(std::move(fn));
      return;
    }
  }
  const THold hold = Enter(TEntry::Change);
  fn();
}

bool TInstanceLock::HeldHere() const {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard lock(mutex_);
  return owner_ == self || guest_ == self;
}

bool TInstanceLock::MayEnter(TEntry entry) const {
  if (owner_ == kNobody && guest_ == kNobody)
    return true;
  return entry == TEntry::Use && waits_ > 0 && guest_ == kNobody;
}

TInstanceLock::THold TInstanceLock::Take(std::thread::id self) {
  if (owner_ == kNobody) {
    owner_ = self;
    ownerDepth_ = 1;
    HoldDuringWaits(this);
    return THold(this, THold::TAs::Owner);
  }
  guest_ = self;
  guestDepth_ = 1;
  return THold(this, THold::TAs::Guest);
}

void TInstanceLock::Leave(THold::TAs as) {
  bool left = false;
  bool wakeMain = false;
  {
    std::lock_guard lock(mutex_);
    if (as == THold::TAs::Owner) {
      if (--ownerDepth_ == 0) {
        owner_ = kNobody;
        ReleaseAfterWaits(this);
        left = true;
      }
    } else if (--guestDepth_ == 0) {
      guest_ = kNobody;
    }
    wakeMain = mainWaiting_ > 0;
  }
  changed_.notify_all();
  if (wakeMain)
    WakeMainThread();
  if (left)
    RunDeferred();
}

void TInstanceLock::RunDeferred() {
  std::vector<std::function<void()>> deferred;
  {
    std::lock_guard lock(mutex_);
    deferred.swap(deferred_);
  }
  for (const auto& fn : deferred) {
    try {
      const THold hold = Enter(TEntry::Change);
      fn();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kyt: deferred instance change failed: %s\n", e.what());
    }
  }
}

void TInstanceLock::WaitBegins() noexcept {
  bool wakeMain = false;
  {
    std::lock_guard lock(mutex_);
    ++waits_;
    wakeMain = mainWaiting_ > 0;
  }
  changed_.notify_all();
  if (wakeMain)
    WakeMainThread();
}

void TInstanceLock::WaitEnds() noexcept {
  std::unique_lock lock(mutex_);
  // What was lent comes back: the holder goes on only once the user has left.
  try {
    WaitLocked(lock, [&] { return guest_ == kNobody; });
  } catch (...) {
    // Serving the queue reports what its items raise; nothing else throws here.
  }
  --waits_;
}

template <class Predicate>
void TInstanceLock::WaitLocked(std::unique_lock<std::mutex>& lock, Predicate ready) {
  if (!IsMainThread()) {
    changed_.wait(lock, ready);
    return;
  }
  ++mainWaiting_;
  while (!ready()) {
    lock.unlock();
    ServeUntil([&] {
      std::lock_guard inner(mutex_);
      return ready();
    });
    lock.lock();
  }
  --mainWaiting_;
}

}  // namespace kyt
