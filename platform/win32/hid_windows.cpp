// The HID layer on Windows: SetupApi finds the HID device interfaces, HID.dll answers the
// queries, reports move with overlapped ReadFile/WriteFile, and a message-only window hears
// WM_DEVICECHANGE for the HID interface class. SetupApi and HID.dll are loaded at run time, so
// a system without them still runs everything else.

#include <windows.h>
// windows.h first: these headers use its types.
#include <dbt.h>
#include <winternl.h>
// NTSTATUS before the HID headers, USAGE before hidpi.h.
#include <hidusage.h>
// Then the HID and device set-up headers.
#include <hidpi.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dynlib.h"
#include "platform/hid.h"
#include "platform/win32/win_text.h"
#include "runtime/thread.h"

namespace kyt::hid {

namespace {

using win::UniqueHandle;

// The functions of the two system libraries, with the types their headers give them.
struct HidApi {
  TDynamicLibrary setupapi;
  TDynamicLibrary hid;
  decltype(&::HidD_GetHidGuid) GetHidGuid = nullptr;
  decltype(&::HidD_GetAttributes) GetAttributes = nullptr;
  decltype(&::HidD_GetPreparsedData) GetPreparsedData = nullptr;
  decltype(&::HidD_FreePreparsedData) FreePreparsedData = nullptr;
  decltype(&::HidP_GetCaps) GetCaps = nullptr;
  decltype(&::HidD_GetSerialNumberString) GetSerialNumberString = nullptr;
  decltype(&::HidD_GetManufacturerString) GetManufacturerString = nullptr;
  decltype(&::HidD_GetProductString) GetProductString = nullptr;
  decltype(&::HidD_GetIndexedString) GetIndexedString = nullptr;
  decltype(&::SetupDiGetClassDevsW) GetClassDevs = nullptr;
  decltype(&::SetupDiEnumDeviceInterfaces) EnumDeviceInterfaces = nullptr;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) GetDeviceInterfaceDetail = nullptr;
  decltype(&::SetupDiDestroyDeviceInfoList) DestroyDeviceInfoList = nullptr;

  template <class F>
  static void Take(TDynamicLibrary& library, const char* name, F& into) {
    into = reinterpret_cast<F>(library.RequireSymbol(name));
  }

  HidApi() {
    setupapi = TDynamicLibrary("setupapi.dll");
    hid = TDynamicLibrary("hid.dll");
    Take(hid, "HidD_GetHidGuid", GetHidGuid);
    Take(hid, "HidD_GetAttributes", GetAttributes);
    Take(hid, "HidD_GetPreparsedData", GetPreparsedData);
    Take(hid, "HidD_FreePreparsedData", FreePreparsedData);
    Take(hid, "HidP_GetCaps", GetCaps);
    Take(hid, "HidD_GetSerialNumberString", GetSerialNumberString);
    Take(hid, "HidD_GetManufacturerString", GetManufacturerString);
    Take(hid, "HidD_GetProductString", GetProductString);
    Take(hid, "HidD_GetIndexedString", GetIndexedString);
    Take(setupapi, "SetupDiGetClassDevsW", GetClassDevs);
    Take(setupapi, "SetupDiEnumDeviceInterfaces", EnumDeviceInterfaces);
    Take(setupapi, "SetupDiGetDeviceInterfaceDetailW", GetDeviceInterfaceDetail);
    Take(setupapi, "SetupDiDestroyDeviceInfoList", DestroyDeviceInfoList);
  }
};

// nullptr when either library or one of its functions is missing.
HidApi* Api() {
  static HidApi* api = []() -> HidApi* {
    try {
      return new HidApi();  // kept for the life of the process
    } catch (const EDynamicLibrary&) {
      return nullptr;
    }
  }();
  return api;
}

HidApi& RequireApi() {
  HidApi* api = Api();
  if (api == nullptr)
    throw HidError(ERROR_MOD_NOT_FOUND, "hid.dll");
  return *api;
}

GUID HidGuid(HidApi& api) {
  GUID guid{};
  api.GetHidGuid(&guid);
  return guid;
}

UniqueHandle OpenDevice(const std::string& path, DWORD access) {
  UniqueHandle handle(::CreateFileW(win::Widen(path).c_str(), access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
  if (!handle.Valid())
    throw HidError(static_cast<int>(::GetLastError()), "open " + path);
  return handle;
}

TCaps CapsOf(HidApi& api, HANDLE handle) {
  PHIDP_PREPARSED_DATA data = nullptr;
  if (!api.GetPreparsedData(handle, &data))
    throw HidError(static_cast<int>(::GetLastError()), "HidD_GetPreparsedData");
  HIDP_CAPS caps{};
  const NTSTATUS status = api.GetCaps(data, &caps);
  api.FreePreparsedData(data);
  if (status != HIDP_STATUS_SUCCESS)
    throw HidError(ERROR_INVALID_DATA, "HidP_GetCaps");
  return {caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength};
}

// The string queries fill a buffer of wide characters; USB strings hold at most 126.
template <class F>
std::optional<std::u16string> StringQuery(F query) {
  wchar_t buffer[256] = {};
  if (!query(buffer, static_cast<ULONG>(sizeof buffer - sizeof(wchar_t))))
    return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), ::wcslen(buffer));
}

// One overlapped transfer on the device, finished or cancelled before it goes away.
struct PendingIo {
  PendingIo() : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event.Valid())
      throw HidError(static_cast<int>(::GetLastError()), "CreateEvent");
  }
  OVERLAPPED* Fresh() {
    record = OVERLAPPED{};
    record.hEvent = event.Get();
    return &record;
  }
  UniqueHandle event;
  OVERLAPPED record{};
};

