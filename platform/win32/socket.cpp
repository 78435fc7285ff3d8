// The socket layer on Windows Sockets 2. Every socket is non-blocking underneath and waits go
// through WSAPoll, which mirrors the poll-based POSIX layer. The stop signal is a UDP socket
// on the loopback address that sends to itself, so WSAPoll waits for it beside the socket.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <fmt/format.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "platform/sockets.h"
#include "platform/win32/win_text.h"

namespace kyt::net {

namespace {

static_assert(sizeof(sockaddr_storage) <= sizeof(Address::storage));
// The layer keeps handles in an int; on 32-bit Windows a SOCKET is 32 bits, INVALID_SOCKET -1.
static_assert(sizeof(SOCKET) == sizeof(int), "the Windows build is 32-bit");

using Clock = std::chrono::steady_clock;

SOCKET Raw(int fd) {
  return static_cast<SOCKET>(static_cast<unsigned>(fd));
}
SOCKET Raw(const UniqueFd& fd) {
  return Raw(fd.Get());
}
int FromRaw(SOCKET s) {
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (int rc = ::WSAStartup(MAKEWORD(2, 2), &data); rc != 0)
      throw SocketError(rc, ErrorText(rc), "WSAStartup");
  });
}

[[noreturn]] void Fail(int code, const char* call) {
  throw SocketError(code, ErrorText(code), call);
}

int LastError() {
  return ::WSAGetLastError();
}

class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds timeout)
      : unlimited_(timeout >= std::chrono::hours(24 * 365)),
        end_(Clock::now() + (unlimited_ ? std::chrono::milliseconds(0) : timeout)) {}

  int PollTimeout() const {
    if (unlimited_)
      return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
  }
  bool Expired() const { return !unlimited_ && Clock::now() >= end_; }

 private:
  bool unlimited_;
  Clock::time_point end_;
};

struct PollOutcome {
  WaitResult result;
  short revents;
};

// WSAPoll does not return for a socket that another thread shuts down (poll on Linux reports
// POLLHUP), yet a shutdown is how a reader is told to end: waits are cut into slices, and a
// socket shut down meanwhile counts as ready, so the reader's next call sees the shutdown.
constexpr int kPollSliceMs = 50;
std::mutex shutMutex;
std::set<int> shutSockets;  // left again on close, as Windows hands the value out anew

bool IsShut(int fd) {
  std::lock_guard lock(shutMutex);
  return shutSockets.contains(fd);
}

PollOutcome PollOne(int fd, short events, const StopSignal* stop, const Deadline& deadline) {
  for (;;) {
    WSAPOLLFD entries[2] = {{Raw(fd), events, 0},
                            {stop ? Raw(stop->Handle()) : INVALID_SOCKET, POLLRDNORM, 0}};
    const int left = deadline.PollTimeout();
    int n =
        ::WSAPoll(entries, stop ? 2 : 1, left < 0 ? kPollSliceMs : std::min(left, kPollSliceMs));
    if (n < 0)
      Fail(LastError(), "WSAPoll");
    if (n == 0) {
      if (IsShut(fd))
        return {WaitResult::Ready, POLLHUP};
      if (deadline.Expired())
        return {WaitResult::TimedOut, 0};
      continue;
    }
    if (stop && entries[1].revents != 0)
      return {WaitResult::Stopped, 0};
    if (entries[0].revents & POLLNVAL)
      Fail(WSAENOTSOCK, "WSAPoll");
    return {WaitResult::Ready, entries[0].revents};
  }
}

sockaddr_storage ToStorage(const Address& address) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.storage.data(), address.size);
  return storage;
}

Address FromSockaddr(const sockaddr* raw, size_t size) {
  Address address;
  address.size = static_cast<std::uint32_t>(std::min(size, sizeof(sockaddr_storage)));
  std::memcpy(address.storage.data(), raw, address.size);
  return address;
}

int Family(const Address& address) {
  return ToStorage(address).ss_family;
}

std::vector<Address> Lookup(const std::string& host, std::uint16_t port, int flags) {
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  // getaddrinfo answers with a Winsock code (WSAHOST_NOT_FOUND, ...).
  if (int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list); rc != 0)
    Fail(rc, "getaddrinfo");
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, ::freeaddrinfo);
  std::vector<Address> addresses;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next)
    addresses.push_back(FromSockaddr(entry->ai_addr, entry->ai_addrlen));
  if (addresses.empty())
    Fail(WSAHOST_NOT_FOUND, "getaddrinfo");
  return addresses;
}

