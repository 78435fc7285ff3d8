#include "tests/support/kyt_host_process.h"

#include <cstdlib>

namespace kyt::test_support {

namespace {

std::vector<std::string> WithProgram(const std::vector<std::string>& args) {
  // KYT_TEST_KYT_HOST runs the tests against another build's kyt-host (with its plug-in), to
  // compare the two.
  const char* other = std::getenv("KYT_TEST_KYT_HOST");
  std::vector<std::string> argv = {other != nullptr ? other : kKytHostPath, "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

host::TJson ParseLine(const std::string& line) {
  try {
    return host::TJson::parse(line);
  } catch (const host::TJson::parse_error&) {
    return {{"unparsed", line}};
  }
}

TKytHost::TKytHost(const std::vector<std::string>& args) : TSubprocess(WithProgram(args)) {}

std::vector<host::TJson> TKytHost::Events() const {
  std::vector<host::TJson> events;
  for (const auto& line : Lines()) events.push_back(ParseLine(line));
  return events;
}

std::vector<host::TJson> TKytHost::Events(const std::string& kind) const {
  std::vector<host::TJson> events;
  for (auto& event : Events()) {
    if (event.value("event", "") == kind)
      events.push_back(std::move(event));
  }
  return events;
}

bool TKytHost::WaitForEvent(const std::string& kind,
                            const std::function<bool(const host::TJson&)>& match,
                            std::chrono::milliseconds timeout) {
  return WaitForLine(
      [&](const std::string& line) {
        host::TJson event = ParseLine(line);
        return event.value("event", "") == kind && match(event);
      },
      timeout);
}

void TKytHost::SendCall(const std::string& function, const host::TJson& args) {
  WriteStdin(host::DumpLine({{"call", function}, {"args", args}}) + "\n");
}

}  // namespace kyt::test_support
