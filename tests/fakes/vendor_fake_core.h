#pragma once

// What the two vendor-library doubles share: simulated devices (serial number, description,
// present or unplugged, open or not, bytes received and written, optionally echoing what is
// written), calls that fail on demand, a log of the calls, short writes, and the test-only
// control interface. Each double is its own shared object and includes this once, so each has
// its own state. A device's receive event is signalled on every receipt.
//
// Devices can also be given by the environment, for runs of kyt-host: KYT_FAKE_DEVICES holds
// "SERIAL=Description;SERIAL=Description"; those devices echo what is written to them.

#ifndef _WIN32
#include <pthread.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#define FAKE_EXPORT_ATTRIBUTE __declspec(dllexport)
#else
#define FAKE_EXPORT_ATTRIBUTE __attribute__((visibility("default")))
#endif
#define FAKE_EXPORT extern "C" FAKE_EXPORT_ATTRIBUTE

namespace fake {

#ifdef _WIN32
// The Windows library is handed an event object's HANDLE. windows.h stays out: its DWORD and
// ULONG clash with the vendors' headers.
struct EventHandle;
extern "C" __declspec(dllimport) int __stdcall SetEvent(void* event);
#else
// The D2XX library's EVENT_HANDLE, as its Linux header lays it out.
struct EventHandle {
  pthread_cond_t eCondVar;
  pthread_mutex_t eMutex;
  int iVar;
};
#endif

struct Device {
  std::string Serial;
  std::string Description;
  bool Present = true;
  bool Open = false;
  bool Echo = false;
  std::string Received;  // waiting to be read by the host side
  std::string Written;   // what the host side wrote
  EventHandle* Event = nullptr;
  uint32_t ReadTimeout = 0;      // milliseconds a read waits for the bytes asked for; 0: no limit
  uint32_t WriteTimeout = 1000;  // milliseconds a write waits while the line takes nothing
};

struct Session {
  size_t Device;
  bool Valid = true;
};

struct FailRule {
  uint32_t Status = 0;
  int Times = 0;  // -1: every call
};

struct State {
  std::mutex Lock;
  std::condition_variable Changed;  // bytes received, a device unplugged, a handle closed
  std::vector<Device> Devices;
  std::vector<size_t> Listed;  // snapshot of the device list, indexes into Devices
  std::vector<std::unique_ptr<Session>> Sessions;
  std::map<std::string, FailRule> Failures;
  std::string Calls;
  uint32_t WriteLimit = UINT32_MAX;
  bool WritesStalled = false;  // the line takes nothing, as under flow control
  int WritesWaiting = 0;
  bool EnvironmentRead = false;
};

inline State& TheState() {
  static State state;
  return state;
}

inline void AddDevice(State& s, const std::string& serial, const std::string& description,
                      bool echo) {
  Device d;
  d.Serial = serial;
  d.Description = description;
  d.Echo = echo;
  s.Devices.push_back(std::move(d));
}

// Called with the lock held at the start of every library function.
inline void ReadEnvironment(State& s) {
  if (s.EnvironmentRead)
    return;
  s.EnvironmentRead = true;
  const char* list = std::getenv("KYT_FAKE_DEVICES");
  if (!list)
    return;
  std::string text = list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos)
      end = text.size();
    std::string entry = text.substr(start, end - start);
    size_t eq = entry.find('=');
    if (!entry.empty()) {
      AddDevice(s, entry.substr(0, eq),
                eq == std::string::npos ? std::string() : entry.substr(eq + 1), true);
    }
    start = end + 1;
  }
}

// The locked state for one library call, logged and perhaps failed on demand.
struct Call {
  std::unique_lock<std::mutex> Guard;
  State& S;
  uint32_t Failure = 0;
  // The polling calls (queue status, reads) stay out of the log, which would otherwise grow
  // ten lines a second per open device.
  Call(const char* name, const std::string& args, bool logged = true)
      : Guard(TheState().Lock), S(TheState()) {
    ReadEnvironment(S);
    if (logged)
      S.Calls += std::string(name) + "(" + args + ")\n";
    auto rule = S.Failures.find(name);
    if (rule != S.Failures.end() && rule->second.Times != 0) {
      Failure = rule->second.Status;
      if (rule->second.Times > 0)
        --rule->second.Times;
    }
  }
  // The device of an open handle, or null.
  Device* Open(void* handle) {
    for (auto& session : S.Sessions) {
      if (session.get() == handle && session->Valid)
        return &S.Devices[session->Device];
    }
    return nullptr;
  }
  void* NewSession(size_t device) {
    S.Sessions.push_back(std::make_unique<Session>(Session{device}));
    S.Devices[device].Open = true;
    return S.Sessions.back().get();
  }
  void EndSession(void* handle) {
    for (auto& session : S.Sessions) {
      if (session.get() == handle && session->Valid) {
        session->Valid = false;
        Device& d = S.Devices[session->Device];
        d.Open = false;
        d.Event = nullptr;
        d.ReadTimeout = 0;
        d.WriteTimeout = 1000;
        S.Changed.notify_all();
      }
    }
  }
  // How many of `size` bytes the line takes: all of them, or, while writes are stalled, none
  // once the device's write time-out has passed (the libraries then report a short write).
  uint32_t TakeWrite(void* handle, uint32_t size) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Open(handle)->WriteTimeout);
    ++S.WritesWaiting;
    S.Changed.notify_all();
    while (S.WritesStalled && Open(handle) && std::chrono::steady_clock::now() < end)
      S.Changed.wait_until(Guard, end);
    --S.WritesWaiting;
    return S.WritesStalled ? 0 : std::min(size, S.WriteLimit);
  }
  Device* Find(const std::string& serial) {
    for (auto& d : S.Devices) {
      if (d.Serial == serial && d.Present)
        return &d;
    }
    return nullptr;
  }
};

