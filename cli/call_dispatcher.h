#pragma once

#include <chrono>
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
  TCallDispatcher(TReferenceHost& host, TEventOutput& output);
  ~TCallDispatcher();  // Close, waiting as long as the call in progress takes
  TCallDispatcher(const TCallDispatcher&) = delete;
  TCallDispatcher& operator=(const TCallDispatcher&) = delete;

  // From the watcher thread: queues the line for the call thread.
  void Post(TInputLine line);
  // Runs one line now, on the calling thread.
  void Execute(const TInputLine& line);
  // Drops the calls still queued and waits up to `grace` for the one in progress (serving
  // hand-overs meanwhile when on the main thread). False when it is still running; the call
  // thread is then left to finish on its own.
  bool Close(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

  struct TState;

 private:
  std::shared_ptr<TState> state_;
};

}  // namespace kyt::host
