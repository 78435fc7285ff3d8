#include "cli/call_dispatcher.h"

#include <fmt/format.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "cli/call_protocol.h"
#include "cli/call_target.h"
#include "runtime/thread.h"

namespace kyt::host {

// Shared with the call thread, which a Close that gave up on it leaves running.
struct TCallDispatcher::TState {
  TState(TReferenceHost& host, TEventOutput& output) : Host(host), Output(output) {}
  TReferenceHost& Host;
  TEventOutput& Output;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<TInputLine> Lines;
  size_t QueuedBytes = 0;
  bool Full = false;  // a bound was reached and the queue has not drained to half yet
  std::function<void()> OnRoom;
  bool Open = true;
  // The call thread took a line and has not come back for the next: a call (or OnRoom) may be
  // using the host and the input watcher.
  bool Busy = false;
  bool Finished = false;  // the call thread has ended
};

namespace {

void ExecuteLine(TCallDispatcher::TState& state, const TInputLine& line);

void CallThread(const std::shared_ptr<TCallDispatcher::TState>& state) {
  std::unique_lock lock(state->Mutex);
  for (;;) {
    state->Changed.wait(lock, [&] { return !state->Open || !state->Lines.empty(); });
    if (!state->Open)
      break;
    TInputLine line = std::move(state->Lines.front());
    state->Lines.pop_front();
    state->QueuedBytes -= line.Text.size();
    const bool room = state->Full && state->Lines.size() <= TCallDispatcher::kMaxQueuedLines / 2 &&
                      state->QueuedBytes <= TCallDispatcher::kMaxQueuedBytes / 2;
    if (room)
      state->Full = false;
    state->Busy = true;
    lock.unlock();
    if (room && state->OnRoom)
      state->OnRoom();
    ExecuteLine(*state, line);
    lock.lock();
    state->Busy = false;
  }
  state->Finished = true;
  lock.unlock();
  state->Changed.notify_all();
  WakeMainThread();
}

}  // namespace

TCallDispatcher::TCallDispatcher(TReferenceHost& host, TEventOutput& output)
    : state_(std::make_shared<TState>(host, output)) {
  std::thread([state = state_] { CallThread(state); }).detach();
}

TCallDispatcher::~TCallDispatcher() {
  Close();
  // An idle call thread is about to end; it still wakes the main thread on its way out.
  WaitFor(std::chrono::milliseconds::max(), [&] { return state_->Finished; });
}

bool TCallDispatcher::Close(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(state_->Mutex);
    state_->Open = false;
    state_->Lines.clear();
    state_->QueuedBytes = 0;
  }
  state_->Changed.notify_all();
  // A call thread waiting for its next line ends without running anything more, whenever it is
  // scheduled: only a call under way is waited for. (On a machine too busy to schedule it, an
  // idle thread was taken for a call still running, and the stop was cut short.)
  return WaitFor(grace, [&] { return state_->Finished || !state_->Busy; });
}

bool TCallDispatcher::CallUnderWay() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Busy;
}

bool TCallDispatcher::WaitFor(std::chrono::milliseconds limit, const std::function<bool()>& done) {
  const auto until = limit == std::chrono::milliseconds::max()
                         ? std::chrono::steady_clock::time_point::max()
                         : std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(state_->Mutex);
  if (!IsMainThread())
    return state_->Changed.wait_until(lock, until, done);
  // The call may be waiting for the main thread (an apply joining a channel's worker).
  while (!done() && std::chrono::steady_clock::now() < until) {
    lock.unlock();
    CheckSynchronize(std::chrono::milliseconds(50));
    lock.lock();
  }
  return done();
}

void TCallDispatcher::Post(TInputLine line) {
  {
    std::lock_guard lock(state_->Mutex);
    if (!state_->Open)
      return;
    state_->QueuedBytes += line.Text.size();
    state_->Lines.push_back(std::move(line));
    if (state_->Lines.size() >= kMaxQueuedLines || state_->QueuedBytes >= kMaxQueuedBytes)
      state_->Full = true;
  }
  state_->Changed.notify_all();
}

bool TCallDispatcher::HasRoom() const {
  std::lock_guard lock(state_->Mutex);
  return !state_->Full;
}

void TCallDispatcher::OnRoom(std::function<void()> handler) {
  std::lock_guard lock(state_->Mutex);
  state_->OnRoom = std::move(handler);
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
