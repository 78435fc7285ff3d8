#pragma once

// The TCP server transport of the Server Socket module: listening bindings, one thread per
// listener and per client connection, and the locked list of current connections.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/send_queue.h"
#include "network/tcp_client.h"
#include "runtime/exception.h"

namespace kyt {

// The one text every failure to open a binding gives, whatever the system's reason.
class EServerBind : public Exception {
 public:
  EServerBind() : Exception("Could not bind socket. Address and port are already in use.") {}
};

class TServerConnection;

struct TServerBinding {
  std::string Address;
  uint16_t Port = 0;
};

class TTCPServer {
 public:
  using TConnectionEvent = std::function<void(TServerConnection&)>;
  using TConnectionError = std::function<void(TServerConnection&, const std::exception&)>;
  using TListenError = std::function<void(const std::exception&)>;

  // Longer than the 15 of old: clients connecting at once (a fan-out of hundreds) beyond the
  // queue wait out SYN retries of a second and more each, and one that sends nothing believes
  // it is connected meanwhile and misses what is sent. The system caps it at somaxconn.
  static constexpr int ListenQueue = 256;

  TTCPServer();
  ~TTCPServer();  // inactive first: every thread has ended before the members go
  TTCPServer(const TTCPServer&) = delete;
  TTCPServer& operator=(const TTCPServer&) = delete;

  uint16_t DefaultPort = 0;
  int32_t MaxConnections = 0;  // 0 or below: no limit
  std::vector<TServerBinding> Bindings;
  // Each client has a send queue written by a thread of its own, so no sender waits for a
  // client. A client that takes nothing of it for WriteTimeout, or lets more than SendQueueBound
  // bytes pile up, is dropped; the others never notice.
  std::chrono::milliseconds WriteTimeout{5000};
  std::size_t SendQueueBound = 4 << 20;
  // A client that ends its side of the stream (a half-close) still gets what is sent to it
  // until its connection fails or this much time has passed.
  std::chrono::milliseconds Linger{1000};
  // Connection threads run the children's receive paths, so they keep some headroom; only the
  // pages a thread touches cost memory.
  std::size_t ThreadStackSize = 256 * 1024;

  // Raised on the connection's own thread.
  TConnectionEvent OnConnect;
  TConnectionEvent OnDisconnect;
  // Raised whenever the connection's input buffer holds bytes; the handler takes them.
  TConnectionEvent OnExecute;
  // Raised when bytes are waiting in the socket, before they are read. A handler may wait
  // there (the bytes then stay in the kernel and TCP holds the client back); it should give up
  // once the connection's Ending() is true.
  TConnectionEvent OnBeforeRead;
  TConnectionError OnConnectionError;
  // Raised on the listening thread: a failure, once until accepting works again (a failure
  // that persists, such as running out of descriptors, is not repeated), then OnListenResumed.
  TListenError OnListenError;
  std::function<void()> OnListenResumed;
  // Descriptors each listener keeps back and gives up when the process runs out of them.
  static constexpr std::size_t ReservedDescriptors = 16;

  // A binding for `address` on DefaultPort.
  TServerBinding& AddBinding(const std::string& address);

  bool Active() const;
  // True opens every binding and starts its listening thread; raises EServerBind (and stays
  // inactive) when one cannot be opened. False stops the listeners, ends every connection and
  // waits for all their threads; on the host's main thread it keeps serving hand-overs while it
  // waits. Setting the current value does nothing.
  void SetActive(bool active);

  // The connection list, locked for as long as the object lives. Connections that were dropped
  // are left out: their threads are on the way out. Count() leaves out, too, the clients that
  // have ended their side and only linger for what is still sent to them.
  class TLockedList {
   public:
    template <class F>
    void ForEach(F&& fn) const;
    std::size_t Count() const;

   private:
    friend class TTCPServer;
    static std::size_t Counted(const std::list<std::shared_ptr<TServerConnection>>& list);
    TLockedList(std::mutex& mutex, const std::list<std::shared_ptr<TServerConnection>>& list)
        : lock_(mutex), list_(list) {}
    std::unique_lock<std::mutex> lock_;
    const std::list<std::shared_ptr<TServerConnection>>& list_;
  };
  TLockedList LockList();

  // The ports the listeners are bound to (the chosen one for a binding on port 0).
  std::vector<uint16_t> ListeningPorts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Why a client that did not keep up was dropped.
enum class TDropCause { None, Stalled, Overflow };

// One client connection. Its input buffer belongs to its thread; Write may come from any
// thread holding the connection list.
class TServerConnection {
 public:
  ~TServerConnection();
  TServerConnection(const TServerConnection&) = delete;
  TServerConnection& operator=(const TServerConnection&) = delete;

  // The client's numeric IP address, without the port.
  const std::string& PeerIP() const { return peerIP_; }
  // The client's number: counted from 1 per server, never given twice.
  uint32_t Number() const { return number_; }
  // Puts the bytes on the client's send queue and returns. A client whose queue would pass the
  // bound is dropped instead; its thread ends and reports the reason (ESocketError with
  // ENOBUFS), as a client that took nothing for WriteTimeout (ETIMEDOUT).
  void Write(const std::string& data);
  bool Dropped() const;
  // Stalled or Overflow for a client dropped for not keeping up.
  TDropCause DropCause() const;
  // Dropped, or the server is stopping.
  bool Ending() const;
  // The client has ended its side or reset the connection; what it sent before may still wait
  // to be read.
  bool PeerEnded() const;
  // The client ended its side and lingers for what is still sent to it.
  bool Leaving() const;

  // Removes and returns the whole input buffer (on the connection's thread).
  std::string TakeAll() { return std::exchange(input_, std::string()); }
  bool InputBufferIsEmpty() const { return input_.empty(); }

 private:
  friend class TTCPServer;
  struct Impl;
  explicit TServerConnection(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  std::string peerIP_;
  std::string input_;
  uint32_t number_ = 0;
};

template <class F>
void TTCPServer::TLockedList::ForEach(F&& fn) const {
  // Called with the list locked, so a client dropped meanwhile cannot be freed under `fn`.
  for (const auto& connection : list_) {
    if (!connection->Dropped())
      fn(*connection);
  }
}

}  // namespace kyt
