#pragma once

// TComThread: waits for the events of an open port and has each wake-up handled on the main
// thread (TComPort::HandleEvents), one batch at a time.

#include <memory>

#include "platform/comm.h"
#include "runtime/thread.h"
#include "serial/com_types.h"

namespace kyt {

class TComPort;

class TComThread : public TThread {
 public:
  // Sets the port's event mask and starts the thread.
  TComThread(TComPort& Owner, comm::ICommPort& Port);
  // Stops the thread and waits for its end; on the main thread the wait keeps serving
  // hand-overs, so a batch in flight finishes first.
  ~TComThread() override;

  void Stop() noexcept;

 protected:
  void Execute() override;

 private:
  TComPort& owner_;
  comm::ICommPort& port_;
  std::unique_ptr<comm::ICommStopSignal> stop_;
  TComEvents events_;
};

}  // namespace kyt
