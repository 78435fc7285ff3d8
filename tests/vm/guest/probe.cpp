// Runs inside the test machine: exercises the kernel's USB serial and hidraw nodes with plain
// system calls and prints what it saw as KEY=VALUE lines, which the host-side tests check.
// Marks (empty files in the working directory, the job folder) tell the host where it is.
//
//   kyt_vm_probe serial-bytes BULK      256 values and a BULK-byte block each way
//   kyt_vm_probe serial-unplug          what the open node shows while the adapter is away
//   kyt_vm_probe serial-replug-held     the name a replugged adapter gets while the old is open
//   kyt_vm_probe hidraw-key             the keyboard's report for one key, then its unplug
//   kyt_vm_probe d2xx-promises LIB SERIAL   D2XX's promises (tests/usb/d2xx_promises.h) asked of
//                                       the D2XX library LIB on the adapter; the host plays the
//                                       line's far end on request (req-N / resp-N files)

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/usb/d2xx_promises.h"
#include "tests/vm/byte_blocks.h"

namespace {

using kyt::vm::AllByteValues;
using kyt::vm::SeededBlock;

const char* kSerialNode = "/dev/ttyUSB0";
const char* kKeyboardNode = "/dev/hidraw0";
constexpr int kWaitMs = 120000;

int failures = 0;

void Report(const std::string& key, const std::string& value) {
  std::printf("%s=%s\n", key.c_str(), value.c_str());
  std::fflush(stdout);
}

void Fail(const std::string& what) {
  std::printf("FAIL %s\n", what.c_str());
  std::fflush(stdout);
  ++failures;
}

void Mark(const std::string& name) {
  std::ofstream(name).put('\n');
}

std::string ErrnoName(int error) {
  switch (error) {
    case 0:
      return "0";
    case EIO:
      return "EIO";
    case ENODEV:
      return "ENODEV";
    case ENOENT:
      return "ENOENT";
    case ENXIO:
      return "ENXIO";
    case EAGAIN:
      return "EAGAIN";
    default:
      return std::to_string(error);
  }
}

std::string Events(short revents) {
  std::string names;
  auto add = [&](short bit, const char* name) {
    if (revents & bit)
      names += names.empty() ? name : std::string("|") + name;
  };
  add(POLLIN, "POLLIN");
  add(POLLOUT, "POLLOUT");
  add(POLLERR, "POLLERR");
  add(POLLHUP, "POLLHUP");
  add(POLLNVAL, "POLLNVAL");
  return names.empty() ? "none" : names;
}

std::string Hex(const unsigned char* bytes, ssize_t count) {
  std::string text;
  char byte[4];
  for (ssize_t i = 0; i < count; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
    text += byte;
  }
  return text;
}

int OpenRawSerial() {
  int fd = open(kSerialNode, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  termios line{};
  tcgetattr(fd, &line);
  cfmakeraw(&line);
  cfsetspeed(&line, B115200);
  line.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &line);
  return fd;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `count` bytes unless nothing arrives for kWaitMs.
std::string ReadBytes(int fd, size_t count) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < count) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, kWaitMs) <= 0)
      break;
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n <= 0)
      break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

int SerialBytes(size_t bulk) {
  int fd = OpenRawSerial();
  if (fd < 0) {
    Fail(std::string("open: ") + std::strerror(errno));
    return 1;
  }
  if (!WriteAll(fd, AllByteValues(false)) || !WriteAll(fd, SeededBlock(bulk, 1)))
    Fail(std::string("write: ") + std::strerror(errno));
  std::string values = ReadBytes(fd, 256);
  Report("received_values", values == AllByteValues(true) ? "ok" : "mismatch");
  std::string block = ReadBytes(fd, bulk);
  Report("received_block",
         block == SeededBlock(bulk, 2) ? "ok" : "mismatch " + std::to_string(block.size()));
  close(fd);
  return failures ? 1 : 0;
}

bool WaitForNode(const char* path, bool present) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while ((access(path, F_OK) == 0) != present) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What every call on the node of a removed device answers, twice, to show it does not change.
void ReportRemovedNode(int fd, const std::string& prefix, bool hidraw) {
  for (int round = 1; round <= 2; ++round) {
    std::string tag = prefix + std::to_string(round) + "_";
    pollfd ready = {fd, POLLIN, 0};  // as a reader waits
    int n = poll(&ready, 1, kWaitMs);
    Report(tag + "poll", n > 0 ? Events(ready.revents) : "timeout");
    char buffer[64];
    errno = 0;
    ssize_t got = read(fd, buffer, sizeof buffer);
    Report(tag + "read", std::to_string(got) + " " + ErrnoName(got < 0 ? errno : 0));
    errno = 0;
    ssize_t put = write(fd, "x", 1);
    Report(tag + "write", std::to_string(put) + " " + ErrnoName(put < 0 ? errno : 0));
    int result;
    if (hidraw) {
      hidraw_devinfo info{};
      result = ioctl(fd, HIDIOCGRAWINFO, &info);
    } else {
      int lines = 0;
      result = ioctl(fd, TIOCMGET, &lines);
    }
    Report(tag + "ioctl", std::to_string(result) + " " + ErrnoName(result < 0 ? errno : 0));
  }
}

