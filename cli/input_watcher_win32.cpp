// kyt-host's watcher on Windows: a reader thread blocks in ReadFile on standard input and hands
// each chunk over; the watcher thread waits for a chunk, a console stop event or Stop.

#ifdef _WIN32

#include <windows.h>
// windows.h first.
#include <io.h>

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
  std::mutex mutex;
  std::string chunks;  // read, not yet taken by the watcher
  bool ended = false;  // end of input (or a read error) reached
  ~TWinState() {
    ::CloseHandle(stop);
    ::CloseHandle(data);
  }
};

void BlockStopSignals() {
  g_signalEvent = SignalEvent();
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

TInputWatcher::TInputWatcher(int inputFd, LineHandler onLine, SignalHandler onSignal)
    : inputFd_(inputFd),
      win_(std::make_shared<TWinState>()),
      onLine_(std::move(onLine)),
      onSignal_(std::move(onSignal)) {
  g_signalEvent = SignalEvent();
  if (inputFd_ >= 0) {
    win_->input = reinterpret_cast<HANDLE>(::_get_osfhandle(inputFd_));
    std::thread([state = win_] {
      char buffer[4096];
      for (;;) {
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

void TInputWatcher::Stop() {
  if (!thread_.joinable())
    return;
  ::SetEvent(win_->stop);
  thread_.join();
}

void TInputWatcher::Run() {
  bool inputOpen = inputFd_ >= 0;
  for (;;) {
    const HANDLE events[3] = {win_->stop, g_signalEvent, win_->data};
    const DWORD which = ::WaitForMultipleObjects(inputOpen ? 3 : 2, events, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0 || which == WAIT_FAILED)
      return;
    if (which == WAIT_OBJECT_0 + 1)
      ReadSignal();
    if (which == WAIT_OBJECT_0 + 2)
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
