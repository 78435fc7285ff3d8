#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "cli/event_output.h"
#include "cli/input_watcher.h"
#include "host/reference_host.h"

namespace kyt::host {

// Runs the calls read from standard input on a call thread of its own, one after the other, and
// answers each with one result or error line, in order. A real host calls instances from its
// own threads too; the main thread stays free for the channels' hand-overs, so a slow call
// (a page that trickles in) holds up neither data nor the stop.
class TCallDispatcher {
 public:
  // The calls waiting for the call thread are bounded in count and bytes: past either bound
  // HasRoom turns false, and the reader of standard input stops reading until the queue has
  // drained to half of both (then OnRoom runs), so a writer that floods is held back, nothing
  // is dropped and memory stays bounded.
  static constexpr size_t kMaxQueuedLines = 4096;
  static constexpr size_t kMaxQueuedBytes = 8 << 20;

  TCallDispatcher(TReferenceHost& host, TEventOutput& output);
  ~TCallDispatcher();  // Close, waiting as long as the call in progress takes and the thread's end
  TCallDispatcher(const TCallDispatcher&) = delete;
  TCallDispatcher& operator=(const TCallDispatcher&) = delete;

  // From the watcher thread: queues the line for the call thread (whatever the bound).
  void Post(TInputLine line);
  // False from the moment the queue reached a bound until it drained to half of both.
  bool HasRoom() const;
  // Runs on the call thread when the queue drained to half after HasRoom turned false. Set it
  // before the first Post.
  void OnRoom(std::function<void()> handler);
  // Runs one line now, on the calling thread.
  void Execute(const TInputLine& line);
  // Drops the calls still queued and waits up to `grace` for the one in progress (serving
  // hand-overs meanwhile when on the main thread). False when it is still running; the call
  // thread is then left to finish on its own. True at once when no call is under way: the
  // call thread then runs nothing more.
  bool Close(std::chrono::milliseconds grace = std::chrono::milliseconds::max());
  // A line taken by the call thread is still being run (what Close waits for).
  bool CallUnderWay() const;

  struct TState;

 private:
  // Waits up to `limit` for `done` (read under the state's lock), as Close does.
  bool WaitFor(std::chrono::milliseconds limit, const std::function<bool()>& done);

  std::shared_ptr<TState> state_;
};

}  // namespace kyt::host
