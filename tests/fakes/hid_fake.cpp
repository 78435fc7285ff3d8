#include "tests/fakes/hid_fake.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <list>

#include "runtime/thread.h"

namespace kyt::test {

struct TFakeHidPlatform::Reader {
  std::deque<std::string> Queue;
  bool Stopped = false;
};

struct TFakeHidPlatform::Appearance {
  TFakeHidDevice Device;
  std::string Path;
  std::string Identity;
  bool Numbered = false;
  bool Present = true;
  int FailWrites = 0;
  std::vector<std::string> Written;
  std::list<Reader*> Readers;
};

struct TFakeHidPlatform::Shared {
  mutable std::mutex Lock;
  mutable std::condition_variable Changed;
  std::map<uint32_t, std::shared_ptr<Appearance>> Present;
  std::map<uint32_t, std::shared_ptr<Appearance>> Latest;
  std::list<std::function<void()>> Watches;
  int GoneReads = 0;
  int Appearances = 0;
};

namespace {

using Shared = TFakeHidPlatform::Shared;
using Appearance = TFakeHidPlatform::Appearance;

std::optional<std::u16string> Text(const std::optional<std::string>& utf8) {
  if (!utf8)
    return std::nullopt;
  return hid::Utf8ToUtf16(*utf8);
}

class FakeHandle : public hid::IDeviceHandle {
 public:
  FakeHandle(std::shared_ptr<Shared> shared, std::shared_ptr<Appearance> device, bool readWrite)
      : shared_(std::move(shared)), device_(std::move(device)), readWrite_(readWrite) {}

  bool HasReadWriteAccess() const override { return readWrite_; }
  hid::TAttributes Attributes() override {
    Check("HIDIOCGRAWINFO");
    return {device_->Device.VendorID, device_->Device.ProductID, device_->Device.Version};
  }
  hid::TCaps Caps() override {
    Check("HIDIOCGRDESC");
    const std::string& d = device_->Device.ReportDescriptor;
    return hid::ParseReportDescriptor(reinterpret_cast<const uint8_t*>(d.data()), d.size()).Caps;
  }
  std::optional<std::u16string> SerialNumberString() override {
    return Alive() ? Text(device_->Device.Serial) : std::nullopt;
  }
  std::optional<std::u16string> ManufacturerString() override {
    return Alive() ? Text(device_->Device.Manufacturer) : std::nullopt;
  }
  std::optional<std::u16string> ProductString() override {
    return Alive() ? Text(device_->Device.Product) : std::nullopt;
  }
  std::optional<std::u16string> IndexedString(uint8_t index) override {
    if (!Alive() || index != 0)
      return std::nullopt;
    return device_->Device.LanguageList;
  }
  std::size_t Write(const uint8_t* data, std::size_t size) override {
    if (!readWrite_)
      throw hid::HidError(EBADF, "write");
    std::lock_guard lock(shared_->Lock);
    if (!device_->Present)
      throw hid::HidError(ENODEV, "write");
    if (device_->FailWrites)
      throw hid::HidError(device_->FailWrites, "write");
    // hidraw refuses reports without at least one byte after the report ID.
    if (size < 2)
      throw hid::HidError(EINVAL, "write");
    device_->Written.emplace_back(reinterpret_cast<const char*>(data), size);
    return size;
  }

 private:
  bool Alive() const {
    std::lock_guard lock(shared_->Lock);
    return device_->Present;
  }
  void Check(const char* call) const {
    if (!Alive())
      throw hid::HidError(ENODEV, call);
  }

  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Appearance> device_;
  bool readWrite_;
};

class FakeReader : public hid::IReportReader {
 public:
  FakeReader(std::shared_ptr<Shared> shared, std::shared_ptr<Appearance> device)
      : shared_(std::move(shared)), device_(std::move(device)) {
    std::lock_guard lock(shared_->Lock);
    device_->Readers.push_back(&reader_);
    shared_->Changed.notify_all();
  }
  ~FakeReader() override {
    std::lock_guard lock(shared_->Lock);
    device_->Readers.remove(&reader_);
    shared_->Changed.notify_all();
  }

  hid::TReadResult Read(std::vector<uint8_t>& report, std::chrono::milliseconds wait) override {
    std::unique_lock lock(shared_->Lock);
    shared_->Changed.wait_for(
        lock, wait, [&] { return reader_.Stopped || !device_->Present || !reader_.Queue.empty(); });
    if (reader_.Stopped)
      return {hid::TReadStatus::Stopped};
    if (!device_->Present) {
      ++shared_->GoneReads;
      return {hid::TReadStatus::Gone, 0, ENODEV};
    }
    if (reader_.Queue.empty())
      return {};
    const std::string raw = std::move(reader_.Queue.front());
    reader_.Queue.pop_front();
    const auto count = hid::ShapeReport(
        device_->Numbered, reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), report);
    return {hid::TReadStatus::Report, count};
  }

