#include "usb/hid_module.h"

#include <algorithm>

#include "framework/translate.h"

namespace kyt {

namespace {

std::string Utf8(const std::u16string& text) {
  return hid::Utf16ToUtf8(text);
}

}  // namespace

const TKYTModuleClass TKYTHID::Class = MakeModuleClass<TKYTHID>({
    .ClassName = "TKYTHID",
    .ModuleID = IKYTHID::IID.ToString(),
    .ModuleType = TKYTModuleType::mtIO,
    .ModuleName = "HID",
    .ChildRequirements = {IKYTHIDReceiveData::IID.ToString()},
    .Implemented = {IKYTHIDSendData::IID.ToString()},
});

TKYTHID::TKYTHID(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  CreateController();

  RegisterPropertyBoolean(
      "Open", [this] { return GetOpen(); }, [this](bool v) { SetOpen(v); });
  RegisterPropertyString(
      "DeviceSerial", [this] { return GetDeviceSerial(); },
      [this](const std::string& v) { SetDeviceSerial(v); });
  RegisterPropertyString(
      "DeviceName", [this] { return Read(settings_.Pending.Device.DeviceName); },
      [this](const std::string& v) { SetDeviceName(v); });
  RegisterPropertyInteger(
      "DeviceVendorID", [this] { return GetDeviceVendorID(); },
      [this](int32_t v) { SetDeviceVendorID(v); });
  RegisterPropertyInteger(
      "DeviceProductID", [this] { return GetDeviceProductID(); },
      [this](int32_t v) { SetDeviceProductID(v); });

  LoadAndApplySettings();
  // A failed first apply still takes the settings: an arrival may satisfy them later.
  settings_.Apply();
}

TKYTHID::~TKYTHID() {
  PrepareDelete();
  // The destructor may run on the service thread while a device change runs on the main one.
  if (controller_)
    controller_->StopNotices();
  // Going away is no removal of the device: nothing may report one, and no report may reach
  // this object once it is gone.
  Select(nullptr);
  controller_.reset();
  std::lock_guard lock(lock_);
  devices_.clear();
}

void TKYTHID::CreateController() {
  try {
    controller_ = std::make_unique<TJvHidDeviceController>();
    controller_->SetSerializer(
        [this](std::function<void()> change) { InstanceLock().ChangeOrDefer(std::move(change)); });
    controller_->SetOnEnumerate([this](TJvHidDevice& d, int) { return DeviceEnumerated(d); });
    // Scans at once, so the device list is filled before the settings are applied.
    controller_->SetOnDeviceChange([this](TJvHidDeviceController&) { DeviceChanged(); });
    controller_->SetOnArrival([this](TJvHidDevice& d) { DeviceArrived(d); });
  } catch (const std::exception&) {
    controller_.reset();
    LogMessage(KL_ERROR, Translate(">Failed loading HID DLL!"));
  }
}

// ---- Settings -------------------------------------------------------------------------------

void TKYTHID::SetDeviceSerial(const std::string& Serial) {
  ChangeSetting(settings_.Pending.Device.DeviceSerial, Serial);
}

void TKYTHID::SetDeviceVendorID(int32_t VID) {
  ChangeSetting(settings_.Pending.Device.VendorID, VID);
}

void TKYTHID::SetDeviceProductID(int32_t PID) {
  ChangeSetting(settings_.Pending.Device.ProductID, PID);
}

void TKYTHID::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  settings_.Reset();
  TKYTModuleObject::ResetChanges();
}

void TKYTHID::ApplyChanges() {
  if (ApplyLaterWhenDelivering())
    return;
  const TInstanceLock::THold hold = Changing();
  if (!controller_) {
    SetStatus(IS_ERROR);
    throw EKYTModuleObject(Translate("HID Controller not created"));
  }
  TSettings& pending = settings_.Pending;
  if (pending.Open && !pending.Device.DeviceSerial.empty()) {
    TDevicePtr device = FindConfiguredDevice();
    Select(device);
    if (!device) {
      SetStatus(IS_ERROR);
      throw EKYTModuleObject(Translate("Selected Device could not be found"));
    }
    if (!device->HasReadWriteAccess()) {
      SetStatus(IS_ERROR);
      throw EKYTModuleObject(Translate("Device has no write access"));
    }
    Attach(*device);
    pending.Device.DeviceName = Utf8(device->ProductName());
    pending.Device.DeviceVendor = Utf8(device->VendorName());
    SetStatus(IS_ACTIVE);
  } else {
    // Closing lets go of the device, so its reports stop and SendEvent reports no device.
    Select(nullptr);
    SetStatus(IS_INACTIVE);
  }
  settings_.Apply();
  TKYTModuleObject::ApplyChanges();
  SetSummary(pending.Device.DeviceName);
}

// ---- Devices --------------------------------------------------------------------------------

THIDDevices TKYTHID::GetDevices() {
  const TInstanceLock::THold hold = Using();
  if (!controller_)
    throw EKYTModuleObject(Translate("HID Controller not created"));
  std::vector<TDevicePtr> devices;
  {
    std::lock_guard lock(lock_);
    devices = devices_;
  }
  THIDDevices out;
  for (const TDevicePtr& device : devices) {
    THIDDevice entry;
    entry.DeviceSerial = Utf8(device->SerialNumber());
    if (entry.DeviceSerial.empty())
      entry.DeviceSerial = std::to_string(device->DeviceID());
    entry.VendorID = device->VendorID();
    entry.ProductID = device->ProductID();
    entry.DeviceVendor = Utf8(device->VendorName());
    entry.DeviceName = Utf8(device->ProductName());
    out.push_back(std::move(entry));
  }
  return out;
}

