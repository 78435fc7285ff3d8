#pragma once

// How a block travels on from the channel that received it to the channels that write it out,
// without anybody waiting for a peer on the way:
//
// - A channel's send operation puts the block on the channel's TSendQueue and returns; the
//   queue's own writer thread hands it to the socket or port, in order.
// - A target that falls behind (its queue past a mark) or cannot take blocks at all (not
//   connected, port closed) closes its TFlowGate.
// - A source that can wait (a socket, whose reads can pause while TCP holds the sender back)
//   delivers its blocks through a TFlowWatch, which notes the gates of the targets each block
//   reached; before it reads again it waits while one of them is closed. Sources that cannot
//   wait (a serial line, a USB device) go on, and the target's own bound decides.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/native_thread.h"

namespace kyt {

class TFlowGate : public std::enable_shared_from_this<TFlowGate> {
 public:
  // Closed while more than `pauseAbove` bytes wait, open again once at most half as many do.
  explicit TFlowGate(std::size_t pauseAbove) : pauseAbove_(pauseAbove) {}

  // Whether the target takes blocks at all: a connected socket, an open port.
  void SetConnected(bool connected);
  void SetQueued(std::size_t bytes);
  bool Passable() const;
  // Notes the gate for the delivery running on the calling thread (TFlowWatch::Deliver), also
  // when the block is then refused: a source then waits before it reads the next one.
  void Touch();
  // Waits until passable, or `stopped` answers true (asked every 50 ms), or, while the target
  // is not connected at all, `unconnectedStops` does; true when passable.
  bool WaitPassable(const std::function<bool()>& stopped,
                    const std::function<bool()>& unconnectedStops = {}) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  const std::size_t pauseAbove_;
  bool connected_ = false;
  bool paused_ = false;
};

// A source's memory of the gates its last delivery went through.
class TFlowWatch {
 public:
  // Runs `deliver` (the hand-off of one block to the children) and keeps the gates it touched.
  void Deliver(const std::function<void()>& deliver);
  // Before the next read: waits while a kept gate is closed, or until `stopped` says so (or
  // `unconnectedStops`, while the gate waited for is closed for want of a connection).
  void WaitPassable(const std::function<bool()>& stopped,
                    const std::function<bool()>& unconnectedStops = {});

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<TFlowGate>> gates_;
};

struct TSendQueueLimits {
  // Push refuses a block that would take the queue past this many bytes.
  std::size_t Bound = SIZE_MAX;
  // The writer thread's stack.
  std::size_t StackSize = 64 * 1024;
};

class TSendQueue {
 public:
  // Writes a prefix of the bytes and returns its length, at least one byte, waiting no longer
  // than the channel's own limit; raises to end the queue.
  using TWrite = std::function<std::size_t(std::span<const char> data)>;
  // The failure that ended the writer, once, on the writer thread.
  using TFailed = std::function<void(std::exception_ptr failure)>;
  // Writes what the channel takes at once, never waiting; 0 when it takes nothing now or fails
  // (the writer then meets the failure), or raises to refuse the block (Push passes that on,
  // queueing nothing). Push uses it while nothing waits before the block, so a peer that keeps
  // up costs no hand-over to the writer thread.
  using TWriteNow = std::function<std::size_t(std::span<const char> data)>;

  // `gate` (optional) learns the queued byte count.
  TSendQueue(TWrite write, TFailed failed, std::shared_ptr<TFlowGate> gate, TSendQueueLimits limits,
             TWriteNow writeNow = {});
  ~TSendQueue();  // Stop()
  TSendQueue(const TSendQueue&) = delete;
  TSendQueue& operator=(const TSendQueue&) = delete;

  enum class TPush { Queued, OverBound, Ended };
  // Never waits. Ended: the writer failed or was stopped, nothing was queued.
  TPush Push(std::string_view data);
  std::size_t Queued() const;
  bool Ended() const;
  // Waits until everything pushed so far is written or the writer ended; false when `limit`
  // passed first.
  bool Drain(std::chrono::milliseconds limit);
  // Drain, but on the main thread the wait keeps serving hand-overs (a channel's close waits
  // so for what was sent before it).
  bool DrainServing(std::chrono::milliseconds limit);
  // Waits until the writer ended or `limit` passed; true when it ended.
  bool WaitEnded(std::chrono::milliseconds limit);
  // Drops what waits to be written; a write in progress still ends as the channel takes it.
  void Discard();
  // Ends the writer once its current write returns and waits for it; `interrupt` (called once
  // the writer can start no further write) is how the owner makes the current one return, or
  // it does so before (shuts its socket down). What is still queued is dropped: returns how
  // many bytes that was. Never from the failure handler.
  std::size_t Stop(const std::function<void()>& interrupt = {});

 private:
  void Run();
  void Consume(std::size_t count);
  void DropAll();  // holding mutex_, not during a write

  const TWrite write_;
  const TFailed failed_;
  const TWriteNow writeNow_;
  const std::shared_ptr<TFlowGate> gate_;
  const TSendQueueLimits limits_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;
  std::size_t offset_ = 0;  // of the first block, already written
  std::size_t queued_ = 0;
  bool stopping_ = false;
  bool ended_ = false;
  bool writing_ = false;     // the writer thread is inside a write
  bool discard_ = false;     // Discard came during a write: drop the rest once it returns
  std::size_t dropped_ = 0;  // queued when the writer ended
  platform::NativeThread thread_;
};

}  // namespace kyt
