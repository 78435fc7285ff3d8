#pragma once

// Runs a program with piped standard streams, for end-to-end tests of kyt-host. Every wait has
// a time limit; a child still running at the end is killed.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kyt::test_support {

class TSubprocess {
 public:
  // argv[0] is the program's path. Raises std::runtime_error when it cannot be started.
  explicit TSubprocess(const std::vector<std::string>& argv);
  ~TSubprocess();  // SIGKILL when still running, then reaps
  TSubprocess(const TSubprocess&) = delete;
  TSubprocess& operator=(const TSubprocess&) = delete;

  void WriteStdin(const std::string& text);
  // Writes what the child takes within `limit` (it may stop reading); returns how many bytes.
  size_t WriteStdinFor(const std::string& text, std::chrono::milliseconds limit);
  void CloseStdin();
  void Signal(int signal);
  pid_t Pid() const { return pid_; }
  // Whether the child has ended, without waiting; its exit code then is ExitStatus().
  bool Exited();
  std::optional<int> ExitStatus() const { return exitCode_; }

  // Reads standard output until a complete line satisfies `match` or the time runs out.
  bool WaitForLine(const std::function<bool(const std::string&)>& match,
                   std::chrono::milliseconds timeout);
  // Waits for the exit, reading all output meanwhile. The exit code (128 + signal for a
  // signal), or nullopt after a time-out, in which case the child is killed.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

  // Complete lines of standard output so far, and standard error.
  const std::vector<std::string>& Lines() const { return lines_; }
  const std::string& Stderr() const { return stderr_; }

 private:
  // Reads whatever is ready within `timeout`; false once both outputs are at their end.
  bool Pump(std::chrono::milliseconds timeout);
  void ReadFrom(int& fd, std::string& into);
  void SplitLines();
  void Kill();

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_fd_ = -1;
  std::string pendingOut_;
  std::string stderr_;
  std::vector<std::string> lines_;
  std::optional<int> exitCode_;
};

}  // namespace kyt::test_support
