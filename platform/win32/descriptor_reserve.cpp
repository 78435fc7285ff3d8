#include <winsock2.h>

#include "platform/sockets.h"

namespace kyt::net {

bool IsOutOfDescriptors(int code) {
  return code == WSAEMFILE || code == WSAENOBUFS;
}

DescriptorReserve::DescriptorReserve(std::size_t count) : count_(count) {}

DescriptorReserve::~DescriptorReserve() = default;

void DescriptorReserve::Release() noexcept {}

int DescriptorReserve::Refill() noexcept {
  return 0;
}

}  // namespace kyt::net
