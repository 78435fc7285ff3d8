#include "cli/input_watcher.h"

#ifndef _WIN32
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <utility>

#include "runtime/exception.h"

namespace kyt::host {

#ifndef _WIN32
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

int CheckedFd(int fd, const char* what) {
  if (fd < 0)
    throw Exception(std::string(what) + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TInputWatcher::TInputWatcher(int inputFd, LineHandler onLine, SignalHandler onSignal,
                             InputGate gate)
    : inputFd_(inputFd),
      onLine_(std::move(onLine)),
      onSignal_(std::move(onSignal)),
      gate_(std::move(gate)) {
  stopFd_ = CheckedFd(eventfd(0, EFD_CLOEXEC), "eventfd");
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    close(stopFd_);
    CheckedFd(wakeFd_, "eventfd");
  }
  sigset_t set = StopSignals();
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
  if (signalFd_ < 0) {
    close(stopFd_);
    close(wakeFd_);
    CheckedFd(signalFd_, "signalfd");
  }
  thread_ = std::thread([this] { Run(); });
}

TInputWatcher::~TInputWatcher() {
  Stop();
  close(stopFd_);
  close(wakeFd_);
  close(signalFd_);
}

void TInputWatcher::Wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
}

void TInputWatcher::Stop() {
  if (!thread_.joinable())
    return;
  uint64_t one = 1;
  // The counter cannot overflow from one write; a failure would leave nothing to wake.
  [[maybe_unused]] ssize_t written = write(stopFd_, &one, sizeof one);
  thread_.join();
}

void TInputWatcher::Run() {
  bool inputOpen = inputFd_ >= 0;
  while (true) {
    // A Wake between this question and the poll leaves the wake descriptor readable, so the
    // poll returns and the gate is asked again: no wake is lost.
    const bool reading = inputOpen && (!gate_ || gate_());
    pollfd fds[4] = {
        {stopFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {inputFd_, POLLIN, 0}};
    int count = poll(fds, reading ? 4 : 3, -1);
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents != 0)
      return;
    if (fds[1].revents & POLLIN)
      ReadSignal();
    if (fds[2].revents & POLLIN) {
      uint64_t wakes = 0;
      [[maybe_unused]] ssize_t got = read(wakeFd_, &wakes, sizeof wakes);
    }
    // POLLHUP without POLLIN still needs a read to see the end of input.
    if (reading && fds[3].revents != 0)
      inputOpen = ReadInput();
  }
}

bool TInputWatcher::ReadInput() {
  char buffer[4096];
  ssize_t got = read(inputFd_, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN))
    return true;
  if (got <= 0) {
    DeliverLines(true);
    return false;
  }
  pending_.append(buffer, static_cast<size_t>(got));
  DeliverLines(false);
  return true;
}

#endif

void TInputWatcher::DeliverLines(bool endOfInput) {
  size_t start = 0;
  for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = pending_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!std::exchange(discarding_, false))
      onLine_({std::move(line), false});
  }
  pending_.erase(0, start);
  if (endOfInput && !pending_.empty() && !discarding_)
    onLine_({std::move(pending_), false});
  if (endOfInput)
    pending_.clear();
  if (pending_.size() > kMaxLineLength) {
    // Memory stays bounded whatever the input; the line is reported and its rest skipped.
    if (!discarding_)
      onLine_({pending_.substr(0, kMaxLineLength), true});
    discarding_ = true;
    pending_.clear();
  }
}

#ifndef _WIN32
void TInputWatcher::ReadSignal() {
  signalfd_siginfo info;
  if (read(signalFd_, &info, sizeof info) == sizeof info) {
    onSignal_(static_cast<int>(info.ssi_signo));
  }
}

#endif

}  // namespace kyt::host