int SerialUnplug() {
  int fd = OpenRawSerial();
  if (fd < 0) {
    Fail(std::string("open: ") + std::strerror(errno));
    return 1;
  }
  WriteAll(fd, "READY\n");
  if (!WaitForNode(kSerialNode, false))
    Fail("node stayed after the unplug");
  ReportRemovedNode(fd, "gone", false);
  close(fd);
  errno = 0;
  int again = open(kSerialNode, O_RDWR | O_NOCTTY);
  Report("reopen", again < 0 ? ErrnoName(errno) : "opened");
  if (again >= 0)
    close(again);
  Mark("unplugged");
  if (!WaitForNode(kSerialNode, true)) {
    Fail("node did not come back");
    return 1;
  }
  // The node appears a moment before the driver accepts opens.
  int back = -1;
  for (int tries = 0; back < 0 && tries < 500; ++tries) {
    back = OpenRawSerial();
    if (back < 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (back < 0) {
    Fail(std::string("open after replug: ") + std::strerror(errno));
    return 1;
  }
  WriteAll(back, "BACK\n");
  std::string answer = ReadBytes(back, 3);
  Report("after_replug", answer == "OK\n" ? "ok" : "got " + answer);
  close(back);
  return failures ? 1 : 0;
}

// Which nodes the adapter comes back under while the old port is still held open, and after
// it is closed: the kernel frees a port's minor only when its last user lets go.
std::string SerialNodes() {
  std::string nodes;
  for (int i = 0; i < 8; ++i) {
    std::string path = "/dev/ttyUSB" + std::to_string(i);
    if (access(path.c_str(), F_OK) == 0)
      nodes += (nodes.empty() ? "" : " ") + path;
  }
  return nodes.empty() ? "none" : nodes;
}

bool WaitForAnySerialNode() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (SerialNodes() == "none") {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int SerialReplugHeld() {
  int fd = OpenRawSerial();
  if (fd < 0) {
    Fail(std::string("open: ") + std::strerror(errno));
    return 1;
  }
  WriteAll(fd, "READY\n");
  if (!WaitForNode(kSerialNode, false))
    Fail("node stayed after the unplug");
  Mark("unplugged");
  if (!WaitForAnySerialNode())
    Fail("no node after the replug");
  Report("while_held", SerialNodes());
  close(fd);
  Report("after_close", SerialNodes());
  return failures ? 1 : 0;
}

int HidrawKey() {
  int fd = open(kKeyboardNode, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    Fail(std::string("open: ") + std::strerror(errno));
    return 1;
  }
  hidraw_devinfo info{};
  ioctl(fd, HIDIOCGRAWINFO, &info);
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", info.vendor & 0xffff, info.product & 0xffff);
  Report("id", id);
  char name[256] = {};
  ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name);
  Report("name", name);
  Mark("ready");
  for (const char* key : {"press", "release"}) {
    pollfd ready = {fd, POLLIN, 0};
    unsigned char report[64];
    ssize_t n = poll(&ready, 1, kWaitMs) > 0 ? read(fd, report, sizeof report) : -1;
    Report(key, n > 0 ? Hex(report, n) : "none");
  }
  Mark("reports");
  if (!WaitForNode(kKeyboardNode, false))
    Fail("node stayed after the unplug");
  ReportRemovedNode(fd, "gone", true);
  close(fd);
  return failures ? 1 : 0;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ToHex(const std::string& bytes) {
  return Hex(reinterpret_cast<const unsigned char*>(bytes.data()),
             static_cast<ssize_t>(bytes.size()));
}

std::string FromHex(const std::string& text) {
  std::string bytes;
  for (size_t at = 0; at + 1 < text.size(); at += 3)
    bytes += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
  return bytes;
}

// The host does what each request file asks ("send HEX" or "receive COUNT") and answers in
// resp-N, complete once it ends in a newline.
class TRequestedFarEnd : public kyt::test::TD2XXFarEnd {
 public:
  void Send(const std::string& bytes) override { Ask("send " + ToHex(bytes)); }
  std::string Receive(size_t count) override {
    return FromHex(Ask("receive " + std::to_string(count)));
  }

 private:
  std::string Ask(const std::string& request) {
    const std::string n = std::to_string(++requests_);
    std::ofstream("req-" + n + ".tmp") << request << "\n";
    std::rename(("req-" + n + ".tmp").c_str(), ("req-" + n).c_str());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string answer = ReadWhole("resp-" + n);
      if (!answer.empty() && answer.back() == '\n')
        return answer.substr(0, answer.size() - 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Fail("no answer to request " + n);
    return {};
  }
  int requests_ = 0;
};

// Within five seconds: the kernel probes the interface after it is given back.
bool FtdiSioServesAnInterface() {
  for (int i = 0; i < 50; ++i) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/sys/bus/usb/drivers/ftdi_sio", error)) {
      if (entry.path().filename().string().find(':') != std::string::npos)
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int D2XXPromises(const std::string& library, const std::string& serial) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    Fail(std::string("dlopen: ") + dlerror());
    return 1;
  }
  TRequestedFarEnd far;
  for (const auto& [key, value] : kyt::test::RunD2XXPromises(
           [&](const char* name) { return dlsym(handle, name); }, serial, far))
    Report(key, value);
  // Closed, the interface is the kernel's again.
  Report("ftdi_sio_after_close", FtdiSioServesAnInterface() ? "yes" : "no");
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serial-bytes" && argc > 2)
    return SerialBytes(std::stoul(argv[2]));
  if (mode == "serial-unplug")
    return SerialUnplug();
  if (mode == "serial-replug-held")
    return SerialReplugHeld();
  if (mode == "hidraw-key")
    return HidrawKey();
  if (mode == "d2xx-promises" && argc > 3)
    return D2XXPromises(argv[2], argv[3]);
  std::fprintf(
      stderr,
      "usage: kyt_vm_probe serial-bytes BULK | serial-unplug | serial-replug-held | hidraw-key | "
      "d2xx-promises LIB SERIAL\n");
  return 2;
}
