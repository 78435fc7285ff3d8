#pragma once

// Limits of this process that a program serving thousands of connections has to lift.

#include <cstddef>

namespace kyt::platform {

// Raises the soft limit of open descriptors to `wanted`, or to the hard limit when that is
// lower; returns the soft limit in force afterwards.
std::size_t RaiseOpenFileLimit(std::size_t wanted);

}  // namespace kyt::platform
