#include "platform/driver_event.h"

#include <algorithm>
#include <system_error>

#include "platform/win32/win_text.h"

namespace kyt {

// On Windows the D2XX library takes an event object and sets it on every notified event.
struct TDriverEvent::TRecord {
  win::UniqueHandle event;
};

TDriverEvent::TDriverEvent() : record_(std::make_unique<TRecord>()) {
  // Auto-reset: one wake-up per signal, as the vendor's own examples make it.
  record_->event.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!record_->event.Valid())
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateEvent");
}

TDriverEvent::~TDriverEvent() = default;

void* TDriverEvent::Handle() {
  return record_->event.Get();
}

void TDriverEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  const DWORD wait = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
  ::WaitForSingleObject(record_->event.Get(), wait);
}

void TDriverEvent::Signal() {
  ::SetEvent(record_->event.Get());
}

}  // namespace kyt
