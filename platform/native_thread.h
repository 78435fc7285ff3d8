#pragma once

// Threads with a stack size of our choosing. std::thread always takes the system default (8 MiB
// of address space on Linux), which adds up when a server keeps one thread per idle client.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kyt::platform {

// Identifies a started thread until it is joined. Copyable: it names the thread, it does not
// own it; exactly one holder joins it.
struct NativeThread {
  std::uintptr_t id = 0;
  bool started = false;
};

// Starts `body` on a new joinable thread with `stackSize` bytes of stack (rounded up to what
// the system accepts). Raises Exception with the system's text when no thread can be made.
NativeThread StartNativeThread(std::function<void()> body, std::size_t stackSize);
// The calling thread, for a thread that hands itself to another to be joined.
NativeThread CurrentNativeThread();
// Waits for the thread to end and releases it. Does nothing for a handle never started.
void JoinNativeThread(NativeThread thread);

}  // namespace kyt::platform
