// libkyt_ftd2xx.so: the D2XX functions the FTDI module calls, on libftdi1 and libusb, for
// machines without FTDI's own library. Each open handle owns a libftdi context (its own libusb
// context), claims interface A, and runs a reader thread that keeps one bulk IN transfer going,
// strips the two status bytes the chip puts in front of every packet, and queues the data, so
// that the queue status, blocking reads with a time-out and the receive event behave as the
// D2XX programmer's guide describes them. Opening detaches ftdi_sio from the interface; closing
// gives it back (libusb's automatic detach re-attaches the kernel driver on release).

#include <ftdi.h>
#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb/ftdi_d2xx_api.h"

#define D2XX_EXPORT __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

// The D2XX library's EVENT_HANDLE on Linux: signalled by a pthread_cond_signal under its mutex.
struct TEventHandle {
  pthread_cond_t eCondVar;
  pthread_mutex_t eMutex;
  int iVar;
};

constexpr uint16_t kFtdiVendor = 0x0403;
constexpr uint16_t kFtdiProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
// Received bytes the handle holds before it stops asking the chip for more; the chip (and a
// QEMU back end) then holds the rest, so nothing is lost while the application is slow.
constexpr size_t kReceiveQueueLimit = 256 * 1024;

// The D2XX device type from the chip's release number (bcdDevice).
DWORD ChipType(uint16_t release, bool hasSerial) {
  switch (release >> 8) {
    case 0x02:
      return hasSerial ? 0 : 1;  // FT_DEVICE_BM, FT_DEVICE_AM
    case 0x04:
      return 0;  // FT_DEVICE_BM
    case 0x05:
      return 4;  // FT_DEVICE_2232C
    case 0x06:
      return 5;  // FT_DEVICE_232R
    case 0x07:
      return 6;  // FT_DEVICE_2232H
    case 0x08:
      return 7;  // FT_DEVICE_4232H
    case 0x09:
      return 8;  // FT_DEVICE_232H
    case 0x10:
      return 9;  // FT_DEVICE_X_SERIES
    default:
      return 3;  // FT_DEVICE_UNKNOWN
  }
}

bool IsFtdi(const libusb_device_descriptor& d) {
  return d.idVendor == kFtdiVendor && std::find(std::begin(kFtdiProducts), std::end(kFtdiProducts),
                                                d.idProduct) != std::end(kFtdiProducts);
}

// D2XX's location: the bus number in the high nibble, then the port path, one digit each.
DWORD Location(libusb_device* device) {
  uint8_t ports[8];
  int count = libusb_get_port_numbers(device, ports, sizeof ports);
  DWORD location = libusb_get_bus_number(device) << 4;
  for (int i = 0; i < count && i < 6; ++i) location = (location << 4) | (ports[i] & 0xF);
  return location;
}

struct TDeviceEntry {
  uint8_t Bus = 0;
  uint8_t Address = 0;
  DWORD Location = 0;
  DWORD Type = 3;
  DWORD ID = 0;
  bool HighSpeed = false;
  std::string Serial;
  std::string Description;
};

TDeviceEntry Describe(libusb_device* device, const libusb_device_descriptor& d) {
  TDeviceEntry entry;
  entry.Bus = libusb_get_bus_number(device);
  entry.Address = libusb_get_device_address(device);
  entry.Location = Location(device);
  entry.Type = ChipType(d.bcdDevice, d.iSerialNumber != 0);
  entry.ID = (DWORD{d.idVendor} << 16) | d.idProduct;
  entry.HighSpeed = libusb_get_device_speed(device) >= LIBUSB_SPEED_HIGH;
  libusb_device_handle* handle = nullptr;
  // Strings need the device node; a device this process may not open is listed without them.
  if (libusb_open(device, &handle) == 0) {
    unsigned char text[256];
    if (d.iSerialNumber &&
        libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text, sizeof text) > 0)
      entry.Serial = reinterpret_cast<char*>(text);
    if (d.iProduct && libusb_get_string_descriptor_ascii(handle, d.iProduct, text, sizeof text) > 0)
      entry.Description = reinterpret_cast<char*>(text);
    libusb_close(handle);
  }
  return entry;
}

// Every FTDI device on the machine, in libusb's order.
std::vector<TDeviceEntry> Enumerate(libusb_context* context) {
  std::vector<TDeviceEntry> found;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) == 0 && IsFtdi(d))
      found.push_back(Describe(list[i], d));
  }
  if (count >= 0)
    libusb_free_device_list(list, 1);
  return found;
}

