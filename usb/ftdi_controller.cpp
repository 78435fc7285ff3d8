#include "usb/ftdi_controller.h"

#include <algorithm>

#include "usb/ftdi_d2xx_api.h"

namespace kyt {

namespace {

// The library's exports in the order of the controller's table; only some are called.
// clang-format off
enum TD2XXExport : size_t {
  xListDevices, xOpen, xOpenEx, xClose, xRead, xWrite, xResetDevice, xSetBaudRate, xSetDivisor,
  xSetDataCharacteristics, xSetFlowControl, xSetDtr, xClrDtr, xSetRts, xClrRts,
  xGetModemStatus, xSetChars, xPurge, xSetTimeouts, xGetQueueStatus, xSetBreakOn,
  xSetBreakOff, xGetStatus, xSetEventNotification, xResetPort, xCyclePort,
  xCreateDeviceInfoList, xGetDeviceInfoList, xGetDeviceInfoDetail, xGetDriverVersion,
  xGetLibraryVersion, xEE_Program, xEE_Read, xEE_UAWrite, xEE_UARead, xEE_UASize,
  xSetLatencyTimer, xGetLatencyTimer, xSetBitMode, xGetBitMode, xSetUSBParameters,
};
// clang-format on

constexpr const char* kOutdatedDriver =
    "Installed FTDI driver is outdated.\r\n"
    "Please install newest FTDI drivers from https://ftdichip.com/drivers/d2xx-drivers/";

constexpr DWORD kDriverTimeout = 1000;  // milliseconds, read and write

}  // namespace

TD2XXController::TD2XXController()
    // clang-format off
    : TVendorController(
          kLibrary,
          {"FT_ListDevices", "FT_Open", "FT_OpenEx", "FT_Close", "FT_Read", "FT_Write",
           "FT_ResetDevice", "FT_SetBaudRate", "FT_SetDivisor", "FT_SetDataCharacteristics",
           "FT_SetFlowControl", "FT_SetDtr", "FT_ClrDtr", "FT_SetRts", "FT_ClrRts",
           "FT_GetModemStatus", "FT_SetChars", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus",
           "FT_SetBreakOn", "FT_SetBreakOff", "FT_GetStatus", "FT_SetEventNotification",
           "FT_ResetPort", "FT_CyclePort", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList",
           "FT_GetDeviceInfoDetail", "FT_GetDriverVersion", "FT_GetLibraryVersion",
           "FT_EE_Program", "FT_EE_Read", "FT_EE_UAWrite", "FT_EE_UARead", "FT_EE_UASize",
           "FT_SetLatencyTimer", "FT_GetLatencyTimer", "FT_SetBitMode", "FT_GetBitMode",
           "FT_SetUSBParameters"}) {}
// clang-format on

TD2XXController::~TD2XXController() {
  // The watch thread calls CheckBuffer of this class: it must end before this part is gone.
  try {
    Unload();
  } catch (...) {
  }
}

std::string TD2XXController::GetLibraryVersion() const {
  if (Export(xGetLibraryVersion))
    return "Library: 3.1.x";
  if (Export(xCreateDeviceInfoList))
    return "Library: 3.0.x";
  return "Library: 2.x.x";
}

uint32_t TD2XXController::GetDeviceCount() {
  auto* create = Function<decltype(FT_CreateDeviceInfoList)>(xCreateDeviceInfoList);
  if (!create)
    throw EFTDIException(kOutdatedDriver);
  DWORD count = 0;
  if (create(&count) != FT_OK)
    throw EFTDIException("Could not get Device Count");
  return count;
}

void TD2XXController::GetDeviceInfo(uint32_t Index, TD2XXDevice& Device) {
  auto* detail = Function<decltype(FT_GetDeviceInfoDetail)>(xGetDeviceInfoDetail);
  if (!detail)
    throw EFTDIException("Installed driver is outdated. Please install new drivers");
  DWORD flags = 0, type = 0, id = 0, location = 0;
  // Room beyond the fields' sizes, in case a library writes a terminating NUL after a full field.
  char serial[kD2XXSerialLength + 16] = {};
  char description[kD2XXDescriptionLength + 16] = {};
  FT_HANDLE handle = nullptr;
  if (detail(Index, &flags, &type, &id, &location, serial, description, &handle) != FT_OK)
    throw EFTDIException("Could not get DeviceInfo");
  Device.SerialNumber = FixedText(serial, kD2XXSerialLength);
  Device.Description = FixedText(description, kD2XXDescriptionLength);
  Device.InUse = handle != nullptr;
}

void TD2XXController::Open(const std::string& SerialNumber) {
  RequireClosed();
  auto* openEx = Function<decltype(FT_OpenEx)>(xOpenEx);
  FT_HANDLE handle = nullptr;
  // The library reads a NUL-terminated text, so a serial number with a NUL in it names another
  // device: refused.
  const bool usable = openEx && SerialNumber.find('\0') == std::string::npos;
  if (!usable ||
      openEx(const_cast<char*>(SerialNumber.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK)
    throw EFTDIException("Could not open Device");

  TBufferWatch& watch = NewWatch(WakeOnData);
  auto* notify = Function<decltype(FT_SetEventNotification)>(xSetEventNotification);
  if (!notify || notify(handle, FT_EVENT_RXCHAR, watch.Event().Handle()) != FT_OK) {
    // Left open, the device would stay taken and every later open of it refused.
    if (auto* close = Function<decltype(FT_Close)>(xClose))
      close(handle);
    DiscardWatch();
    throw EFTDIException("Could not set event notification");
  }
  SetOpened(handle, SerialNumber);
}

void TD2XXController::Configure(uint32_t BaudRate, uint8_t DataBits, uint8_t StopBits,
                                uint8_t Parity, uint16_t FlowControl) {
  RequireOpen();
  auto* setBaudRate = Function<decltype(FT_SetBaudRate)>(xSetBaudRate);
  auto* setCharacteristics = Function<decltype(FT_SetDataCharacteristics)>(xSetDataCharacteristics);
  auto* setFlowControl = Function<decltype(FT_SetFlowControl)>(xSetFlowControl);
  auto* setTimeouts = Function<decltype(FT_SetTimeouts)>(xSetTimeouts);
  FT_HANDLE handle = Handle();
  const bool configured =
      setBaudRate && setBaudRate(handle, BaudRate) == FT_OK && setCharacteristics &&
      setCharacteristics(handle, DataBits, StopBits, Parity) == FT_OK && setFlowControl &&
      setFlowControl(handle, FlowControl, 0, 0) == FT_OK && setTimeouts &&
      setTimeouts(handle, kDriverTimeout, kDriverTimeout) == FT_OK;
  if (!configured)
    throw EFTDIException("Device could not be configured");
}

bool TD2XXController::WriteToDevice(void* Handle, const std::string& Data, uint32_t& Written) {
  auto* write = Function<decltype(FT_Write)>(xWrite);
  if (!write || Data.size() > UINT32_MAX)
    return false;
  DWORD written = 0;
  const FT_STATUS status =
      write(Handle, const_cast<char*>(Data.data()), static_cast<DWORD>(Data.size()), &written);
  Written = written;
  return status == FT_OK;
}

bool TD2XXController::CloseDevice(void* Handle) {
  auto* close = Function<decltype(FT_Close)>(xClose);
  return close && close(Handle) == FT_OK;
}

bool TD2XXController::CheckBuffer() {
  auto* getStatus = Function<decltype(FT_GetStatus)>(xGetStatus);
  auto* read = Function<decltype(FT_Read)>(xRead);
  if (!getStatus || !read)
    return false;
  FT_HANDLE handle = Handle();
  DWORD queued = 0, transmitQueue = 0, events = 0;
  if (getStatus(handle, &queued, &transmitQueue, &events) != FT_OK || queued == 0)
    return false;
  std::string buffer(queued, '\0');
  DWORD returned = 0;
  if (read(handle, buffer.data(), queued, &returned) != FT_OK)
    return false;
  // A count beyond what was asked for cannot be in the buffer.
  buffer.resize(std::min(returned, queued));
  if (buffer.empty())
    return false;
  Deliver(buffer);
  return true;
}

}  // namespace kyt
