#pragma once

// A thin RAII layer over BSD sockets. Everything that talks to the operating system about
// sockets lives behind this header, so the transports above it use only standard C++.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/exception.h"

namespace kyt::net {

// A failed socket call. Code() is the errno value (the Winsock code on Windows), or for a
// failed name look-up the getaddrinfo (EAI_*) code, which is negative on glibc; Text() is the
// matching message.
class SocketError : public Exception {
 public:
  SocketError(int code, std::string text, const std::string& call);
  int Code() const { return code_; }
  const std::string& Text() const { return text_; }

 private:
  int code_;
  std::string text_;
};

// The message the system has for one of those codes.
std::string ErrorText(int code);

// The codes of the conditions the layers above tell apart, in the system's numbering: the time
// limit of a call ran out, a stop cut a call short, a write to a socket that is not connected,
// a connection refused.
extern const int kTimedOut;
extern const int kCanceled;
extern const int kNotConnected;
extern const int kConnectionRefused;
// No room left for more bytes (a send queue past its bound).
extern const int kNoBufferSpace;

// Read errors that mean the connection is gone rather than that a call went wrong: reset or
// aborted by the peer, transport shut down, or EIO.
bool IsConnectionLoss(int code);

// Failures that say the process or the system has no descriptor left for a new socket.
bool IsOutOfDescriptors(int code);

// A few descriptors held back: a listener that has taken every other one gives them up, so the
// rest of the process (a client reconnecting, a file being saved) can still open some, and it
// takes them again before it accepts more. Windows has no such limit; there it holds nothing.
class DescriptorReserve {
 public:
  explicit DescriptorReserve(std::size_t count);
  ~DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;

  void Release() noexcept;
  // Takes the descriptors again: 0 when all are held, else the system's error code (and none
  // is held).
  int Refill() noexcept;

 private:
  std::size_t count_;
  std::vector<int> held_;
};

// Waits without a limit; so does any time-out of a year or more.
inline constexpr std::chrono::milliseconds kNoTimeout = std::chrono::milliseconds::max();

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return Valid(); }
  int Release() noexcept;
  // Closes the descriptor (if any); the object is empty afterwards.
  void Reset() noexcept;

 private:
  int fd_ = -1;
};

// A connected or listening stream socket.
class Socket : public UniqueFd {
 public:
  using UniqueFd::UniqueFd;
};

// Wakes a poll from another thread (an eventfd). Raised stays raised until Reset.
class StopSignal {
 public:
  StopSignal();
  void Raise() noexcept;
  void Reset() noexcept;
  bool Raised() const;
  int Handle() const noexcept { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

// Waits until `stop` is raised or the time is up; true when raised.
bool WaitForStop(const StopSignal& stop, std::chrono::milliseconds timeout);

// One socket address (IPv4 or IPv6) as the operating system stores it; filled and read by the
// layer only.
struct Address {
  alignas(8) std::array<std::byte, 128> storage{};
  std::uint32_t size = 0;
};

// Looks up a host name or a numeric IPv4/IPv6 address (numeric ones need no look-up) and gives
// every stream address in the resolver's order, never an empty list.
std::vector<Address> Resolve(const std::string& host, std::uint16_t port);

// Tries the candidates in order until one accepts, within one overall time-out. Raises
// SocketError with the last failure (ETIMEDOUT when the time ran out); returns an empty Socket
// when `stop` was raised first. The returned socket is in blocking mode.
Socket Connect(std::span<const Address> candidates, std::chrono::milliseconds timeout,
               const StopSignal* stop = nullptr);

// A listening socket with SO_REUSEADDR. An empty address means any IPv4 address; otherwise a
// numeric IPv4 or IPv6 address. Port 0 picks an ephemeral port (see LocalPort).
Socket Listen(std::uint16_t port, const std::string& address = "", int backlog = 128);
std::uint16_t LocalPort(const Socket& socket);
// The numeric address of the connected peer, without the port ("127.0.0.1", "::1"); an IPv4
// peer on an IPv6 socket is given in its IPv4 form.
std::string PeerAddressText(const Socket& socket);

// Waits for a connection; an empty Socket on time-out or stop.
Socket Accept(const Socket& listener, std::chrono::milliseconds timeout = kNoTimeout,
              const StopSignal* stop = nullptr);

enum class WaitResult { Ready, TimedOut, Stopped };

// Ready also when the peer hung up or the socket has an error pending: the next read tells which.
// A raised stop wins over a ready socket.
WaitResult WaitReadable(const Socket& socket, std::chrono::milliseconds timeout,
                        const StopSignal* stop = nullptr);

// Whether the peer has ended its side of the stream or the connection failed, without reading
// (bytes it sent before may still wait to be read). Always false where the system cannot tell
// without reading (Windows).
bool PeerEnded(const Socket& socket);

// Sends every byte: partial writes and EINTR continue, EAGAIN waits until writable; never
// raises SIGPIPE. Raises SocketError.
void SendAll(const Socket& socket, std::span<const char> data);

// The same within a time limit for the whole transfer, on a socket that may be blocking: raises
// SocketError with ETIMEDOUT when the peer has not taken every byte in time, and with ECANCELED
// when `stop` is raised first. Bytes already handed to the kernel stay sent either way.
void SendAll(const Socket& socket, std::span<const char> data, std::chrono::milliseconds timeout,
             const StopSignal* stop = nullptr);

// Waits until the socket takes at least one byte (within `timeout`) and sends what it takes in
// one call; returns that count (0 only for empty data). Raises SocketError with ETIMEDOUT when
// nothing could be sent in time, with ECANCELED when `stop` is raised first. A writer that loops
// over it learns how far it got, so a limit applies to a stall rather than the whole transfer.
std::size_t SendSome(const Socket& socket, std::span<const char> data,
                     std::chrono::milliseconds timeout, const StopSignal* stop = nullptr);

// Sends what the socket takes right now, without waiting; 0 when it takes nothing now. Raises
// SocketError.
std::size_t SendNow(const Socket& socket, std::span<const char> data);

// Reads at most data.size() bytes, waiting for the first. 0 means the peer closed.
std::size_t Receive(const Socket& socket, std::span<char> data);
// Reads without waiting: nullopt when nothing is there yet, 0 when the peer closed.
std::optional<std::size_t> ReceiveNow(const Socket& socket, std::span<char> data);

// Ends both directions; wakes calls blocked on the socket in other threads. Never raises.
void Shutdown(const Socket& socket) noexcept;
// Ends our sending side only (the peer reads the end of the stream); reading goes on.
void ShutdownSending(const Socket& socket) noexcept;
// Closes with a reset (SO_LINGER 0) instead of an orderly close.
void AbortiveClose(Socket& socket) noexcept;

// The send/recv calls the layer makes, replaceable so tests can inject EINTR, EAGAIN and short
// transfers. The functions follow the POSIX contract: -1 and errno on failure.
struct SystemCalls {
  std::ptrdiff_t (*send)(int fd, const void* data, std::size_t size, int flags);
  std::ptrdiff_t (*recv)(int fd, void* data, std::size_t size, int flags);
};
const SystemCalls& RealSystemCalls();
// Installs `calls` (which must outlive its use) and returns the previous table.
const SystemCalls* ReplaceSystemCalls(const SystemCalls* calls);

}  // namespace kyt::net
