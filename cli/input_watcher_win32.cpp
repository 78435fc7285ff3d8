// kyt-host's watcher on Windows: a reader thread blocks in ReadFile on standard input and hands
// each chunk over; the watcher thread waits for a chunk, a console stop event or Stop.

#ifdef _WIN32

#include <windows.h>
// windows.h first.
#include <io.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <utility>

#include "cli/input_watcher.h"
#include "runtime/exception.h"

namespace kyt::host {

namespace {

// Console events seen before (or between) watchers, counted like pending blocked signals.
std::mutex g_signalMutex;
int g_pendingSignal = 0;
HANDLE g_signalEvent = nullptr;  // auto-reset, made once

HANDLE SignalEvent() {
  static HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
  const int signal = type == CTRL_C_EVENT ? SIGINT : SIGTERM;
  {
    std::lock_guard lock(g_signalMutex);
    g_pendingSignal = signal;
  }
  ::SetEvent(g_signalEvent);
  // Handled: the process is not ended by the default handler; kyt-host shuts down itself.
  return TRUE;
}

HANDLE NewEvent(BOOL manualReset) {
  HANDLE event = ::CreateEventW(nullptr, manualReset, FALSE, nullptr);
  if (event == nullptr)
    throw Exception("CreateEvent failed");
  return event;
}

}  // namespace

struct TInputWatcher::TWinState {
  HANDLE input = INVALID_HANDLE_VALUE;
  HANDLE stop = NewEvent(TRUE);
  HANDLE data = NewEvent(FALSE);
  HANDLE wake = NewEvent(FALSE);
  std::mutex mutex;
  std::condition_variable taken;  // the watcher took the chunks
  std::string chunks;             // read, not yet taken by the watcher
  bool ended = false;             // end of input (or a read error) reached
  bool stopped = false;
  ~TWinState() {
    ::CloseHandle(stop);
    ::CloseHandle(data);
    ::CloseHandle(wake);
  }
};

namespace {

// The reader stops reading while this much waits for the watcher, so a gate that holds the
// input holds the writer too.
constexpr std::size_t kMaxUntakenInput = 64 * 1024;

}  // namespace

void BlockStopSignals() {
  g_signalEvent = SignalEvent();
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

TInputWatcher::TInputWatcher(int inputFd, LineHandler onLine, SignalHandler onSignal,
                             InputGate gate)
    : inputFd_(inputFd),
      win_(std::make_shared<TWinState>()),
      onLine_(std::move(onLine)),
      onSignal_(std::move(onSignal)),
      gate_(std::move(gate)) {
  g_signalEvent = SignalEvent();
  if (inputFd_ >= 0) {
    win_->input = reinterpret_cast<HANDLE>(::_get_osfhandle(inputFd_));
    std::thread([state = win_] {
      char buffer[4096];
      for (;;) {
        {
          std::unique_lock lock(state->mutex);
          state->taken.wait(
              lock, [&] { return state->stopped || state->chunks.size() < kMaxUntakenInput; });
          if (state->stopped)
            return;
        }
        DWORD got = 0;
        const BOOL ok = ::ReadFile(state->input, buffer, sizeof buffer, &got, nullptr);
        std::lock_guard lock(state->mutex);
        if (!ok || got == 0) {
          state->ended = true;
          ::SetEvent(state->data);
          return;
        }
        state->chunks.append(buffer, got);
        ::SetEvent(state->data);
      }
    }).detach();
  }
  thread_ = std::thread([this] { Run(); });
}

TInputWatcher::~TInputWatcher() {
  Stop();
}

void TInputWatcher::Wake() {
  ::SetEvent(win_->wake);
}

void TInputWatcher::Stop() {
  if (!thread_.joinable())
    return;
  {
    std::lock_guard lock(win_->mutex);
    win_->stopped = true;
  }
  win_->taken.notify_all();
  ::SetEvent(win_->stop);
  thread_.join();
}

void TInputWatcher::Run() {
  bool inputOpen = inputFd_ >= 0;
  for (;;) {
    const bool reading = inputOpen && (!gate_ || gate_());
    const HANDLE events[4] = {win_->stop, g_signalEvent, win_->wake, win_->data};
    const DWORD which = ::WaitForMultipleObjects(reading ? 4 : 3, events, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0 || which == WAIT_FAILED)
      return;
    if (which == WAIT_OBJECT_0 + 1)
      ReadSignal();
    if (which == WAIT_OBJECT_0 + 3)
      inputOpen = ReadInput();
  }
}

bool TInputWatcher::ReadInput() {
  bool ended = false;
  {
    std::lock_guard lock(win_->mutex);
    pending_ += std::exchange(win_->chunks, std::string());
    ended = win_->ended;
  }
  win_->taken.notify_all();
  DeliverLines(ended);
  return !ended;
}

void TInputWatcher::ReadSignal() {
  int signal = 0;
  {
    std::lock_guard lock(g_signalMutex);
    signal = std::exchange(g_pendingSignal, 0);
  }
  if (signal != 0)
    onSignal_(signal);
}

}  // namespace kyt::host

#endif
