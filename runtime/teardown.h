#pragma once

// Where an object's teardown runs, and how long the code that made it must stay loaded.
//
// The last reference to an instance may drop on any thread: the main thread inside a hand-over,
// a channel's worker, a connection thread inside a delivery, a timer callback. Its destructor
// stops and waits for the instance's workers, so it must not run on one of them, nor on the main
// thread inside a hand-over that a worker waits for. Such threads mark themselves (a worker for
// its whole life, the others for the call they are in); a teardown that starts there is handed
// to the service thread, a thread that is none of them, once this thread has left the call.
// On any other thread it runs at once, as before.
//
// The service thread also runs changes that cannot run where they were asked for (an apply
// from the instance's own delivery). It is one thread per process, started when first needed.
//
// Every module object is counted alive from its construction until its teardown has returned,
// under the address its module class has; a host keeps a plug-in loaded while any object of
// its classes is counted.

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "runtime/export.h"

namespace kyt {

// This thread runs code that a teardown may have to wait for: a delivery to children, a timer
// callback, a hand-over item. Nests.
class KYT_RT_API TCallScope {
 public:
  TCallScope() noexcept;
  ~TCallScope();
  TCallScope(const TCallScope&) = delete;
  TCallScope& operator=(const TCallScope&) = delete;
};

// This thread is a channel's worker (a reader, an event thread, a connection thread) for as long
// as the scope lasts: nothing is torn down on it.
class KYT_RT_API TWorkerScope {
 public:
  TWorkerScope() noexcept;
  ~TWorkerScope();
  TWorkerScope(const TWorkerScope&) = delete;
  TWorkerScope& operator=(const TWorkerScope&) = delete;
};

// Destroys an object whose last reference was just dropped: `destroy(object)` runs here, or on
// the service thread when this thread is a worker or inside a call scope (then once the
// outermost call scope has ended). `owner` (may be null) stops counting the object once
// `destroy` has returned. A plain function, so that nothing of the caller's code runs after the
// count drops. What `destroy` raises is reported on stderr.
KYT_RT_API void TearDownObject(const void* owner, void (*destroy)(void*), void* object) noexcept;

// Counts one more live object for `owner`, and one less when it ended without a teardown (a
// constructor that raised after counting).
KYT_RT_API void CountObjectMade(const void* owner) noexcept;
KYT_RT_API void CountObjectLost(const void* owner) noexcept;
// Live objects of these owners, teardowns still on their way included.
KYT_RT_API std::size_t ObjectsAlive(const std::vector<const void*>& owners);
// Waits until ObjectsAlive(owners) is 0 or `limit` has passed; on the main thread it serves the
// hand-over queue meanwhile, since a teardown may wait for a worker that waits for it. True
// when none is left.
KYT_RT_API bool WaitForObjectsGone(const std::vector<const void*>& owners,
                                   std::chrono::milliseconds limit);

// Runs `fn` on the service thread, after what was handed there before. What it raises is
// reported on stderr.
KYT_RT_API void RunOnServiceThread(std::function<void()> fn);

}  // namespace kyt
