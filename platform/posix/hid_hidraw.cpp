// The hidraw half of the Linux HID backend: handles for queries and writes, readers for input
// reports.

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/hid.h"
#include "platform/posix/hid_udev.h"
#include "platform/sockets.h"

namespace kyt::hid {

namespace posix {
namespace {

using net::StopSignal;
using net::UniqueFd;

// Reports hidraw hands over are at most this long (HID_MAX_BUFFER_SIZE).
constexpr std::size_t kMaxReport = 16384;
// The 16-bit text fields of HID strings hold at most this many characters.
constexpr std::size_t kMaxTextUnits = 254;

UniqueFd OpenNode(const std::string& path, int flags) {
  UniqueFd fd{::open(path.c_str(), flags | O_CLOEXEC)};
  if (!fd)
    throw HidError(errno, "open " + path);
  return fd;
}

std::string ReportDescriptor(int fd) {
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0)
    throw HidError(errno, "HIDIOCGRDESCSIZE");
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<uint32_t>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
  if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0)
    throw HidError(errno, "HIDIOCGRDESC");
  return std::string(reinterpret_cast<const char*>(descriptor.value), descriptor.size);
}

TReportLayout LayoutOf(int fd) {
  const std::string descriptor = ReportDescriptor(fd);
  return ParseReportDescriptor(reinterpret_cast<const uint8_t*>(descriptor.data()),
                               descriptor.size());
}

std::optional<std::u16string> Text(const std::optional<std::string>& utf8) {
  if (!utf8 || utf8->empty())
    return std::nullopt;
  std::u16string text = Utf8ToUtf16(*utf8);
  if (text.size() > kMaxTextUnits)
    text.resize(kMaxTextUnits);
  return text;
}

// A string the hidraw node answers itself (name, unique ID), for devices without a USB parent.
std::optional<std::string> NodeString(int fd, unsigned long request) {
  char buffer[256] = {};
  const int length = ::ioctl(fd, request, buffer);
  if (length <= 0)
    return std::nullopt;
  return std::string(buffer, ::strnlen(buffer, sizeof buffer));
}

// String descriptors other than the ones sysfs shows (the language list at index 0) take a
// control transfer through usbfs; without the right to open it they are simply unavailable.
std::optional<std::u16string> UsbStringDescriptor(const TUsbFacts& usb, uint8_t index,
                                                  uint16_t language) {
  if (!usb.IsUsb)
    return std::nullopt;
  const std::string path = fmt::format("/dev/bus/usb/{:03}/{:03}", usb.BusNumber, usb.DeviceNumber);
  UniqueFd fd{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
  if (!fd)
    return std::nullopt;
  unsigned char buffer[255] = {};
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = 0x80;  // device to host, standard, device
  transfer.bRequest = 6;         // GET_DESCRIPTOR
  transfer.wValue = static_cast<uint16_t>(0x0300 | index);
  transfer.wIndex = language;
  transfer.wLength = sizeof buffer;
  transfer.timeout = 1000;
  transfer.data = buffer;
  const int length = ::ioctl(fd.Get(), USBDEVFS_CONTROL, &transfer);
  if (length < 2 || buffer[1] != 3)
    return std::nullopt;
  const int end = std::min<int>(length, buffer[0]);
  std::u16string text;
  for (int i = 2; i + 1 < end; i += 2) {
    text.push_back(static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8)));
  }
  return text;
}

class HidrawHandle : public IDeviceHandle {
 public:
  HidrawHandle(UniqueFd fd, bool readWrite) : fd_(std::move(fd)), readWrite_(readWrite) {
    struct stat status {};
    if (::fstat(fd_.Get(), &status) == 0)
      usb_ = UsbFactsOf(status.st_rdev);
  }

  bool HasReadWriteAccess() const override { return readWrite_; }

  TAttributes Attributes() override {
    hidraw_devinfo info{};
    if (::ioctl(fd_.Get(), HIDIOCGRAWINFO, &info) < 0)
      throw HidError(errno, "HIDIOCGRAWINFO");
    return {static_cast<uint16_t>(info.vendor), static_cast<uint16_t>(info.product), usb_.Version};
  }

  TCaps Caps() override { return LayoutOf(fd_.Get()).Caps; }

