#pragma once

// A comm provider standing in for serial hardware the machine lacks: it records what the
// device asks of the port and lets a test script wake-ups, queued bytes, error flags and
// failures. Everything is guarded by one lock, since the event thread and the main thread
// both use the port.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/comm.h"

namespace kyt::test {

class FakeComm final : public comm::ICommProvider {
 public:
  FakeComm();  // installs itself as the provider
  ~FakeComm() override;

  // ---- Script ----
  // Bytes waiting in the receive queue.
  void QueueInput(const std::string& bytes);
  // Error flags the next ClearCommError reports.
  void RaiseErrors(uint32_t ceFlags);
  // One wake-up of the event wait with these EV_* bits.
  void Wake(uint32_t events);
  std::optional<int> FailOpen;            // errno for Open
  std::optional<int> FailModemStatus;     // errno for GetCommModemStatus
  std::optional<int> FailClearCommError;  // errno for ClearCommError
  // Bytes a write moves before its time-out; at 0 a write waits out its time-out as on a
  // stalled line, unless the limit rises or the writes are cancelled meanwhile.
  void SetWriteLimit(size_t bytes);
  size_t Unsent = 0;               // bytes a drain leaves in the output queue
  size_t ReadLimit = SIZE_MAX;     // bytes a read delivers (0: the device went)
  std::vector<std::string> Ports;  // what ListPorts answers

  // ---- Record ----
  struct Record {
    std::vector<std::string> Opened;  // names, in order
    std::vector<comm::TDCB> States;
    std::vector<comm::TCommTimeouts> Timeouts;
    std::vector<std::pair<uint32_t, uint32_t>> Queues;
    std::vector<uint32_t> Masks;
    std::vector<uint32_t> Purges;
    std::vector<int> Escapes;
    std::string Written;
    int Waits = 0;                           // event waits entered
    std::vector<size_t> DrainedAfterPurges;  // per drain: the purges recorded before it
    int OpenPorts = 0;                       // ports not yet destroyed
  };
  Record Recorded() const;
  // Blocks until the event thread waits for the `n`th time (or a second has passed).
  bool WaitForWaits(int n) const;
  // Blocks until `bytes` have been written in all (or five seconds have passed).
  bool WaitForWritten(size_t bytes) const;

  // ICommProvider
  std::unique_ptr<comm::ICommPort> Open(const std::string& Name) override;
  std::vector<std::string> ListPorts() override { return Ports; }

 private:
  class Port;
  class Stop;
  friend class Port;
  friend class Stop;

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  Record record_;
  std::string input_;
  size_t writeLimit_ = SIZE_MAX;
  uint32_t errors_ = 0;
  std::deque<uint32_t> wakeups_;
  comm::ICommProvider* previous_ = nullptr;
};

}  // namespace kyt::test
