#include "network/tcp_client.h"

#include <fmt/format.h>
#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sockets.h"

namespace kyt {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 32768;
// A fast sender could otherwise keep one Connected() reading forever; the next call takes the
// rest.
constexpr int kMaxReadsPerCall = 64;
constexpr milliseconds kConnectSlice{125};
// Keeps deadline arithmetic clear of overflow for absurd time-outs.
constexpr milliseconds kLongestWait = std::chrono::hours(24 * 365);

[[noreturn]] void RaiseModuleError(const net::SocketError& error) {
  throw ESocketError(error.Code(), error.Text());
}

std::mutex lookupHookMutex;
std::function<void(const std::string&)> lookupHook;

std::vector<net::Address> Lookup(const std::string& host, uint16_t port) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(lookupHookMutex);
    hook = lookupHook;
  }
  if (hook)
    hook(host);
  return net::Resolve(host, port);
}

std::vector<net::Address> ResolveOrRaise(const std::string& host, uint16_t port) {
  try {
    return Lookup(host, port);
  } catch (const net::SocketError& error) {
    RaiseModuleError(error);
  }
}

// One open connection. Every call that uses the socket holds a reference, so the descriptor is
// closed only after the last of them let go and can never be reused under a running call;
// closing raises `closing` and shuts the socket down, which wakes those calls.
struct Connection {
  net::Socket socket;
  net::StopSignal closing;
};

// The connecting thread: it looks the name up and connects, so the caller's wait bounds both.
// The destructor stops and joins it, so a failure leaves neither a thread nor a socket behind;
// a look-up cannot be stopped, so an attempt that timed out in one is kept by its client until
// the look-up returns.
class ConnectAttempt {
 public:
  ConnectAttempt(std::string host, uint16_t port)
      : host_(std::move(host)), port_(port), thread_([this] { Run(); }) {}
  ~ConnectAttempt() {
    stop_.Raise();
    thread_.join();
  }
  ConnectAttempt(const ConnectAttempt&) = delete;
  ConnectAttempt& operator=(const ConnectAttempt&) = delete;

  // False when the time ran out or `stopped` said so first.
  bool WaitFor(milliseconds timeout, const std::function<bool()>& stopped = {});
  // The connected socket; raises the failure of the attempt.
  net::Socket TakeSocket();
  void Stop() { stop_.Raise(); }

 private:
  void Run();

  std::string host_;
  uint16_t port_;
  net::StopSignal stop_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  net::Socket socket_;
  std::exception_ptr error_;
  std::thread thread_;  // last, so it starts once everything it touches exists
};

void ConnectAttempt::Run() {
  net::Socket socket;
  std::exception_ptr error;
  try {
    // No limit of its own: the waiting thread owns the time-out and stops us.
    const std::vector<net::Address> addresses = Lookup(host_, port_);
    if (!stop_.Raised())
      socket = net::Connect(addresses, net::kNoTimeout, &stop_);
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard lock(mutex_);
  socket_ = std::move(socket);
  error_ = error;
  finished_ = true;
  done_.notify_all();
}

bool ConnectAttempt::WaitFor(milliseconds timeout, const std::function<bool()>& stopped) {
  const auto deadline = Clock::now() + std::clamp(timeout, milliseconds(0), kLongestWait);
  std::unique_lock lock(mutex_);
  while (!finished_) {
    const auto now = Clock::now();
    if (now >= deadline) {
      return false;
    }
    if (stopped) {
      lock.unlock();
      const bool stop = stopped();
      lock.lock();
      if (stop && !finished_)
        return false;
    }
    auto left = std::chrono::ceil<milliseconds>(deadline - now);
    done_.wait_for(lock, std::min(kConnectSlice, left));
  }
  return true;
}

net::Socket ConnectAttempt::TakeSocket() {
  std::lock_guard lock(mutex_);
  try {
    if (error_) {
      std::rethrow_exception(error_);
    }
  } catch (const net::SocketError& error) {
    RaiseModuleError(error);
  }
  return std::move(socket_);
}

net::Socket ConnectHere(const std::vector<net::Address>& addresses, milliseconds timeout) {
  try {
    return net::Connect(addresses, std::clamp(timeout, milliseconds(0), kLongestWait));
  } catch (const net::SocketError& error) {
    if (error.Code() == net::kTimedOut) {
      throw Exception("Connect timed out.");
    }
    RaiseModuleError(error);
  }
}

}  // namespace

