#include "tests/vm/unix_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kyt::vm {

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

bool WaitReadable(int fd, int milliseconds) {
  pollfd ready = {fd, POLLIN, 0};
  int n;
  while ((n = poll(&ready, 1, milliseconds)) < 0 && errno == EINTR) {
  }
  if (n < 0)
    throw SystemError("poll");
  return n > 0;
}

}  // namespace

TUnixStream::~TUnixStream() {
  if (fd_ >= 0)
    close(fd_);
}

void TUnixStream::WriteAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw SystemError("send");
    done += static_cast<size_t>(n);
  }
}

bool TUnixStream::Fill(std::chrono::milliseconds timeout) {
  if (!WaitReadable(fd_, static_cast<int>(timeout.count())))
    return true;
  char buffer[65536];
  ssize_t n;
  while ((n = recv(fd_, buffer, sizeof buffer, 0)) < 0 && errno == EINTR) {
  }
  if (n < 0)
    throw SystemError("recv");
  pending_.append(buffer, static_cast<size_t>(n));
  return n > 0;
}

std::string TUnixStream::Read(size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (pending_.size() < count && Remaining(deadline) > 0) {
    if (!Fill(std::chrono::milliseconds(Remaining(deadline))))
      break;
  }
  std::string bytes = pending_.substr(0, std::min(count, pending_.size()));
  pending_.erase(0, bytes.size());
  return bytes;
}

std::string TUnixStream::ReadUntil(const std::string& delimiter,
                                   std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  size_t at;
  while ((at = pending_.find(delimiter)) == std::string::npos) {
    if (Remaining(deadline) == 0 || !Fill(std::chrono::milliseconds(Remaining(deadline))))
      return "";
  }
  std::string bytes = pending_.substr(0, at + delimiter.size());
  pending_.erase(0, bytes.size());
  return bytes;
}

std::string TUnixStream::ReadSome(std::chrono::milliseconds timeout) {
  if (pending_.empty())
    Fill(timeout);
  return std::exchange(pending_, {});
}

TUnixListener::TUnixListener(std::string path) : path_(std::move(path)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path)
    throw std::runtime_error("socket path too long: " + path_);
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw SystemError("socket");
  unlink(path_.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 1) != 0) {
    auto error = SystemError("bind " + path_);
    close(fd_);
    throw error;
  }
}

TUnixListener::~TUnixListener() {
  close(fd_);
  unlink(path_.c_str());
}

TUnixStream TUnixListener::Accept(std::chrono::milliseconds timeout) {
  if (!WaitReadable(fd_, static_cast<int>(timeout.count())))
    throw std::runtime_error("nothing connected to " + path_ + " in time");
  int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0)
    throw SystemError("accept " + path_);
  return TUnixStream(fd);
}

}  // namespace kyt::vm
