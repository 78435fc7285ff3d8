#pragma once

// kyt-host's watcher thread: reads lines from standard input and waits for the stop signals,
// without ever blocking where Stop cannot reach it.

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kyt::host {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in every thread it creates
// afterwards, so they are received only through TInputWatcher. Call first thing in main. On
// Windows the console's Ctrl+C (SIGINT) and Ctrl+Break, close, log-off and shut-down (SIGTERM)
// take their place; there is no SIGHUP.
void BlockStopSignals();

struct TInputLine {
  std::string Text;
  bool TooLong = false;  // Text holds the first kMaxLineLength bytes only
};

class TInputWatcher {
 public:
  using LineHandler = std::function<void(TInputLine)>;
  using SignalHandler = std::function<void(int signal)>;
  // Asked before each read of standard input: false leaves the input unread (the writer then
  // blocks on a full pipe) until a Wake finds it true again.
  using InputGate = std::function<bool()>;

  static constexpr size_t kMaxLineLength = 1 << 20;

  // Watches `inputFd` until end of input and the blocked signals until Stop. The handlers and
  // the gate run on the watcher thread. Raises Exception when the system refuses a descriptor.
  TInputWatcher(int inputFd, LineHandler onLine, SignalHandler onSignal, InputGate gate = {});
  ~TInputWatcher();  // Stop
  TInputWatcher(const TInputWatcher&) = delete;
  TInputWatcher& operator=(const TInputWatcher&) = delete;

  // From any thread: the gate is asked again.
  void Wake();
  void Stop();

 private:
  void Run();
  bool ReadInput();  // false at end of input
  void DeliverLines(bool endOfInput);
  void ReadSignal();

  int inputFd_;
#ifdef _WIN32
  // Shared with the thread that reads standard input: a blocked ReadFile cannot be called off
  // everywhere, so that thread may outlive the watcher.
  struct TWinState;
  std::shared_ptr<TWinState> win_;
#else
  int stopFd_ = -1;
  int wakeFd_ = -1;
  int signalFd_ = -1;
#endif
  LineHandler onLine_;
  SignalHandler onSignal_;
  InputGate gate_;
  std::string pending_;
  bool discarding_ = false;  // inside an over-long line, up to its end
  std::thread thread_;
};

}  // namespace kyt::host