// One open device.
class TPort {
 public:
  ~TPort() { Shut(); }

  // Opens the device at bus/address with a context of its own. Returns FT_OK or a D2XX status.
  FT_STATUS Open(const TDeviceEntry& entry);
  void Shut();

  FT_STATUS Read(uint8_t* buffer, DWORD wanted, DWORD& returned);
  FT_STATUS Write(const uint8_t* data, DWORD size, DWORD& written);
  FT_STATUS Status(DWORD* received, DWORD* events);
  FT_STATUS Purge(ULONG mask);
  FT_STATUS SetTimeouts(ULONG readMs, ULONG writeMs);
  FT_STATUS Notify(DWORD mask, TEventHandle* event);
  ULONG ModemStatus();
  bool Gone();
  // Runs a libftdi control call under the control lock; libftdi keeps state in its context.
  template <class F>
  FT_STATUS Control(F call, FT_STATUS onInvalid = FT_IO_ERROR) {
    if (Gone())
      return FT_IO_ERROR;
    std::lock_guard guard(control_);
    int result = call(ftdi_);
    if (result == 0)
      return FT_OK;
    if (result == LIBUSB_ERROR_NO_DEVICE || result == -3)
      return FT_IO_ERROR;
    return result == -1 ? onInvalid : FT_IO_ERROR;
  }

  TDeviceEntry Entry;

 private:
  void ReadLoop();
  bool Stopping();
  void Take(const uint8_t* bytes, int size, uint64_t generation);
  void SignalEvent(DWORD happened);

  ftdi_context* ftdi_ = nullptr;
  libusb_device_handle* usb_ = nullptr;
  int inEndpoint_ = 0x81;
  int outEndpoint_ = 0x02;
  unsigned packetSize_ = 64;

  std::mutex control_;  // libftdi calls
  std::mutex write_;    // one FT_Write at a time, in order

  std::mutex lock_;  // everything below
  std::condition_variable changed_;
  std::string queue_;
  bool gone_ = false;
  bool stopping_ = false;
  libusb_transfer* inFlight_ = nullptr;  // the reader's, for the close to cancel
  uint64_t purges_ = 0;                  // a transfer begun before a purge brings bytes it dropped
  uint8_t modem_ = 0;
  uint8_t line_ = 0;
  bool modemChanged_ = false;
  std::chrono::milliseconds readTimeout_{0};  // 0: wait until every byte asked for is there
  unsigned writeTimeout_ = 0;                 // 0: no limit

  std::mutex eventLock_;  // the application's event and mask
  TEventHandle* event_ = nullptr;
  DWORD mask_ = 0;

  std::thread reader_;
};

FT_STATUS TPort::Open(const TDeviceEntry& entry) {
  Entry = entry;
  ftdi_ = ftdi_new();
  if (!ftdi_)
    return FT_INSUFFICIENT_RESOURCES;
  // Take the interface from ftdi_sio for as long as the handle is open, and give it back.
  ftdi_->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(ftdi_->usb_ctx, &list);
  libusb_device* device = nullptr;
  for (ssize_t i = 0; i < count; ++i) {
    if (libusb_get_bus_number(list[i]) == entry.Bus &&
        libusb_get_device_address(list[i]) == entry.Address)
      device = list[i];
  }
  int opened = device ? ftdi_usb_open_dev(ftdi_, device) : -1;
  if (count >= 0)
    libusb_free_device_list(list, 1);
  if (!device)
    return FT_DEVICE_NOT_FOUND;
  if (opened < 0)
    return FT_DEVICE_NOT_OPENED;
  usb_ = ftdi_->usb_dev;
  // libftdi names the endpoints from the chip's side: it takes in on in_ep (our OUT).
  inEndpoint_ = ftdi_->out_ep;
  outEndpoint_ = ftdi_->in_ep;
  packetSize_ = ftdi_->max_packet_size ? ftdi_->max_packet_size : 64;
  // A fresh handle starts with empty queues, as D2XX's does.
  ftdi_tcioflush(ftdi_);
  reader_ = std::thread([this] { ReadLoop(); });
  return FT_OK;
}

void TPort::Shut() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    if (inFlight_)
      libusb_cancel_transfer(inFlight_);
  }
  changed_.notify_all();
  if (reader_.joinable())
    reader_.join();
  if (ftdi_) {
    if (usb_)
      ftdi_usb_close(ftdi_);  // releases the interface: ftdi_sio gets it back
    ftdi_free(ftdi_);
    ftdi_ = nullptr;
    usb_ = nullptr;
  }
}

