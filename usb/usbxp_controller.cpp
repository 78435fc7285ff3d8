#include "usb/usbxp_controller.h"

#include <algorithm>

#include "usb/usbxp_api.h"

namespace kyt {

namespace {

// clang-format off
enum TUSBXpExport : size_t {
  xGetNumDevices, xGetProductString, xOpen, xClose, xRead, xWrite, xFlushBuffers, xSetTimeouts,
  xGetTimeouts, xCheckRXQueue, xSetBaudRate, xSetBaudDivisor, xSetLineControl, xSetFlowControl,
  xGetModemStatus, xSetBreak, xReadLatch, xWriteLatch, xGetPartNumber, xGetDLLVersion,
  xGetDriverVersion,
};
// clang-format on

}  // namespace

TUSBXpController::TUSBXpController()
    // clang-format off
    : TVendorController(kLibrary,
                        {"SI_GetNumDevices", "SI_GetProductString", "SI_Open", "SI_Close",
                         "SI_Read", "SI_Write", "SI_FlushBuffers", "SI_SetTimeouts",
                         "SI_GetTimeouts", "SI_CheckRXQueue", "SI_SetBaudRate",
                         "SI_SetBaudDivisor", "SI_SetLineControl", "SI_SetFlowControl",
                         "SI_GetModemStatus", "SI_SetBreak", "SI_ReadLatch", "SI_WriteLatch",
                         "SI_GetPartNumber", "SI_GetDLLVersion", "SI_GetDriverVersion"}) {}
// clang-format on

TUSBXpController::~TUSBXpController() {
  // The watch thread calls CheckBuffer of this class: it must end before this part is gone.
  try {
    Unload();
  } catch (...) {
  }
}

uint32_t TUSBXpController::GetDeviceCount() {
  auto* getNumDevices = Function<decltype(SI_GetNumDevices)>(xGetNumDevices);
  SI_DWORD count = 0;
  if (!getNumDevices || getNumDevices(&count) != SI_SUCCESS)
    throw EFTDIException("Could not get Device Count");
  return count;
}

std::string TUSBXpController::ProductString(uint32_t Index, uint32_t Option) {
  auto* getProductString = Function<decltype(SI_GetProductString)>(xGetProductString);
  // The library may write up to its maximum string length, whatever the caller has in mind.
  char text[SI_MAX_DEVICE_STRLEN] = {};
  if (!getProductString || getProductString(Index, text, Option) != SI_SUCCESS)
    throw EFTDIException("Could not get DeviceInfo");
  return FixedText(text, sizeof text);
}

void TUSBXpController::GetDeviceInfo(uint32_t Index, TUSBXpDeviceInfo& Device) {
  Device.SerialNumber = ProductString(Index, SI_RETURN_SERIAL_NUMBER);
  Device.Description = ProductString(Index, SI_RETURN_DESCRIPTION);
  Device.InUse = false;
}

void TUSBXpController::Open(const std::string& SerialNumber) {
  RequireClosed();
  const uint32_t count = GetDeviceCount();
  std::optional<uint32_t> index;
  for (uint32_t i = 0; i < count && !index; ++i) {
    TUSBXpDeviceInfo device;
    GetDeviceInfo(i, device);
    if (device.SerialNumber == SerialNumber)
      index = i;
  }
  auto* open = Function<decltype(SI_Open)>(xOpen);
  SI_HANDLE handle = nullptr;
  if (!index || !open || open(*index, &handle) != SI_SUCCESS)
    throw EFTDIException("Could not open Device");
  NewWatch(false);
  SetOpened(handle, SerialNumber);
}

std::optional<uint16_t> TUSBXpController::LineControl(uint8_t DataBits, uint8_t StopBits,
                                                      uint8_t Parity) {
  if (StopBits > 0x0F || Parity > 0x0F)
    return std::nullopt;
  return static_cast<uint16_t>(DataBits << 8 | Parity << 4 | StopBits);
}

void TUSBXpController::Configure(uint32_t BaudRate, uint8_t DataBits, uint8_t StopBits,
                                 uint8_t Parity, uint16_t /*FlowControl*/) {
  RequireOpen();
  auto* setBaudRate = Function<decltype(SI_SetBaudRate)>(xSetBaudRate);
  auto* setLineControl = Function<decltype(SI_SetLineControl)>(xSetLineControl);
  auto* flushBuffers = Function<decltype(SI_FlushBuffers)>(xFlushBuffers);
  SI_HANDLE handle = Handle();
  const std::optional<uint16_t> lineControl = LineControl(DataBits, StopBits, Parity);
  const bool configured = setBaudRate && setBaudRate(handle, BaudRate) == SI_SUCCESS &&
                          lineControl && setLineControl &&
                          setLineControl(handle, *lineControl) == SI_SUCCESS && flushBuffers &&
                          flushBuffers(handle, 1, 1) == SI_SUCCESS;
  if (!configured)
    throw EFTDIException("Device could not be configured");
}

bool TUSBXpController::WriteToDevice(void* Handle, const std::string& Data, uint32_t& Written) {
  auto* write = Function<decltype(SI_Write)>(xWrite);
  if (!write || Data.size() > UINT32_MAX)
    return false;
  SI_DWORD written = 0;
  const SI_STATUS status = write(Handle, const_cast<char*>(Data.data()),
                                 static_cast<SI_DWORD>(Data.size()), &written, nullptr);
  Written = written;
  return status == SI_SUCCESS;
}

bool TUSBXpController::CloseDevice(void* Handle) {
  auto* close = Function<decltype(SI_Close)>(xClose);
  return close && close(Handle) == SI_SUCCESS;
}

bool TUSBXpController::CheckBuffer() {
  auto* checkRXQueue = Function<decltype(SI_CheckRXQueue)>(xCheckRXQueue);
  auto* read = Function<decltype(SI_Read)>(xRead);
  if (!checkRXQueue || !read)
    return false;
  SI_HANDLE handle = Handle();
  SI_DWORD queued = 0, queueStatus = 0;
  if (checkRXQueue(handle, &queued, &queueStatus) != SI_SUCCESS || queued == 0)
    return false;
  std::string buffer(queued, '\0');
  SI_DWORD returned = 0;
  if (read(handle, buffer.data(), queued, &returned, nullptr) != SI_SUCCESS)
    return false;
  buffer.resize(std::min(returned, queued));
  if (buffer.empty())
    return false;
  Deliver(buffer);
  return true;
}

}  // namespace kyt
