#pragma once

// A serial device for the end-to-end tests: a pty whose slave kyt-host opens by name while the
// test plays the device on the master. The test keeps the slave open too, so the line stays up
// while the module reopens it, and reads the slave's settings through the master. Reads wait
// for bytes within a limit, so a test never hangs on a line that stays silent.

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kyt::test {

class PtyDevice {
 public:
  PtyDevice() {
    int slave = -1;
    if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    path_ = ::ttyname(slave);
    slave_ = slave;
  }
  ~PtyDevice() {
    ::close(slave_);
    ::close(master_);
  }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  const std::string& Path() const { return path_; }
  // The line settings as the module left them.
  termios Line() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
  }
  void Write(const std::string& data) {
    ASSERT_EQ(::write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  // Bytes the module wrote that the device has not read yet.
  std::size_t Waiting() const {
    int n = 0;
    return ::ioctl(master_, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
  }
  // `size` bytes, or fewer when nothing came for 10 s.
  std::string Read(std::size_t size) {
    std::string got;
    char chunk[4096];
    while (got.size() < size) {
      pollfd entry{master_, POLLIN, 0};
      if (::poll(&entry, 1, 10000) <= 0)
        break;
      ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, size - got.size()));
      if (n <= 0)
        break;
      got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace kyt::test
