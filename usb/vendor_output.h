#pragma once

// The writes of a vendor USB serial device (FTDI, USBXpress). The library's write waits up to
// its time-out (a second) for a line that takes nothing, so it runs on a writer thread of the
// device's own: a send queues the bytes and returns, and a slow or stalled line holds only the
// path that feeds it. A source that can pause (a socket, through a Bridge) is held back while
// the line is behind; one that cannot is refused once the queue is full.

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "framework/send_queue.h"

namespace kyt {

class TVendorController;

class TVendorOutput {
 public:
  // The failure that ended the writer, once, on the writer thread.
  using TFailed = std::function<void(const std::exception_ptr& Failure)>;

  TVendorOutput();
  ~TVendorOutput();  // Stop()
  TVendorOutput(const TVendorOutput&) = delete;
  TVendorOutput& operator=(const TVendorOutput&) = delete;

  // Starts the writer for the controller's open device.
  void Start(TVendorController& Controller, TFailed Failed);
  // Before the device closes: what is queued gets up to a second to go out, then the writer
  // ends. Returns how many bytes were dropped (by this or by a failed write before).
  std::size_t Stop();
  // Queues the text. Raises "Device is not open" without a writer, the write failure that
  // ended it, or a plain Exception ("No buffer space available") when the queue is full.
  void Send(const std::string& Text);

 private:
  const std::shared_ptr<TFlowGate> gate_;
  std::unique_ptr<TSendQueue> queue_;
  std::mutex failureMutex_;
  std::exception_ptr failure_;
};

}  // namespace kyt
