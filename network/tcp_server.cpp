#include "network/tcp_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "platform/native_thread.h"
#include "platform/sockets.h"
#include "runtime/teardown.h"
#include "runtime/thread.h"

namespace kyt {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 32768;
// One read of at most 32 KiB per look; what is left is taken by the next look, at once.
// A child that writes the block on (a relay, a serial line) keeps the stream flowing when it
// gets moderate blocks: with megabytes per block, reading stalls while each is written.
constexpr int kMaxReadsPerLook = 1;
// After a failed accept the same failure would come straight back; the pause keeps the
// listening thread from spinning.
constexpr milliseconds kListenErrorPause{250};
// Out of descriptors, the listener stops accepting for a while: only a connection ending (or
// another part of the process closing something) can mend that.
constexpr milliseconds kOutOfDescriptorsPause{1000};
// How often a join on the main thread looks up from serving hand-overs.
constexpr milliseconds kJoinSlice{5};
// How often a lingering client looks whether the server stops.
constexpr milliseconds kLingerSlice{50};

// Every failure a handler sees is an Exception with a message, whatever was thrown.
template <class F>
void WithFailure(std::exception_ptr failure, F&& report) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    report(e);
  } catch (...) {
    report(Exception("Unknown exception"));
  }
}

ESocketError ModuleError(const net::SocketError& error) {
  return ESocketError(error.Code(), error.Text());
}

}  // namespace

// ---- TServerConnection --------------------------------------------------------------------

struct TServerConnection::Impl {
  net::Socket socket;
  const net::StopSignal* stop = nullptr;
  milliseconds writeTimeout{};
  std::list<std::shared_ptr<TServerConnection>>::iterator position;
  // Written by its own thread; the connection's thread stops it before the socket goes.
  std::unique_ptr<TSendQueue> output;

  // Set by whichever thread drops the client, read by the connection's thread.
  std::atomic<bool> dropped{false};
  std::atomic<bool> leaving{false};
  std::mutex dropMutex;
  std::exception_ptr dropReason;
  TDropCause dropCause = TDropCause::None;
  bool ending = false;  // the connection's thread is closing it: writer failures are its own

  // The connection's thread only.
  bool peerClosed = false;
  std::exception_ptr readFailure;  // held back until the bytes read before it are delivered

  void Drop(std::exception_ptr reason, TDropCause cause = TDropCause::None) {
    {
      std::lock_guard lock(dropMutex);
      if (ending || dropReason)
        return;
      dropReason = reason;
      dropCause = cause;
    }
    dropped = true;
    // Wakes the connection's thread, which then ends and reports the reason, and the writer.
    net::Shutdown(socket);
  }
  std::exception_ptr DropReason() {
    std::lock_guard lock(dropMutex);
    return dropReason;
  }
  // The writer's failure: a client that took nothing in time, or one that went away. One that
  // had already ended its side and now closed for good is simply gone, as a client that leaves.
  void WriteFailed(std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const net::SocketError& error) {
      if (leaving && error.Code() != net::kTimedOut)
        return;
      Drop(std::make_exception_ptr(ModuleError(error)),
           error.Code() == net::kTimedOut ? TDropCause::Stalled : TDropCause::None);
    } catch (...) {
      Drop(std::current_exception());
    }
  }
};

TServerConnection::TServerConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TServerConnection::~TServerConnection() = default;

bool TServerConnection::Dropped() const {
  return impl_->dropped;
}

TDropCause TServerConnection::DropCause() const {
  std::lock_guard lock(impl_->dropMutex);
  return impl_->dropCause;
}

bool TServerConnection::Ending() const {
  return impl_->dropped || impl_->stop->Raised();
}

bool TServerConnection::PeerEnded() const {
  return net::PeerEnded(impl_->socket);
}

bool TServerConnection::Leaving() const {
  return impl_->leaving;
}

void TServerConnection::Write(const std::string& data) {
  if (impl_->output->Push(data) == TSendQueue::TPush::OverBound) {
    impl_->Drop(std::make_exception_ptr(
                    ESocketError(net::kNoBufferSpace, net::ErrorText(net::kNoBufferSpace))),
                TDropCause::Overflow);
  }
}

// ---- TTCPServer ---------------------------------------------------------------------------

