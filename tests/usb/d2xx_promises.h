#pragma once

// What FTDI's programmer's guide promises of the D2XX calls, asked of a loaded D2XX library in
// one sequence that runs unchanged against our double (tests/usb) and against our libftdi1
// library on the test machine's emulated FT232 (tests/vm, through kyt_vm_probe): the device
// list, a second open refused, the receive event, the queue status after a partial read, a read
// that runs into its time-out, purging, writing, a closed handle. Each step reports KEY=VALUE;
// kD2XXPromises is what both must report. Linux only: the event is D2XX's EVENT_HANDLE.

#include <pthread.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "usb/ftdi_d2xx_api.h"

namespace kyt::test {

// The far side of the adapter's serial line.
struct TD2XXFarEnd {
  virtual ~TD2XXFarEnd() = default;
  // Puts bytes on the line toward the chip; may return before they arrive.
  virtual void Send(const std::string& bytes) = 0;
  // The next `count` bytes the chip sent, waiting for them within a generous limit.
  virtual std::string Receive(size_t count) = 0;
};

using TD2XXResults = std::vector<std::pair<std::string, std::string>>;

inline const TD2XXResults kD2XXPromises = {
    {"listed", "yes"},
    {"open", "0"},
    {"second_open", "refused"},
    {"listed_handle", "ours"},
    {"configured", "0"},
    {"event", "signalled"},
    {"queued", "10"},
    {"event_status", "rxchar"},
    {"partial_read", "0123"},
    {"after_partial", "6"},
    {"short_read", "456789 after the time-out"},
    {"empty_read", "0 after the time-out"},
    {"purged", "0 left"},
    {"after_purge", "fresh"},
    {"written", "7 written"},
    {"far_end", "written"},
    {"close", "0"},
    {"closed_handle", "1"},
    {"reopen", "0"},
};

namespace d2xx_promises {

struct TEvent {
  pthread_cond_t eCondVar;
  pthread_mutex_t eMutex;
  int iVar = 0;
  TEvent() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&eCondVar, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_mutex_init(&eMutex, nullptr);
  }
  ~TEvent() {
    pthread_cond_destroy(&eCondVar);
    pthread_mutex_destroy(&eMutex);
  }
};

inline timespec After(std::chrono::milliseconds wait) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ns = now.tv_nsec + static_cast<long long>(wait.count() % 1000) * 1000000;
  now.tv_sec += static_cast<time_t>(wait.count() / 1000 + ns / 1000000000);
  now.tv_nsec = static_cast<long>(ns % 1000000000);
  return now;
}

}  // namespace d2xx_promises