// A socket that is never inherited by child processes and never blocks underneath.
Socket NewSocket(int family, int type, int protocol) {
  StartWinsock();
  SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET)
    return Socket();
  Socket socket(FromRaw(s));
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0)
    Fail(LastError(), "ioctlsocket");
  return socket;
}

int PendingError(const Socket& socket) {
  int error = 0;
  int size = sizeof error;
  if (::getsockopt(Raw(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
    return LastError();
  return error;
}

struct Attempt {
  Socket socket{};
  int error = 0;
  bool stopped = false;
};

Attempt TryConnect(const Address& to, const Deadline& deadline, const StopSignal* stop) {
  Attempt attempt{NewSocket(Family(to), SOCK_STREAM, IPPROTO_TCP)};
  if (!attempt.socket)
    return {.error = LastError()};
  sockaddr_storage storage = ToStorage(to);
  if (::connect(Raw(attempt.socket), reinterpret_cast<const sockaddr*>(&storage),
                static_cast<int>(to.size)) == 0) {
    return attempt;
  }
  if (LastError() != WSAEWOULDBLOCK)
    return {.error = LastError()};
  // A refused connection shows as POLLERR (or POLLHUP) with the reason in SO_ERROR.
  PollOutcome outcome = PollOne(attempt.socket.Get(), POLLWRNORM, stop, deadline);
  if (outcome.result == WaitResult::Stopped)
    return {.stopped = true};
  if (outcome.result == WaitResult::TimedOut)
    return {.error = WSAETIMEDOUT};
  attempt.error = PendingError(attempt.socket);
  if (attempt.error == 0 && (outcome.revents & (POLLERR | POLLHUP)))
    attempt.error = WSAECONNREFUSED;
  return attempt;
}

Address AnyIPv4(std::uint16_t port) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return FromSockaddr(reinterpret_cast<const sockaddr*>(&any), sizeof any);
}

struct Transfer {
  std::ptrdiff_t count;
  int error;
};

std::ptrdiff_t RealSend(int fd, const void* data, std::size_t size, int flags) {
  const int n = ::send(Raw(fd), static_cast<const char*>(data),
                       static_cast<int>(std::min<std::size_t>(size, INT_MAX)), flags);
  if (n == SOCKET_ERROR)
    errno = ::WSAGetLastError();
  return n;
}

std::ptrdiff_t RealRecv(int fd, void* data, std::size_t size, int flags) {
  const int n = ::recv(Raw(fd), static_cast<char*>(data),
                       static_cast<int>(std::min<std::size_t>(size, INT_MAX)), flags);
  if (n == SOCKET_ERROR)
    errno = ::WSAGetLastError();
  return n;
}

constexpr SystemCalls kRealCalls{RealSend, RealRecv};
std::atomic<const SystemCalls*> currentCalls{&kRealCalls};

const SystemCalls& Calls() {
  return *currentCalls.load(std::memory_order_acquire);
}

// The calls follow the POSIX contract through the table: the code of a failure is in errno,
// where the real calls put the Winsock code; a test's table may also use EAGAIN and EINTR.
bool IsWouldBlock(int error) {
  return error == WSAEWOULDBLOCK || error == EAGAIN;
}
bool IsInterrupted(int error) {
  return error == WSAEINTR || error == EINTR;
}

Transfer RecvRetrying(const Socket& socket, std::span<char> data) {
  for (;;) {
    std::ptrdiff_t n = Calls().recv(socket.Get(), data.data(), data.size(), 0);
    int error = n < 0 ? errno : 0;
    // A socket this process shut down reads as ended, as on Linux; Winsock calls it a failure,
    // which would hide the reason the socket was shut down for.
    if (error == WSAESHUTDOWN)
      return {0, 0};
    if (!IsInterrupted(error))
      return {n, error};
  }
}

}  // namespace

const int kTimedOut = WSAETIMEDOUT;
const int kCanceled = WSAECANCELLED;
const int kNotConnected = WSAENOTCONN;
const int kConnectionRefused = WSAECONNREFUSED;
const int kNoBufferSpace = WSAENOBUFS;

std::string ErrorText(int code) {
  return win::SystemErrorText(static_cast<DWORD>(code));
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
    {
      std::lock_guard lock(shutMutex);
      shutSockets.erase(fd_);
    }
    ::closesocket(Raw(fd_));
    fd_ = -1;
  }
}