namespace {

// What one activation owns; it lives until every thread of that activation has ended.
struct Session {
  struct Listener {
    net::Socket socket;
    std::thread thread;
    net::DescriptorReserve reserve{TTCPServer::ReservedDescriptors};
    bool failing = false;  // a failure was reported; accepting has not worked since
  };
  net::StopSignal stop;
  std::vector<std::unique_ptr<Listener>> listeners;
};

}  // namespace

struct TTCPServer::Impl {
  explicit Impl(TTCPServer& owner) : owner(owner) {}

  TTCPServer& owner;
  std::mutex listMutex;
  std::list<std::shared_ptr<TServerConnection>> connections;
  uint32_t lastNumber = 0;  // under listMutex
  std::unique_ptr<Session> session;

  // Connection threads hand themselves over to be joined: each joins the one that ended
  // before it, and SetActive(false) joins the last, so none is left unjoined and at most one
  // ended thread waits at any time.
  std::mutex threadsMutex;
  std::condition_variable threadsChanged;
  int liveThreads = 0;
  platform::NativeThread lastEnded;

  void Open();
  void Close();
  void Listen(Session::Listener& listener);
  void AcceptOne(Session::Listener& listener);
  void ReportListenError(std::exception_ptr failure);
  void StartConnection(net::Socket socket);
  void StartWriter(TServerConnection& connection);
  void Linger(TServerConnection& connection);
  void EndWriter(TServerConnection& connection);
  void RunConnection(std::shared_ptr<TServerConnection> connection);
  void Serve(std::shared_ptr<TServerConnection> connection);
  bool ReadAvailable(TServerConnection& connection);
  void Remove(const std::shared_ptr<TServerConnection>& connection);
  void ThreadEnded();
  void WaitForConnectionThreads();
};

void TTCPServer::Impl::Open() {
  auto opening = std::make_unique<Session>();
  try {
    for (const TServerBinding& binding : owner.Bindings) {
      auto listener = std::make_unique<Session::Listener>();
      listener->socket = net::Listen(binding.Port, binding.Address, ListenQueue);
      opening->listeners.push_back(std::move(listener));
    }
  } catch (const std::exception&) {
    throw EServerBind();
  }
  session = std::move(opening);
  try {
    for (auto& listener : session->listeners) {
      listener->thread = std::thread([this, raw = listener.get()] { Listen(*raw); });
    }
  } catch (...) {
    Close();
    throw;
  }
}

void TTCPServer::Impl::Close() {
  session->stop.Raise();
  // A connection thread may be handing a block to a child that answers on this very server:
  // whatever the caller holds is lent out while it waits.
  const TWaitScope waiting;
  for (auto& listener : session->listeners) {
    if (listener->thread.joinable())
      listener->thread.join();
  }
  WaitForConnectionThreads();
  session.reset();
}

void TTCPServer::Impl::Listen(Session::Listener& listener) {
  while (!session->stop.Raised()) {
    milliseconds pause = kListenErrorPause;
    try {
      if (const int error = listener.reserve.Refill())
        throw ESocketError(error, net::ErrorText(error));
      AcceptOne(listener);
      continue;
    } catch (const ESocketError& e) {
      if (net::IsOutOfDescriptors(e.Code())) {
        listener.reserve.Release();
        pause = kOutOfDescriptorsPause;
      }
      if (!std::exchange(listener.failing, true))
        ReportListenError(std::current_exception());
    } catch (...) {
      if (!std::exchange(listener.failing, true))
        ReportListenError(std::current_exception());
    }
    if (net::WaitForStop(session->stop, pause))
      return;
  }
}

void TTCPServer::Impl::ReportListenError(std::exception_ptr failure) {
  if (!owner.OnListenError)
    return;
  WithFailure(failure, [&](const std::exception& e) {
    try {
      owner.OnListenError(e);
    } catch (...) {
    }
  });
}

void TTCPServer::Impl::AcceptOne(Session::Listener& listener) {
  net::Socket accepted;
  try {
    accepted = net::Accept(listener.socket, net::kNoTimeout, &session->stop);
  } catch (const net::SocketError& error) {
    throw ModuleError(error);
  }
  if (!accepted)
    return;
  if (std::exchange(listener.failing, false) && owner.OnListenResumed) {
    try {
      owner.OnListenResumed();
    } catch (...) {
    }
  }
  StartConnection(std::move(accepted));
}

