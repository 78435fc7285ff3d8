#include "host/event_log.h"

namespace kyt::host {

void TEventLog::Record(THostEvent event) {
  std::shared_ptr<const Listener> listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
    if (keep_)
      events_.push_back(event);
  }
  if (listener && *listener)
    (*listener)(event);
}

std::vector<THostEvent> TEventLog::All() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<THostEvent> TEventLog::Filter(THostEvent::Kind kind, TInstanceID instance) const {
  std::lock_guard lock(mutex_);
  std::vector<THostEvent> out;
  for (const auto& event : events_) {
    if (event.EventKind == kind && (instance == 0 || event.Instance == instance)) {
      out.push_back(event);
    }
  }
  return out;
}

void TEventLog::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void TEventLog::SetListener(Listener listener) {
  auto shared = std::make_shared<const Listener>(std::move(listener));
  std::lock_guard lock(mutex_);
  listener_ = std::move(shared);
}

void TEventLog::SetKeep(bool keep) {
  std::lock_guard lock(mutex_);
  keep_ = keep;
  if (!keep_)
    events_.clear();
}

}  // namespace kyt::host