ESocketError::ESocketError(int code, const std::string& text)
    : Exception(fmt::format("Socket Error # {}: {}", code, text)), code_(code) {}

struct TTCPClient::Impl {
  // Guards everything below. Reads happen under it too (they never wait), which keeps bytes in
  // order when two threads ask Connected() at once.
  mutable std::mutex mutex;
  std::shared_ptr<Connection> connection;
  bool peerClosed = false;  // read the end of the stream; the socket goes at the next Connected()
  std::string buffer;
  std::array<char, kReadChunk> chunk;
  // Keeps two Writes from interleaving their bytes; never held together with `mutex`.
  std::mutex writeMutex;
  // An attempt given up while its look-up still ran (Connect's thread only).
  std::unique_ptr<ConnectAttempt> abandoned;

  bool OpenLocked() const { return connection != nullptr && !peerClosed; }
  std::shared_ptr<Connection> OpenConnection() const;
  std::shared_ptr<Connection> AnyConnection() const;
  void Open(net::Socket socket);
  void DrainLocked();
  bool ReadOnceLocked();
  void HandleReadErrorLocked(const net::SocketError& error);
  void ReleaseLocked() noexcept;
  bool Close() noexcept;
};

std::shared_ptr<Connection> TTCPClient::Impl::OpenConnection() const {
  std::lock_guard lock(mutex);
  return OpenLocked() ? connection : nullptr;
}

std::shared_ptr<Connection> TTCPClient::Impl::AnyConnection() const {
  std::lock_guard lock(mutex);
  return connection;
}

void TTCPClient::Impl::Open(net::Socket socket) {
  auto opened = std::make_shared<Connection>();
  opened->socket = std::move(socket);
  std::lock_guard lock(mutex);
  ReleaseLocked();
  connection = std::move(opened);
}

void TTCPClient::Impl::DrainLocked() {
  for (int reads = 0; reads < kMaxReadsPerCall && OpenLocked(); ++reads) {
    if (!ReadOnceLocked()) {
      return;
    }
  }
}

// Moves one read's worth into the buffer; false once the socket has nothing more right now. A
// read that did not fill the chunk found the socket emptied, so asking again would only cost a
// call that fails (on every one-byte block); what comes after it is seen by the next wait.
bool TTCPClient::Impl::ReadOnceLocked() {
  std::optional<std::size_t> count;
  try {
    count = net::ReceiveNow(connection->socket, chunk);
  } catch (const net::SocketError& error) {
    HandleReadErrorLocked(error);
    return false;
  }
  if (count && *count == 0) {
    peerClosed = true;
  }
  if (!count || *count == 0) {
    return false;
  }
  buffer.append(chunk.data(), *count);
  return *count == chunk.size();
}

// A lost connection ends like a peer close, so bytes read before it still reach the reader; it
// is an error only when nothing is left to deliver. Any other failure leaves the socket open.
void TTCPClient::Impl::HandleReadErrorLocked(const net::SocketError& error) {
  if (!net::IsConnectionLoss(error.Code())) {
    RaiseModuleError(error);
  }
  ReleaseLocked();
  if (buffer.empty()) {
    RaiseModuleError(error);
  }
}

void TTCPClient::Impl::ReleaseLocked() noexcept {
  if (connection) {
    connection->closing.Raise();
    net::Shutdown(connection->socket);
    connection.reset();
  }
  peerClosed = false;
}

// True when the connection was still open. One the peer already ended was reported by the
// reader seeing Connected() turn false, so it is not announced a second time.
bool TTCPClient::Impl::Close() noexcept {
  std::lock_guard lock(mutex);
  const bool wasOpen = OpenLocked();
  ReleaseLocked();
  buffer.clear();
  return wasOpen;
}

TTCPClient::TTCPClient() : impl_(std::make_unique<Impl>()) {}

TTCPClient::~TTCPClient() {
  impl_->Close();
}

