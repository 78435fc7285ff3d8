#include "platform/process_limits.h"

#include <sys/resource.h>

#include <algorithm>

namespace kyt::platform {

std::size_t RaiseOpenFileLimit(std::size_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  const rlim_t target = std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_max);
  if (target > limit.rlim_cur) {
    limit.rlim_cur = target;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace kyt::platform
