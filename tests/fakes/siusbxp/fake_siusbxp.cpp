// A double of the Silicon Labs USBXpress library, exporting the functions the
// controller calls with their published signatures.

#include <string>

#include "tests/fakes/vendor_fake_core.h"
#include "usb/usbxp_api.h"

#define SI_EXPORT FAKE_EXPORT_ATTRIBUTE

namespace {

std::string Arg(uint32_t v) {
  return std::to_string(v);
}

// Devices are numbered among those plugged in, as the library counts them.
fake::Device* ByNumber(fake::Call& call, SI_DWORD number) {
  for (auto& d : call.S.Devices) {
    if (d.Present && number-- == 0)
      return &d;
  }
  return nullptr;
}

}  // namespace

extern "C" {

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_GetNumDevices(SI_DWORD* lpdwNumDevices) {
  fake::Call call("SI_GetNumDevices", "");
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  SI_DWORD count = 0;
  for (auto& d : call.S.Devices) count += d.Present ? 1 : 0;
  *lpdwNumDevices = count;
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_GetProductString(SI_DWORD dwDeviceNum, void* lpvDeviceString,
                                                        SI_DWORD dwFlags) {
  fake::Call call("SI_GetProductString", Arg(dwDeviceNum) + "," + Arg(dwFlags));
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = ByNumber(call, dwDeviceNum);
  if (!d)
    return SI_DEVICE_NOT_FOUND;
  std::string text = dwFlags == SI_RETURN_SERIAL_NUMBER ? d->Serial : d->Description;
  text.resize(std::min<size_t>(text.size(), SI_MAX_DEVICE_STRLEN - 1));
  std::memcpy(lpvDeviceString, text.c_str(), text.size() + 1);
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_Open(SI_DWORD dwDevice, SI_HANDLE* cyHandle) {
  fake::Call call("SI_Open", Arg(dwDevice));
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = ByNumber(call, dwDevice);
  if (!d)
    return SI_DEVICE_NOT_FOUND;
  if (d->Open)
    return SI_INVALID_HANDLE;
  *cyHandle = call.NewSession(static_cast<size_t>(d - call.S.Devices.data()));
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_Close(SI_HANDLE cyHandle) {
  fake::Call call("SI_Close", "");
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  if (!call.Open(cyHandle))
    return SI_INVALID_HANDLE;
  call.EndSession(cyHandle);
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_SetBaudRate(SI_HANDLE cyHandle, SI_DWORD dwBaudRate) {
  fake::Call call("SI_SetBaudRate", Arg(dwBaudRate));
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  return call.Open(cyHandle) ? SI_SUCCESS : SI_INVALID_HANDLE;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_SetLineControl(SI_HANDLE cyHandle, SI_WORD wLineControl) {
  char word[8];
  std::snprintf(word, sizeof word, "0x%04X", wLineControl);
  fake::Call call("SI_SetLineControl", word);
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  return call.Open(cyHandle) ? SI_SUCCESS : SI_INVALID_HANDLE;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_FlushBuffers(SI_HANDLE cyHandle, SI_BYTE FlushTransmit,
                                                    SI_BYTE FlushReceive) {
  fake::Call call("SI_FlushBuffers", Arg(FlushTransmit) + "," + Arg(FlushReceive));
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = call.Open(cyHandle);
  if (!d)
    return SI_INVALID_HANDLE;
  if (FlushReceive)
    d->Received.clear();
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_CheckRXQueue(SI_HANDLE cyHandle,
                                                    SI_DWORD* lpdwNumBytesInQueue,
                                                    SI_DWORD* lpdwQueueStatus) {
  fake::Call call("SI_CheckRXQueue", "", false);
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = call.Open(cyHandle);
  if (!d)
    return SI_INVALID_HANDLE;
  if (!d->Present)
    return SI_READ_ERROR;
  *lpdwNumBytesInQueue = static_cast<SI_DWORD>(d->Received.size());
  *lpdwQueueStatus = d->Received.empty() ? 0 : 2;  // SI_RX_READY
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_Read(SI_HANDLE cyHandle, void* lpBuffer,
                                            SI_DWORD dwBytesToRead, SI_DWORD* lpdwBytesReturned,
                                            void* /*o*/) {
  fake::Call call("SI_Read", "", false);
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = call.Open(cyHandle);
  if (!d)
    return SI_INVALID_HANDLE;
  if (!d->Present)
    return SI_READ_ERROR;
  const size_t n = std::min<size_t>(dwBytesToRead, d->Received.size());
  std::memcpy(lpBuffer, d->Received.data(), n);
  d->Received.erase(0, n);
  *lpdwBytesReturned = static_cast<SI_DWORD>(n);
  return SI_SUCCESS;
}

SI_EXPORT SI_STATUS KYT_VENDOR_CALL SI_Write(SI_HANDLE cyHandle, void* lpBuffer,
                                             SI_DWORD dwBytesToWrite, SI_DWORD* lpdwBytesWritten,
                                             void* /*o*/) {
  fake::Call call("SI_Write", Arg(dwBytesToWrite));
  if (call.Failure)
    return static_cast<SI_STATUS>(call.Failure);
  fake::Device* d = call.Open(cyHandle);
  if (!d)
    return SI_INVALID_HANDLE;
  if (!d->Present)
    return SI_WRITE_ERROR;
  const SI_DWORD n = call.TakeWrite(cyHandle, dwBytesToWrite);
  d = call.Open(cyHandle);
  if (!d)
    return SI_INVALID_HANDLE;
  const std::string bytes(static_cast<const char*>(lpBuffer), n);
  d->Written += bytes;
  *lpdwBytesWritten = n;
  if (d->Echo)
    fake::Receive(*d, bytes);
  return SI_SUCCESS;
}

}  // extern "C"