  std::optional<std::u16string> SerialNumberString() override {
    return Text(usb_.IsUsb ? usb_.Serial : NodeString(fd_.Get(), HIDIOCGRAWUNIQ(256)));
  }
  std::optional<std::u16string> ManufacturerString() override { return Text(usb_.Manufacturer); }
  std::optional<std::u16string> ProductString() override {
    return Text(usb_.IsUsb ? usb_.Product : NodeString(fd_.Get(), HIDIOCGRAWNAME(256)));
  }
  std::optional<std::u16string> IndexedString(uint8_t index) override {
    if (index == 0)
      return UsbStringDescriptor(usb_, 0, 0);
    const auto languages = UsbStringDescriptor(usb_, 0, 0);
    if (!languages || languages->empty())
      return std::nullopt;
    return UsbStringDescriptor(usb_, index, (*languages)[0]);
  }

  std::size_t Write(const uint8_t* data, std::size_t size) override {
    if (!readWrite_)
      throw HidError(EBADF, "write");
    for (;;) {
      const ssize_t written = ::write(fd_.Get(), data, size);
      if (written >= 0)
        return static_cast<std::size_t>(written);
      if (errno != EINTR)
        throw HidError(errno, "write");
    }
  }

 private:
  UniqueFd fd_;
  bool readWrite_;
  TUsbFacts usb_;
};

class HidrawReader : public IReportReader {
 public:
  explicit HidrawReader(UniqueFd fd)
      : fd_(std::move(fd)), numbered_(LayoutOf(fd_.Get()).Numbered), raw_(kMaxReport) {}

  TReadResult Read(std::vector<uint8_t>& report, std::chrono::milliseconds wait) override {
    if (gone_)
      return {TReadStatus::Gone, 0, ENODEV};
    pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {stop_.Handle(), POLLIN, 0}};
    const auto timeout = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, INT_MAX));
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0)
      return errno == EINTR ? TReadResult{} : Failure(errno);
    if (fds[1].revents)
      return {TReadStatus::Stopped};
    if (ready == 0)
      return {};
    // An unplugged node reports POLLERR|POLLHUP without POLLIN on every poll from now on.
    if (!(fds[0].revents & POLLIN))
      return Failure(ENODEV);
    const ssize_t count = ::read(fd_.Get(), raw_.data(), raw_.size());
    if (count < 0)
      return errno == EAGAIN || errno == EINTR ? TReadResult{} : Failure(errno);
    if (count == 0)
      return {};
    return {TReadStatus::Report,
            ShapeReport(numbered_, raw_.data(), static_cast<std::size_t>(count), report)};
  }

  void Stop() override { stop_.Raise(); }

 private:
  TReadResult Failure(int code) {
    if (!IsDeviceGone(code))
      return {TReadStatus::Failed, 0, code};
    gone_ = true;
    return {TReadStatus::Gone, 0, code};
  }

  UniqueFd fd_;
  bool numbered_;
  std::vector<uint8_t> raw_;
  StopSignal stop_;
  bool gone_ = false;
};

class LinuxHidPlatform : public IHidPlatform {
 public:
  std::vector<TDeviceEntry> Enumerate() override { return EnumerateHidraw(); }

  std::unique_ptr<IDeviceHandle> Open(const std::string& path, TAccess access) override {
    if (access == TAccess::ReadWrite) {
      return std::make_unique<HidrawHandle>(OpenNode(path, O_RDWR), true);
    }
    // Queries need some access to the node; either direction will do.
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd)
      fd = OpenNode(path, O_WRONLY);
    return std::make_unique<HidrawHandle>(std::move(fd), false);
  }

  std::unique_ptr<IReportReader> OpenReader(const std::string& path) override {
    return std::make_unique<HidrawReader>(OpenNode(path, O_RDONLY | O_NONBLOCK));
  }

  std::unique_ptr<IDeviceWatch> Watch(std::function<void()> onChange) override {
    return WatchHidraw(std::move(onChange));
  }
};

}  // namespace
}  // namespace posix

IHidPlatform& SystemPlatform() {
  static posix::LinuxHidPlatform platform;
  return platform;
}

}  // namespace kyt::hid