void TPort::ReadLoop() {
  std::vector<uint8_t> buffer(packetSize_ * 32);
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (!transfer)
    return;
  int done = 0;
  while (true) {
    uint64_t generation;
    int result;
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [&] { return stopping_ || queue_.size() < kReceiveQueueLimit; });
      if (stopping_)
        break;
      generation = purges_;
      // No time-out: a cancelled IN transfer may report a length it never filled (QEMU's
      // xHCI does), so only the close cancels one, and its bytes are not wanted.
      done = 0;
      libusb_fill_bulk_transfer(
          transfer, usb_, static_cast<unsigned char>(inEndpoint_), buffer.data(),
          static_cast<int>(buffer.size()),
          [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }, &done, 0);
      result = libusb_submit_transfer(transfer);
      if (result == 0)
        inFlight_ = transfer;
    }
    if (result == 0) {
      // Callbacks run on whichever thread handles the context's events; `done` tells.
      while (!done) {
        const int handled = libusb_handle_events_completed(ftdi_->usb_ctx, &done);
        if (handled != 0 && handled != LIBUSB_ERROR_INTERRUPTED)
          libusb_cancel_transfer(transfer);  // the transfer must end before it is reused
      }
      std::lock_guard guard(lock_);
      inFlight_ = nullptr;
    }
    const libusb_transfer_status status =
        result == 0 ? transfer->status : LIBUSB_TRANSFER_NO_DEVICE;
    if (status == LIBUSB_TRANSFER_COMPLETED) {
      Take(buffer.data(), transfer->actual_length, generation);
      continue;
    }
    // Cancelled by a purge (its bytes went with it) or by the close.
    if (status == LIBUSB_TRANSFER_CANCELLED) {
      if (Stopping())
        break;
      continue;
    }
    if (status == LIBUSB_TRANSFER_STALL) {
      libusb_clear_halt(usb_, static_cast<unsigned char>(inEndpoint_));
      continue;
    }
    if (status == LIBUSB_TRANSFER_OVERFLOW)
      continue;
    {
      std::lock_guard guard(lock_);
      gone_ = true;
    }
    changed_.notify_all();
    break;
  }
  libusb_free_transfer(transfer);
}

bool TPort::Stopping() {
  std::lock_guard guard(lock_);
  return stopping_;
}

void TPort::Take(const uint8_t* bytes, int size, uint64_t generation) {
  DWORD happened = 0;
  {
    std::lock_guard guard(lock_);
    const bool purged = generation != purges_;
    for (int at = 0; at < size; at += static_cast<int>(packetSize_)) {
      const int length = std::min(static_cast<int>(packetSize_), size - at);
      if (length < 2)
        break;
      // Every packet starts with the modem status and the line status.
      const uint8_t modem = bytes[at] & 0xF0;
      if (modem != modem_) {
        modem_ = modem;
        modemChanged_ = true;
        happened |= FT_EVENT_MODEM_STATUS;
      }
      line_ = bytes[at + 1];
      if (length > 2 && !purged) {
        queue_.append(reinterpret_cast<const char*>(bytes + at + 2), length - 2);
        happened |= FT_EVENT_RXCHAR;
      }
    }
  }
  if (happened & FT_EVENT_RXCHAR)
    changed_.notify_all();
  SignalEvent(happened);
}

void TPort::SignalEvent(DWORD happened) {
  std::lock_guard guard(eventLock_);
  if (!event_ || !(happened & mask_))
    return;
  pthread_mutex_lock(&event_->eMutex);
  pthread_cond_signal(&event_->eCondVar);
  pthread_mutex_unlock(&event_->eMutex);
}

bool TPort::Gone() {
  std::lock_guard guard(lock_);
  return gone_;
}

FT_STATUS TPort::Read(uint8_t* buffer, DWORD wanted, DWORD& returned) {
  returned = 0;
  std::unique_lock guard(lock_);
  auto ready = [&] { return queue_.size() >= wanted || gone_; };
  if (readTimeout_.count() > 0)
    changed_.wait_until(guard, Clock::now() + readTimeout_, ready);
  else
    changed_.wait(guard, ready);
  const size_t n = std::min<size_t>(wanted, queue_.size());
  if (n == 0 && gone_ && wanted > 0)
    return FT_IO_ERROR;
  std::memcpy(buffer, queue_.data(), n);
  queue_.erase(0, n);
  returned = static_cast<DWORD>(n);
  guard.unlock();
  changed_.notify_all();  // room again for the reader
  return FT_OK;
}

