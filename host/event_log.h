#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "host/reference_host.h"

namespace kyt::host {

// The recorded events, in the order they were recorded, and the listener that sees each one.
class TEventLog {
 public:
  using Listener = std::function<void(const THostEvent&)>;

  // The listener runs after the lock is released, on the recording thread, so it may call
  // back into the host.
  void Record(THostEvent event);
  std::vector<THostEvent> All() const;
  // instance 0 matches every instance.
  std::vector<THostEvent> Filter(THostEvent::Kind kind, TInstanceID instance) const;
  void Clear();
  void SetListener(Listener listener);
  // false: events only reach the listener (a long-running host).
  void SetKeep(bool keep);
  // false: debug entries are dropped before anything is copied or formatted; a gateway sends
  // one per block it moves.
  void SetDebug(bool debug) { debug_.store(debug, std::memory_order_relaxed); }
  bool WantsDebug() const { return debug_.load(std::memory_order_relaxed); }

 private:
  mutable std::mutex mutex_;
  bool keep_ = true;
  std::atomic<bool> debug_{true};
  std::vector<THostEvent> events_;
  std::shared_ptr<const Listener> listener_;
};

}  // namespace kyt::host
