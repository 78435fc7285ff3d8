// kyt-host's call thread at the stop.

#include "cli/call_dispatcher.h"

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kyt::host {
namespace {

// Reads from `fd` until a whole line came, for at most 10 s.
std::string ReadLine(int fd) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 10000) != 1)
      break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0)
      break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// A call thread that answered its line and waits for the next runs nothing more once closed:
// the stop need not wait until it is scheduled, which on a busy machine may take longer than
// the whole stop may (it was taken for a call still running, and the stop was cut short before
// the instances were deleted). Several rounds, since the thread may end before Close looks.
TEST(CallDispatcherTest, AnIdleCallThreadDoesNotHoldTheStop) {
  for (int round = 0; round < 20; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::FILE* writeEnd = ::fdopen(fds[1], "w");
    ASSERT_NE(writeEnd, nullptr);
    {
      TReferenceHost host;
      TEventOutput output(writeEnd, true);
      TCallDispatcher calls(host, output);
      calls.Post({"Nothing_Such(", false});
      ASSERT_NE(ReadLine(fds[0]).find("\"event\":\"error\""), std::string::npos);
      // Answered; back at its queue a moment later.
      for (int i = 0; i < 10000 && calls.CallUnderWay(); ++i) ::usleep(1000);
      ASSERT_FALSE(calls.CallUnderWay());
      EXPECT_TRUE(calls.Close(std::chrono::milliseconds(0))) << "round " << round;
    }
    std::fclose(writeEnd);
    ::close(fds[0]);
  }
}

}  // namespace
}  // namespace kyt::host
