#pragma once

// Unix stream sockets for the host's side of the test machine: QEMU connects to them (the
// serial line's far end and QMP), so nothing the guest sends is lost before the test reads it.

#include <chrono>
#include <cstddef>
#include <string>

namespace kyt::vm {

class TUnixStream {
 public:
  explicit TUnixStream(int fd) : fd_(fd) {}
  ~TUnixStream();
  TUnixStream(TUnixStream&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
  }
  TUnixStream& operator=(TUnixStream&&) = delete;
  TUnixStream(const TUnixStream&) = delete;

  void WriteAll(const std::string& bytes);
  // Exactly `count` bytes; fewer when the time runs out or the peer closes.
  std::string Read(size_t count, std::chrono::milliseconds timeout);
  // Everything up to and including the first `delimiter`; "" when the time runs out first.
  std::string ReadUntil(const std::string& delimiter, std::chrono::milliseconds timeout);
  // Whatever arrives within `timeout` (returns as soon as something did).
  std::string ReadSome(std::chrono::milliseconds timeout);

 private:
  // Adds what is ready within `timeout` to pending_; false at the peer's end of stream.
  bool Fill(std::chrono::milliseconds timeout);

  int fd_;
  std::string pending_;
};

class TUnixListener {
 public:
  explicit TUnixListener(std::string path);
  ~TUnixListener();
  TUnixListener(const TUnixListener&) = delete;
  TUnixListener& operator=(const TUnixListener&) = delete;

  const std::string& Path() const { return path_; }
  // Raises std::runtime_error when no one connects in time.
  TUnixStream Accept(std::chrono::milliseconds timeout);

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace kyt::vm
