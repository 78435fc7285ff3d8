#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace kyt::gateway {

// A first-in first-out queue of byte blocks whose total size stays within a limit, shared by
// one producer and one consumer thread. A full queue refuses a block rather than waiting, so
// the producer decides what a refusal means (drop it, stop reading).
class TBlockQueue {
 public:
  explicit TBlockQueue(std::size_t limit) : limit_(limit) {}

  struct TPush {
    bool Taken;
    bool WasEmpty;  // the consumer may be waiting for this block
  };
  // An empty queue takes any one block, however large, so no block is refused for good. With
  // `pastLimit` it takes every block: for a producer that stops producing once Full.
  TPush Push(std::string block, bool pastLimit = false);
  std::optional<std::string> Pop();
  // Puts a block the consumer could not pass on back in front, past the limit if need be.
  void ReturnFront(std::string block);
  std::size_t Bytes() const;
  bool Full() const;
  bool Empty() const;
  std::size_t Peak() const;  // the most bytes it held at once

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::deque<std::string> blocks_;
  std::size_t bytes_ = 0;
  std::size_t peak_ = 0;
};

}  // namespace kyt::gateway