void TTCPClient::Connect() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->OpenLocked() || !impl_->buffer.empty()) {
      throw Exception("Already connected.");
    }
  }
  if (Host.empty() || Port == 0) {
    throw Exception("");
  }
  const auto raiseStopped = [] {
    throw ESocketError(net::kCanceled, net::ErrorText(net::kCanceled));
  };
  if (ConnectOnCallerThread && !Stopped) {
    impl_->Open(ConnectHere(ResolveOrRaise(Host, Port), ConnectTimeout));
  } else {
    const auto deadline = Clock::now() + std::clamp(ConnectTimeout, milliseconds(0), kLongestWait);
    auto left = [&] { return std::chrono::ceil<milliseconds>(deadline - Clock::now()); };
    // One look-up at a time: an earlier one that still runs is waited for, within this time.
    if (impl_->abandoned && !impl_->abandoned->WaitFor(left(), Stopped)) {
      if (Stopped && Stopped())
        raiseStopped();
      throw Exception("Connect timed out.");
    }
    impl_->abandoned.reset();
    auto attempt = std::make_unique<ConnectAttempt>(Host, Port);
    if (!attempt->WaitFor(left(), Stopped)) {
      attempt->Stop();
      // A connect ends at once on the stop; only a look-up keeps the thread.
      if (!attempt->WaitFor(kConnectSlice))
        impl_->abandoned = std::move(attempt);
      if (Stopped && Stopped())
        raiseStopped();
      throw Exception("Connect timed out.");
    }
    impl_->Open(attempt->TakeSocket());
  }
  if (OnConnected) {
    OnConnected();
  }
}

bool TTCPClient::Connected() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->peerClosed) {
    impl_->ReleaseLocked();
  } else {
    impl_->DrainLocked();
  }
  return impl_->OpenLocked() || !impl_->buffer.empty();
}

void TTCPClient::WaitForData(std::chrono::milliseconds timeout) {
  std::shared_ptr<Connection> open = impl_->OpenConnection();
  if (!open) {
    return;
  }
  net::WaitResult result{};
  try {
    result = net::WaitReadable(open->socket, timeout, &open->closing);
  } catch (const net::SocketError& error) {
    RaiseModuleError(error);
  }
  std::lock_guard lock(impl_->mutex);
  if (result == net::WaitResult::Ready && impl_->connection == open) {
    impl_->DrainLocked();
  }
}

bool TTCPClient::InputBufferIsEmpty() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->buffer.empty();
}

std::string TTCPClient::TakeAll() {
  std::lock_guard lock(impl_->mutex);
  return std::exchange(impl_->buffer, std::string());
}

void TTCPClient::TakeAllInto(std::string& target) {
  std::lock_guard lock(impl_->mutex);
  target += impl_->buffer;
  impl_->buffer.clear();
}

void TTCPClient::Write(const std::string& data) {
  // A half-closed stream may still take bytes, so only a socket that is gone refuses.
  std::shared_ptr<Connection> connection = impl_->AnyConnection();
  if (!connection) {
    throw ESocketError(net::kNotConnected, net::ErrorText(net::kNotConnected));
  }
  std::lock_guard lock(impl_->writeMutex);
  try {
    net::SendAll(connection->socket, data, WriteTimeout, &connection->closing);
  } catch (const net::SocketError& error) {
    RaiseModuleError(error);
  }
}

std::size_t TTCPClient::WriteSome(std::span<const char> data) {
  std::shared_ptr<Connection> connection = impl_->AnyConnection();
  if (!connection) {
    throw ESocketError(net::kNotConnected, net::ErrorText(net::kNotConnected));
  }
  std::lock_guard lock(impl_->writeMutex);
  try {
    return net::SendSome(connection->socket, data, WriteTimeout, &connection->closing);
  } catch (const net::SocketError& error) {
    RaiseModuleError(error);
  }
}

std::size_t TTCPClient::WriteNow(std::span<const char> data) {
  std::shared_ptr<Connection> connection = impl_->AnyConnection();
  if (!connection) {
    return 0;
  }
  std::lock_guard lock(impl_->writeMutex);
  try {
    return net::SendNow(connection->socket, data);
  } catch (const net::SocketError&) {
    return 0;
  }
}

bool TTCPClient::Open() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->OpenLocked() || !impl_->buffer.empty();
}

void TTCPClient::Abandon() {
  std::lock_guard lock(impl_->mutex);
  impl_->ReleaseLocked();
}

void TTCPClient::SetLookupHook(std::function<void(const std::string& host)> hook) {
  std::lock_guard lock(lookupHookMutex);
  lookupHook = std::move(hook);
}

void TTCPClient::Disconnect() {
  if (impl_->Close() && OnDisconnected) {
    OnDisconnected();
  }
}

}  // namespace kyt