  void Stop() override {
    std::lock_guard lock(shared_->Lock);
    reader_.Stopped = true;
    shared_->Changed.notify_all();
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Appearance> device_;
  TFakeHidPlatform::Reader reader_;
};

class FakeWatch : public hid::IDeviceWatch {
 public:
  FakeWatch(std::shared_ptr<Shared> shared, std::list<std::function<void()>>::iterator entry)
      : shared_(std::move(shared)), entry_(entry) {}
  ~FakeWatch() override {
    std::lock_guard lock(shared_->Lock);
    shared_->Watches.erase(entry_);
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::list<std::function<void()>>::iterator entry_;
};

}  // namespace

TFakeHidPlatform::TFakeHidPlatform()
    : shared_(std::make_shared<Shared>()), previous_(hid::SetPlatform(this)) {}

TFakeHidPlatform::~TFakeHidPlatform() {
  hid::SetPlatform(previous_);
}

void TFakeHidPlatform::PlugQuietly(const TFakeHidDevice& device) {
  auto appearance = std::make_shared<Appearance>();
  appearance->Device = device;
  appearance->Path = "/dev/hidraw" + std::to_string(device.InstanceNumber);
  const auto& d = device.ReportDescriptor;
  appearance->Numbered =
      hid::ParseReportDescriptor(reinterpret_cast<const uint8_t*>(d.data()), d.size()).Numbered;
  std::lock_guard lock(shared_->Lock);
  ++shared_->Appearances;
  appearance->Identity = device.Identity.empty()
                             ? "appearance " + std::to_string(shared_->Appearances)
                             : device.Identity;
  if (auto old = shared_->Present.find(device.InstanceNumber); old != shared_->Present.end()) {
    old->second->Present = false;
  }
  shared_->Present[device.InstanceNumber] = appearance;
  shared_->Latest[device.InstanceNumber] = appearance;
  shared_->Changed.notify_all();
}

void TFakeHidPlatform::UnplugQuietly(uint32_t instance) {
  std::lock_guard lock(shared_->Lock);
  auto found = shared_->Present.find(instance);
  if (found == shared_->Present.end())
    return;
  found->second->Present = false;
  shared_->Present.erase(found);
  shared_->Changed.notify_all();
}

void TFakeHidPlatform::Plug(const TFakeHidDevice& device) {
  PlugQuietly(device);
  Notify();
}

void TFakeHidPlatform::Unplug(uint32_t instance) {
  UnplugQuietly(instance);
  Notify();
}

void TFakeHidPlatform::Notify() {
  std::lock_guard lock(shared_->Lock);
  for (const auto& watch : shared_->Watches) TThread::Queue(watch);
}

void TFakeHidPlatform::SendInput(uint32_t instance, const std::string& raw) {
  std::lock_guard lock(shared_->Lock);
  auto found = shared_->Present.find(instance);
  if (found == shared_->Present.end())
    return;
  for (Reader* reader : found->second->Readers) reader->Queue.push_back(raw);
  shared_->Changed.notify_all();
}

std::vector<std::string> TFakeHidPlatform::Written(uint32_t instance) const {
  std::lock_guard lock(shared_->Lock);
  auto found = shared_->Latest.find(instance);
  return found == shared_->Latest.end() ? std::vector<std::string>{} : found->second->Written;
}

void TFakeHidPlatform::FailWrites(uint32_t instance, int code) {
  if (auto device = Present(instance)) {
    std::lock_guard lock(shared_->Lock);
    device->FailWrites = code;
  }
}

int TFakeHidPlatform::Readers(uint32_t instance) const {
  std::lock_guard lock(shared_->Lock);
  auto found = shared_->Present.find(instance);
  return found == shared_->Present.end() ? 0 : static_cast<int>(found->second->Readers.size());
}

bool TFakeHidPlatform::WaitForReaders(uint32_t instance, int count,
                                      std::chrono::milliseconds timeout) const {
  std::unique_lock lock(shared_->Lock);
  return shared_->Changed.wait_for(lock, timeout, [&] {
    auto found = shared_->Present.find(instance);
    const int open =
        found == shared_->Present.end() ? 0 : static_cast<int>(found->second->Readers.size());
    return open == count;
  });
}

int TFakeHidPlatform::GoneReads() const {
  std::lock_guard lock(shared_->Lock);
  return shared_->GoneReads;
}

int TFakeHidPlatform::Watches() const {
  std::lock_guard lock(shared_->Lock);
  return static_cast<int>(shared_->Watches.size());
}

std::shared_ptr<Appearance> TFakeHidPlatform::Find(const std::string& path) const {
  std::lock_guard lock(shared_->Lock);
  for (const auto& [instance, device] : shared_->Present) {
    if (device->Path == path)
      return device;
  }
  return nullptr;
}

std::shared_ptr<Appearance> TFakeHidPlatform::Present(uint32_t instance) const {
  std::lock_guard lock(shared_->Lock);
  auto found = shared_->Present.find(instance);
  return found == shared_->Present.end() ? nullptr : found->second;
}

std::vector<hid::TDeviceEntry> TFakeHidPlatform::Enumerate() {
  std::lock_guard lock(shared_->Lock);
  std::vector<hid::TDeviceEntry> entries;
  for (const auto& [instance, device] : shared_->Present) {
    entries.push_back({instance, device->Path, device->Identity});
  }
  return entries;
}

std::unique_ptr<hid::IDeviceHandle> TFakeHidPlatform::Open(const std::string& path,
                                                           hid::TAccess access) {
  auto device = Find(path);
  if (!device)
    throw hid::HidError(ENOENT, "open " + path);
  const bool readWrite = access == hid::TAccess::ReadWrite;
  if (!device->Device.Openable || (readWrite && !device->Device.ReadWrite)) {
    throw hid::HidError(EACCES, "open " + path);
  }
  return std::make_unique<FakeHandle>(shared_, device, readWrite);
}

std::unique_ptr<hid::IReportReader> TFakeHidPlatform::OpenReader(const std::string& path) {
  auto device = Find(path);
  if (!device)
    throw hid::HidError(ENOENT, "open " + path);
  if (!device->Device.Openable)
    throw hid::HidError(EACCES, "open " + path);
  return std::make_unique<FakeReader>(shared_, device);
}

std::unique_ptr<hid::IDeviceWatch> TFakeHidPlatform::Watch(std::function<void()> onChange) {
  std::lock_guard lock(shared_->Lock);
  shared_->Watches.push_back(std::move(onChange));
  return std::make_unique<FakeWatch>(shared_, std::prev(shared_->Watches.end()));
}

}  // namespace kyt::test
