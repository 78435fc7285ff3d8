#include "tests/support/host_test.h"

#include "runtime/thread.h"

namespace kyt::test_support {

HostTest::HostTest() {
  // The test's thread serves hand-overs, so it is the main thread.
  InitMainThread();
  ResetHost(host::THostOptions{});
}

HostTest::~HostTest() = default;

void HostTest::ResetHost(host::THostOptions options) {
  host_.reset();
  host_ = std::make_unique<host::TReferenceHost>(std::move(options));
  host::RegisterBuiltinModules(*host_);
}

bool HostTest::WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return host_->PumpUntil(done, timeout);
}

std::vector<std::string> HostTest::LogTexts(TInstanceID instance,
                                            std::optional<int32_t> code) const {
  std::vector<std::string> texts;
  for (const auto& event : host_->Events(EventKind::Log, instance)) {
    if (!code || event.Code == *code)
      texts.push_back(event.Text);
  }
  return texts;
}

std::vector<std::string> HostTest::DebugData(TInstanceID instance, const std::string& title) const {
  std::vector<std::string> data;
  for (const auto& event : host_->Events(EventKind::Debug, instance)) {
    if (event.Name == title)
      data.push_back(event.Text);
  }
  return data;
}

std::vector<std::string> HostTest::Received(TInstanceID console) const {
  std::vector<std::string> blocks;
  for (const auto& event : host_->Events(EventKind::Data, console)) blocks.push_back(event.Text);
  return blocks;
}

std::vector<int32_t> HostTest::Statuses(TInstanceID instance) const {
  std::vector<int32_t> statuses;
  for (const auto& event : host_->Events(EventKind::Status, instance)) {
    statuses.push_back(event.Code);
  }
  return statuses;
}

}  // namespace kyt::test_support
