#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>

#include "platform/sockets.h"

namespace kyt::net {

namespace {

static_assert(sizeof(sockaddr_storage) <= sizeof(Address::storage));

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(int code, const char* call) {
  throw SocketError(code, ErrorText(code), call);
}

// A point in time that poll counts down to; anything beyond a year counts as no limit, which
// also keeps the clock arithmetic clear of overflow.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds timeout)
      : unlimited_(timeout >= std::chrono::hours(24 * 365)),
        end_(Clock::now() + (unlimited_ ? std::chrono::milliseconds(0) : timeout)) {}

  // The poll argument: -1 waits without limit.
  int PollTimeout() const {
    if (unlimited_) {
      return -1;
    }
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

// Waits for `events` on fd or for the stop signal, restarting after EINTR with the time left.
PollOutcome PollOne(int fd, short events, const StopSignal* stop, const Deadline& deadline) {
  pollfd entries[2] = {{fd, events, 0}, {stop ? stop->Handle() : -1, POLLIN, 0}};
  for (;;) {
    int n = ::poll(entries, stop ? 2 : 1, deadline.PollTimeout());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      Fail(errno, "poll");
    }
    if (n == 0) {
      return {WaitResult::TimedOut, 0};
    }
    if (entries[1].revents != 0) {
      return {WaitResult::Stopped, 0};
    }
    if (entries[0].revents & POLLNVAL) {
      Fail(EBADF, "poll");
    }
    return {WaitResult::Ready, entries[0].revents};
  }
}

sockaddr_storage ToStorage(const Address& address) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.storage.data(), address.size);
  return storage;
}

Address FromSockaddr(const sockaddr* raw, socklen_t size) {
  Address address;
  address.size = std::min<socklen_t>(size, sizeof(sockaddr_storage));
  std::memcpy(address.storage.data(), raw, address.size);
  return address;
}

int Family(const Address& address) {
  return ToStorage(address).ss_family;
}

[[noreturn]] void FailLookup(int code) {
  if (code == EAI_SYSTEM) {
    Fail(errno, "getaddrinfo");
  }
  throw SocketError(code, gai_strerror(code), "getaddrinfo");
}

std::vector<Address> Lookup(const std::string& host, std::uint16_t port, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    FailLookup(rc);
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, ::freeaddrinfo);
  std::vector<Address> addresses;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    addresses.push_back(FromSockaddr(entry->ai_addr, entry->ai_addrlen));
  }
  if (addresses.empty()) {
    FailLookup(EAI_NONAME);
  }
  return addresses;
}

void SetBlocking(const Socket& socket) {
  int flags = ::fcntl(socket.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.Get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    Fail(errno, "fcntl");
  }
}

int PendingError(const Socket& socket) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
    return errno;
  }
  return error;
}

// One connection attempt: a connected socket, or the errno that ended it.
struct Attempt {
  Socket socket{};
  int error = 0;
  bool stopped = false;
};

Attempt AwaitConnect(Attempt attempt, const Deadline& deadline, const StopSignal* stop) {
  PollOutcome outcome = PollOne(attempt.socket.Get(), POLLOUT, stop, deadline);
  if (outcome.result == WaitResult::Stopped) {
    return {.stopped = true};
  }
  if (outcome.result == WaitResult::TimedOut) {
    return {.error = ETIMEDOUT};
  }
  attempt.error = PendingError(attempt.socket);
  return attempt;
}

Attempt TryConnect(const Address& to, const Deadline& deadline, const StopSignal* stop) {
  Attempt attempt{Socket(::socket(Family(to), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))};
  if (!attempt.socket) {
    return {.error = errno};
  }
  sockaddr_storage storage = ToStorage(to);
  if (::connect(attempt.socket.Get(), reinterpret_cast<const sockaddr*>(&storage), to.size) == 0) {
    return attempt;
  }
  // After EINTR the attempt goes on in the background, just as after EINPROGRESS.
  if (errno != EINPROGRESS && errno != EINTR) {
    return {.error = errno};
  }
  return AwaitConnect(std::move(attempt), deadline, stop);
}

Socket OpenListener(int family) {
  Socket socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket) {
    Fail(errno, "socket");
  }
  int one = 1;
  if (::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
    Fail(errno, "setsockopt");
  }
  return socket;
}

Address AnyIPv4(std::uint16_t port) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return FromSockaddr(reinterpret_cast<const sockaddr*>(&any), sizeof any);
}

