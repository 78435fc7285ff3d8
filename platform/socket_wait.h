#pragma once

// Waiting on a socket that a library owns (libmosquitto keeps its own descriptor and asks its
// caller to watch it), together with a wake signal. POSIX only: the programs that use it are
// not built for Windows.

#include <chrono>

#include "platform/sockets.h"

namespace kyt::net {

struct ForeignWait {
  bool Readable = false;  // also on a hang-up or an error: the next read tells which
  bool Writable = false;
  bool Woken = false;  // `wake` is raised; it stays raised until Reset
};

// Waits until the descriptor is readable (when `read`), writable (when `write`), `wake` is
// raised, or the time is up. A negative descriptor waits for `wake` and the time only.
ForeignWait WaitForeignSocket(int fd, bool read, bool write, const StopSignal& wake,
                              std::chrono::milliseconds timeout);

}  // namespace kyt::net
