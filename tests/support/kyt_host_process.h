#pragma once

// Running the built kyt-host and reading its JSON event stream.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "host/json_values.h"
#include "tests/support/subprocess.h"

namespace kyt::test_support {

inline const std::string kKytHostPath = KYT_BUILD_DIR "/kyt-host";
#ifdef _WIN32
inline const std::string kPluginPath = KYT_BUILD_DIR "/VidiridAZ.dll";
#else
inline const std::string kPluginPath = KYT_BUILD_DIR "/VidiridAZ.so";
#endif

// kyt-host with --json and the given arguments, started at once.
class TKytHost : public TSubprocess {
 public:
  explicit TKytHost(const std::vector<std::string>& args);

  // Every output line as JSON; a line that is no JSON becomes {"unparsed": LINE}, so an
  // assertion on the stream shows it.
  std::vector<host::TJson> Events() const;
  // The events with that "event" field.
  std::vector<host::TJson> Events(const std::string& kind) const;
  // Waits until an event of that kind satisfying `match` arrived.
  bool WaitForEvent(const std::string& kind, const std::function<bool(const host::TJson&)>& match,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // One call line on standard input.
  void SendCall(const std::string& function, const host::TJson& args);
};

host::TJson ParseLine(const std::string& line);

}  // namespace kyt::test_support