bool TKYTHID::MatchesConfiguredIdentity(TJvHidDevice& HidDev) const {
  const THIDDevice& wanted = settings_.Pending.Device;
  return int32_t{HidDev.VendorID()} == wanted.VendorID &&
         int32_t{HidDev.ProductID()} == wanted.ProductID;
}

TKYTHID::TDevicePtr TKYTHID::FindConfiguredDevice() const {
  std::vector<TDevicePtr> devices;
  {
    std::lock_guard lock(lock_);
    devices = devices_;
  }
  const std::string& serial = settings_.Pending.Device.DeviceSerial;
  for (const TDevicePtr& device : devices) {
    // A device a change has already unplugged may still be listed until the scan that follows.
    if (!device->IsPluggedIn() || !MatchesConfiguredIdentity(*device))
      continue;
    if (Utf8(device->SerialNumber()) == serial || std::to_string(device->DeviceID()) == serial) {
      return device;
    }
  }
  return nullptr;
}

TKYTHID::TDevicePtr TKYTHID::Selected() const {
  std::lock_guard lock(lock_);
  return selected_;
}

void TKYTHID::Select(TDevicePtr HidDev) {
  TDevicePtr earlier;
  {
    std::lock_guard lock(lock_);
    earlier = std::exchange(selected_, HidDev);
  }
  // A device left behind would go on feeding the children alongside the new one.
  if (earlier && earlier != HidDev)
    Detach(*earlier);
}

void TKYTHID::Attach(TJvHidDevice& HidDev) {
  HidDev.SetOnData([this](TJvHidDevice&, uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
    ReportReceived(ReportID, Data, Size);
  });
  HidDev.SetOnUnplug([this](TJvHidDevice& d) { DeviceUnplugged(d); });
}

void TKYTHID::Detach(TJvHidDevice& HidDev) {
  // Stopping the read thread serves the main thread's queue: a removal queued there must not
  // reach this module for a device it is letting go of.
  HidDev.SetOnUnplug(nullptr);
  HidDev.SetOnData(nullptr);
}

void TKYTHID::DeviceChanged() {
  if (!controller_)
    return;
  std::vector<TDevicePtr> listed;
  {
    std::lock_guard lock(lock_);
    listed.swap(devices_);
  }
  // Every listed device is checked out to this module; one that has left goes back, or the
  // controller would keep it (and one more with every replug) for good.
  const TDevicePtr selected = Selected();
  for (TDevicePtr& device : listed) {
    if (!device->IsPluggedIn() && device != selected)
      controller_->CheckIn(device);
  }
  controller_->Enumerate();
}

bool TKYTHID::DeviceEnumerated(TJvHidDevice& HidDev) {
  controller_->CheckOut(HidDev);
  std::lock_guard lock(lock_);
  devices_.push_back(HidDev.shared_from_this());
  return true;
}

void TKYTHID::DeviceArrived(TJvHidDevice& HidDev) {
  const TSettings& pending = settings_.Pending;
  // Only what an apply would attach: a closed instance stays closed when its device comes.
  if (!pending.Open || pending.Device.DeviceSerial.empty())
    return;
  if (!MatchesConfiguredIdentity(HidDev))
    return;
  if (Utf8(HidDev.SerialNumber()) != pending.Device.DeviceSerial)
    return;
  LogMessage(KL_WARNING, Translate("HID Device arrived"));
  SetStatus(IS_ACTIVE);
  Select(HidDev.shared_from_this());
  Attach(HidDev);
}

void TKYTHID::DeviceUnplugged(TJvHidDevice& HidDev) {
  LogMessage(KL_WARNING, Translate("HID Device removed"));
  TDevicePtr device = HidDev.shared_from_this();
  {
    std::lock_guard lock(lock_);
    selected_.reset();
  }
  if (controller_)
    controller_->CheckIn(device);
  SetStatus(IS_ERROR);
}

// ---- Reports --------------------------------------------------------------------------------

void TKYTHID::ReportReceived(uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
  const std::string bytes(reinterpret_cast<const char*>(Data), Size);
  SendDebug("RECEIVED, ReportID: " + std::to_string(ReportID), bytes);
  DeliverEventToChildren(ReportID, bytes);
}

void TKYTHID::SendEvent(uint8_t ReportID, const std::string& Text) {
  const TInstanceLock::THold hold = Using();
  TDevicePtr device = Selected();
  if (!device)
    throw EKYTModuleObject(Translate("No HID Device selected/found"));
  SendDebug("TRANSMITTED, ReportID: " + std::to_string(ReportID), Text);
  // The report is as long as the device's output report, however long that is: a fixed
  // buffer would send bytes from beyond its end for longer reports.
  const std::size_t length = device->Caps().OutputReportByteLength;
  std::vector<uint8_t> report(std::max<std::size_t>(length, 1), 0);
  report[0] = ReportID;
  std::copy_n(Text.begin(), std::min(Text.size(), report.size() - 1), report.begin() + 1);
  uint32_t written = 0;
  if (!device->WriteReport(report.data(), static_cast<uint32_t>(length), written)) {
    SendDebug("WriteError", hid::ErrorText(device->LastError()));
    throw EKYTModuleObject(Translate("Could not write Buffer"));
  }
}

}  // namespace kyt
