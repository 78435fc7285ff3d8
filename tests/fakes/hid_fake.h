#pragma once

// A stand-in for the HID layer, faithful to hidraw where the controller could tell: every open
// reader gets its own copy of each report, reports of devices without numbered reports come
// without an ID byte, an unplugged device fails reads with "gone" for good and writes and
// queries with ENODEV, and notices of arrivals and removals are queued to the main thread.
// Constructing one installs it; destroying it puts the system's backend back.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace kyt::test {

struct TFakeHidDevice {
  uint32_t InstanceNumber = 0;
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t Version = 0x0100;
  std::optional<std::string> Serial, Manufacturer, Product;  // UTF-8
  // String 0; nullopt: the query fails.
  std::optional<std::u16string> LanguageList = std::u16string(1, char16_t{0x0409});
  std::string ReportDescriptor;
  bool ReadWrite = true;  // false: opens for queries only
  bool Openable = true;   // false: no open succeeds
  // Empty: each plug is an appearance of its own. Given: the system reuses a name it gave
  // before (a sysfs path), as it may for a device plugged back into the same port.
  std::string Identity;
};

class TFakeHidPlatform : public hid::IHidPlatform {
 public:
  TFakeHidPlatform();
  ~TFakeHidPlatform() override;

  // Plugging and unplugging tell every watch (queued to the main thread). A device plugged
  // again is a new appearance even with the same instance number.
  void Plug(const TFakeHidDevice& device);
  void Unplug(uint32_t instance);
  // Both without a notice, as when the notices are late.
  void PlugQuietly(const TFakeHidDevice& device);
  void UnplugQuietly(uint32_t instance);

  // One report as the device sends it: without the ID byte when reports are not numbered.
  void SendInput(uint32_t instance, const std::string& raw);
  // Reports written, byte 0 the report ID.
  std::vector<std::string> Written(uint32_t instance) const;
  // Writes fail with this errno (0: they succeed again).
  void FailWrites(uint32_t instance, int code);

  // Readers open on the device now, and whether a condition on that count came true in time.
  int Readers(uint32_t instance) const;
  bool WaitForReaders(uint32_t instance, int count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Reads answered "gone", over all readers: a read loop must not keep asking.
  int GoneReads() const;
  int Watches() const;

  // hid::IHidPlatform
  std::vector<hid::TDeviceEntry> Enumerate() override;
  std::unique_ptr<hid::IDeviceHandle> Open(const std::string& path, hid::TAccess access) override;
  std::unique_ptr<hid::IReportReader> OpenReader(const std::string& path) override;
  std::unique_ptr<hid::IDeviceWatch> Watch(std::function<void()> onChange) override;

  struct Appearance;
  struct Reader;
  struct Shared;

 private:
  std::shared_ptr<Appearance> Find(const std::string& path) const;
  std::shared_ptr<Appearance> Present(uint32_t instance) const;
  void Notify();

  std::shared_ptr<Shared> shared_;
  hid::IHidPlatform* previous_;
};

}  // namespace kyt::test
