#pragma once

// The TCP client transport of the Client Socket module: one outgoing connection with an input
// buffer that the reader thread fills and drains.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "runtime/exception.h"

namespace kyt {

// A socket failure with the operating system's code and text:
// "Socket Error # 111: Connection refused" (one line, as log entries are).
class ESocketError : public Exception {
 public:
  ESocketError(int code, const std::string& text);
  int Code() const { return code_; }

 private:
  int code_;
};

class TTCPClient {
 public:
  TTCPClient();
  ~TTCPClient();  // disconnects without notifying
  TTCPClient(const TTCPClient&) = delete;
  TTCPClient& operator=(const TTCPClient&) = delete;

  std::string Host;
  uint16_t Port = 0;
  // Bounds the name look-up and the connect together.
  std::chrono::milliseconds ConnectTimeout{10000};
  std::chrono::milliseconds ReadTimeout{10000};
  // Bounds one Write: a peer that stops reading cannot hold the writer longer.
  std::chrono::milliseconds WriteTimeout{5000};
  // Connect waits on the calling thread instead of a connecting thread. Callers that never
  // need to give up a connect early (the HTTP fetch) save a thread per connection.
  bool ConnectOnCallerThread = false;
  // Asked while Connect waits for the look-up and the connect (at least every 125 ms); true
  // gives the attempt up at once with ESocketError kCanceled. A client with it never looks a
  // name up on the calling thread, where nothing could call the look-up off. Empty: never.
  std::function<bool()> Stopped;
  std::function<void()> OnConnected;     // raised inside Connect, before it returns
  std::function<void()> OnDisconnected;  // raised by Disconnect after closing an open connection

  // Fails with "Already connected." when open, with an empty message when Host is empty or Port
  // is 0, with ESocketError on a socket error (kCanceled when Stopped said so) and with
  // "Connect timed out." after ConnectTimeout.
  void Connect();
  // Moves what the socket already holds into the input buffer without waiting; true while the
  // connection is open or unread bytes remain.
  bool Connected();
  // If connected, waits up to `timeout` for the socket to become readable and moves what
  // arrived into the input buffer. Returns early when Disconnect is called meanwhile.
  void WaitForData(std::chrono::milliseconds timeout);
  bool InputBufferIsEmpty() const;
  // Removes and returns the whole input buffer.
  std::string TakeAll();
  // Appends the whole input buffer to `target` and empties it, keeping its capacity for the
  // next reads: the cheaper way for a reader that collects everything anyway.
  void TakeAllInto(std::string& target);
  // Sends every byte (partial writes and EINTR handled, no SIGPIPE) within WriteTimeout; raises
  // ESocketError, with ETIMEDOUT when the peer took too long.
  void Write(const std::string& data);
  // Sends what the socket takes at once, waiting at most WriteTimeout for it to take anything;
  // returns the count. Raises as Write, and with ECANCELED when Disconnect cuts the wait short.
  std::size_t WriteSome(std::span<const char> data);
  // Sends what the socket takes right now without waiting; 0 when it takes nothing, is not
  // connected or fails (WriteSome then reports it).
  std::size_t WriteNow(std::span<const char> data);
  // Open, or unread bytes remain; unlike Connected() it reads nothing.
  bool Open() const;
  // Ends the connection without notifying: a reader finds it gone and reports the loss.
  void Abandon();
  // Closes the connection; raises OnDisconnected when one was open.
  void Disconnect();

  // Runs on the looking-up thread before each name look-up of a connect; tests hold a look-up
  // with it. Empty by default.
  static void SetLookupHook(std::function<void(const std::string& host)> hook);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kyt