FT_STATUS TPort::Write(const uint8_t* data, DWORD size, DWORD& written) {
  written = 0;
  if (Gone())
    return FT_IO_ERROR;
  std::lock_guard guard(write_);
  unsigned timeout;
  {
    std::lock_guard state(lock_);
    timeout = writeTimeout_;
  }
  int done = 0;
  int result = size == 0 ? 0
                         : libusb_bulk_transfer(usb_, static_cast<unsigned char>(outEndpoint_),
                                                const_cast<uint8_t*>(data), static_cast<int>(size),
                                                &done, timeout);
  written = static_cast<DWORD>(done);
  // A write that ran out of time reports what went out, as D2XX's does.
  if (result == 0 || result == LIBUSB_ERROR_TIMEOUT)
    return FT_OK;
  if (result == LIBUSB_ERROR_NO_DEVICE) {
    std::lock_guard state(lock_);
    gone_ = true;
  }
  return FT_IO_ERROR;
}

FT_STATUS TPort::Status(DWORD* received, DWORD* events) {
  std::lock_guard guard(lock_);
  if (gone_)
    return FT_IO_ERROR;
  if (received)
    *received = static_cast<DWORD>(queue_.size());
  if (events) {
    *events = (queue_.empty() ? 0 : FT_EVENT_RXCHAR) | (modemChanged_ ? FT_EVENT_MODEM_STATUS : 0);
    modemChanged_ = false;
  }
  return FT_OK;
}

FT_STATUS TPort::Purge(ULONG mask) {
  if (mask & ~(FT_PURGE_RX | FT_PURGE_TX))
    return FT_INVALID_PARAMETER;
  if (mask & FT_PURGE_RX) {
    // After the chip has emptied its buffer, everything received before is dropped: the queue,
    // a transfer that completed meanwhile (its purge count is behind) and the one under way.
    FT_STATUS status = Control([](ftdi_context* f) { return ftdi_tciflush(f); });
    {
      std::lock_guard guard(lock_);
      ++purges_;
      queue_.clear();
      if (inFlight_)
        libusb_cancel_transfer(inFlight_);
    }
    changed_.notify_all();
    if (status != FT_OK)
      return status;
  }
  if (mask & FT_PURGE_TX)
    return Control([](ftdi_context* f) { return ftdi_tcoflush(f); });
  return FT_OK;
}

FT_STATUS TPort::SetTimeouts(ULONG readMs, ULONG writeMs) {
  std::lock_guard guard(lock_);
  readTimeout_ = std::chrono::milliseconds(readMs);
  writeTimeout_ = writeMs;
  return FT_OK;
}

FT_STATUS TPort::Notify(DWORD mask, TEventHandle* event) {
  std::lock_guard guard(eventLock_);
  mask_ = mask;
  event_ = mask ? event : nullptr;
  return FT_OK;
}

ULONG TPort::ModemStatus() {
  std::lock_guard guard(lock_);
  return ULONG{modem_} | (ULONG{line_} << 8);
}

// ---- Handles ------------------------------------------------------------------------------

struct TLibrary {
  std::mutex Lock;
  std::vector<TDeviceEntry> Listed;  // FT_CreateDeviceInfoList's snapshot
  std::map<void*, std::shared_ptr<TPort>> Open;
};

TLibrary& Library() {
  static TLibrary library;
  return library;
}

// The port of a live handle; a closed or made-up handle finds none.
std::shared_ptr<TPort> Find(FT_HANDLE handle) {
  TLibrary& l = Library();
  std::lock_guard guard(l.Lock);
  auto it = l.Open.find(handle);
  return it == l.Open.end() ? nullptr : it->second;
}

// A context of its own for each look: a long-lived one learns of plugged and unplugged devices
// only from udevd's events, and a machine without udevd would keep an old list.
std::vector<TDeviceEntry> Current() {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0)
    return {};
  std::vector<TDeviceEntry> devices = Enumerate(context);
  libusb_exit(context);
  return devices;
}

FT_HANDLE HandleOf(const TDeviceEntry& entry) {
  for (auto& [handle, port] : Library().Open) {
    if (port->Entry.Bus == entry.Bus && port->Entry.Address == entry.Address)
      return handle;
  }
  return nullptr;
}