class WinHidHandle : public IDeviceHandle {
 public:
  WinHidHandle(HidApi& api, UniqueHandle handle, bool readWrite)
      : api_(api), handle_(std::move(handle)), readWrite_(readWrite) {}

  bool HasReadWriteAccess() const override { return readWrite_; }

  TAttributes Attributes() override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!api_.GetAttributes(handle_.Get(), &attributes))
      throw HidError(static_cast<int>(::GetLastError()), "HidD_GetAttributes");
    return {attributes.VendorID, attributes.ProductID, attributes.VersionNumber};
  }

  TCaps Caps() override { return CapsOf(api_, handle_.Get()); }

  std::optional<std::u16string> SerialNumberString() override {
    return StringQuery(
        [&](wchar_t* b, ULONG n) { return api_.GetSerialNumberString(handle_.Get(), b, n); });
  }
  std::optional<std::u16string> ManufacturerString() override {
    return StringQuery(
        [&](wchar_t* b, ULONG n) { return api_.GetManufacturerString(handle_.Get(), b, n); });
  }
  std::optional<std::u16string> ProductString() override {
    return StringQuery(
        [&](wchar_t* b, ULONG n) { return api_.GetProductString(handle_.Get(), b, n); });
  }
  std::optional<std::u16string> IndexedString(uint8_t index) override {
    return StringQuery(
        [&](wchar_t* b, ULONG n) { return api_.GetIndexedString(handle_.Get(), index, b, n); });
  }

  std::size_t Write(const uint8_t* data, std::size_t size) override {
    if (!readWrite_)
      throw HidError(ERROR_ACCESS_DENIED, "write");
    // The driver takes whole output reports only; a shorter one is padded with zeros.
    const std::size_t length =
        std::max<std::size_t>(size, CapsOf(api_, handle_.Get()).OutputReportByteLength);
    std::vector<uint8_t> report(length, 0);
    std::copy(data, data + size, report.begin());
    OVERLAPPED* ov = io_.Fresh();
    DWORD written = 0;
    if (!::WriteFile(handle_.Get(), report.data(), static_cast<DWORD>(report.size()), &written,
                     ov)) {
      if (::GetLastError() != ERROR_IO_PENDING)
        throw HidError(static_cast<int>(::GetLastError()), "write");
    }
    if (!::GetOverlappedResult(handle_.Get(), ov, &written, TRUE))
      throw HidError(static_cast<int>(::GetLastError()), "write");
    return std::min<std::size_t>(written, size);
  }

 private:
  HidApi& api_;
  UniqueHandle handle_;
  bool readWrite_;
  PendingIo io_;
};

class WinHidReader : public IReportReader {
 public:
  WinHidReader(HidApi& api, UniqueHandle handle)
      : handle_(std::move(handle)),
        raw_(std::max<std::size_t>(CapsOf(api, handle_.Get()).InputReportByteLength, 1)),
        stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stop_.Valid())
      throw HidError(static_cast<int>(::GetLastError()), "CreateEvent");
  }

  ~WinHidReader() override {
    if (pending_) {
      ::CancelIoEx(handle_.Get(), &io_.record);
      DWORD ignored = 0;
      ::GetOverlappedResult(handle_.Get(), &io_.record, &ignored, TRUE);
    }
  }

  TReadResult Read(std::vector<uint8_t>& report, std::chrono::milliseconds wait) override {
    if (gone_)
      return {TReadStatus::Gone, 0, ERROR_DEVICE_NOT_CONNECTED};
    if (::WaitForSingleObject(stop_.Get(), 0) == WAIT_OBJECT_0)
      return {TReadStatus::Stopped};
    // A read that outlived its wait stays queued, so no report is lost between two calls.
    if (!pending_) {
      DWORD count = 0;
      if (!::ReadFile(handle_.Get(), raw_.data(), static_cast<DWORD>(raw_.size()), &count,
                      io_.Fresh())) {
        if (::GetLastError() != ERROR_IO_PENDING)
          return Failure(::GetLastError());
      }
      pending_ = true;
    }
    const HANDLE both[2] = {stop_.Get(), io_.event.Get()};
    const DWORD timeout = static_cast<DWORD>(std::clamp<long long>(wait.count(), 0, INFINITE - 1));
    const DWORD which = ::WaitForMultipleObjects(2, both, FALSE, timeout);
    if (which == WAIT_OBJECT_0)
      return {TReadStatus::Stopped};
    if (which == WAIT_TIMEOUT)
      return {};
    DWORD count = 0;
    pending_ = false;
    if (!::GetOverlappedResult(handle_.Get(), &io_.record, &count, FALSE))
      return Failure(::GetLastError());
    if (count == 0)
      return {};
    // Windows always puts the report ID first, 0 for devices without numbered reports.
    return {TReadStatus::Report, ShapeReport(true, raw_.data(), count, report)};
  }

  void Stop() override { ::SetEvent(stop_.Get()); }

 private:
  TReadResult Failure(DWORD code) {
    if (!IsDeviceGone(static_cast<int>(code)))
      return {TReadStatus::Failed, 0, static_cast<int>(code)};
    gone_ = true;
    return {TReadStatus::Gone, 0, static_cast<int>(code)};
  }

  UniqueHandle handle_;
  std::vector<uint8_t> raw_;
  UniqueHandle stop_;
  PendingIo io_;
  bool pending_ = false;
  bool gone_ = false;
};