bool IsRetryableAccept(int error) {
  // ECONNABORTED: the peer gave up while queued; the next one may be fine.
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED;
}

// send/recv results with errno captured right away.
struct Transfer {
  std::ptrdiff_t count;
  int error;
};

std::ptrdiff_t RealSend(int fd, const void* data, std::size_t size, int flags) {
  return ::send(fd, data, size, flags);
}

std::ptrdiff_t RealRecv(int fd, void* data, std::size_t size, int flags) {
  return ::recv(fd, data, size, flags);
}

constexpr SystemCalls kRealCalls{RealSend, RealRecv};
std::atomic<const SystemCalls*> currentCalls{&kRealCalls};

const SystemCalls& Calls() {
  return *currentCalls.load(std::memory_order_acquire);
}

Transfer RecvRetrying(const Socket& socket, std::span<char> data, int flags) {
  for (;;) {
    std::ptrdiff_t n = Calls().recv(socket.Get(), data.data(), data.size(), flags);
    int error = n < 0 ? errno : 0;
    if (error != EINTR) {
      return {n, error};
    }
  }
}

bool IsWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

void WaitWritable(const Socket& socket) {
  PollOne(socket.Get(), POLLOUT, nullptr, Deadline(kNoTimeout));
}

}  // namespace

std::vector<Address> Resolve(const std::string& host, std::uint16_t port) {
  return Lookup(host, port, 0);
}

Socket Connect(std::span<const Address> candidates, std::chrono::milliseconds timeout,
               const StopSignal* stop) {
  Deadline deadline(timeout);
  int lastError = EADDRNOTAVAIL;
  for (const Address& candidate : candidates) {
    if (stop != nullptr && stop->Raised()) {
      return {};
    }
    Attempt attempt = TryConnect(candidate, deadline, stop);
    if (attempt.stopped) {
      return {};
    }
    if (attempt.error == 0) {
      SetBlocking(attempt.socket);
      return std::move(attempt.socket);
    }
    lastError = attempt.error;
    if (deadline.Expired()) {
      break;
    }
  }
  Fail(lastError, "connect");
}

Socket Listen(std::uint16_t port, const std::string& address, int backlog) {
  Address local = address.empty() ? AnyIPv4(port) : Lookup(address, port, AI_NUMERICHOST)[0];
  Socket socket = OpenListener(Family(local));
  sockaddr_storage raw = ToStorage(local);
  if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&raw), local.size) < 0) {
    Fail(errno, "bind");
  }
  if (::listen(socket.Get(), backlog) < 0) {
    Fail(errno, "listen");
  }
  return socket;
}

std::uint16_t LocalPort(const Socket& socket) {
  sockaddr_storage raw{};
  socklen_t size = sizeof raw;
  if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&raw), &size) < 0) {
    Fail(errno, "getsockname");
  }
  if (raw.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&raw)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&raw)->sin_port);
}

bool WaitForStop(const StopSignal& stop, std::chrono::milliseconds timeout) {
  return PollOne(stop.Handle(), POLLIN, nullptr, Deadline(timeout)).result == WaitResult::Ready;
}

std::string PeerAddressText(const Socket& socket) {
  sockaddr_storage raw{};
  socklen_t size = sizeof raw;
  if (::getpeername(socket.Get(), reinterpret_cast<sockaddr*>(&raw), &size) < 0) {
    Fail(errno, "getpeername");
  }
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
  if (::inet_ntop(family, where, text, sizeof text) == nullptr) {
    Fail(errno, "inet_ntop");
  }
  return text;
}

Socket Accept(const Socket& listener, std::chrono::milliseconds timeout, const StopSignal* stop) {
  Deadline deadline(timeout);
  for (;;) {
    if (PollOne(listener.Get(), POLLIN, stop, deadline).result != WaitResult::Ready) {
      return {};
    }
    Socket accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (accepted) {
      return accepted;
    }
    if (!IsRetryableAccept(errno)) {
      Fail(errno, "accept");
    }
  }
}

WaitResult WaitReadable(const Socket& socket, std::chrono::milliseconds timeout,
                        const StopSignal* stop) {
  return PollOne(socket.Get(), POLLIN, stop, Deadline(timeout)).result;
}

