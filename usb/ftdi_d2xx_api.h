#pragma once

// The FTDI D2XX driver library's C interface as its Linux build exports it, declared from the
// vendor's programmer's guide: the types of its WinTypes layer and the functions this system
// calls. The controller takes each function's type from these prototypes, and the test double
// defines them, so both sides agree with the published signatures.

#include <cstdint>
#include <cstring>
#include <string>

// The Windows builds of both vendors' libraries use the stdcall convention (WINAPI) and export
// the names undecorated; the Linux builds use the C default.
#ifndef KYT_VENDOR_CALL
#ifdef _WIN32
#define KYT_VENDOR_CALL __stdcall
#else
#define KYT_VENDOR_CALL
#endif
#endif

extern "C" {

using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;
using PVOID = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using FT_HANDLE = void*;
using FT_STATUS = ULONG;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;
inline constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
inline constexpr DWORD FT_OPEN_BY_LOCATION = 4;
inline constexpr DWORD FT_EVENT_RXCHAR = 1;
inline constexpr DWORD FT_EVENT_MODEM_STATUS = 2;
inline constexpr DWORD FT_EVENT_LINE_STATUS = 4;
inline constexpr DWORD FT_PURGE_RX = 1;
inline constexpr DWORD FT_PURGE_TX = 2;
inline constexpr DWORD FT_FLAGS_OPENED = 1;
inline constexpr DWORD FT_FLAGS_HISPEED = 2;
inline constexpr USHORT FT_FLOW_NONE = 0x0000;
inline constexpr USHORT FT_FLOW_RTS_CTS = 0x0100;
inline constexpr USHORT FT_FLOW_DTR_DSR = 0x0200;
inline constexpr USHORT FT_FLOW_XON_XOFF = 0x0400;
// Sizes of the serial number and description fields in the library's device list.
inline constexpr unsigned kD2XXSerialLength = 16;
inline constexpr unsigned kD2XXDescriptionLength = 64;

FT_STATUS KYT_VENDOR_CALL FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs);
FT_STATUS KYT_VENDOR_CALL FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                                 LPDWORD lpdwID, LPDWORD lpdwLocId,
                                                 LPVOID lpSerialNumber, LPVOID lpDescription,
                                                 FT_HANDLE* pftHandle);
FT_STATUS KYT_VENDOR_CALL FT_Open(int deviceNumber, FT_HANDLE* pHandle);
FT_STATUS KYT_VENDOR_CALL FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle);
FT_STATUS KYT_VENDOR_CALL FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask, PVOID Param);
FT_STATUS KYT_VENDOR_CALL FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate);
FT_STATUS KYT_VENDOR_CALL FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength,
                                                    UCHAR StopBits, UCHAR Parity);
FT_STATUS KYT_VENDOR_CALL FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl, UCHAR XonChar,
                                            UCHAR XoffChar);
FT_STATUS KYT_VENDOR_CALL FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FT_STATUS KYT_VENDOR_CALL FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes,
                                       DWORD* dwEventDWord);
FT_STATUS KYT_VENDOR_CALL FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                                  LPDWORD lpBytesReturned);
FT_STATUS KYT_VENDOR_CALL FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                                   LPDWORD lpBytesWritten);
FT_STATUS KYT_VENDOR_CALL FT_Close(FT_HANDLE ftHandle);
FT_STATUS KYT_VENDOR_CALL FT_GetLibraryVersion(LPDWORD lpdwVersion);
FT_STATUS KYT_VENDOR_CALL FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes);
FT_STATUS KYT_VENDOR_CALL FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FT_STATUS KYT_VENDOR_CALL FT_SetDtr(FT_HANDLE ftHandle);
FT_STATUS KYT_VENDOR_CALL FT_ClrDtr(FT_HANDLE ftHandle);
FT_STATUS KYT_VENDOR_CALL FT_SetRts(FT_HANDLE ftHandle);
FT_STATUS KYT_VENDOR_CALL FT_ClrRts(FT_HANDLE ftHandle);
FT_STATUS KYT_VENDOR_CALL FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* pModemStatus);
FT_STATUS KYT_VENDOR_CALL FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency);
FT_STATUS KYT_VENDOR_CALL FT_GetLatencyTimer(FT_HANDLE ftHandle, UCHAR* pucLatency);

}  // extern "C"

// Fills a text field of the device list as D2XX does: NUL-terminated when the text is shorter
// than the field, cut to the field otherwise. A null field is left alone.
inline void FillD2XXText(void* field, const std::string& text, std::size_t size) {
  if (!field)
    return;
  const std::size_t n = text.size() < size ? text.size() : size;
  std::memcpy(field, text.data(), n);
  if (n < size)
    static_cast<char*>(field)[n] = '\0';
}
