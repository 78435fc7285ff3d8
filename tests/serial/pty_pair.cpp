#include "tests/serial/pty_pair.h"

#include <errno.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace kyt::test {

PtyPair::PtyPair() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath_ = name;
  // Raw from the start, so nothing written before the module opens is echoed or translated.
  termios t{};
  ::tcgetattr(slave_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave_, TCSANOW, &t);
}

PtyPair::~PtyPair() {
  CloseMaster();
  ::close(slave_);
}

void PtyPair::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw std::runtime_error("pty write failed");
    done += static_cast<size_t>(n);
  }
}

std::string PtyPair::Read(size_t size) {
  std::string bytes(size, '\0');
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(master_, bytes.data() + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0)
    ::close(master_);
  master_ = -1;
}

}  // namespace kyt::test
