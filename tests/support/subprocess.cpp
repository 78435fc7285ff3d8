#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kyt::test_support {

namespace {

using Clock = std::chrono::steady_clock;

struct TPipe {
  int Read = -1;
  int Write = -1;
};

TPipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::strerror(errno));
  return {fds[0], fds[1]};
}

void CloseFd(int& fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

int ExitCode(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

std::chrono::milliseconds Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(left, std::chrono::milliseconds::zero());
}

}  // namespace

TSubprocess::TSubprocess(const std::vector<std::string>& argv) {
  // Writing to a child that already exited must fail the write, not kill the test run.
  std::signal(SIGPIPE, SIG_IGN);
  TPipe in = MakePipe();
  TPipe out = MakePipe();
  TPipe err = MakePipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.Read, 0);
  posix_spawn_file_actions_adddup2(&actions, out.Write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.Write, 2);
  // The child starts with no blocked signals, whatever the test runner blocked.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int error = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in.Read);
  close(out.Write);
  close(err.Write);
  stdin_ = in.Write;
  stdout_ = out.Read;
  stderr_fd_ = err.Read;
  if (error != 0) {
    pid_ = -1;
    CloseFd(stdin_);
    CloseFd(stdout_);
    CloseFd(stderr_fd_);
    throw std::runtime_error(argv[0] + ": " + std::strerror(error));
  }
}

TSubprocess::~TSubprocess() {
  Kill();
  CloseFd(stdin_);
  CloseFd(stdout_);
  CloseFd(stderr_fd_);
}

void TSubprocess::WriteStdin(const std::string& text) {
  size_t done = 0;
  while (stdin_ >= 0 && done < text.size()) {
    ssize_t n = write(stdin_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw std::runtime_error(std::string("write to child: ") + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

size_t TSubprocess::WriteStdinFor(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const int flags = fcntl(stdin_, F_GETFL);
  fcntl(stdin_, F_SETFL, flags | O_NONBLOCK);
  size_t done = 0;
  while (done < text.size()) {
    pollfd fd = {stdin_, POLLOUT, 0};
    if (poll(&fd, 1, static_cast<int>(Left(deadline).count())) <= 0)
      break;
    ssize_t n = write(stdin_, text.data() + done, text.size() - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n < 0)
      break;
    done += static_cast<size_t>(n);
  }
  fcntl(stdin_, F_SETFL, flags);
  return done;
}

void TSubprocess::CloseStdin() {
  CloseFd(stdin_);
}

void TSubprocess::Signal(int signal) {
  if (pid_ > 0 && !exitCode_)
    kill(pid_, signal);
}

bool TSubprocess::WaitForLine(const std::function<bool(const std::string&)>& match,
                              std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  size_t checked = 0;
  while (true) {
    for (; checked < lines_.size(); ++checked) {
      if (match(lines_[checked]))
        return true;
    }
    if (Left(deadline).count() == 0 || !Pump(Left(deadline)))
      return false;
  }
}

std::optional<int> TSubprocess::Wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Pump(Left(deadline))) {
    if (Left(deadline).count() == 0) {
      Kill();
      return std::nullopt;
    }
  }
  // Both outputs ended: the child has exited or is about to; waitpid has the same limit.
  while (!exitCode_) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = ExitCode(status);
    } else if (Left(deadline).count() == 0) {
      Kill();
      return std::nullopt;
    } else {
      poll(nullptr, 0, 5);
    }
  }
  return exitCode_;
}

bool TSubprocess::Exited() {
  int status = 0;
  if (!exitCode_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
    exitCode_ = ExitCode(status);
  return exitCode_.has_value();
}

bool TSubprocess::Pump(std::chrono::milliseconds timeout) {
  if (stdout_ < 0 && stderr_fd_ < 0)
    return false;
  pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
  int ready = poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready < 0 && errno != EINTR)
    throw std::runtime_error(std::strerror(errno));
  if (ready > 0 && fds[0].revents != 0)
    ReadFrom(stdout_, pendingOut_);
  if (ready > 0 && fds[1].revents != 0)
    ReadFrom(stderr_fd_, stderr_);
  SplitLines();
  return stdout_ >= 0 || stderr_fd_ >= 0;
}

void TSubprocess::ReadFrom(int& fd, std::string& into) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR)
    return;
  if (n <= 0) {
    CloseFd(fd);
    return;
  }
  into.append(buffer, static_cast<size_t>(n));
}

void TSubprocess::SplitLines() {
  size_t start = 0;
  for (size_t end; (end = pendingOut_.find('\n', start)) != std::string::npos; start = end + 1) {
    lines_.push_back(pendingOut_.substr(start, end - start));
  }
  pendingOut_.erase(0, start);
}

void TSubprocess::Kill() {
  if (pid_ <= 0 || exitCode_)
    return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exitCode_ = ExitCode(status);
}

}  // namespace kyt::test_support
