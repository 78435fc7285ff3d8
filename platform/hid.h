#pragma once

// The HID layer: finding human-interface devices, opening them for queries or for report I/O,
// and hearing about arrivals and removals. The controller in usb/ sees devices only through
// this header; the Linux backend (platform/posix/hid_*.cpp) speaks libudev and hidraw, tests
// install a fake.
//
// Reports cross this layer in one shape whatever the device: byte 0 is the report ID (0 for
// devices without numbered reports), the report's data follows.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/exception.h"

namespace kyt::hid {

// A failed device call. Code() is the errno value.
class HidError : public Exception {
 public:
  HidError(int code, const std::string& call);
  int Code() const { return code_; }

 private:
  int code_;
};

// The message the C library has for an errno value.
std::string ErrorText(int code);
// Codes that mean the device has left rather than that a call went wrong.
bool IsDeviceGone(int code);

// One present device interface as enumeration finds it.
struct TDeviceEntry {
  // The device's instance number: stable while it stays plugged in, shown to users.
  uint32_t InstanceNumber = 0;
  // What Open takes.
  std::string Path;
  // Differs between two appearances of a device even when the instance number is reused, so a
  // quick unplug and replug is still seen as a change.
  std::string Identity;
};

struct TAttributes {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

// Report lengths in bytes, the report ID byte included; 0 when the device has no report of
// that kind.
struct TCaps {
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t FeatureReportByteLength = 0;
};

// An open device. A query-only handle answers the queries but cannot write.
class IDeviceHandle {
 public:
  virtual ~IDeviceHandle() = default;
  virtual bool HasReadWriteAccess() const = 0;
  // Raises HidError.
  virtual TAttributes Attributes() = 0;
  virtual TCaps Caps() = 0;
  // The device's texts in UTF-16 units; nullopt when the device has none or the query failed.
  virtual std::optional<std::u16string> SerialNumberString() = 0;
  virtual std::optional<std::u16string> ManufacturerString() = 0;
  virtual std::optional<std::u16string> ProductString() = 0;
  // String descriptor `index`; index 0 is the device's list of language IDs.
  virtual std::optional<std::u16string> IndexedString(uint8_t index) = 0;
  // Writes one report (byte 0 the report ID); returns the bytes written. Raises HidError.
  virtual std::size_t Write(const uint8_t* data, std::size_t size) = 0;
};

enum class TReadStatus {
  Report,   // a report is in the buffer
  Idle,     // the wait ended without a report
  Stopped,  // Stop was called
  Gone,     // the device has left; every later read says the same
  Failed,   // the read failed; Error says why
};

struct TReadResult {
  TReadStatus Status = TReadStatus::Idle;
  std::size_t Count = 0;  // bytes of the report, report ID included
  int Error = 0;
};

// A device opened for reading input reports.
class IReportReader {
 public:
  virtual ~IReportReader() = default;
  // Waits up to `wait` for one input report and stores it from byte 0 of `report`. A report
  // shorter than the buffer leaves the rest as it was and counts as the whole buffer, so every
  // report has the device's input report length; a longer one grows the buffer.
  virtual TReadResult Read(std::vector<uint8_t>& report, std::chrono::milliseconds wait) = 0;
  // Ends a Read in progress and every later one with Stopped; callable from any thread.
  virtual void Stop() = 0;
};

// Hears about arrivals and removals until destroyed.
class IDeviceWatch {
 public:
  virtual ~IDeviceWatch() = default;
};

enum class TAccess { ReadWrite, QueryOnly };

class IHidPlatform {
 public:
  virtual ~IHidPlatform() = default;
  // The present devices; an empty list when the system offers no way to look.
  virtual std::vector<TDeviceEntry> Enumerate() = 0;
  // Raises HidError when the device cannot be opened with that access.
  virtual std::unique_ptr<IDeviceHandle> Open(const std::string& path, TAccess access) = 0;
  virtual std::unique_ptr<IReportReader> OpenReader(const std::string& path) = 0;
  // Queues `onChange` to the main thread (TThread::Queue) after devices arrived or left.
  // Returns nullptr when the system cannot tell.
  virtual std::unique_ptr<IDeviceWatch> Watch(std::function<void()> onChange) = 0;
};

// The backend in use: the system's unless a test installed another.
IHidPlatform& Platform();
// Installs `platform` (nullptr: the system's again), which must outlive its use; returns the
// one installed before (nullptr for the system's).
IHidPlatform* SetPlatform(IHidPlatform* platform);

// ---- Helpers shared by the backends --------------------------------------------------------

// What a report descriptor says about the reports.
struct TReportLayout {
  TCaps Caps;
  // Reports carry a report ID byte: the descriptor declares at least one Report ID.
  bool Numbered = false;
};
// Parses a report descriptor; a malformed one yields what was read before the fault.
TReportLayout ParseReportDescriptor(const uint8_t* data, std::size_t size);

// Stores one report as the device sent it (without the ID byte when the reports are not
// numbered) in the shape described for IReportReader::Read; returns its count.
std::size_t ShapeReport(bool numbered, const uint8_t* raw, std::size_t size,
                        std::vector<uint8_t>& report);

std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace kyt::hid
