#include "tests/vm/test_machine.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kyt::vm {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kQemu = KYT_VM_QEMU;
const std::string kKernel = KYT_VM_IMAGES "/vmlinux";
const std::string kInitramfs = KYT_VM_IMAGES "/initramfs.cpio";

std::chrono::milliseconds Left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(left, std::chrono::milliseconds::zero());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content,
               std::ios::openmode mode = std::ios::trunc) {
  std::ofstream out(path, std::ios::binary | mode);
  out << content;
  if (!out)
    throw std::runtime_error("cannot write " + path);
}

std::string LastLines(const std::string& text, size_t count) {
  size_t at = text.size();
  while (count-- > 0 && at > 0) {
    size_t previous = text.rfind('\n', at - 1);
    if (previous == std::string::npos)
      return text;
    at = previous;
  }
  return text.substr(at == text.size() ? at : at + 1);
}

// Only the devices the tests use are replayed: the guest's whole device tree takes udevd over
// a minute under emulation. Devices plugged later get their events anyway.
const char* kUdevStart =
    "/lib/systemd/systemd-udevd --daemon || exit 90\n"
    "udevadm trigger --action=add --subsystem-match=tty --sysname-match='ttyUSB*'\n"
    "udevadm trigger --action=add --subsystem-match=hidraw\n"
    "udevadm settle --timeout=120 || exit 91\n";

}  // namespace

bool MachineAvailable(std::string* why) {
  for (const auto& path : {kQemu, kKernel, kInitramfs}) {
    if (!fs::exists(path)) {
      if (why)
        *why = path + " is missing (scripts/install-deps sets up the test machine)";
      return false;
    }
  }
  return true;
}

TTestMachine::TTestMachine(TMachineOptions options)
    : options_(std::move(options)), jobFolder_(folder_.File("job")) {
  std::string why;
  if (!MachineAvailable(&why))
    throw std::runtime_error(why);
  fs::create_directory(jobFolder_);
  WriteJob();
  // Now and then (twice in some hundreds of boots here) the emulated guest hangs before its first
  // line: in the kernel's own boot under software emulation or in its driver loads, before
  // anything a test looks at. Such a guest is started once more, and the test says so, with the
  // kernel's last messages to show where it stopped.
  Start();
  if (!WaitForBoot()) {
    std::cerr << "test machine: no line from the guest's init " << kBootLimit.count()
              << " s after QEMU started; killed and started once more. Its console ended:\n"
              << LastLines(ConsoleLog(), 40) << std::endl;
    Start();
    WaitForBoot();
  }
}

void TTestMachine::Start() {
  serial_.reset();
  qmp_.reset();
  qemu_.reset();
  serialListener_.reset();
  qmpListener_.reset();
  fs::remove(folder_.File("console.log"));
  deadline_ = Clock::now() + options_.Timeout;
  if (options_.Serial)
    serialListener_.emplace(folder_.File("serial.sock"));
  qmpListener_.emplace(folder_.File("qmp.sock"));
  qemu_ = std::make_unique<test_support::TSubprocess>(QemuArguments());
  try {
    if (options_.Serial)
      serial_.emplace(serialListener_->Accept(std::chrono::seconds(60)));
    qmp_.emplace(qmpListener_->Accept(std::chrono::seconds(60)));
  } catch (const std::exception& error) {
    qemu_->Wait(std::chrono::seconds(1));
    throw std::runtime_error(std::string("QEMU did not start: ") + error.what() + "\n" +
                             qemu_->Stderr());
  }
}

