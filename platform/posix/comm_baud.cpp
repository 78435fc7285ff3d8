#include "platform/posix/comm_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>

// glibc's <sys/ioctl.h> would bring its own termios definitions along.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kyt::comm {

int SetAnyBaudRate(int fd, uint32_t rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0)
    return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t) != 0)
    return errno;
  return 0;
}

uint32_t ReadBaudRate(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0)
    return 0;
  return t.c_ospeed;
}

}  // namespace kyt::comm
