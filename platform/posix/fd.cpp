#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fmt/format.h>
#include <cstdint>

#include "platform/sockets.h"

namespace kyt::net {

namespace {

// strerror_r comes in two flavours: GNU returns the text, XSI fills the buffer and returns 0.
[[maybe_unused]] const char* PickText(const char* gnu, const char*) {
  return gnu;
}
[[maybe_unused]] const char* PickText(int, const char* buffer) {
  return buffer;
}

}  // namespace

const int kTimedOut = ETIMEDOUT;
const int kCanceled = ECANCELED;
const int kNotConnected = ENOTCONN;
const int kConnectionRefused = ECONNREFUSED;
const int kNoBufferSpace = ENOBUFS;

std::string ErrorText(int code) {
  char buffer[256] = {};
  return PickText(strerror_r(code, buffer, sizeof buffer), buffer);
}

SocketError::SocketError(int code, std::string text, const std::string& call)
    : Exception(fmt::format("{}: {} ({})", call, text, code)),
      code_(code),
      text_(std::move(text)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int UniqueFd::Release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset() noexcept {
  if (fd_ >= 0) {
    // Don't retry close in case of EINTR: the descriptor is gone either way on Linux, and a
    // retry could close one another thread has just been given.
    ::close(fd_);
    fd_ = -1;
  }
}

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_) {
    int code = errno;
    throw SocketError(code, ErrorText(code), "eventfd");
  }
}

void StopSignal::Raise() noexcept {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is saturated, which is still raised.
  while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void StopSignal::Reset() noexcept {
  std::uint64_t count = 0;
  // One read empties a non-semaphore eventfd; EAGAIN means it was not raised.
  while (::read(fd_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

bool StopSignal::Raised() const {
  pollfd entry{fd_.Get(), POLLIN, 0};
  int n = 0;
  while ((n = ::poll(&entry, 1, 0)) < 0 && errno == EINTR) {
  }
  return n > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace kyt::net
