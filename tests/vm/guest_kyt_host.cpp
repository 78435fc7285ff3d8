#include "tests/vm/guest_kyt_host.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/kyt_host_process.h"

namespace kyt::vm {

namespace {

using Clock = std::chrono::steady_clock;

// The guest side: kyt-host reads calls from a FIFO fed by `tail -f calls` (a file on the job
// share, to which the host appends), writes its events to `events`, and a loop answers CPU
// sample requests (ask-N -> cpu-N: utime+stime in clock ticks, then the uptime) until the host
// creates `stop`.
// The guest starts with an empty environment; sanitizer settings of the test run go along.
std::string SanitizerEnvironment() {
  std::string exports;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value == nullptr)
      continue;
    std::string quoted;
    for (const char* c = value; *c; ++c)
      quoted += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
    exports += "export " + std::string(name) + "='" + quoted + "'\n";
  }
  return exports;
}

std::string GuestJob(const host::TJson& config, const std::string& beside) {
  return SanitizerEnvironment() + beside + "\ncat > config.json <<'KYT_CONFIG'\n" + config.dump(2) +
         "\nKYT_CONFIG\n" +
         R"job(: > calls
mkfifo /tmp/calls
# inotify sees no changes made on the host side of the share: poll.
tail ---disable-inotify -f -s 0.1 calls > /tmp/calls &
feeder=$!
LANGUAGE= LC_ALL=C.UTF-8 )job" +
         test_support::kKytHostPath +
         R"job( --json run config.json < /tmp/calls > events 2> host.err &
pid=$!
ticks=$(getconf CLK_TCK)
while [ ! -e stop ] && kill -0 $pid 2>/dev/null; do
  for ask in ask-*; do
    [ -e "$ask" ] || continue
    n=${ask#ask-}
    [ -e "cpu-$n" ] && continue
    set -- $(sed 's/^.*) //' /proc/$pid/stat)
    echo "$(( $12 + $13 )) $ticks $(cut -d' ' -f1 /proc/uptime)" > "cpu-$n.tmp"
    mv "cpu-$n.tmp" "cpu-$n"
  done
  sleep 0.1
done
kill -TERM $pid 2>/dev/null
wait $pid
status=$?
kill $feeder
exit $status
)job";
}

}  // namespace

bool IsStatus(const host::TJson& event, int instance, int status) {
  return event.value("instance", 0) == instance && event.value("status", 0) == status;
}

bool IsLog(const host::TJson& event, int code, const std::string& text) {
  return event.value("code", 0) == code && event.value("text", "") == text;
}

TGuestKytHost::TGuestKytHost(TMachineOptions machine, const host::TJson& config,
                             const std::string& beside)
    : machine_([&] {
        machine.Job = GuestJob(config, beside);
        return machine;
      }()) {}

void TGuestKytHost::Call(const std::string& function, const host::TJson& args) {
  machine_.AppendJobFile("calls", host::DumpLine({{"call", function}, {"args", args}}) + "\n");
}

void TGuestKytHost::Refresh() {
  std::ifstream in(machine_.JobFolder() + "/events", std::ios::binary);
  if (!in)
    return;
  in.seekg(static_cast<std::streamoff>(offset_));
  std::stringstream fresh;
  fresh << in.rdbuf();
  std::string bytes = fresh.str();
  offset_ += bytes.size();
  pending_ += bytes;
  size_t start = 0;
  for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1)
    events_.push_back(test_support::ParseLine(pending_.substr(start, end - start)));
  pending_.erase(0, start);
}

const std::vector<host::TJson>& TGuestKytHost::Events() {
  Refresh();
  return events_;
}

int TGuestKytHost::WaitForEvent(const std::string& kind,
                                const std::function<bool(const host::TJson&)>& match,
                                std::chrono::milliseconds timeout, size_t from) {
  auto deadline = Clock::now() + timeout;
  size_t checked = from;
  while (true) {
    Refresh();
    for (; checked < events_.size(); ++checked) {
      const std::string event = events_[checked].value("event", "");
      if ((kind.empty() ? event == "result" || event == "error" : event == kind) &&
          match(events_[checked]))
        return static_cast<int>(checked);
    }
    if (Clock::now() >= deadline || machine_.Finished() || machine_.QemuEnded())
      return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

host::TJson TGuestKytHost::WaitForAnswer(const std::string& function,
                                         std::chrono::milliseconds timeout, size_t from) {
  // Whichever comes first: waiting for a result alone would sit out the whole limit on an error.
  int answer = WaitForEvent(
      "", [&](const host::TJson& event) { return event.value("call", "") == function; }, timeout,
      from);
  if (answer >= 0)
    return events_[answer];
  return {{"event", "timeout"}, {"call", function}};
}

std::string TGuestKytHost::ConsoleData(int instance) {
  Refresh();
  std::string data;
  for (const auto& event : events_) {
    if (event.value("event", "") == "data" && event.value("instance", 0) == instance)
      data += host::HexDecode(event.value("hex", ""));
  }
  return data;
}

bool TGuestKytHost::WaitForConsoleData(int instance, size_t size,
                                       std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  // Summing only the new events keeps a mebibyte's worth of small blocks cheap to follow.
  size_t checked = 0;
  size_t seen = 0;
  while (true) {
    Refresh();
    for (; checked < events_.size(); ++checked) {
      const auto& event = events_[checked];
      if (event.value("event", "") == "data" && event.value("instance", 0) == instance)
        seen += event.value("hex", "").size() / 2;
    }
    if (seen >= size)
      return true;
    if (Clock::now() >= deadline || machine_.Finished() || machine_.QemuEnded())
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

TCpuSample TGuestKytHost::SampleCpu(std::chrono::milliseconds timeout) {
  std::string n = std::to_string(++samples_);
  machine_.AppendJobFile("ask-" + n, "");
  if (!machine_.WaitForMark("cpu-" + n, timeout))
    throw std::runtime_error("the guest did not answer CPU sample " + n);
  std::istringstream answer(machine_.JobFile("cpu-" + n));
  double ticks = 0, perSecond = 100, uptime = 0;
  answer >> ticks >> perSecond >> uptime;
  return {ticks / perSecond, uptime};
}

TGuestResult TGuestKytHost::Stop() {
  machine_.AppendJobFile("stop", "");
  return machine_.Wait();
}

}  // namespace kyt::vm
