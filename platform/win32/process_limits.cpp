#include "platform/process_limits.h"

namespace kyt::platform {

// Windows has no per-process limit of open sockets or handles to lift (only memory bounds them),
// so every wish is already granted.
std::size_t RaiseOpenFileLimit(std::size_t wanted) {
  return wanted;
}

}  // namespace kyt::platform
