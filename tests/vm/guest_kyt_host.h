#pragma once

// kyt-host (the one built here, with the built plug-in) running inside the test machine: the
// config goes in with the job, calls go in through a file the guest follows, and the JSON event
// stream comes back through the job folder while the guest runs.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "host/json_values.h"
#include "tests/vm/test_machine.h"

namespace kyt::vm {

// The process's CPU time and the guest's clock at one moment.
struct TCpuSample {
  double CpuSeconds = 0;
  double Uptime = 0;
};

class TGuestKytHost {
 public:
  // Boots the machine; kyt-host starts on `config` once the devices are in place, after the
  // shell lines `beside` (which may start programs of the test's own in the background).
  TGuestKytHost(TMachineOptions machine, const host::TJson& config, const std::string& beside = "");

  TTestMachine& Machine() { return machine_; }

  // One call line on kyt-host's standard input.
  void Call(const std::string& function, const host::TJson& args);
  // The events so far (refreshed from the guest's output).
  const std::vector<host::TJson>& Events();
  // Waits for an event of that kind ("" for a call's answer, result or error) satisfying
  // `match`, looking at events from `from` on;
  // returns its index, or -1 when the time runs out or kyt-host has ended.
  int WaitForEvent(const std::string& kind, const std::function<bool(const host::TJson&)>& match,
                   std::chrono::milliseconds timeout, size_t from = 0);
  // Waits for the answer (result or error) to the next call of `function` after `from`.
  host::TJson WaitForAnswer(const std::string& function, std::chrono::milliseconds timeout,
                            size_t from = 0);
  // Every byte the Console instance has been handed so far, in order.
  std::string ConsoleData(int instance);
  bool WaitForConsoleData(int instance, size_t size, std::chrono::milliseconds timeout);

  // kyt-host's CPU time, read in the guest on request.
  TCpuSample SampleCpu(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // Stops kyt-host with SIGTERM, powers the guest off, and returns the guest's result; the
  // job's status is kyt-host's exit code.
  TGuestResult Stop();

 private:
  void Refresh();

  TTestMachine machine_;
  std::vector<host::TJson> events_;
  std::string pending_;
  size_t offset_ = 0;
  int samples_ = 0;
};

// A Console's status and summary events are kyt-host's own; these pick the module's.
bool IsStatus(const host::TJson& event, int instance, int status);
bool IsLog(const host::TJson& event, int code, const std::string& text);

}  // namespace kyt::vm
