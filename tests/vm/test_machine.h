#pragma once

// A QEMU test machine with emulated USB devices on which the guest kernel's own drivers run
// (xhci, usbhid with hidraw, ftdi_sio). The guest sees the host's root read-only under a
// writable overlay, so programs built here run there unchanged; one job (a shell script) runs
// per boot, and its output comes back through a shared job folder.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"
#include "tests/support/temp_dir.h"
#include "tests/vm/qmp_client.h"
#include "tests/vm/unix_socket.h"

namespace kyt::vm {

// Sanitizer builds run the programs in the guest several times slower; every limit scales.
inline constexpr int kSlowdown = KYT_VM_SLOWDOWN;
constexpr std::chrono::seconds Limit(std::chrono::seconds base) {
  return base * kSlowdown;
}

// What the guest is given and how long it may take.
struct TMachineOptions {
  bool Serial = false;    // an FTDI adapter (usb-serial): /dev/ttyUSB0, far end on SerialLine()
  bool Keyboard = false;  // usb-kbd: /dev/hidraw0
  bool Mouse = false;     // usb-mouse: /dev/hidraw1 (after the keyboard)
  bool Udev = false;      // start systemd-udevd in the guest before the job
  bool Capture = false;   // the keyboard's and mouse's USB traffic to a file (CaptureLog)
  std::vector<std::string> Trace = {};  // QEMU trace event patterns, e.g. "usb_serial_set_*"
  std::string Job = {};  // shell script run by /bin/sh in the guest; its folder is the cwd
  std::chrono::seconds Timeout =
      Limit(std::chrono::seconds(300));  // boot, job and power-off together
};

struct TGuestResult {
  bool Finished = false;  // the job ran to its end and the guest powered off
  int Status = -1;        // the job's exit status
  std::string Stdout;
  std::string Stderr;
  std::string Console;  // kernel and init messages
  std::string Failure;  // why Finished is false
};

// Device ids on the QMP side, used by Unplug and Plug.
inline const std::string kSerialDevice = "serial";
inline const std::string kKeyboardDevice = "kbd";
inline const std::string kMouseDevice = "mouse";

// USB serial numbers the keyboard and mouse are given, so that they come back from a replug
// with the same one (QEMU's default names the port).
inline const std::string kKeyboardSerialNumber = "KYTVM-KBD1";
inline const std::string kMouseSerialNumber = "KYTVM-MOUSE1";

// The adapter's USB serial number, pinned so that a replugged adapter shows the same one
// (QEMU's default one names the port, which changes): the same /dev/serial/by-id link, and the
// name the FTDI module opens it by.
inline const std::string kAdapterSerialNumber = "KYTVM0001";

// The adapter's link in /dev/serial/by-id (with Udev); it follows the adapter to whatever
// ttyUSB name it gets.
inline const std::string kAdapterByIdName = "usb-QEMU_QEMU_USB_SERIAL_KYTVM0001-if00-port0";
inline const std::string kAdapterByIdPath = "/dev/serial/by-id/" + kAdapterByIdName;

// Where the guest mounts the job folder, and its working directory while the job runs.
inline const std::string kGuestJobFolder = "/kyt-vm";

class TTestMachine {
 public:
  // Boots the machine at once. Raises std::runtime_error when the images are missing or QEMU
  // does not start.
  explicit TTestMachine(TMachineOptions options);
  ~TTestMachine();  // a guest still running is killed
  TTestMachine(const TTestMachine&) = delete;
  TTestMachine& operator=(const TTestMachine&) = delete;

  // The host's end of the adapter's serial line (only with Serial).
  TUnixStream& SerialLine();
  TQmpClient& Qmp();

  // Waits for the guest's job to create the file NAME in its folder (`touch NAME`), the way a
  // job tells the host it has reached a point.
  bool WaitForMark(const std::string& name, std::chrono::milliseconds timeout);
  const std::string& JobFolder() const { return jobFolder_; }
  // The job has ended (its status is written); the guest is powering off.
  bool Finished() const;
  // QEMU is no longer running: the guest powered off, or QEMU itself died (a crash, the
  // out-of-memory killer). Either way nothing more will come, and every wait ends.
  bool QemuEnded() { return qemu_->Exited(); }
  // "running", or how QEMU ended.
  std::string QemuState();
  // What the job has written so far to a file in its folder ("stdout" while it runs).
  std::string JobFile(const std::string& name) const;
  // The guest kernel's and init's messages so far.
  std::string ConsoleLog() const;
  // QEMU's trace output for the events of TMachineOptions::Trace so far.
  std::string TraceLog() const;
  // The USB traffic of device `id` (with Capture) in pcap form, usbmon records, since its last
  // Plug.
  std::string CaptureLog(const std::string& id) const;
  // Appends to a file in the job folder (the guest may follow it, e.g. with tail -f).
  void AppendJobFile(const std::string& name, const std::string& text) const;

  // device_del, waiting until QEMU reports the device gone.
  void Unplug(const std::string& id, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // device_add with the properties the device was created with.
  void Plug(const std::string& id);

  // Waits for the guest to power off (the limit is the rest of TMachineOptions::Timeout); a
  // guest that overruns is killed and the result says so.
  TGuestResult Wait();

 private:
  // How long a booting guest's init may stay silent before the guest is taken as hung.
  static constexpr std::chrono::seconds kBootLimit{90};

  // Starts QEMU afresh (a running one is killed) and takes its sockets.
  void Start();
  // False when the guest's init has printed nothing for kBootLimit and QEMU still runs.
  bool WaitForBoot();
  std::vector<std::string> QemuArguments() const;
  std::string DeviceArguments(const std::string& id) const;
  void WriteJob() const;
  TGuestResult Collect(bool finished, std::string failure) const;

  TMachineOptions options_;
  test_support::TTempDir folder_;
  std::string jobFolder_;
  std::chrono::steady_clock::time_point deadline_;
  std::optional<TUnixListener> serialListener_;
  std::optional<TUnixListener> qmpListener_;
  std::unique_ptr<test_support::TSubprocess> qemu_;
  std::optional<TUnixStream> serial_;
  std::optional<TQmpClient> qmp_;
  std::optional<TGuestResult> result_;
};

// The test images were found at configure time and the guest can be booted.
bool MachineAvailable(std::string* why = nullptr);

}  // namespace kyt::vm
