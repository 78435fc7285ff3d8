#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "host/json_values.h"

#include "host/reference_host.h"

namespace kyt::host {

// kyt-host's standard output: whole lines from any thread, as JSON or as text. The lines go
// through a bounded queue that a thread of its own writes and flushes, so a reader that does
// not drain standard output holds no channel: while the queue is full, host events (log,
// debug, status, data, ...) are dropped, and before the next line that gets through one
// `dropped` event says how many. Answers to calls, warnings and the commands' own lines are
// never dropped.
class TEventOutput {
 public:
  // How many bytes of lines may wait.
  static constexpr std::size_t kQueueBound = 8 << 20;

  TEventOutput(std::FILE* out, bool json, std::size_t bound = kQueueBound);
  // Flush(1 s): a reader that takes nothing does not hold the end of the run.
  ~TEventOutput();
  TEventOutput(const TEventOutput&) = delete;
  TEventOutput& operator=(const TEventOutput&) = delete;

  void Event(const THostEvent& event);
  void Result(const std::string& call, const Variant& value);
  void Error(const std::optional<std::string>& call, const std::string& message);
  void Module(const TReferenceHost::TRegisteredModule& module);
  // Any other line: `json` with --json, else `text`.
  void Line(const TJson& json, const std::string& text) { Write(json, text, true); }
  // Waits until every line queued so far is written, at most `limit`; true when it was.
  bool Flush(std::chrono::milliseconds limit);

 private:
  struct State;
  void Write(const TJson& json, const std::string& text, bool keep);

  std::shared_ptr<State> state_;
  const bool json_;
};

}  // namespace kyt::host
