#pragma once

#include <atomic>
#include <memory>

#include "cli/event_output.h"
#include "cli/input_watcher.h"
#include "host/reference_host.h"

namespace kyt::host {

// Runs the calls read from standard input on the main thread, in order, and answers each with
// one result or error line.
class TCallDispatcher {
 public:
  TCallDispatcher(TReferenceHost& host, TEventOutput& output);
  ~TCallDispatcher();  // Close
  TCallDispatcher(const TCallDispatcher&) = delete;
  TCallDispatcher& operator=(const TCallDispatcher&) = delete;

  // From the watcher thread: hands the line to the main thread.
  void Post(TInputLine line);
  // Runs one line now, on the calling thread.
  void Execute(const TInputLine& line);
  // Calls still queued after this are dropped when the main thread gets to them.
  void Close();

  struct TState;

 private:
  std::shared_ptr<TState> state_;
};

}  // namespace kyt::host