bool PeerEnded(const Socket& socket) {
  pollfd entry{socket.Get(), POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void SendAll(const Socket& socket, std::span<const char> data) {
  while (!data.empty()) {
    std::ptrdiff_t n = Calls().send(socket.Get(), data.data(), data.size(), MSG_NOSIGNAL);
    // Zero bytes for a non-empty buffer means no room yet, like EAGAIN.
    int error = n < 0 ? errno : (n == 0 ? EAGAIN : 0);
    if (error == 0) {
      data = data.subspan(std::min(static_cast<std::size_t>(n), data.size()));
    } else if (IsWouldBlock(error)) {
      WaitWritable(socket);
    } else if (error != EINTR) {
      Fail(error, "send");
    }
  }
}

void SendAll(const Socket& socket, std::span<const char> data, std::chrono::milliseconds timeout,
             const StopSignal* stop) {
  Deadline deadline(timeout);
  while (!data.empty()) {
    // MSG_DONTWAIT keeps a blocking socket from sleeping inside send, past the deadline.
    std::ptrdiff_t n =
        Calls().send(socket.Get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    int error = n < 0 ? errno : (n == 0 ? EAGAIN : 0);
    if (error == 0) {
      data = data.subspan(std::min(static_cast<std::size_t>(n), data.size()));
      continue;
    }
    if (error == EINTR) {
      continue;
    }
    if (!IsWouldBlock(error)) {
      Fail(error, "send");
    }
    WaitResult waited = PollOne(socket.Get(), POLLOUT, stop, deadline).result;
    if (waited == WaitResult::TimedOut) {
      Fail(ETIMEDOUT, "send");
    }
    if (waited == WaitResult::Stopped) {
      Fail(ECANCELED, "send");
    }
  }
}

std::size_t SendSome(const Socket& socket, std::span<const char> data,
                     std::chrono::milliseconds timeout, const StopSignal* stop) {
  Deadline deadline(timeout);
  while (!data.empty()) {
    std::ptrdiff_t n =
        Calls().send(socket.Get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    int error = n < 0 ? errno : (n == 0 ? EAGAIN : 0);
    if (error == 0) {
      return std::min(static_cast<std::size_t>(n), data.size());
    }
    if (error == EINTR) {
      continue;
    }
    if (!IsWouldBlock(error)) {
      Fail(error, "send");
    }
    WaitResult waited = PollOne(socket.Get(), POLLOUT, stop, deadline).result;
    if (waited == WaitResult::TimedOut) {
      Fail(ETIMEDOUT, "send");
    }
    if (waited == WaitResult::Stopped) {
      Fail(ECANCELED, "send");
    }
  }
  return 0;
}

std::size_t SendNow(const Socket& socket, std::span<const char> data) {
  while (!data.empty()) {
    std::ptrdiff_t n =
        Calls().send(socket.Get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      return std::min(static_cast<std::size_t>(n), data.size());
    }
    if (errno == EINTR) {
      continue;
    }
    if (IsWouldBlock(errno)) {
      return 0;
    }
    Fail(errno, "send");
  }
  return 0;
}

std::size_t Receive(const Socket& socket, std::span<char> data) {
  Transfer transfer = RecvRetrying(socket, data, 0);
  if (transfer.count < 0) {
    Fail(transfer.error, "recv");
  }
  return static_cast<std::size_t>(transfer.count);
}

std::optional<std::size_t> ReceiveNow(const Socket& socket, std::span<char> data) {
  Transfer transfer = RecvRetrying(socket, data, MSG_DONTWAIT);
  if (transfer.count < 0 && IsWouldBlock(transfer.error)) {
    return std::nullopt;
  }
  if (transfer.count < 0) {
    Fail(transfer.error, "recv");
  }
  return static_cast<std::size_t>(transfer.count);
}

void Shutdown(const Socket& socket) noexcept {
  if (socket) {
    // ENOTCONN after the peer already went is fine: the point is only to end both directions.
    ::shutdown(socket.Get(), SHUT_RDWR);
  }
}

void ShutdownSending(const Socket& socket) noexcept {
  if (socket) {
    ::shutdown(socket.Get(), SHUT_WR);
  }
}

void AbortiveClose(Socket& socket) noexcept {
  if (socket) {
    linger reset{1, 0};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    socket.Reset();
  }
}

bool IsConnectionLoss(int code) {
  return code == ECONNRESET || code == ECONNABORTED || code == ESHUTDOWN || code == EIO;
}

const SystemCalls& RealSystemCalls() {
  return kRealCalls;
}

const SystemCalls* ReplaceSystemCalls(const SystemCalls* calls) {
  return currentCalls.exchange(calls != nullptr ? calls : &kRealCalls, std::memory_order_acq_rel);
}

}  // namespace kyt::net