void TTCPServer::Impl::StartConnection(net::Socket socket) {
  auto impl = std::make_unique<TServerConnection::Impl>();
  impl->socket = std::move(socket);
  impl->stop = &session->stop;
  impl->writeTimeout = owner.WriteTimeout;
  std::shared_ptr<TServerConnection> connection(new TServerConnection(std::move(impl)));
  {
    // Counted here rather than by the new thread, so a burst of clients cannot slip past the
    // limit before their threads have listed them.
    std::lock_guard lock(listMutex);
    const int32_t limit = owner.MaxConnections;
    if (limit > 0 && TLockedList::Counted(connections) >= static_cast<std::size_t>(limit)) {
      return;  // the socket closes with `connection`, before the client is told anything
    }
  }
  StartWriter(*connection);
  {
    std::lock_guard lock(listMutex);
    connection->impl_->position = connections.insert(connections.end(), connection);
    connection->number_ = ++lastNumber;
  }
  {
    std::lock_guard lock(threadsMutex);
    ++liveThreads;
  }
  try {
    platform::StartNativeThread(
        [this, connection]() mutable { RunConnection(std::move(connection)); },
        owner.ThreadStackSize);
  } catch (...) {
    Remove(connection);
    std::lock_guard lock(threadsMutex);
    --liveThreads;
    threadsChanged.notify_all();
    throw;
  }
}

void TTCPServer::Impl::StartWriter(TServerConnection& connection) {
  TServerConnection::Impl& state = *connection.impl_;
  state.output = std::make_unique<TSendQueue>(
      [&state](std::span<const char> bytes) {
        return net::SendSome(state.socket, bytes, state.writeTimeout, state.stop);
      },
      [&state](std::exception_ptr failure) { state.WriteFailed(failure); }, nullptr,
      TSendQueueLimits{.Bound = owner.SendQueueBound},
      [&state](std::span<const char> bytes) -> std::size_t {
        try {
          return net::SendNow(state.socket, bytes);
        } catch (const net::SocketError&) {
          return 0;  // the writer meets the failure and reports it
        }
      });
}

// A client that ended its side may still wait for an answer: it keeps getting what is sent to
// it until its connection fails (it closed for good), it is dropped, the server stops, or the
// linger is over.
void TTCPServer::Impl::Linger(TServerConnection& connection) {
  TServerConnection::Impl& state = *connection.impl_;
  state.leaving = true;
  const auto end = std::chrono::steady_clock::now() + owner.Linger;
  while (!connection.Ending()) {
    const auto left = std::chrono::ceil<milliseconds>(end - std::chrono::steady_clock::now());
    if (left <= milliseconds::zero() || state.output->WaitEnded(std::min(left, kLingerSlice)))
      break;
  }
}

// Whatever the writer is doing ends with the socket's shutdown; a failure that brings is no
// fault of the client.
void TTCPServer::Impl::EndWriter(TServerConnection& connection) {
  TServerConnection::Impl& state = *connection.impl_;
  {
    std::lock_guard lock(state.dropMutex);
    state.ending = true;
  }
  net::Shutdown(state.socket);
  state.output->Stop();
}

void TTCPServer::Impl::RunConnection(std::shared_ptr<TServerConnection> connection) {
  {
    // What the children drop here is torn down elsewhere: a teardown stops this thread.
    const TWorkerScope worker;
    Serve(std::move(connection));
  }
  ThreadEnded();
}

void TTCPServer::Impl::Serve(std::shared_ptr<TServerConnection> connection) {
  TServerConnection& c = *connection;
  TServerConnection::Impl& state = *c.impl_;
  try {
    try {
      c.peerIP_ = net::PeerAddressText(state.socket);
    } catch (const net::SocketError&) {
      // The client is already gone; the first read says how.
    }
    if (owner.OnConnect)
      owner.OnConnect(c);
    for (;;) {
      if (c.InputBufferIsEmpty()) {
        if (state.readFailure)
          std::rethrow_exception(state.readFailure);
        if (state.peerClosed)
          break;
        if (net::WaitReadable(state.socket, net::kNoTimeout, state.stop) ==
            net::WaitResult::Stopped) {
          break;
        }
      }
      if (owner.OnBeforeRead && !state.dropped)
        owner.OnBeforeRead(c);
      if (state.stop->Raised())
        break;
      if (!ReadAvailable(c))
        break;
      if (c.InputBufferIsEmpty())
        continue;
      if (owner.OnExecute) {
        owner.OnExecute(c);
      } else {
        c.TakeAll();
      }
    }
    if (state.peerClosed && !state.dropped)
      Linger(c);
    EndWriter(c);
    if (std::exception_ptr reason = state.DropReason())
      std::rethrow_exception(reason);
    if (owner.OnDisconnect)
      owner.OnDisconnect(c);
  } catch (...) {
    EndWriter(c);
    if (owner.OnConnectionError) {
      WithFailure(std::current_exception(), [&](const std::exception& e) {
        try {
          owner.OnConnectionError(c, e);
        } catch (...) {
        }
      });
    }
  }
  Remove(connection);
}

