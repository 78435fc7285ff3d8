// kyt-host's input watcher: lines cut anywhere by the pipe, bounded line length, the end of
// input, and a stop that does not wait for input.

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "cli/input_watcher.h"

namespace kyt::host {
namespace {

class InputWatcherTest : public ::testing::Test {
 protected:
  InputWatcherTest() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read_ = fds[0];
    write_ = fds[1];
  }
  ~InputWatcherTest() override {
    watcher_.reset();
    close(read_);
    if (write_ >= 0)
      close(write_);
  }
  void Start() {
    watcher_ = std::make_unique<TInputWatcher>(
        read_,
        [this](TInputLine line) {
          std::lock_guard lock(mutex_);
          lines_.push_back(std::move(line));
          changed_.notify_all();
        },
        [](int) {});
  }
  void Send(const std::string& text) {
    ASSERT_EQ(write(write_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void EndInput() {
    close(write_);
    write_ = -1;
  }
  std::vector<TInputLine> WaitForLines(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
    return lines_;
  }

  int read_ = -1;
  int write_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TInputLine> lines_;
  std::unique_ptr<TInputWatcher> watcher_;
};

TEST_F(InputWatcherTest, LinesArriveWholeHoweverTheInputIsCut) {
  Start();
  Send("{\"call\":");
  Send("\"A\"}\r\nsecond\nthi");
  Send("rd");
  EndInput();
  auto lines = WaitForLines(3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Text, "{\"call\":\"A\"}");
  EXPECT_EQ(lines[1].Text, "second");
  EXPECT_EQ(lines[2].Text, "third");  // the last line needs no newline
}

TEST_F(InputWatcherTest, AnOverlongLineIsReportedOnceAndTheNextLineStillArrives) {
  Start();
  std::string chunk(64 * 1024, 'x');
  for (size_t sent = 0; sent <= TInputWatcher::kMaxLineLength; sent += chunk.size()) Send(chunk);
  Send("\nnext\n");
  auto lines = WaitForLines(2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].TooLong);
  EXPECT_EQ(lines[0].Text.size(), TInputWatcher::kMaxLineLength);
  EXPECT_EQ(lines[1].Text, "next");
  EXPECT_FALSE(lines[1].TooLong);
}

TEST_F(InputWatcherTest, StopReturnsWhileInputIsStillOpen) {
  Start();
  watcher_->Stop();
  EXPECT_TRUE(lines_.empty());
}

}  // namespace
}  // namespace kyt::host
