// A double of the FTDI D2XX library, exporting the functions the controller calls with
// their published signatures. Built three times: complete, without FT_GetLibraryVersion and
// FT_GetDeviceInfoDetail (FAKE_D2XX_NO_DETAIL), and without those and FT_CreateDeviceInfoList as
// well (FAKE_D2XX_OLD) for the older libraries.

#include <chrono>
#include <string>

#include "tests/fakes/vendor_fake_core.h"
#include "usb/ftdi_d2xx_api.h"

#define D2XX_EXPORT FAKE_EXPORT_ATTRIBUTE

namespace {

std::string Arg(uint32_t v) {
  return std::to_string(v);
}

}  // namespace

extern "C" {

#if !defined(FAKE_D2XX_OLD)
D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs) {
  fake::Call call("FT_CreateDeviceInfoList", "");
  if (call.Failure)
    return call.Failure;
  call.S.Listed.clear();
  for (size_t i = 0; i < call.S.Devices.size(); ++i) {
    if (call.S.Devices[i].Present)
      call.S.Listed.push_back(i);
  }
  *lpdwNumDevs = static_cast<DWORD>(call.S.Listed.size());
  return FT_OK;
}
#endif

#if !defined(FAKE_D2XX_OLD) && !defined(FAKE_D2XX_NO_DETAIL)
// Text fields are filled like the library's device list: NUL-terminated when shorter than the
// field, the whole field without a NUL otherwise.
D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_GetDeviceInfoDetail(
    DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType, LPDWORD lpdwID, LPDWORD lpdwLocId,
    LPVOID lpSerialNumber, LPVOID lpDescription, FT_HANDLE* pftHandle) {
  fake::Call call("FT_GetDeviceInfoDetail", Arg(dwIndex));
  if (call.Failure)
    return call.Failure;
  if (dwIndex >= call.S.Listed.size())
    return FT_DEVICE_NOT_FOUND;
  const fake::Device& d = call.S.Devices[call.S.Listed[dwIndex]];
  FillD2XXText(lpSerialNumber, d.Serial, kD2XXSerialLength);
  FillD2XXText(lpDescription, d.Description, kD2XXDescriptionLength);
  *lpdwFlags = d.Open ? 1 : 0;
  *lpdwType = 8;  // FT232R
  *lpdwID = 0x04036001;
  *lpdwLocId = static_cast<DWORD>(dwIndex + 1);
  *pftHandle = nullptr;
  for (auto& session : call.S.Sessions) {
    if (session->Valid && session->Device == call.S.Listed[dwIndex])
      *pftHandle = session.get();
  }
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_GetLibraryVersion(LPDWORD lpdwVersion) {
  fake::Call call("FT_GetLibraryVersion", "");
  if (call.Failure)
    return call.Failure;
  *lpdwVersion = 0x00010428;
  return FT_OK;
}
#endif

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
  const std::string serial = static_cast<const char*>(pArg1);
  fake::Call call("FT_OpenEx", serial + "," + Arg(Flags));
  if (call.Failure)
    return call.Failure;
  if (Flags != FT_OPEN_BY_SERIAL_NUMBER)
    return 6;  // FT_INVALID_PARAMETER
  fake::Device* d = call.Find(serial);
  if (!d)
    return FT_DEVICE_NOT_FOUND;
  if (d->Open)
    return FT_DEVICE_NOT_OPENED;
  *pHandle = call.NewSession(static_cast<size_t>(d - call.S.Devices.data()));
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask,
                                                              PVOID Param) {
  fake::Call call("FT_SetEventNotification", Arg(Mask));
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  d->Event = (Mask & FT_EVENT_RXCHAR) ? static_cast<fake::EventHandle*>(Param) : nullptr;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  fake::Call call("FT_SetBaudRate", Arg(BaudRate));
  if (call.Failure)
    return call.Failure;
  return call.Open(ftHandle) ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_SetDataCharacteristics(FT_HANDLE ftHandle,
                                                                UCHAR WordLength, UCHAR StopBits,
                                                                UCHAR Parity) {
  fake::Call call("FT_SetDataCharacteristics",
                  Arg(WordLength) + "," + Arg(StopBits) + "," + Arg(Parity));
  if (call.Failure)
    return call.Failure;
  return call.Open(ftHandle) ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl,
                                                        UCHAR XonChar, UCHAR XoffChar) {
  fake::Call call("FT_SetFlowControl", Arg(FlowControl) + "," + Arg(XonChar) + "," + Arg(XoffChar));
  if (call.Failure)
    return call.Failure;
  return call.Open(ftHandle) ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                                                     ULONG WriteTimeout) {
  fake::Call call("FT_SetTimeouts", Arg(ReadTimeout) + "," + Arg(WriteTimeout));
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  d->ReadTimeout = ReadTimeout;
  d->WriteTimeout = WriteTimeout;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes,
                                                   DWORD* dwTxBytes, DWORD* dwEventDWord) {
  fake::Call call("FT_GetStatus", "", false);
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  if (!d->Present)
    return FT_IO_ERROR;
  *dwRxBytes = static_cast<DWORD>(d->Received.size());
  *dwTxBytes = 0;
  *dwEventDWord = d->Received.empty() ? 0 : FT_EVENT_RXCHAR;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer,
                                              DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
  fake::Call call("FT_Read", "", false);
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  if (!d->Present)
    return FT_IO_ERROR;
  // Like the library's, a read waits for every byte asked for until its time-out, then returns
  // what there is with FT_OK.
  auto complete = [&] {
    d = call.Open(ftHandle);  // the device list may have moved meanwhile
    return !d || !d->Present || d->Received.size() >= dwBytesToRead;
  };
  if (d->ReadTimeout)
    call.S.Changed.wait_for(call.Guard, std::chrono::milliseconds(d->ReadTimeout), complete);
  else
    call.S.Changed.wait(call.Guard, complete);
  if (!d)
    return FT_INVALID_HANDLE;
  if (!d->Present)
    return FT_IO_ERROR;
  const size_t n = std::min<size_t>(dwBytesToRead, d->Received.size());
  std::memcpy(lpBuffer, d->Received.data(), n);
  d->Received.erase(0, n);
  *lpBytesReturned = static_cast<DWORD>(n);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer,
                                               DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
  fake::Call call("FT_Write", Arg(dwBytesToWrite));
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  if (!d->Present)
    return FT_IO_ERROR;
  const DWORD n = call.TakeWrite(ftHandle, dwBytesToWrite);
  d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  const std::string bytes(static_cast<const char*>(lpBuffer), n);
  d->Written += bytes;
  *lpBytesWritten = n;
  if (d->Echo)
    fake::Receive(*d, bytes);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
  fake::Call call("FT_GetQueueStatus", "", false);
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  if (!d->Present)
    return FT_IO_ERROR;
  *dwRxBytes = static_cast<DWORD>(d->Received.size());
  return FT_OK;
}

// Nothing waits to go out (writes are taken at once), so only the receive side has a queue.
D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  fake::Call call("FT_Purge", Arg(Mask));
  if (call.Failure)
    return call.Failure;
  fake::Device* d = call.Open(ftHandle);
  if (!d)
    return FT_INVALID_HANDLE;
  if (Mask & ~(FT_PURGE_RX | FT_PURGE_TX))
    return FT_INVALID_PARAMETER;
  if (Mask & FT_PURGE_RX)
    d->Received.clear();
  return FT_OK;
}

D2XX_EXPORT FT_STATUS KYT_VENDOR_CALL FT_Close(FT_HANDLE ftHandle) {
  fake::Call call("FT_Close", "");
  if (call.Failure)
    return call.Failure;
  if (!call.Open(ftHandle))
    return FT_INVALID_HANDLE;
  call.EndSession(ftHandle);
  return FT_OK;
}

}  // extern "C"
