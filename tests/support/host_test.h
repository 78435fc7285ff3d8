#pragma once

// The fixture most tests start from: a reference host in test mode (timers only fire when a
// test fires them) with the built-in Console and Bridge registered, and helpers that read its
// recorded events.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace kyt::test_support {

using host::THostEvent;
using EventKind = THostEvent::Kind;

class HostTest : public ::testing::Test {
 protected:
  HostTest();
  ~HostTest() override;

  host::TReferenceHost& Host() { return *host_; }
  // Replaces the host (instances of the old one are deleted first).
  void ResetHost(host::THostOptions options);

  // Serves the main-thread hand-over until `done` or the time runs out; returns `done`.
  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Texts of the instance's log entries, optionally of one code only.
  std::vector<std::string> LogTexts(TInstanceID instance,
                                    std::optional<int32_t> code = std::nullopt) const;
  // Data of the instance's debug entries with that title.
  std::vector<std::string> DebugData(TInstanceID instance, const std::string& title) const;
  // What a Console instance received, block by block.
  std::vector<std::string> Received(TInstanceID console) const;
  // The statuses the instance reported, in order.
  std::vector<int32_t> Statuses(TInstanceID instance) const;

 private:
  std::unique_ptr<host::TReferenceHost> host_;
};

}  // namespace kyt::test_support