// Opens the first device `match` accepts.
template <class M>
FT_STATUS OpenMatching(M match, FT_HANDLE* pHandle) {
  if (!pHandle)
    return FT_INVALID_PARAMETER;
  *pHandle = nullptr;
  TLibrary& l = Library();
  std::lock_guard guard(l.Lock);
  std::vector<TDeviceEntry> devices = Current();
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!match(devices[i], i))
      continue;
    if (HandleOf(devices[i]))
      return FT_DEVICE_NOT_OPENED;
    auto port = std::make_shared<TPort>();
    FT_STATUS status = port->Open(devices[i]);
    if (status != FT_OK)
      return status;
    *pHandle = port.get();
    l.Open[port.get()] = std::move(port);
    return FT_OK;
  }
  return FT_DEVICE_NOT_FOUND;
}

}  // namespace

extern "C" {

D2XX_EXPORT FT_STATUS FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs) {
  if (!lpdwNumDevs)
    return FT_INVALID_PARAMETER;
  TLibrary& l = Library();
  std::lock_guard guard(l.Lock);
  l.Listed = Current();
  *lpdwNumDevs = static_cast<DWORD>(l.Listed.size());
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                             LPDWORD lpdwID, LPDWORD lpdwLocId,
                                             LPVOID lpSerialNumber, LPVOID lpDescription,
                                             FT_HANDLE* pftHandle) {
  TLibrary& l = Library();
  std::lock_guard guard(l.Lock);
  if (dwIndex >= l.Listed.size())
    return FT_DEVICE_NOT_FOUND;
  const TDeviceEntry& d = l.Listed[dwIndex];
  FillD2XXText(lpSerialNumber, d.Serial, kD2XXSerialLength);
  FillD2XXText(lpDescription, d.Description, kD2XXDescriptionLength);
  FT_HANDLE handle = HandleOf(d);
  if (lpdwFlags)
    *lpdwFlags = (handle ? FT_FLAGS_OPENED : 0) | (d.HighSpeed ? FT_FLAGS_HISPEED : 0);
  if (lpdwType)
    *lpdwType = d.Type;
  if (lpdwID)
    *lpdwID = d.ID;
  if (lpdwLocId)
    *lpdwLocId = d.Location;
  if (pftHandle)
    *pftHandle = handle;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_GetLibraryVersion(LPDWORD lpdwVersion) {
  if (!lpdwVersion)
    return FT_INVALID_PARAMETER;
  *lpdwVersion = 0x00010400;  // the D2XX interface this library follows: 1.4.0
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
  return OpenMatching(
      [&](const TDeviceEntry&, size_t index) {
        return deviceNumber >= 0 && index == static_cast<size_t>(deviceNumber);
      },
      pHandle);
}

D2XX_EXPORT FT_STATUS FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
  if (!pArg1)
    return FT_INVALID_PARAMETER;
  if (Flags == FT_OPEN_BY_LOCATION) {
    const DWORD location = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pArg1));
    return OpenMatching([&](const TDeviceEntry& d, size_t) { return d.Location == location; },
                        pHandle);
  }
  if (Flags != FT_OPEN_BY_SERIAL_NUMBER && Flags != FT_OPEN_BY_DESCRIPTION)
    return FT_INVALID_PARAMETER;
  const std::string wanted = static_cast<const char*>(pArg1);
  return OpenMatching(
      [&](const TDeviceEntry& d, size_t) {
        return (Flags == FT_OPEN_BY_SERIAL_NUMBER ? d.Serial : d.Description) == wanted;
      },
      pHandle);
}

D2XX_EXPORT FT_STATUS FT_Close(FT_HANDLE ftHandle) {
  std::shared_ptr<TPort> port;
  {
    TLibrary& l = Library();
    std::lock_guard guard(l.Lock);
    auto it = l.Open.find(ftHandle);
    if (it == l.Open.end())
      return FT_INVALID_HANDLE;
    port = std::move(it->second);
    l.Open.erase(it);
  }
  // The reader ends and the interface goes back to the kernel before FT_Close returns, so the
  // caller's event is never signalled afterwards.
  port->Shut();
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask, PVOID Param) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (Mask && !Param)
    return FT_INVALID_PARAMETER;
  return port->Notify(Mask, static_cast<TEventHandle*>(Param));
}

D2XX_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (BaudRate == 0 || BaudRate > 12000000)
    return FT_INVALID_BAUD_RATE;
  return port->Control(
      [&](ftdi_context* f) { return ftdi_set_baudrate(f, static_cast<int>(BaudRate)); },
      FT_INVALID_BAUD_RATE);
}

