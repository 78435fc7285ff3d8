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

  static constexpr int ListenQueue = 15;

  TTCPServer();
  ~TTCPServer();  // inactive first: every thread has ended before the members go
  TTCPServer(const TTCPServer&) = delete;
  TTCPServer& operator=(const TTCPServer&) = delete;

  uint16_t DefaultPort = 0;
  int32_t MaxConnections = 0;  // 0 or below: no limit
  std::vector<TServerBinding> Bindings;
  // How long one Write may wait for a client to take its bytes. A client that does not read
  // would otherwise hold the writer, and with it the connection list, for ever.
  std::chrono::milliseconds WriteTimeout{5000};
  // Connection threads run the children's receive paths, so they keep some headroom; only the
  // pages a thread touches cost memory.
  std::size_t ThreadStackSize = 256 * 1024;

  // Raised on the connection's own thread.
  TConnectionEvent OnConnect;
  TConnectionEvent OnDisconnect;
  // Raised whenever the connection's input buffer holds bytes; the handler takes them.
  TConnectionEvent OnExecute;
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

  // The connection list, locked for as long as the object lives. Connections that a failed
  // write dropped are left out: their threads are on the way out.
  class TLockedList {
   public:
    template <class F>
    void ForEach(F&& fn) const;
    std::size_t Count() const;

   private:
    friend class TTCPServer;
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

// One client connection. Its input buffer belongs to its thread; Write may come from any
// thread holding the connection list.
class TServerConnection {
 public:
  ~TServerConnection();
  TServerConnection(const TServerConnection&) = delete;
  TServerConnection& operator=(const TServerConnection&) = delete;

  // The client's numeric IP address, without the port.
  const std::string& PeerIP() const { return peerIP_; }
  // Sends every byte within the server's WriteTimeout. A failure or a time-out drops the
  // client (its thread ends and reports the failure) and raises ESocketError.
  void Write(const std::string& data);
  bool Dropped() const;

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
};

template <class F>
void TTCPServer::TLockedList::ForEach(F&& fn) const {
  for (const auto& connection : list_) {
    if (!connection->Dropped())
      fn(*connection);
  }
}

}  // namespace kyt
