#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/sockets.h"

namespace kyt::net {

bool IsOutOfDescriptors(int code) {
  return code == EMFILE || code == ENFILE;
}

DescriptorReserve::DescriptorReserve(std::size_t count) : count_(count) {
  held_.reserve(count);
  Refill();
}

DescriptorReserve::~DescriptorReserve() {
  Release();
}

void DescriptorReserve::Release() noexcept {
  for (int fd : held_) ::close(fd);  // never retried on EINTR
  held_.clear();
}

int DescriptorReserve::Refill() noexcept {
  while (held_.size() < count_) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      Release();
      return error;
    }
    held_.push_back(fd);  // within the capacity reserved at construction
  }
  return 0;
}

}  // namespace kyt::net
