#pragma once

// Rates outside the termios table (14400, 56000, 250000, ...) go through termios2 with BOTHER,
// whose kernel header clashes with glibc's termios.h; comm_baud.cpp keeps it apart.

#include <cstdint>

namespace kyt::comm {

// Sets both directions of the tty to `rate` bits per second; 0 or the errno value.
int SetAnyBaudRate(int fd, uint32_t rate);
// The output rate the tty is set to; 0 when it cannot be read.
uint32_t ReadBaudRate(int fd);

}  // namespace kyt::comm
