#include "framework/send_queue.h"

#include <algorithm>
#include <utility>

#include "runtime/thread.h"

namespace kyt {

namespace {

using std::chrono::milliseconds;

// How often a wait asks whether it should give up.
constexpr milliseconds kStopSlice{50};
// Small blocks are written together, up to this much per write; a block this large or larger
// is written straight from the queue.
constexpr std::size_t kGather = 64 * 1024;

// The gates the delivery running on this thread went through (null outside a delivery).
thread_local std::vector<std::weak_ptr<TFlowGate>>* t_touched = nullptr;

}  // namespace

// ---- TFlowGate ----------------------------------------------------------------------------

void TFlowGate::SetConnected(bool connected) {
  std::lock_guard lock(mutex_);
  connected_ = connected;
  changed_.notify_all();
}

void TFlowGate::SetQueued(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  const bool paused = paused_ ? bytes > pauseAbove_ / 2 : bytes > pauseAbove_;
  if (paused != paused_) {
    paused_ = paused;
    changed_.notify_all();
  }
}

bool TFlowGate::Passable() const {
  std::lock_guard lock(mutex_);
  return connected_ && !paused_;
}

void TFlowGate::Touch() {
  if (t_touched == nullptr)
    return;
  for (const auto& gate : *t_touched) {
    if (gate.lock().get() == this)
      return;
  }
  t_touched->push_back(weak_from_this());
}

bool TFlowGate::WaitPassable(const std::function<bool()>& stopped,
                             const std::function<bool()>& unconnectedStops) const {
  std::unique_lock lock(mutex_);
  while (!connected_ || paused_) {
    if ((stopped && stopped()) || (!connected_ && unconnectedStops && unconnectedStops()))
      return false;
    changed_.wait_for(lock, kStopSlice);
  }
  return true;
}

// ---- TFlowWatch ---------------------------------------------------------------------------

void TFlowWatch::Deliver(const std::function<void()>& deliver) {
  std::vector<std::weak_ptr<TFlowGate>> touched;
  auto* outer = std::exchange(t_touched, &touched);
  struct TRestore {
    std::vector<std::weak_ptr<TFlowGate>>* outer;
    ~TRestore() { t_touched = outer; }
  } restore{outer};
  try {
    deliver();
  } catch (...) {
    std::lock_guard lock(mutex_);
    gates_ = std::move(touched);
    throw;
  }
  std::lock_guard lock(mutex_);
  gates_ = std::move(touched);
}

void TFlowWatch::WaitPassable(const std::function<bool()>& stopped,
                              const std::function<bool()>& unconnectedStops) {
  std::vector<std::shared_ptr<TFlowGate>> gates;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : gates_) {
      if (auto gate = weak.lock())
        gates.push_back(std::move(gate));
    }
  }
  for (const auto& gate : gates) {
    if (!gate->WaitPassable(stopped, unconnectedStops))
      return;
  }
}

// ---- TSendQueue ---------------------------------------------------------------------------

TSendQueue::TSendQueue(TWrite write, TFailed failed, std::shared_ptr<TFlowGate> gate,
                       TSendQueueLimits limits, TWriteNow writeNow)
    : write_(std::move(write)),
      failed_(std::move(failed)),
      writeNow_(std::move(writeNow)),
      gate_(std::move(gate)),
      limits_(limits) {
  thread_ = platform::StartNativeThread([this] { Run(); }, limits_.StackSize);
}

TSendQueue::~TSendQueue() {
  Stop();
}

TSendQueue::TPush TSendQueue::Push(std::string_view data) {
  std::lock_guard lock(mutex_);
  if (ended_ || stopping_)
    return TPush::Ended;
  if (data.empty())
    return TPush::Queued;
  if (data.size() > limits_.Bound - std::min(queued_, limits_.Bound))
    return TPush::OverBound;
  if (writeNow_ && blocks_.empty() && !writing_) {
    // Nothing is ahead of it and the writer is idle: what the channel takes now goes at once.
    data.remove_prefix(
        std::min(writeNow_(std::span<const char>(data.data(), data.size())), data.size()));
    if (data.empty())
      return TPush::Queued;
  }
  blocks_.emplace_back(data);
  queued_ += data.size();
  if (gate_)
    gate_->SetQueued(queued_);
  changed_.notify_all();
  return TPush::Queued;
}

std::size_t TSendQueue::Queued() const {
  std::lock_guard lock(mutex_);
  return queued_;
}

bool TSendQueue::Ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

bool TSendQueue::Drain(milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return queued_ == 0 || ended_ || stopping_; });
}

bool TSendQueue::DrainServing(milliseconds limit) {
  if (!IsMainThread())
    return Drain(limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (Drain(std::min(milliseconds(5), limit)))
      return true;
    CheckSynchronize();
  }
  return false;
}

bool TSendQueue::WaitEnded(milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return ended_; });
}

void TSendQueue::Discard() {
  std::lock_guard lock(mutex_);
  if (writing_) {
    discard_ = true;  // the writer still reads the first blocks
    return;
  }
  DropAll();
}

std::size_t TSendQueue::Stop(const std::function<void()>& interrupt) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (interrupt)
    interrupt();
  platform::JoinNativeThread(std::exchange(thread_, platform::NativeThread{}));
  std::lock_guard lock(mutex_);
  return std::exchange(dropped_, 0);
}

void TSendQueue::DropAll() {
  blocks_.clear();
  offset_ = 0;
  queued_ = 0;
  if (gate_)
    gate_->SetQueued(0);
  changed_.notify_all();
}

void TSendQueue::Consume(std::size_t count) {
  queued_ -= count;
  while (count > 0) {
    const std::size_t left = blocks_.front().size() - offset_;
    if (count < left) {
      offset_ += count;
      break;
    }
    count -= left;
    blocks_.pop_front();
    offset_ = 0;
  }
  if (gate_)
    gate_->SetQueued(queued_);
  changed_.notify_all();
}

void TSendQueue::Run() {
  std::string gathered;
  std::exception_ptr failure;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
    if (stopping_)
      break;
    // Only this thread removes blocks, and appending moves none, so the first one stays put
    // while the lock is let go.
    std::span<const char> bytes(blocks_.front().data() + offset_, blocks_.front().size() - offset_);
    if (bytes.size() < kGather && blocks_.size() > 1) {
      gathered.assign(bytes.data(), bytes.size());
      for (auto block = std::next(blocks_.begin());
           block != blocks_.end() && gathered.size() < kGather; ++block) {
        gathered.append(*block, 0, kGather - gathered.size());
      }
      bytes = gathered;
    }
    writing_ = true;
    lock.unlock();
    std::size_t written = 0;
    try {
      written = write_(bytes);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    writing_ = false;
    if (failure)
      break;
    Consume(std::min(written, bytes.size()));
    if (std::exchange(discard_, false))
      DropAll();
  }
  ended_ = true;
  dropped_ = queued_;
  DropAll();
  lock.unlock();
  if (failure && failed_)
    failed_(failure);
}

}  // namespace kyt