bool TTestMachine::WaitForBoot() {
  // The guest's first console line comes once its drivers are loaded, seconds after the start.
  const auto limit = Clock::now() + kBootLimit;
  while (ConsoleLog().find("kyt-vm: ") == std::string::npos) {
    if (QemuEnded())
      return true;  // the test's own checks say what became of it
    if (Clock::now() >= limit)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TTestMachine::~TTestMachine() = default;

std::vector<std::string> TTestMachine::QemuArguments() const {
  std::vector<std::string> args = {
      kQemu, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
      // No working KVM here (a nested hypervisor): software emulation, two vCPU threads.
      "-accel", "tcg,thread=multi", "-smp", "2", "-m", "512", "-kernel", kKernel, "-initrd",
      // The kernel's messages stay on the console (no "quiet"): they cost the boot little and
      // are what shows where a guest hung.
      kInitramfs, "-append", "console=ttyS0 panic=-1 no_timer_check", "-chardev",
      "file,id=console,path=" + folder_.File("console.log"), "-serial", "chardev:console",
      "-chardev", "socket,id=qmp,path=" + qmpListener_->Path(), "-mon", "chardev=qmp,mode=control",
      "-device", "qemu-xhci,id=xhci", "-fsdev",
      "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap", "-device",
      "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot", "-fsdev",
      "local,id=job,path=" + jobFolder_ + ",security_model=none", "-device",
      "virtio-9p-pci,fsdev=job,mount_tag=job"};
  if (!options_.Trace.empty())
    args.insert(args.end(), {"-D", folder_.File("trace.log")});
  for (const auto& pattern : options_.Trace) args.insert(args.end(), {"-trace", pattern});
  if (options_.Serial) {
    args.insert(args.end(), {"-chardev", "socket,id=serialline,path=" + serialListener_->Path()});
    args.insert(args.end(), {"-device", DeviceArguments(kSerialDevice)});
  }
  if (options_.Keyboard)
    args.insert(args.end(), {"-device", DeviceArguments(kKeyboardDevice)});
  if (options_.Mouse)
    args.insert(args.end(), {"-device", DeviceArguments(kMouseDevice)});
  return args;
}

std::string TTestMachine::DeviceArguments(const std::string& id) const {
  if (id == kSerialDevice)
    return "usb-serial,id=" + id + ",chardev=serialline,serial=" + kAdapterSerialNumber;
  const std::string capture = options_.Capture ? ",pcap=" + folder_.File(id + ".pcap") : "";
  if (id == kKeyboardDevice)
    return "usb-kbd,id=" + id + ",serial=" + kKeyboardSerialNumber + capture;
  if (id == kMouseDevice)
    return "usb-mouse,id=" + id + ",serial=" + kMouseSerialNumber + capture;
  throw std::invalid_argument("no such device: " + id);
}

void TTestMachine::WriteJob() const {
  std::string expect;
  if (options_.Serial)
    expect += "/dev/ttyUSB0\n";
  if (options_.Keyboard)
    expect += "/dev/hidraw0\n";
  if (options_.Mouse)
    expect += options_.Keyboard ? "/dev/hidraw1\n" : "/dev/hidraw0\n";
  WriteFile(jobFolder_ + "/expect", expect);
  std::string job = "cd " + kGuestJobFolder + " || exit 92\n";
  if (options_.Udev)
    job += kUdevStart;
  WriteFile(jobFolder_ + "/job", job + options_.Job + "\n");
}

TUnixStream& TTestMachine::SerialLine() {
  if (!serial_)
    throw std::logic_error("the machine has no serial adapter");
  return *serial_;
}

TQmpClient& TTestMachine::Qmp() {
  return *qmp_;
}

bool TTestMachine::WaitForMark(const std::string& name, std::chrono::milliseconds timeout) {
  // The job folder is a 9p share without caching: a file the guest creates is visible here at
  // once, so a short poll finds it. The limit is also bounded by the machine's own deadline.
  auto deadline = std::min(Clock::now() + timeout, deadline_);
  while (!fs::exists(jobFolder_ + "/" + name)) {
    if (Clock::now() >= deadline || fs::exists(jobFolder_ + "/status") || QemuEnded())
      return fs::exists(jobFolder_ + "/" + name);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool TTestMachine::Finished() const {
  return fs::exists(jobFolder_ + "/status");
}

std::string TTestMachine::QemuState() {
  if (!QemuEnded())
    return "running";
  return "ended with exit status " + std::to_string(*qemu_->ExitStatus()) +
         (Finished() ? " after the job" : " before the job ended");
}

std::string TTestMachine::JobFile(const std::string& name) const {
  return ReadFile(jobFolder_ + "/" + name);
}

std::string TTestMachine::ConsoleLog() const {
  return ReadFile(folder_.File("console.log"));
}

std::string TTestMachine::TraceLog() const {
  return ReadFile(folder_.File("trace.log"));
}

std::string TTestMachine::CaptureLog(const std::string& id) const {
  return ReadFile(folder_.File(id + ".pcap"));
}

void TTestMachine::AppendJobFile(const std::string& name, const std::string& text) const {
  WriteFile(jobFolder_ + "/" + name, text, std::ios::app);
}

void TTestMachine::Unplug(const std::string& id, std::chrono::milliseconds timeout) {
  qmp_->Execute("device_del", {{"id", id}});
  if (!qmp_->WaitForEvent("DEVICE_DELETED", {{"device", id}}, timeout))
    throw std::runtime_error("QEMU did not report " + id + " removed");
}

void TTestMachine::Plug(const std::string& id) {
  nlohmann::json arguments;
  std::string deviceLine = DeviceArguments(id);
  std::stringstream fields(deviceLine);
  std::string field;
  std::getline(fields, field, ',');
  arguments["driver"] = field;
  while (std::getline(fields, field, ',')) {
    auto equals = field.find('=');
    arguments[field.substr(0, equals)] = field.substr(equals + 1);
  }
  qmp_->Execute("device_add", arguments);
}

TGuestResult TTestMachine::Wait() {
  if (result_)
    return *result_;
  std::optional<int> exit = qemu_->Wait(Left(deadline_));
  if (!exit) {
    result_ = Collect(false, "the guest did not finish within " +
                                 std::to_string(options_.Timeout.count()) + " s and was killed");
  } else if (!fs::exists(jobFolder_ + "/status")) {
    result_ = Collect(false, "the guest stopped (QEMU exit " + std::to_string(*exit) +
                                 ") without finishing its job");
  } else {
    result_ = Collect(true, "");
  }
  return *result_;
}

TGuestResult TTestMachine::Collect(bool finished, std::string failure) const {
  TGuestResult result;
  result.Finished = finished;
  result.Stdout = JobFile("stdout");
  result.Stderr = JobFile("stderr");
  result.Console = ReadFile(folder_.File("console.log"));
  if (finished) {
    try {
      result.Status = std::stoi(JobFile("status"));
    } catch (const std::exception&) {
      result.Status = -1;
    }
  } else {
    result.Failure = failure + "; last console lines:\n" + LastLines(result.Console, 15) +
                     "QEMU: " + qemu_->Stderr() + "job stderr: " + result.Stderr;
  }
  return result;
}

}  // namespace kyt::vm