inline void Signal(EventHandle* event) {
  if (!event)
    return;
#ifdef _WIN32
  SetEvent(event);
#else
  pthread_mutex_lock(&event->eMutex);
  pthread_cond_signal(&event->eCondVar);
  pthread_mutex_unlock(&event->eMutex);
#endif
}

// Appends bytes the device received and wakes its listener. The signal goes out under the
// library's own lock, so a close running at the same time cannot free the event in between; the
// listener never calls the library while it holds the event's mutex, so this cannot deadlock.
inline void Receive(Device& d, const std::string& bytes) {
  d.Received += bytes;
  TheState().Changed.notify_all();
  if (d.Open)
    Signal(d.Event);
}

inline size_t CopyOut(const std::string& text, char* buffer, size_t capacity) {
  if (buffer && capacity)
    std::memcpy(buffer, text.data(), std::min(capacity, text.size()));
  return text.size();
}

}  // namespace fake

// ---- The test-only control interface ------------------------------------------------------

FAKE_EXPORT void FakeVendor_Reset() {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  s.Devices.clear();
  s.Listed.clear();
  for (auto& session : s.Sessions) session->Valid = false;
  s.Failures.clear();
  s.Calls.clear();
  s.WriteLimit = UINT32_MAX;
  s.WritesStalled = false;
  s.EnvironmentRead = true;  // a reset test starts with no devices
}

FAKE_EXPORT void FakeVendor_AddDevice(const char* serial, const char* description, int echo) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  fake::AddDevice(s, serial, description, echo != 0);
}

// Unplugging a device ends its sessions; plugging it in again makes it openable.
FAKE_EXPORT void FakeVendor_SetPresent(const char* serial, int present) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  for (auto& d : s.Devices) {
    if (d.Serial != serial)
      continue;
    d.Present = present != 0;
    if (!d.Present)
      d.Received.clear();
    s.Changed.notify_all();
  }
}

FAKE_EXPORT void FakeVendor_Inject(const char* serial, const char* data, size_t size) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  for (auto& d : s.Devices) {
    if (d.Serial == serial && d.Present) {
      fake::Receive(d, std::string(data, size));
      return;
    }
  }
}

FAKE_EXPORT size_t FakeVendor_Written(const char* serial, char* buffer, size_t capacity) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  for (auto& d : s.Devices) {
    if (d.Serial == serial)
      return fake::CopyOut(d.Written, buffer, capacity);
  }
  return 0;
}

FAKE_EXPORT int FakeVendor_IsOpen(const char* serial) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  for (auto& d : s.Devices) {
    if (d.Serial == serial)
      return d.Open;
  }
  return 0;
}

// The named function returns `status` for its next `times` calls (-1: every call, 0: never).
FAKE_EXPORT void FakeVendor_Fail(const char* function, uint32_t status, int times) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  s.Failures[function] = fake::FailRule{status, times};
}

// Writes report at most `limit` bytes as written (and store only those).
FAKE_EXPORT void FakeVendor_LimitWrites(uint32_t limit) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  s.WriteLimit = limit;
}

// While stalled, writes take nothing and return short after their time-out.
FAKE_EXPORT void FakeVendor_StallWrites(int stalled) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  s.WritesStalled = stalled != 0;
  s.Changed.notify_all();
}

// How many writes are inside the library now.
FAKE_EXPORT int FakeVendor_WritesWaiting() {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  return s.WritesWaiting;
}

// The calls so far, one "NAME(ARGS)" line each; `clear` empties the log.
FAKE_EXPORT size_t FakeVendor_Calls(char* buffer, size_t capacity, int clear) {
  fake::State& s = fake::TheState();
  std::lock_guard guard(s.Lock);
  size_t size = fake::CopyOut(s.Calls, buffer, capacity);
  if (clear)
    s.Calls.clear();
  return size;
}
