// kyt-host's event stream when nobody drains standard output.

#include "cli/event_output.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kyt::host {
namespace {

// A pipe whose reader takes nothing until told: events are dropped and counted, not waited for;
// answers to calls are never dropped, and the stream says how many events went missing.
TEST(EventOutputTest, AnUndrainedOutputDropsAndCountsEventsButKeepsAnswers) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::FILE* writeEnd = ::fdopen(fds[1], "w");
  ASSERT_NE(writeEnd, nullptr);
  constexpr int kEvents = 20000;
  {
    TEventOutput output(writeEnd, true, 64 << 10);
    THostEvent event;
    event.EventKind = THostEvent::Kind::Data;
    event.Instance = 11;
    event.Text = std::string(100, 'd');
    // The pipe holds 64 KiB, the queue as much: the rest cannot be written yet and is dropped.
    for (int i = 0; i < kEvents; ++i) output.Event(event);
    output.Result("CSCK_GetPort", Variant(7));
    // Nothing read yet: only draining lets the writer go on.
    std::string all;
    char buffer[65536];
    while (all.find("\"event\":\"result\"") == std::string::npos) {
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      all.append(buffer, static_cast<std::size_t>(n));
    }
    // Every event before the answer was either written or counted as dropped.
    const std::string note = "{\"event\":\"dropped\",\"count\":";
    int dropped = 0;
    for (auto at = all.find(note); at != std::string::npos; at = all.find(note, at + 1))
      dropped += std::stoi(all.substr(at + note.size()));
    const std::string data = "{\"event\":\"data\"";
    int written = 0;
    for (auto at = all.find(data); at != std::string::npos; at = all.find(data, at + 1)) ++written;
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(written + dropped, kEvents);
  }
  std::fclose(writeEnd);
  ::close(fds[0]);
}

}  // namespace
}  // namespace kyt::host
