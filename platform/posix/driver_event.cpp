#include "platform/driver_event.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <system_error>

namespace kyt {

// The layout of the D2XX library's EVENT_HANDLE; the library reaches the members by offset.
struct TDriverEvent::TRecord {
  pthread_cond_t eCondVar;
  pthread_mutex_t eMutex;
  int iVar;
};

namespace {

void Check(int result, const char* what) {
  if (result != 0)
    throw std::system_error(result, std::generic_category(), what);
}

timespec MonotonicTimespec(std::chrono::steady_clock::time_point deadline) {
  // steady_clock is CLOCK_MONOTONIC on Linux, the clock the condition variable is set to.
  const auto since = deadline.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds.count());
  ts.tv_nsec = static_cast<long>(nanos.count());
  return ts;
}

}  // namespace

TDriverEvent::TDriverEvent() : record_(std::make_unique<TRecord>()) {
  record_->iVar = 0;
  pthread_condattr_t attributes;
  Check(pthread_condattr_init(&attributes), "pthread_condattr_init");
  // The wait must not jump when someone sets the wall clock.
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  const int made = pthread_cond_init(&record_->eCondVar, &attributes);
  pthread_condattr_destroy(&attributes);
  Check(made, "pthread_cond_init");
  const int mutexMade = pthread_mutex_init(&record_->eMutex, nullptr);
  if (mutexMade != 0) {
    pthread_cond_destroy(&record_->eCondVar);
    Check(mutexMade, "pthread_mutex_init");
  }
}

TDriverEvent::~TDriverEvent() {
  pthread_mutex_destroy(&record_->eMutex);
  pthread_cond_destroy(&record_->eCondVar);
}

void* TDriverEvent::Handle() {
  return record_.get();
}

void TDriverEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  const timespec until = MonotonicTimespec(deadline);
  pthread_mutex_lock(&record_->eMutex);
  // One wait only: ETIMEDOUT, a signal and a spurious wake-up all send the caller back to its
  // own check.
  pthread_cond_timedwait(&record_->eCondVar, &record_->eMutex, &until);
  pthread_mutex_unlock(&record_->eMutex);
}

void TDriverEvent::Signal() {
  pthread_mutex_lock(&record_->eMutex);
  pthread_cond_broadcast(&record_->eCondVar);
  pthread_mutex_unlock(&record_->eMutex);
}

}  // namespace kyt
