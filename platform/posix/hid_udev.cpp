#include "platform/posix/hid_udev.h"

#include <libudev.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/sockets.h"
#include "runtime/thread.h"

namespace kyt::hid::posix {

namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
template <class T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

// libudev keeps process-wide state (hash keys among others) that its calls write without a
// lock, even for objects of separate contexts; the watch threads and the main thread must not
// be inside it at the same time. Taken before any udev object of a scope exists, so that their
// release happens under it too.
std::mutex& UdevLock() {
  static std::mutex lock;
  return lock;
}

std::optional<std::string> Attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (!value)
    return std::nullopt;
  std::string text(value);
  // sysfs ends its texts with a line feed, which the device never sent.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

template <class T>
T Number(const std::optional<std::string>& text, int base, T fallback = 0) {
  T value = fallback;
  if (text)
    std::from_chars(text->data(), text->data() + text->size(), value, base);
  return value;
}

// Without udevd nobody has sent the "udev" group a single event, so the kernel's own
// messages are the only ones to listen to; with udevd they come too early (before udevd set the
// node's permissions), so its processed ones are the right ones.
const char* MonitorSource() {
  return ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
}

// A monitor of hidraw events; empty when it cannot be made. Call it under UdevLock.
UdevPtr<udev_monitor> OpenMonitor(udev* context) {
  UdevPtr<udev_monitor> monitor{udev_monitor_new_from_netlink(context, MonitorSource())};
  if (!monitor)
    return {};
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0) {
    return {};
  }
  return monitor;
}

class HidrawWatch : public IDeviceWatch {
 public:
  HidrawWatch(UdevPtr<udev> context, UdevPtr<udev_monitor> monitor, std::function<void()> onChange)
      : context_(std::move(context)),
        monitor_(std::move(monitor)),
        onChange_(std::move(onChange)),
        thread_([this](TThread& self) { Run(self); }) {
    thread_.Start();
  }
  ~HidrawWatch() override {
    thread_.Terminate();
    stop_.Raise();
    thread_.WaitFor();
    std::lock_guard lock(UdevLock());
    monitor_.reset();
    context_.reset();
  }

 private:
  void Run(TThread& self) {
    while (!self.Terminated()) {
      const char* failure = Watch(self);
      if (failure == nullptr)
        return;
      // Events may have been lost with the monitor: a scan after the restart catches up.
      std::fprintf(stderr, "kyt: hidraw monitor failed (%s); restarting it\n", failure);
      if (net::WaitForStop(stop_, kRestartPause))
        return;
      std::lock_guard lock(UdevLock());
      monitor_ = OpenMonitor(context_.get());
      if (monitor_)
        TThread::Queue(onChange_);
    }
  }

  // Follows the monitor until a stop (nullptr) or its failure (what failed).
  const char* Watch(TThread& self) {
    if (!monitor_)
      return "no monitor";
    const int fd = udev_monitor_get_fd(monitor_.get());
    while (!self.Terminated()) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop_.Handle(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR)
          continue;
        return "poll";
      }
      if (fds[1].revents)
        return nullptr;
      // A broken monitor socket would wake every poll at once: it is made anew instead.
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        return "socket error";
      bool changed = false;
      {
        std::lock_guard lock(UdevLock());
        while (UdevPtr<udev_device> device{udev_monitor_receive_device(monitor_.get())}) {
          changed = true;
        }
      }
      if (changed)
        TThread::Queue(onChange_);
    }
    return nullptr;
  }

  static constexpr std::chrono::milliseconds kRestartPause{1000};

  UdevPtr<udev> context_;
  UdevPtr<udev_monitor> monitor_;
  std::function<void()> onChange_;
  net::StopSignal stop_;
  TFunctionThread thread_;
};

}  // namespace

std::vector<TDeviceEntry> EnumerateHidraw() {
  std::vector<TDeviceEntry> entries;
  std::lock_guard lock(UdevLock());
  UdevPtr<udev> context{udev_new()};
  if (!context)
    return entries;
  UdevPtr<udev_enumerate> enumeration{udev_enumerate_new(context.get())};
  if (!enumeration)
    return entries;
  udev_enumerate_add_match_subsystem(enumeration.get(), "hidraw");
  udev_enumerate_scan_devices(enumeration.get());
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    UdevPtr<udev_device> device{udev_device_new_from_syspath(context.get(), syspath)};
    if (!device)
      continue;
    const char* node = udev_device_get_devnode(device.get());
    if (!node)
      continue;
    entries.push_back(
        {static_cast<uint32_t>(minor(udev_device_get_devnum(device.get()))), node, syspath});
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.InstanceNumber < b.InstanceNumber; });
  return entries;
}

std::unique_ptr<IDeviceWatch> WatchHidraw(std::function<void()> onChange) {
  std::lock_guard lock(UdevLock());
  UdevPtr<udev> context{udev_new()};
  if (!context)
    return nullptr;
  UdevPtr<udev_monitor> monitor = OpenMonitor(context.get());
  if (!monitor)
    return nullptr;
  return std::make_unique<HidrawWatch>(std::move(context), std::move(monitor), std::move(onChange));
}

TUsbFacts UsbFactsOf(unsigned long long deviceNumber) {
  TUsbFacts facts;
  std::lock_guard lock(UdevLock());
  UdevPtr<udev> context{udev_new()};
  if (!context)
    return facts;
  UdevPtr<udev_device> node{udev_device_new_from_devnum(context.get(), 'c', deviceNumber)};
  if (!node)
    return facts;
  // The parent is owned by the child and must not be unreferenced.
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node.get(), "usb", "usb_device");
  if (!usb)
    return facts;
  facts.IsUsb = true;
  facts.Serial = Attribute(usb, "serial");
  facts.Manufacturer = Attribute(usb, "manufacturer");
  facts.Product = Attribute(usb, "product");
  facts.Version = Number<uint16_t>(Attribute(usb, "bcdDevice"), 16);
  facts.BusNumber = Number<int>(Attribute(usb, "busnum"), 10);
  facts.DeviceNumber = Number<int>(Attribute(usb, "devnum"), 10);
  return facts;
}

}  // namespace kyt::hid::posix