StopSignal::StopSignal() {
  Socket socket = NewSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (!socket)
    Fail(LastError(), "socket");
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof self;
  if (::bind(Raw(socket), reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(Raw(socket), reinterpret_cast<sockaddr*>(&self), &size) != 0 ||
      ::connect(Raw(socket), reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    Fail(LastError(), "stop signal");
  }
  fd_ = std::move(socket);
}

void StopSignal::Raise() noexcept {
  // A full queue is still raised; one datagram waiting is all a wait looks for.
  const char one = 1;
  ::send(Raw(fd_), &one, 1, 0);
}

void StopSignal::Reset() noexcept {
  char buffer[64];
  while (::recv(Raw(fd_), buffer, sizeof buffer, 0) > 0) {
  }
}

bool StopSignal::Raised() const {
  WSAPOLLFD entry{Raw(fd_), POLLRDNORM, 0};
  return ::WSAPoll(&entry, 1, 0) > 0 && (entry.revents & POLLRDNORM) != 0;
}

std::vector<Address> Resolve(const std::string& host, std::uint16_t port) {
  return Lookup(host, port, 0);
}

Socket Connect(std::span<const Address> candidates, std::chrono::milliseconds timeout,
               const StopSignal* stop) {
  Deadline deadline(timeout);
  int lastError = WSAEADDRNOTAVAIL;
  for (const Address& candidate : candidates) {
    if (stop != nullptr && stop->Raised())
      return {};
    Attempt attempt = TryConnect(candidate, deadline, stop);
    if (attempt.stopped)
      return {};
    if (attempt.error == 0)
      return std::move(attempt.socket);
    lastError = attempt.error;
    if (deadline.Expired())
      break;
  }
  Fail(lastError, "connect");
}

Socket Listen(std::uint16_t port, const std::string& address, int backlog) {
  Address local = address.empty() ? AnyIPv4(port) : Lookup(address, port, AI_NUMERICHOST)[0];
  Socket socket = NewSocket(Family(local), SOCK_STREAM, IPPROTO_TCP);
  if (!socket)
    Fail(LastError(), "socket");
  // No SO_REUSEADDR: on Windows it would let another program bind the same port, and a port
  // whose last connections wait in TIME_WAIT can be bound without it.
  sockaddr_storage raw = ToStorage(local);
  if (::bind(Raw(socket), reinterpret_cast<const sockaddr*>(&raw), static_cast<int>(local.size)) !=
      0) {
    Fail(LastError(), "bind");
  }
  if (::listen(Raw(socket), backlog) != 0)
    Fail(LastError(), "listen");
  return socket;
}

std::uint16_t LocalPort(const Socket& socket) {
  sockaddr_storage raw{};
  int size = sizeof raw;
  if (::getsockname(Raw(socket), reinterpret_cast<sockaddr*>(&raw), &size) != 0)
    Fail(LastError(), "getsockname");
  if (raw.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&raw)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&raw)->sin_port);
}

bool WaitForStop(const StopSignal& stop, std::chrono::milliseconds timeout) {
  return PollOne(stop.Handle(), POLLRDNORM, nullptr, Deadline(timeout)).result == WaitResult::Ready;
}

std::string PeerAddressText(const Socket& socket) {
  sockaddr_storage raw{};
  int size = sizeof raw;
  if (::getpeername(Raw(socket), reinterpret_cast<sockaddr*>(&raw), &size) != 0)
    Fail(LastError(), "getpeername");
  char text[INET6_ADDRSTRLEN] = {};
  const void* where = nullptr;
  int family = raw.ss_family;
  if (family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&raw);
    where = &v6->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      family = AF_INET;
      where = v6->sin6_addr.s6_addr + 12;
    }
  } else {
    where = &reinterpret_cast<const sockaddr_in*>(&raw)->sin_addr;
  }
  if (::inet_ntop(family, where, text, sizeof text) == nullptr)
    Fail(LastError(), "inet_ntop");
  return text;
}

