#include "cli/call_dispatcher.h"

#include <fmt/format.h>

#include "cli/call_protocol.h"
#include "cli/call_target.h"
#include "runtime/thread.h"

namespace kyt::host {

// Shared with the queued items, which may outlive the dispatcher in the hand-over queue.
struct TCallDispatcher::TState {
  TReferenceHost& Host;
  TEventOutput& Output;
  std::atomic<bool> Open{true};
};

namespace {

void ExecuteLine(TCallDispatcher::TState& state, const TInputLine& line);

}  // namespace

TCallDispatcher::TCallDispatcher(TReferenceHost& host, TEventOutput& output)
    : state_(std::make_shared<TState>(host, output)) {}

TCallDispatcher::~TCallDispatcher() {
  Close();
}

void TCallDispatcher::Close() {
  state_->Open = false;
}

void TCallDispatcher::Post(TInputLine line) {
  std::shared_ptr<TState> state = state_;
  TThread::Queue([state, line = std::move(line)] {
    if (state->Open)
      ExecuteLine(*state, line);
  });
}

void TCallDispatcher::Execute(const TInputLine& line) {
  ExecuteLine(*state_, line);
}

namespace {

void ExecuteLine(TCallDispatcher::TState& state, const TInputLine& line) {
  if (line.TooLong) {
    state.Output.Error(std::nullopt, fmt::format("Malformed line: longer than {} bytes",
                                                 TInputWatcher::kMaxLineLength));
    return;
  }
  if (line.Text.find_first_not_of(" \t") == std::string::npos)
    return;
  TCallRequest request = ParseCallLine(line.Text);
  if (!request.Valid()) {
    state.Output.Error(request.Function, request.Error);
    return;
  }
  try {
    if (auto mismatch = CallMismatch(state.Host, *request.Function, request.Args)) {
      state.Output.Error(request.Function, *mismatch);
      return;
    }
    Variant value = state.Host.Call(*request.Function, request.Args);
    state.Output.Result(*request.Function, value);
  } catch (const std::exception& e) {
    state.Output.Error(request.Function, e.what());
  }
}

}  // namespace

}  // namespace kyt::host