// Moves what the socket holds into the input buffer without waiting. True while the
// connection is open or unread bytes remain.
bool TTCPServer::Impl::ReadAvailable(TServerConnection& c) {
  TServerConnection::Impl& state = *c.impl_;
  for (int reads = 0; reads < kMaxReadsPerLook && !state.peerClosed; ++reads) {
    const std::size_t old = c.input_.size();
    c.input_.resize(old + kReadChunk);
    std::optional<std::size_t> count;
    try {
      count = net::ReceiveNow(state.socket, std::span<char>(c.input_.data() + old, kReadChunk));
    } catch (const net::SocketError& error) {
      c.input_.resize(old);
      state.readFailure = std::make_exception_ptr(ModuleError(error));
      state.peerClosed = true;
      break;
    }
    c.input_.resize(old + count.value_or(0));
    if (count && *count == 0)
      state.peerClosed = true;
    if (!count || *count < kReadChunk)
      break;
  }
  if (state.readFailure && c.InputBufferIsEmpty())
    std::rethrow_exception(state.readFailure);
  return !state.peerClosed || !c.InputBufferIsEmpty();
}

void TTCPServer::Impl::Remove(const std::shared_ptr<TServerConnection>& connection) {
  std::lock_guard lock(listMutex);
  connections.erase(connection->impl_->position);
}

void TTCPServer::Impl::ThreadEnded() {
  platform::NativeThread previous;
  {
    std::lock_guard lock(threadsMutex);
    --liveThreads;
    previous = std::exchange(lastEnded, platform::CurrentNativeThread());
    threadsChanged.notify_all();
  }
  platform::JoinNativeThread(previous);
}

void TTCPServer::Impl::WaitForConnectionThreads() {
  const bool servesHandOvers = IsMainThread();
  std::unique_lock lock(threadsMutex);
  while (liveThreads > 0) {
    if (servesHandOvers) {
      // A child running on a connection thread may be waiting for the main thread.
      lock.unlock();
      CheckSynchronize(kJoinSlice);
      lock.lock();
    } else {
      threadsChanged.wait(lock);
    }
  }
  platform::NativeThread last = std::exchange(lastEnded, platform::NativeThread{});
  lock.unlock();
  platform::JoinNativeThread(last);
}

TTCPServer::TTCPServer() : impl_(std::make_unique<Impl>(*this)) {}

TTCPServer::~TTCPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

TServerBinding& TTCPServer::AddBinding(const std::string& address) {
  return Bindings.emplace_back(TServerBinding{address, DefaultPort});
}

bool TTCPServer::Active() const {
  return impl_->session != nullptr;
}

void TTCPServer::SetActive(bool active) {
  if (active == Active())
    return;
  if (active) {
    impl_->Open();
  } else {
    impl_->Close();
  }
}

TTCPServer::TLockedList TTCPServer::LockList() {
  return TLockedList(impl_->listMutex, impl_->connections);
}

std::size_t TTCPServer::TLockedList::Count() const {
  return Counted(list_);
}

std::size_t TTCPServer::TLockedList::Counted(
    const std::list<std::shared_ptr<TServerConnection>>& list) {
  return static_cast<std::size_t>(std::count_if(
      list.begin(), list.end(), [](const auto& c) { return !c->Dropped() && !c->Leaving(); }));
}

std::vector<uint16_t> TTCPServer::ListeningPorts() const {
  std::vector<uint16_t> ports;
  if (impl_->session) {
    for (const auto& listener : impl_->session->listeners) {
      ports.push_back(net::LocalPort(listener->socket));
    }
  }
  return ports;
}

}  // namespace kyt