Socket Accept(const Socket& listener, std::chrono::milliseconds timeout, const StopSignal* stop) {
  Deadline deadline(timeout);
  for (;;) {
    if (PollOne(listener.Get(), POLLRDNORM, stop, deadline).result != WaitResult::Ready)
      return {};
    SOCKET s = ::accept(Raw(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      Socket accepted(FromRaw(s));
      // An accepted socket takes the listener's non-blocking mode already; the handle is
      // still made private to this process.
      ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
      return accepted;
    }
    const int error = LastError();
    // WSAECONNRESET: the peer gave up while queued; the next one may be fine.
    if (error != WSAEWOULDBLOCK && error != WSAEINTR && error != WSAECONNRESET)
      Fail(error, "accept");
  }
}

WaitResult WaitReadable(const Socket& socket, std::chrono::milliseconds timeout,
                        const StopSignal* stop) {
  return PollOne(socket.Get(), POLLRDNORM, stop, Deadline(timeout)).result;
}

bool PeerEnded(const Socket&) {
  return false;
}

void SendAll(const Socket& socket, std::span<const char> data) {
  SendAll(socket, data, kNoTimeout, nullptr);
}

void SendAll(const Socket& socket, std::span<const char> data, std::chrono::milliseconds timeout,
             const StopSignal* stop) {
  Deadline deadline(timeout);
  while (!data.empty()) {
    std::ptrdiff_t n = Calls().send(socket.Get(), data.data(), data.size(), 0);
    int error = n < 0 ? errno : (n == 0 ? WSAEWOULDBLOCK : 0);
    if (error == 0) {
      data = data.subspan(std::min(static_cast<std::size_t>(n), data.size()));
      continue;
    }
    if (IsInterrupted(error))
      continue;
    if (!IsWouldBlock(error))
      Fail(error, "send");
    WaitResult waited = PollOne(socket.Get(), POLLWRNORM, stop, deadline).result;
    if (waited == WaitResult::TimedOut)
      Fail(kTimedOut, "send");
    if (waited == WaitResult::Stopped)
      Fail(kCanceled, "send");
  }
}

std::size_t SendSome(const Socket& socket, std::span<const char> data,
                     std::chrono::milliseconds timeout, const StopSignal* stop) {
  Deadline deadline(timeout);
  while (!data.empty()) {
    std::ptrdiff_t n = Calls().send(socket.Get(), data.data(), data.size(), 0);
    int error = n < 0 ? errno : (n == 0 ? WSAEWOULDBLOCK : 0);
    if (error == 0)
      return std::min(static_cast<std::size_t>(n), data.size());
    if (IsInterrupted(error))
      continue;
    if (!IsWouldBlock(error))
      Fail(error, "send");
    WaitResult waited = PollOne(socket.Get(), POLLWRNORM, stop, deadline).result;
    if (waited == WaitResult::TimedOut)
      Fail(kTimedOut, "send");
    if (waited == WaitResult::Stopped)
      Fail(kCanceled, "send");
  }
  return 0;
}

std::size_t SendNow(const Socket& socket, std::span<const char> data) {
  while (!data.empty()) {
    std::ptrdiff_t n = Calls().send(socket.Get(), data.data(), data.size(), 0);
    if (n >= 0)
      return std::min(static_cast<std::size_t>(n), data.size());
    const int error = errno;
    if (IsInterrupted(error))
      continue;
    if (IsWouldBlock(error))
      return 0;
    Fail(error, "send");
  }
  return 0;
}

std::size_t Receive(const Socket& socket, std::span<char> data) {
  for (;;) {
    Transfer transfer = RecvRetrying(socket, data);
    if (transfer.count >= 0)
      return static_cast<std::size_t>(transfer.count);
    if (!IsWouldBlock(transfer.error))
      Fail(transfer.error, "recv");
    PollOne(socket.Get(), POLLRDNORM, nullptr, Deadline(kNoTimeout));
  }
}

std::optional<std::size_t> ReceiveNow(const Socket& socket, std::span<char> data) {
  Transfer transfer = RecvRetrying(socket, data);
  if (transfer.count < 0 && IsWouldBlock(transfer.error))
    return std::nullopt;
  if (transfer.count < 0)
    Fail(transfer.error, "recv");
  return static_cast<std::size_t>(transfer.count);
}

void Shutdown(const Socket& socket) noexcept {
  if (socket) {
    try {
      std::lock_guard lock(shutMutex);
      shutSockets.insert(socket.Get());
    } catch (...) {
      // Without memory for the entry a waiter still ends at its time limit or stop.
    }
    ::shutdown(Raw(socket), SD_BOTH);
  }
}

void ShutdownSending(const Socket& socket) noexcept {
  if (socket)
    ::shutdown(Raw(socket), SD_SEND);
}

void AbortiveClose(Socket& socket) noexcept {
  if (socket) {
    linger reset{1, 0};
    ::setsockopt(Raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&reset), sizeof reset);
    socket.Reset();
  }
}

bool IsConnectionLoss(int code) {
  return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN ||
         code == WSAENETRESET;
}

const SystemCalls& RealSystemCalls() {
  return kRealCalls;
}

const SystemCalls* ReplaceSystemCalls(const SystemCalls* calls) {
  return currentCalls.exchange(calls != nullptr ? calls : &kRealCalls, std::memory_order_acq_rel);
}

}  // namespace kyt::net
