#include "usb/vendor_output.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "usb/vendor_controller.h"

namespace kyt {

namespace {

// As the Serial Port's queue: sources pause above 16 KiB, at most 4 MiB wait, and a close
// gives what waits a second.
constexpr std::size_t kPauseAbove = 16 << 10;
constexpr std::size_t kBound = 4 << 20;
constexpr std::chrono::milliseconds kDrainOnClose{1000};
// The vendor library runs on this stack.
constexpr std::size_t kWriterStack = 256 << 10;

}  // namespace

TVendorOutput::TVendorOutput() : gate_(std::make_shared<TFlowGate>(kPauseAbove)) {}

TVendorOutput::~TVendorOutput() {
  Stop();
}

void TVendorOutput::Start(TVendorController& Controller, TFailed Failed) {
  {
    std::lock_guard lock(failureMutex_);
    failure_ = nullptr;
  }
  queue_ = std::make_unique<TSendQueue>(
      [&Controller](std::span<const char> bytes) {
        // Raises when the line took less than all of it within the library's time-out.
        Controller.Write(std::string(bytes.data(), bytes.size()));
        return bytes.size();
      },
      [this, failed = std::move(Failed)](std::exception_ptr failure) {
        gate_->SetConnected(false);
        {
          std::lock_guard lock(failureMutex_);
          failure_ = failure;
        }
        if (failed)
          failed(failure);
      },
      gate_, TSendQueueLimits{.Bound = kBound, .StackSize = kWriterStack});
  gate_->SetConnected(true);
}

std::size_t TVendorOutput::Stop() {
  if (!queue_)
    return 0;
  gate_->SetConnected(false);
  queue_->Drain(kDrainOnClose);
  // A write under way returns within the library's time-out.
  const std::size_t dropped = queue_->Stop();
  queue_.reset();
  return dropped;
}

void TVendorOutput::Send(const std::string& Text) {
  // Also when refused: a source that delivered through a Bridge then waits for the line.
  gate_->Touch();
  if (!queue_)
    throw EFTDIException("Device is not open");
  switch (queue_->Push(Text)) {
    case TSendQueue::TPush::Queued:
      return;
    case TSendQueue::TPush::OverBound:
      throw Exception(std::generic_category().message(ENOBUFS));
    case TSendQueue::TPush::Ended: {
      std::lock_guard lock(failureMutex_);
      if (failure_)
        std::rethrow_exception(failure_);
      throw EFTDIException("Device is not open");
    }
  }
}

}  // namespace kyt
