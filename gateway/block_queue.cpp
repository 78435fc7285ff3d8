#include "gateway/block_queue.h"

#include <algorithm>

namespace kyt::gateway {

TBlockQueue::TPush TBlockQueue::Push(std::string block, bool pastLimit) {
  std::lock_guard lock(mutex_);
  const bool empty = blocks_.empty();
  if (!empty && !pastLimit && bytes_ + block.size() > limit_)
    return {false, false};
  bytes_ += block.size();
  peak_ = std::max(peak_, bytes_);
  blocks_.push_back(std::move(block));
  return {true, empty};
}

std::optional<std::string> TBlockQueue::Pop() {
  std::lock_guard lock(mutex_);
  if (blocks_.empty())
    return std::nullopt;
  std::string block = std::move(blocks_.front());
  blocks_.pop_front();
  bytes_ -= block.size();
  return block;
}

void TBlockQueue::ReturnFront(std::string block) {
  std::lock_guard lock(mutex_);
  bytes_ += block.size();
  blocks_.push_front(std::move(block));
}

std::size_t TBlockQueue::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

bool TBlockQueue::Full() const {
  std::lock_guard lock(mutex_);
  return bytes_ >= limit_;
}

std::size_t TBlockQueue::Peak() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

bool TBlockQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return blocks_.empty();
}

}  // namespace kyt::gateway
