#pragma once

// The Silicon Labs USBXpress library's C interface as its Linux build exports it, declared from
// the vendor's programmer's guide. The controller takes each function's type from these
// prototypes, and the test double defines them.

#include <cstdint>

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

using SI_STATUS = int32_t;
using SI_DWORD = uint32_t;
using SI_WORD = uint16_t;
using SI_BYTE = uint8_t;
using SI_HANDLE = void*;

inline constexpr SI_STATUS SI_SUCCESS = 0x00;
inline constexpr SI_STATUS SI_DEVICE_NOT_FOUND = 0xFF;
inline constexpr SI_STATUS SI_INVALID_HANDLE = 0x01;
inline constexpr SI_STATUS SI_READ_ERROR = 0x02;
inline constexpr SI_STATUS SI_WRITE_ERROR = 0x04;
inline constexpr SI_DWORD SI_RETURN_SERIAL_NUMBER = 0x00;
inline constexpr SI_DWORD SI_RETURN_DESCRIPTION = 0x01;
// The longest product string the library writes, terminating NUL included.
inline constexpr unsigned SI_MAX_DEVICE_STRLEN = 256;

SI_STATUS KYT_VENDOR_CALL SI_GetNumDevices(SI_DWORD* lpdwNumDevices);
SI_STATUS KYT_VENDOR_CALL SI_GetProductString(SI_DWORD dwDeviceNum, void* lpvDeviceString,
                                              SI_DWORD dwFlags);
SI_STATUS KYT_VENDOR_CALL SI_Open(SI_DWORD dwDevice, SI_HANDLE* cyHandle);
SI_STATUS KYT_VENDOR_CALL SI_Close(SI_HANDLE cyHandle);
SI_STATUS KYT_VENDOR_CALL SI_Read(SI_HANDLE cyHandle, void* lpBuffer, SI_DWORD dwBytesToRead,
                                  SI_DWORD* lpdwBytesReturned, void* o);
SI_STATUS KYT_VENDOR_CALL SI_Write(SI_HANDLE cyHandle, void* lpBuffer, SI_DWORD dwBytesToWrite,
                                   SI_DWORD* lpdwBytesWritten, void* o);
SI_STATUS KYT_VENDOR_CALL SI_FlushBuffers(SI_HANDLE cyHandle, SI_BYTE FlushTransmit,
                                          SI_BYTE FlushReceive);
SI_STATUS KYT_VENDOR_CALL SI_CheckRXQueue(SI_HANDLE cyHandle, SI_DWORD* lpdwNumBytesInQueue,
                                          SI_DWORD* lpdwQueueStatus);
SI_STATUS KYT_VENDOR_CALL SI_SetBaudRate(SI_HANDLE cyHandle, SI_DWORD dwBaudRate);
SI_STATUS KYT_VENDOR_CALL SI_SetLineControl(SI_HANDLE cyHandle, SI_WORD wLineControl);

}  // extern "C"
