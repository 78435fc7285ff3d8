#include "tests/fakes/comm_fake.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace kyt::test {

using comm::CommError;

class FakeComm::Stop final : public comm::ICommStopSignal {
 public:
  explicit Stop(FakeComm& fake) : fake_(fake) {}
  void Raise() noexcept override {
    std::lock_guard guard(fake_.lock_);
    raised_ = true;
    fake_.changed_.notify_all();
  }
  bool raised_ = false;  // under fake_.lock_

 private:
  FakeComm& fake_;
};

class FakeComm::Port final : public comm::ICommPort {
 public:
  explicit Port(FakeComm& fake) : fake_(fake) {}
  ~Port() override {
    std::lock_guard guard(fake_.lock_);
    --fake_.record_.OpenPorts;
  }

  void SetupComm(uint32_t in, uint32_t out) override {
    Note([&](Record& r) { r.Queues.emplace_back(in, out); });
  }
  void SetCommState(const comm::TDCB& dcb) override {
    Note([&](Record& r) { r.States.push_back(dcb); });
  }
  void SetCommTimeouts(const comm::TCommTimeouts& t) override {
    Note([&](Record& r) {
      r.Timeouts.push_back(t);
      timeouts_ = t;
    });
  }
  size_t Read(char* buffer, size_t size) override {
    std::lock_guard guard(fake_.lock_);
    const size_t n = std::min({size, fake_.input_.size(), fake_.ReadLimit});
    std::memcpy(buffer, fake_.input_.data(), n);
    fake_.input_.erase(0, n);
    return n;
  }
  size_t Write(const char* data, size_t size) override {
    std::unique_lock guard(fake_.lock_);
    const auto moves = [&] { return writesCancelled_ || fake_.writeLimit_ > 0; };
    const uint64_t limit = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * size +
                           timeouts_.WriteTotalTimeoutConstant;
    if (limit == 0)
      fake_.changed_.wait(guard, moves);
    else
      fake_.changed_.wait_for(guard, std::chrono::milliseconds(limit), moves);
    const size_t n = writesCancelled_ ? 0 : std::min(size, fake_.writeLimit_);
    fake_.record_.Written.append(data, n);
    fake_.changed_.notify_all();
    return n;
  }
  void CancelWrites() override {
    std::lock_guard guard(fake_.lock_);
    writesCancelled_ = true;
    fake_.changed_.notify_all();
  }
  comm::TCommState ClearCommError() override {
    std::lock_guard guard(fake_.lock_);
    if (fake_.FailClearCommError)
      throw CommError(*fake_.FailClearCommError, "ClearCommError");
    comm::TCommState state{std::exchange(fake_.errors_, 0u),
                           static_cast<uint32_t>(fake_.input_.size())};
    return state;
  }
  uint32_t GetCommModemStatus() override {
    std::lock_guard guard(fake_.lock_);
    if (fake_.FailModemStatus)
      throw CommError(*fake_.FailModemStatus, "GetCommModemStatus");
    return comm::MS_CTS_ON | comm::MS_DSR_ON;
  }
  void EscapeCommFunction(int function) override {
    Note([&](Record& r) { r.Escapes.push_back(function); });
  }
  void PurgeComm(uint32_t flags) override {
    Note([&](Record& r) { r.Purges.push_back(flags); });
  }
  size_t DrainOutput() override {
    std::lock_guard guard(fake_.lock_);
    fake_.record_.DrainedAfterPurges.push_back(fake_.record_.Purges.size());
    return fake_.Unsent;
  }
  void SetCommMask(uint32_t mask) override {
    Note([&](Record& r) { r.Masks.push_back(mask); });
  }
  std::unique_ptr<comm::ICommStopSignal> NewStopSignal() override {
    return std::make_unique<Stop>(fake_);
  }
  comm::TCommWait WaitCommEvent(comm::ICommStopSignal& signal) override {
    auto& stop = static_cast<Stop&>(signal);
    std::unique_lock guard(fake_.lock_);
    ++fake_.record_.Waits;
    fake_.changed_.notify_all();
    fake_.changed_.wait(guard, [&] { return stop.raised_ || !fake_.wakeups_.empty(); });
    if (stop.raised_)
      return {true, 0};
    const uint32_t events = fake_.wakeups_.front();
    fake_.wakeups_.pop_front();
    return {false, events};
  }

 private:
  template <class F>
  void Note(F change) {
    std::lock_guard guard(fake_.lock_);
    change(fake_.record_);
  }

  FakeComm& fake_;
  comm::TCommTimeouts timeouts_;  // under fake_.lock_
  bool writesCancelled_ = false;  // under fake_.lock_
};

FakeComm::FakeComm() {
  previous_ = comm::ReplaceCommProvider(this);
}
FakeComm::~FakeComm() {
  comm::ReplaceCommProvider(previous_);
}

void FakeComm::QueueInput(const std::string& bytes) {
  std::lock_guard guard(lock_);
  input_ += bytes;
}

void FakeComm::SetWriteLimit(size_t bytes) {
  std::lock_guard guard(lock_);
  writeLimit_ = bytes;
  changed_.notify_all();
}

bool FakeComm::WaitForWritten(size_t bytes) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, std::chrono::seconds(5),
                           [&] { return record_.Written.size() >= bytes; });
}

void FakeComm::RaiseErrors(uint32_t ceFlags) {
  std::lock_guard guard(lock_);
  errors_ |= ceFlags;
}

void FakeComm::Wake(uint32_t events) {
  std::lock_guard guard(lock_);
  wakeups_.push_back(events);
  changed_.notify_all();
}

FakeComm::Record FakeComm::Recorded() const {
  std::lock_guard guard(lock_);
  return record_;
}

bool FakeComm::WaitForWaits(int n) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return record_.Waits >= n; });
}

std::unique_ptr<comm::ICommPort> FakeComm::Open(const std::string& Name) {
  std::lock_guard guard(lock_);
  if (FailOpen)
    throw CommError(*FailOpen, "open");
  if (Name.empty())
    throw CommError(ENOENT, "open");
  record_.Opened.push_back(Name);
  ++record_.OpenPorts;
  return std::make_unique<Port>(*this);
}

}  // namespace kyt::test
