#include "serial/com_thread.h"

#include "serial/com_port.h"

namespace kyt {

TComThread::TComThread(TComPort& Owner, comm::ICommPort& Port)
    : owner_(Owner), port_(Port), stop_(Port.NewStopSignal()) {
  port_.SetCommMask(EventsToMask(owner_.Events));
  Start();
}

TComThread::~TComThread() {
  Stop();
  TerminateAndWait();
}

void TComThread::Stop() noexcept {
  Terminate();
  stop_->Raise();
}

void TComThread::Execute() {
  for (;;) {
    const comm::TCommWait wait = port_.WaitCommEvent(*stop_);
    if (wait.Stopped)
      break;
    if (wait.Events == 0)
      continue;
    events_ = MaskToEvents(wait.Events);
    try {
      Synchronize([this] { owner_.HandleEvents(events_); });
    } catch (...) {
      // A failed batch (a queue that cannot be read, a failing receive handler) ends the
      // thread; the port stays open until it is closed.
      return;
    }
  }
  try {
    port_.SetCommMask(0);
    port_.PurgeComm(comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
  } catch (...) {
    // A port that has gone away cannot be purged; it is closed next anyway.
  }
}

}  // namespace kyt
