#include "platform/socket_wait.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <climits>

namespace kyt::net {

ForeignWait WaitForeignSocket(int fd, bool read, bool write, const StopSignal& wake,
                              std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  pollfd entries[2] = {{wake.Handle(), POLLIN, 0},
                       {fd, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0}};
  const nfds_t count = fd >= 0 ? 2 : 1;
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    int n =
        ::poll(entries, count, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
    if (n >= 0)
      break;
    if (errno != EINTR)
      throw SocketError(errno, ErrorText(errno), "poll");
  }
  ForeignWait result;
  result.Woken = (entries[0].revents & POLLIN) != 0;
  if (count == 2) {
    result.Readable = (entries[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    result.Writable = (entries[1].revents & (POLLOUT | POLLERR)) != 0;
  }
  return result;
}

}  // namespace kyt::net
