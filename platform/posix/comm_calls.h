#pragma once

// The termios call the POSIX serial port makes, replaceable so tests can play a C library that
// reports a setting the driver did not take as EINVAL.

struct termios;

namespace kyt::comm {

using TSetAttributes = int (*)(int fd, int action, const termios* settings);
// Installs `call` (nullptr restores ::tcsetattr) and returns the previous one.
TSetAttributes ReplaceSetAttributes(TSetAttributes call);

}  // namespace kyt::comm
