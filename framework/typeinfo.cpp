#include "framework/typeinfo.h"

#include <fmt/format.h>
#include <strings.h>

#include <limits>

namespace kyt {

const TMethodInfo* TInterfaceTypeInfo::FindMethod(const std::string& name) const {
  for (const TMethodInfo& m : Methods) {
    if (strcasecmp(m.Name.c_str(), name.c_str()) == 0)
      return &m;
  }
  return nullptr;
}

namespace typeinfo_detail {

void WrongArgumentCount(size_t expected, size_t got) {
  throw Exception(fmt::format("Wrong number of arguments: {} expected, {} given", expected, got));
}

template <class T>
T InRange(const Variant& v, const char* typeName) {
  int64_t n = v.AsInt64();
  if (n < std::numeric_limits<T>::min() || n > std::numeric_limits<T>::max()) {
    throw EConvertError(fmt::format("{} is not a valid {} value", n, typeName));
  }
  return static_cast<T>(n);
}

template <>
bool FromVariant<bool>(const Variant& v) {
  return v.AsBoolean();
}
template <>
int32_t FromVariant<int32_t>(const Variant& v) {
  return v.AsInteger();
}
template <>
uint16_t FromVariant<uint16_t>(const Variant& v) {
  return InRange<uint16_t>(v, "Word");
}
template <>
uint8_t FromVariant<uint8_t>(const Variant& v) {
  return InRange<uint8_t>(v, "Byte");
}
template <>
double FromVariant<double>(const Variant& v) {
  return v.AsFloat();
}
template <>
std::string FromVariant<std::string>(const Variant& v) {
  return v.AsString();
}
template <>
Variant FromVariant<Variant>(const Variant& v) {
  return v;
}

template <>
std::string TypeName<bool>() {
  return "Boolean";
}
template <>
std::string TypeName<int32_t>() {
  return "Integer";
}
template <>
std::string TypeName<uint16_t>() {
  return "Word";
}
template <>
std::string TypeName<uint8_t>() {
  return "Byte";
}
template <>
std::string TypeName<double>() {
  return "Double";
}
template <>
std::string TypeName<std::string>() {
  return "String";
}
template <>
std::string TypeName<Variant>() {
  return "Variant";
}
template <>
std::string TypeName<TStringArray>() {
  return "TStringArray";
}
template <>
std::string TypeName<TKYTStatusVariable>() {
  return "TKYTStatusVariable";
}
template <>
std::string TypeName<TKYTStatusVariables>() {
  return "TKYTStatusVariables";
}
template <>
std::string TypeName<THIDDevices>() {
  return "THIDDevices";
}
template <>
std::string TypeName<TFTDIDevices>() {
  return "TFTDIDevices";
}
template <>
std::string TypeName<TUSBXpDevices>() {
  return "TUSBXpDevices";
}

}  // namespace typeinfo_detail

namespace {

using typeinfo_detail::Method;

TInterfaceTypeInfo Describe(const char* name, const TGUID& iid, const TInterfaceTypeInfo* parent,
                            std::vector<TMethodInfo> methods) {
  return TInterfaceTypeInfo{name, iid, parent, std::move(methods)};
}

// The Serial Port, FTDI and USBXpress interfaces share these six methods, each on its own type.
template <class I>
std::vector<TMethodInfo> PortMethods() {
  return {
      Method<&I::SetOpen>("SetOpen", {"Open"}), Method<&I::SetPort>("SetPort", {"Port"}),
      Method<&I::GetOpen>("GetOpen"),           Method<&I::GetPort>("GetPort"),
      Method<&I::GetDevices>("GetDevices"),     Method<&I::SendText>("SendText", {"Text"}),
  };
}

}  // namespace

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTModule>() {
  using I = IKYTModule;
  static const TInterfaceTypeInfo info = Describe(
      "IKYTModule", I::IID, nullptr,
      {
          Method<&I::StatusVariableExists>("StatusVariableExists", {"VariableIdent"}),
          Method<&I::GetStatusVariable>("GetStatusVariable", {"VariableIdent"}),
          Method<&I::GetStatusVariables>("GetStatusVariables"),
          Method<&I::GetStatusVariableIDs>("GetStatusVariableIDs"),
          Method<&I::GetStatusVariableID>("GetStatusVariableID", {"VariableIdent"}),
          Method<&I::SetStatusVariableID>("SetStatusVariableID", {"VariableIdent", "VariableID"}),
          Method<&I::RequestAction>("RequestAction", {"VariableIdent", "Value"}),
          Method<&I::SupportsSearching>("SupportsSearching"),
          Method<&I::DoSearching>("DoSearching", {"Enable"}),
          Method<&I::SelectDevice>("SelectDevice", {"SearchID"}),
          Method<&I::IsSearching>("IsSearching"),
          Method<&I::LoadSettings>("LoadSettings"),
          Method<&I::SaveSettings>("SaveSettings"),
          Method<&I::HasChanges>("HasChanges"),
          Method<&I::ResetChanges>("ResetChanges"),
          Method<&I::ApplyChanges>("ApplyChanges"),
      });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialControl>() {
  using I = IKYTSerialControl;
  static const TInterfaceTypeInfo info =
      Describe("IKYTSerialControl", I::IID, nullptr,
               {
                   Method<&I::SetBaudRate>("SetBaudRate", {"BaudRate"}),
                   Method<&I::SetStopBits>("SetStopBits", {"StopBits"}),
                   Method<&I::SetDataBits>("SetDataBits", {"DataBits"}),
                   Method<&I::SetParity>("SetParity", {"Parity"}),
                   Method<&I::GetBaudRate>("GetBaudRate"),
                   Method<&I::GetStopBits>("GetStopBits"),
                   Method<&I::GetDataBits>("GetDataBits"),
                   Method<&I::GetParity>("GetParity"),
               });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialControlEx>() {
  using I = IKYTSerialControlEx;
  static const TInterfaceTypeInfo info =
      Describe("IKYTSerialControlEx", I::IID, &TypeInfoOf<IKYTSerialControl>(),
               {
                   Method<&I::SetDTR>("SetDTR", {"OnOff"}),
                   Method<&I::SetRTS>("SetRTS", {"OnOff"}),
                   Method<&I::SetBreak>("SetBreak", {"OnOff"}),
                   Method<&I::GetDTR>("GetDTR"),
                   Method<&I::GetRTS>("GetRTS"),
               });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSerialPort>() {
  using I = IKYTSerialPort;
  static const TInterfaceTypeInfo info =
      Describe("IKYTSerialPort", I::IID, &TypeInfoOf<IKYTSerialControlEx>(), PortMethods<I>());
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTClientSocket>() {
  using I = IKYTClientSocket;
  static const TInterfaceTypeInfo info = Describe("IKYTClientSocket", I::IID, nullptr,
                                                  {
                                                      Method<&I::SetOpen>("SetOpen", {"Open"}),
                                                      Method<&I::SetHost>("SetHost", {"Host"}),
                                                      Method<&I::SetPort>("SetPort", {"Port"}),
                                                      Method<&I::GetOpen>("GetOpen"),
                                                      Method<&I::GetHost>("GetHost"),
                                                      Method<&I::GetPort>("GetPort"),
                                                      Method<&I::SendText>("SendText", {"Text"}),
                                                  });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTServerSocket>() {
  using I = IKYTServerSocket;
  static const TInterfaceTypeInfo info = Describe("IKYTServerSocket", I::IID, nullptr,
                                                  {
                                                      Method<&I::SetOpen>("SetOpen", {"Open"}),
                                                      Method<&I::SetPort>("SetPort", {"Port"}),
                                                      Method<&I::SetLimit>("SetLimit", {"Limit"}),
                                                      Method<&I::GetOpen>("GetOpen"),
                                                      Method<&I::GetPort>("GetPort"),
                                                      Method<&I::GetLimit>("GetLimit"),
                                                      Method<&I::SendText>("SendText", {"Text"}),
                                                  });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTWWWReader>() {
  using I = IKYTWWWReader;
  static const TInterfaceTypeInfo info =
      Describe("IKYTWWWReader", I::IID, nullptr,
               {
                   Method<&I::SetPage>("SetPage", {"URL"}),
                   Method<&I::SetUseTimer>("SetUseTimer", {"Enabled"}),
                   Method<&I::SetInterval>("SetInterval", {"Seconds"}),
                   Method<&I::SetUseProxy>("SetUseProxy", {"Enabled"}),
                   Method<&I::SetProxyHost>("SetProxyHost", {"Host"}),
                   Method<&I::SetProxyPort>("SetProxyPort", {"Port"}),
                   Method<&I::SetProxyUsername>("SetProxyUsername", {"Username"}),
                   Method<&I::SetProxyPassword>("SetProxyPassword", {"Password"}),
                   Method<&I::SetUseBasicAuth>("SetUseBasicAuth", {"Enabled"}),
                   Method<&I::SetAuthUsername>("SetAuthUsername", {"Username"}),
                   Method<&I::SetAuthPassword>("SetAuthPassword", {"Password"}),
                   Method<&I::GetPage>("GetPage"),
                   Method<&I::GetUseTimer>("GetUseTimer"),
                   Method<&I::GetInterval>("GetInterval"),
                   Method<&I::GetUseProxy>("GetUseProxy"),
                   Method<&I::GetProxyHost>("GetProxyHost"),
                   Method<&I::GetProxyPort>("GetProxyPort"),
                   Method<&I::GetProxyUsername>("GetProxyUsername"),
                   Method<&I::GetProxyPassword>("GetProxyPassword"),
                   Method<&I::GetUseBasicAuth>("GetUseBasicAuth"),
                   Method<&I::GetAuthUsername>("GetAuthUsername"),
                   Method<&I::GetAuthPassword>("GetAuthPassword"),
                   Method<&I::UpdatePage>("UpdatePage"),
                   Method<&I::RetrievePage>("RetrievePage", {"URL"}),
               });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTHID>() {
  using I = IKYTHID;
  static const TInterfaceTypeInfo info =
      Describe("IKYTHID", I::IID, nullptr,
               {
                   Method<&I::SetOpen>("SetOpen", {"Open"}),
                   Method<&I::SetDeviceSerial>("SetDeviceSerial", {"Serial"}),
                   Method<&I::SetDeviceVendorID>("SetDeviceVendorID", {"VID"}),
                   Method<&I::SetDeviceProductID>("SetDeviceProductID", {"PID"}),
                   Method<&I::GetOpen>("GetOpen"),
                   Method<&I::GetDeviceSerial>("GetDeviceSerial"),
                   Method<&I::GetDeviceVendorID>("GetDeviceVendorID"),
                   Method<&I::GetDeviceProductID>("GetDeviceProductID"),
                   Method<&I::GetDevices>("GetDevices"),
                   Method<&I::SendEvent>("SendEvent", {"ReportID", "Text"}),
               });
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTFTDI>() {
  using I = IKYTFTDI;
  static const TInterfaceTypeInfo info =
      Describe("IKYTFTDI", I::IID, &TypeInfoOf<IKYTSerialControl>(), PortMethods<I>());
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTUSBXp>() {
  using I = IKYTUSBXp;
  static const TInterfaceTypeInfo info =
      Describe("IKYTUSBXp", I::IID, &TypeInfoOf<IKYTSerialControl>(), PortMethods<I>());
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTSendData>() {
  using I = IKYTSendData;
  static const TInterfaceTypeInfo info =
      Describe("IKYTSendData", I::IID, nullptr, {Method<&I::SendData>("SendData", {"Data"})});
  return info;
}

template <>
const TInterfaceTypeInfo& TypeInfoOf<IKYTHIDSendData>() {
  using I = IKYTHIDSendData;
  static const TInterfaceTypeInfo info =
      Describe("IKYTHIDSendData", I::IID, nullptr,
               {Method<&I::SendEvent>("SendEvent", {"ReportID", "Data"})});
  return info;
}

const std::vector<const TInterfaceTypeInfo*>& AllInterfaceTypeInfos() {
  static const std::vector<const TInterfaceTypeInfo*> all = {
      &TypeInfoOf<IKYTModule>(),
      &TypeInfoOf<IKYTSerialControl>(),
      &TypeInfoOf<IKYTSerialControlEx>(),
      &TypeInfoOf<IKYTSerialPort>(),
      &TypeInfoOf<IKYTClientSocket>(),
      &TypeInfoOf<IKYTServerSocket>(),
      &TypeInfoOf<IKYTWWWReader>(),
      &TypeInfoOf<IKYTHID>(),
      &TypeInfoOf<IKYTFTDI>(),
      &TypeInfoOf<IKYTUSBXp>(),
      &TypeInfoOf<IKYTSendData>(),
      &TypeInfoOf<IKYTHIDSendData>(),
  };
  return all;
}

}  // namespace kyt