// A message-only window on a thread of its own, registered for HID interface notices.
class WinHidWatch : public IDeviceWatch {
 public:
  WinHidWatch(GUID guid, std::function<void()> onChange)
      : guid_(guid), onChange_(std::move(onChange)) {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    started_.wait(lock, [&] { return ready_; });
  }

  ~WinHidWatch() override {
    DWORD id = 0;
    {
      std::lock_guard lock(mutex_);
      id = threadId_;
    }
    if (id != 0)
      ::PostThreadMessageW(id, WM_QUIT, 0, 0);
    thread_.join();
  }

  bool Running() const { return window_ != nullptr; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
      auto* self = reinterpret_cast<WinHidWatch*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
      if (self != nullptr)
        TThread::Queue(self->onChange_);
      return TRUE;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }

  void Run() {
    static const wchar_t* kClass = L"KYTHidWatch";
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClass;
    ::RegisterClassW(&windowClass);  // a second watch finds the class registered already
    HWND window = ::CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.hInstance, nullptr);
    HDEVNOTIFY notify = nullptr;
    if (window != nullptr) {
      ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = guid_;
      notify = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    {
      std::lock_guard lock(mutex_);
      window_ = window;
      threadId_ = ::GetCurrentThreadId();
      ready_ = true;
    }
    started_.notify_all();
    MSG message;
    while (window != nullptr && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (notify != nullptr)
      ::UnregisterDeviceNotification(notify);
    if (window != nullptr)
      ::DestroyWindow(window);
  }

  GUID guid_;
  std::function<void()> onChange_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable started_;
  bool ready_ = false;
  DWORD threadId_ = 0;
  HWND window_ = nullptr;
};

class WinHidPlatform : public IHidPlatform {
 public:
  std::vector<TDeviceEntry> Enumerate() override {
    std::vector<TDeviceEntry> entries;
    HidApi* api = Api();
    if (api == nullptr)
      return entries;
    const GUID guid = HidGuid(*api);
    HDEVINFO set =
        api->GetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
      return entries;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA item{};
      item.cbSize = sizeof item;
      if (!api->EnumDeviceInterfaces(set, nullptr, &guid, index, &item))
        break;
      DWORD size = 0;
      api->GetDeviceInterfaceDetail(set, &item, nullptr, 0, &size, nullptr);
      if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        continue;
      std::vector<char> buffer(size);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      if (!api->GetDeviceInterfaceDetail(set, &item, detail, size, nullptr, &device))
        continue;
      const std::string path = win::Narrow(detail->DevicePath);
      // The device node handle stays the same while the device is present; a device that
      // comes back gets a new one or at least is told apart by its path and node together.
      entries.push_back({static_cast<uint32_t>(device.DevInst), path,
                         path + "#" + std::to_string(device.DevInst)});
    }
    api->DestroyDeviceInfoList(set);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.InstanceNumber < b.InstanceNumber; });
    return entries;
  }

  std::unique_ptr<IDeviceHandle> Open(const std::string& path, TAccess access) override {
    HidApi& api = RequireApi();
    if (access == TAccess::ReadWrite) {
      return std::make_unique<WinHidHandle>(api, OpenDevice(path, GENERIC_READ | GENERIC_WRITE),
                                            true);
    }
    // Access 0 answers the queries even for devices the system keeps for itself (keyboards).
    return std::make_unique<WinHidHandle>(api, OpenDevice(path, 0), false);
  }

  std::unique_ptr<IReportReader> OpenReader(const std::string& path) override {
    HidApi& api = RequireApi();
    return std::make_unique<WinHidReader>(api, OpenDevice(path, GENERIC_READ));
  }

  std::unique_ptr<IDeviceWatch> Watch(std::function<void()> onChange) override {
    HidApi* api = Api();
    if (api == nullptr)
      return nullptr;
    auto watch = std::make_unique<WinHidWatch>(HidGuid(*api), std::move(onChange));
    if (!watch->Running())
      return nullptr;
    return watch;
  }
};

}  // namespace

IHidPlatform& SystemPlatform() {
  static WinHidPlatform platform;
  return platform;
}

}  // namespace kyt::hid