// `symbol` finds an export of the library under test (null when it has none).
inline TD2XXResults RunD2XXPromises(const std::function<void*(const char*)>& symbol,
                                    const std::string& serial, TD2XXFarEnd& far) {
  using namespace std::chrono;
  using d2xx_promises::TEvent;
  TD2XXResults out;
  auto report = [&](const std::string& key, const std::string& value) {
    out.emplace_back(key, value);
  };
#define KYT_D2XX(name) auto* name = reinterpret_cast<decltype(::name)*>(symbol(#name))
  KYT_D2XX(FT_CreateDeviceInfoList);
  KYT_D2XX(FT_GetDeviceInfoDetail);
  KYT_D2XX(FT_OpenEx);
  KYT_D2XX(FT_Close);
  KYT_D2XX(FT_SetBaudRate);
  KYT_D2XX(FT_SetDataCharacteristics);
  KYT_D2XX(FT_SetFlowControl);
  KYT_D2XX(FT_SetTimeouts);
  KYT_D2XX(FT_SetEventNotification);
  KYT_D2XX(FT_GetStatus);
  KYT_D2XX(FT_Read);
  KYT_D2XX(FT_Write);
  KYT_D2XX(FT_Purge);
#undef KYT_D2XX
  if (!FT_CreateDeviceInfoList || !FT_GetDeviceInfoDetail || !FT_OpenEx || !FT_Close ||
      !FT_GetStatus || !FT_Read || !FT_Write || !FT_SetEventNotification) {
    report("exports", "missing");
    return out;
  }
  // The list index of the device, or -1.
  auto find = [&](FT_HANDLE* handle) {
    DWORD count = 0;
    FT_CreateDeviceInfoList(&count);
    for (DWORD i = 0; i < count; ++i) {
      DWORD flags, type, id, location;
      char number[kD2XXSerialLength + 1] = {}, description[kD2XXDescriptionLength + 1] = {};
      FT_HANDLE open = nullptr;
      if (FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, number, description, &open) ==
              FT_OK &&
          serial == number) {
        if (handle)
          *handle = open;
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  report("listed", find(nullptr) >= 0 ? "yes" : "no");
  FT_HANDLE handle = nullptr;
  char* name = const_cast<char*>(serial.c_str());
  FT_STATUS status = FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &handle);
  report("open", std::to_string(status));
  if (status != FT_OK)
    return out;
  FT_HANDLE second = nullptr;
  report("second_open",
         FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &second) == FT_OK ? "granted" : "refused");
  FT_HANDLE listed = nullptr;
  find(&listed);
  report("listed_handle", listed == handle ? "ours" : "other");

  constexpr ULONG kReadTimeout = 300;
  const bool configured =
      FT_SetBaudRate && FT_SetBaudRate(handle, 115200) == FT_OK && FT_SetDataCharacteristics &&
      FT_SetDataCharacteristics(handle, 8, 0, 0) == FT_OK && FT_SetFlowControl &&
      FT_SetFlowControl(handle, FT_FLOW_NONE, 0, 0) == FT_OK && FT_SetTimeouts &&
      FT_SetTimeouts(handle, kReadTimeout, 1000) == FT_OK;
  report("configured", configured ? "0" : "failed");

  DWORD queued = 0, transmit = 0, events = 0;
  // Bytes on their way show up in the queue within a generous limit.
  auto waitQueued = [&](DWORD count) {
    auto deadline = steady_clock::now() + 60s;
    while (FT_GetStatus(handle, &queued, &transmit, &events) == FT_OK && queued < count &&
           steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    return queued;
  };
  // The event's mutex is held from before the bytes are sent until the wait, so the library's
  // signal cannot come in between and be missed.
  TEvent event;
  FT_SetEventNotification(handle, FT_EVENT_RXCHAR, &event);
  pthread_mutex_lock(&event.eMutex);
  far.Send("0123456789");
  const timespec until = d2xx_promises::After(60s);
  const int waited = pthread_cond_timedwait(&event.eCondVar, &event.eMutex, &until);
  pthread_mutex_unlock(&event.eMutex);
  report("event", waited == 0 ? "signalled" : "none");
  report("queued", std::to_string(waitQueued(10)));
  FT_GetStatus(handle, &queued, &transmit, &events);
  report("event_status", (events & FT_EVENT_RXCHAR) ? "rxchar" : std::to_string(events));

  char buffer[64] = {};
  DWORD got = 0;
  status = FT_Read(handle, buffer, 4, &got);
  report("partial_read",
         status == FT_OK ? std::string(buffer, got) : "status " + std::to_string(status));
  FT_GetStatus(handle, &queued, &transmit, &events);
  report("after_partial", std::to_string(queued));

  // Asked for more than there is, a read returns what came within its time-out, with FT_OK.
  auto timedRead = [&](DWORD wanted) {
    const auto start = steady_clock::now();
    got = 0;
    status = FT_Read(handle, buffer, wanted, &got);
    const bool late = steady_clock::now() - start >= milliseconds(kReadTimeout * 8 / 10);
    if (status != FT_OK)
      return "status " + std::to_string(status);
    return std::string(buffer, got) + (late ? " after the time-out" : " at once");
  };
  report("short_read", timedRead(10));
  std::string empty = timedRead(1);
  report("empty_read", std::to_string(got) + empty);

  far.Send("stale");
  waitQueued(5);
  if (!FT_Purge) {
    report("purged", "no FT_Purge");
  } else {
    status = FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    FT_GetStatus(handle, &queued, &transmit, &events);
    report("purged",
           status == FT_OK ? std::to_string(queued) + " left" : "status " + std::to_string(status));
  }
  far.Send("fresh");
  waitQueued(5);
  got = 0;
  FT_Read(handle, buffer, 5, &got);
  report("after_purge", std::string(buffer, got));

  DWORD written = 0;
  status = FT_Write(handle, const_cast<char*>("written"), 7, &written);
  report("written", status == FT_OK ? std::to_string(written) + " written"
                                    : "status " + std::to_string(status));
  report("far_end", far.Receive(7));

  report("close", std::to_string(FT_Close(handle)));
  report("closed_handle", std::to_string(FT_GetStatus(handle, &queued, &transmit, &events)));
  status = FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &handle);
  report("reopen", std::to_string(status));
  if (status == FT_OK)
    FT_Close(handle);
  return out;
}

}  // namespace kyt::test
