#include "cli/event_output.h"

#ifndef _WIN32
#include <unistd.h>

#include <cerrno>
#endif

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "cli/event_format.h"
#include "host/json_values.h"

namespace kyt::host {

namespace {

// Straight to the descriptor where there is one, so a write that blocks on a full pipe holds no
// lock of the C library that the end of the process would wait for.
void WriteOut(std::FILE* out, const std::string& text) {
#ifndef _WIN32
  const int fd = ::fileno(out);
  if (fd >= 0) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return;  // a reader that went away is no reason to stop the host
      done += static_cast<std::size_t>(n);
    }
    return;
  }
#endif
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

}  // namespace

// Shared with the writer thread, which may outlive the output when standard output stays stuck.
struct TEventOutput::State {
  std::FILE* out;
  std::size_t bound;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  std::size_t queued = 0;   // bytes in `lines`
  std::size_t writing = 0;  // lines taken by the writer and not yet written
  std::size_t dropped = 0;  // events dropped since the last line that got through
  bool stopping = false;

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return stopping || !lines.empty(); });
      if (lines.empty())
        return;
      std::deque<std::string> batch = std::exchange(lines, {});
      writing = batch.size();
      lock.unlock();
      std::string text;
      for (const std::string& line : batch) text += line;
      WriteOut(out, text);
      const std::size_t bytes = text.size();
      lock.lock();
      queued -= bytes;
      writing = 0;
      changed.notify_all();
    }
  }
};

TEventOutput::TEventOutput(std::FILE* out, bool json, std::size_t bound)
    : state_(std::make_shared<State>()), json_(json) {
  state_->out = out;
  state_->bound = bound;
  std::thread([state = state_] { state->Run(); }).detach();
}

TEventOutput::~TEventOutput() {
  Flush(std::chrono::seconds(1));
  std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  state_->changed.notify_all();
}

bool TEventOutput::Flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit,
                                  [this] { return state_->lines.empty() && state_->writing == 0; });
}

void TEventOutput::Event(const THostEvent& event) {
  if (json_) {
    Write(EventToJson(event), "", false);
  } else {
    Write(nullptr, EventToText(event), false);
  }
}

void TEventOutput::Result(const std::string& call, const Variant& value) {
  if (json_) {
    Write(ResultToJson(call, value), "", true);
  } else {
    Write(nullptr, ResultToText(call, value), true);
  }
}

void TEventOutput::Error(const std::optional<std::string>& call, const std::string& message) {
  if (json_) {
    Write(ErrorToJson(call, message), "", true);
  } else {
    Write(nullptr, ErrorToText(call, message), true);
  }
}

void TEventOutput::Module(const TReferenceHost::TRegisteredModule& module) {
  if (json_) {
    Write(ModuleToJson(module), "", true);
  } else {
    Write(nullptr, ModuleToText(module), true);
  }
}

void TEventOutput::Write(const TJson& json, const std::string& text, bool keep) {
  std::string line = (json_ ? DumpLine(json) : text) + "\n";
  State& state = *state_;
  std::lock_guard lock(state.mutex);
  if (!keep && state.queued + line.size() > state.bound) {
    ++state.dropped;
    return;
  }
  if (state.dropped > 0) {
    const auto count = static_cast<std::int64_t>(std::exchange(state.dropped, 0));
    std::string note = (json_ ? DumpLine(TJson{{"event", "dropped"}, {"count", count}})
                              : "dropped " + std::to_string(count) + " events") +
                       "\n";
    state.queued += note.size();
    state.lines.push_back(std::move(note));
  }
  state.queued += line.size();
  state.lines.push_back(std::move(line));
  state.changed.notify_all();
}

}  // namespace kyt::host