D2XX_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength,
                                                UCHAR StopBits, UCHAR Parity) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  // FT_BITS_7/8; FT_STOP_BITS_1 (0) or _2 (2); FT_PARITY_NONE..SPACE (0..4).
  if ((WordLength != 7 && WordLength != 8) || (StopBits != 0 && StopBits != 2) || Parity > 4)
    return FT_INVALID_PARAMETER;
  return port->Control([&](ftdi_context* f) {
    return ftdi_set_line_property(f, static_cast<ftdi_bits_type>(WordLength),
                                  static_cast<ftdi_stopbits_type>(StopBits),
                                  static_cast<ftdi_parity_type>(Parity));
  });
}

D2XX_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl, UCHAR XonChar,
                                        UCHAR XoffChar) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  switch (FlowControl) {
    case FT_FLOW_NONE:
    case FT_FLOW_RTS_CTS:
    case FT_FLOW_DTR_DSR:
      return port->Control([&](ftdi_context* f) { return ftdi_setflowctrl(f, FlowControl); });
    case FT_FLOW_XON_XOFF:
      return port->Control(
          [&](ftdi_context* f) { return ftdi_setflowctrl_xonxoff(f, XonChar, XoffChar); });
    default:
      return FT_INVALID_PARAMETER;
  }
}

D2XX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
  auto port = Find(ftHandle);
  return port ? port->SetTimeouts(ReadTimeout, WriteTimeout) : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes,
                                   DWORD* dwEventDWord) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  // Writes go out before FT_Write returns: nothing waits in a transmit queue of ours.
  if (dwTxBytes)
    *dwTxBytes = 0;
  return port->Status(dwRxBytes, dwEventDWord);
}

D2XX_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (!dwRxBytes)
    return FT_INVALID_PARAMETER;
  return port->Status(dwRxBytes, nullptr);
}

D2XX_EXPORT FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                              LPDWORD lpBytesReturned) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (!lpBytesReturned || (!lpBuffer && dwBytesToRead))
    return FT_INVALID_PARAMETER;
  return port->Read(static_cast<uint8_t*>(lpBuffer), dwBytesToRead, *lpBytesReturned);
}

D2XX_EXPORT FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                               LPDWORD lpBytesWritten) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (!lpBytesWritten || (!lpBuffer && dwBytesToWrite) || dwBytesToWrite > INT32_MAX)
    return FT_INVALID_PARAMETER;
  return port->Write(static_cast<const uint8_t*>(lpBuffer), dwBytesToWrite, *lpBytesWritten);
}

D2XX_EXPORT FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  auto port = Find(ftHandle);
  return port ? port->Purge(Mask) : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_SetDtr(FT_HANDLE ftHandle) {
  auto port = Find(ftHandle);
  return port ? port->Control([](ftdi_context* f) { return ftdi_setdtr(f, 1); })
              : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_ClrDtr(FT_HANDLE ftHandle) {
  auto port = Find(ftHandle);
  return port ? port->Control([](ftdi_context* f) { return ftdi_setdtr(f, 0); })
              : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_SetRts(FT_HANDLE ftHandle) {
  auto port = Find(ftHandle);
  return port ? port->Control([](ftdi_context* f) { return ftdi_setrts(f, 1); })
              : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_ClrRts(FT_HANDLE ftHandle) {
  auto port = Find(ftHandle);
  return port ? port->Control([](ftdi_context* f) { return ftdi_setrts(f, 0); })
              : FT_INVALID_HANDLE;
}

// The modem status in the low byte, the line status in the next, as the chip last sent them.
D2XX_EXPORT FT_STATUS FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* pModemStatus) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (!pModemStatus)
    return FT_INVALID_PARAMETER;
  if (port->Gone())
    return FT_IO_ERROR;
  *pModemStatus = port->ModemStatus();
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  return port->Control([&](ftdi_context* f) { return ftdi_set_latency_timer(f, ucLatency); },
                       FT_INVALID_PARAMETER);
}

D2XX_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, UCHAR* pucLatency) {
  auto port = Find(ftHandle);
  if (!port)
    return FT_INVALID_HANDLE;
  if (!pucLatency)
    return FT_INVALID_PARAMETER;
  return port->Control([&](ftdi_context* f) { return ftdi_get_latency_timer(f, pucLatency); });
}

}  // extern "C"
