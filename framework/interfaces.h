#pragma once

// The interfaces of the host contract, with their GUIDs and methods in declaration order.
// Host-side interfaces are implemented by the host; IKYTModule, IKYTMessageSink, the module
// interfaces and the data interfaces by the library. Slots named ReservedNN are methods of the
// host's interfaces that this library never calls; they keep the named methods at their
// contract positions and raise when called on a host that does not offer them.

#include <functional>
#include <string>
#include <vector>

#include "framework/interface.h"
#include "framework/records.h"
#include "framework/types.h"
#include "runtime/exception.h"
#include "runtime/variant.h"

namespace kyt {

struct TInterfaceTypeInfo;
struct TKYTModuleClass;

#define KYT_RESERVED_SLOT(n)                                     \
  virtual void Reserved##n() {                                   \
    throw Exception("Reserved" #n ": not offered by this host"); \
  }

// A message from the host (or sent to it through IKYTKernel::SendMessage).
struct TKYTMessage {
  TKYTID SenderID = 0;
  int32_t Message = 0;
  std::vector<Variant> Data;
};

struct IKYTInterface : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{C7CA6A65-CE8E-46FD-9976-D1FF9C9C0F91}");
  virtual int32_t GetRefCount() = 0;

 protected:
  ~IKYTInterface() = default;
};

struct IKYTMessageSink : virtual IKYTInterface {
  static constexpr TGUID IID = TGUID::FromText("{4AB6071E-F8D1-4968-A432-17751D071BF8}");
  virtual void MessageSink(const TKYTMessage& Message) = 0;

 protected:
  ~IKYTMessageSink() = default;
};

struct IKYTModule : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{551860D7-8E44-430B-8C44-CBB5AA708470}");
  virtual bool StatusVariableExists(const std::string& VariableIdent) = 0;
  virtual TKYTStatusVariable GetStatusVariable(const std::string& VariableIdent) = 0;
  virtual TKYTStatusVariables GetStatusVariables() = 0;
  virtual TStringArray GetStatusVariableIDs() = 0;
  virtual TVariableID GetStatusVariableID(const std::string& VariableIdent) = 0;
  virtual void SetStatusVariableID(const std::string& VariableIdent, TVariableID VariableID) = 0;
  virtual void RequestAction(const std::string& VariableIdent, const Variant& Value) = 0;
  virtual bool SupportsSearching() = 0;
  virtual void DoSearching(bool Enable) = 0;
  virtual void SelectDevice(int32_t SearchID) = 0;
  virtual bool IsSearching() = 0;
  virtual void LoadSettings() = 0;
  virtual void SaveSettings() = 0;
  virtual bool HasChanges() = 0;
  virtual void ResetChanges() = 0;
  virtual void ApplyChanges() = 0;

 protected:
  ~IKYTModule() = default;
};

// ---- Host services -------------------------------------------------------------------------

struct IKYTModuleLoader : virtual IKYTMessageSink {
  // Our own identity for the base the register hook receives; the contract names only the Ex.
  static constexpr TGUID IID = TGUID::FromText("{6A3F5E0C-3B6D-4E8A-9C1B-2D7E4F5A6B01}");
  virtual void RegisterModule(const TKYTModuleClass* ModuleClass,
                              const TInterfaceTypeInfo* InterfaceTypeInfo, const std::string& Name,
                              int32_t Reserved) = 0;

 protected:
  ~IKYTModuleLoader() = default;
};

struct IKYTModuleLoaderEx : virtual IKYTModuleLoader {
  static constexpr TGUID IID = TGUID::FromText("{18D0B53E-865F-48EA-A227-39327457C318}");
  virtual std::string GetModulePrefix(const std::string& ModuleID) = 0;
  virtual bool GetModuleFunctionFlag(const std::string& ModuleID) = 0;
  // None (nullptr) when no interface of that GUID is known.
  virtual const TInterfaceTypeInfo* GetInterfaceTypeInfo(const TGUID& IID) = 0;

 protected:
  ~IKYTModuleLoaderEx() = default;
};

// What a script engine calls for a function it cannot dispatch through a type description.
using TCallFunctionHandler =
    std::function<Variant(const std::string& FunctionName, const std::vector<Variant>& Arguments)>;

struct IKYTScriptEngineEx : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{028ECD1E-544B-4DC2-969A-4858F1584EEE}");
  // Calls a registered script function by name ("CSCK_SendText") with its arguments.
  virtual Variant CallScriptFunction(const std::string& Name, const std::vector<Variant>& Args) = 0;
  virtual bool ScriptFunctionExists(const std::string& Name) = 0;
  virtual void RegisterFunctions(const TInterfaceTypeInfo* InterfaceTypeInfo,
                                 const std::string& Prefix, TCallFunctionHandler Handler,
                                 TInstanceID InstanceID, bool Flag) = 0;
  virtual void UnregisterFunctions(TInstanceID InstanceID) = 0;

 protected:
  ~IKYTScriptEngineEx() = default;
};

using TTimerCallback = std::function<void()>;

struct IKYTTimerPoolEx : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{6EBEA65A-62D7-4DE8-8FA2-E268E35D5DAA}");
  // Interval in seconds; 0 registers the timer stopped.
  virtual TTimerID RegisterTimer(const std::string& Name, TInstanceID InstanceID,
                                 TTimerCallback Callback, int32_t Interval) = 0;
  virtual int32_t GetTimerInterval(TTimerID TimerID) = 0;
  // After it returns the callback is not running and will not run again (unless called from
  // within the callback itself).
  virtual void UnregisterTimer(TTimerID TimerID) = 0;
  // 0 stops the timer.
  virtual void SetTimerInterval(TTimerID TimerID, int32_t Interval) = 0;
  virtual bool TimerExists(TTimerID TimerID) = 0;
  virtual std::string GetTimerName(TTimerID TimerID) = 0;

 protected:
  ~IKYTTimerPoolEx() = default;
};

struct IKYTSettings : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{2058C7E1-D444-4EB1-B67A-FD48DBA7D06F}");
  KYT_RESERVED_SLOT(01)
  KYT_RESERVED_SLOT(02)
  KYT_RESERVED_SLOT(03)
  KYT_RESERVED_SLOT(04)
  KYT_RESERVED_SLOT(05)
  virtual void WriteBoolean(TInstanceID InstanceID, const TStringArray& Path,
                            const std::string& Name, bool Value) = 0;
  virtual void WriteInteger(TInstanceID InstanceID, const TStringArray& Path,
                            const std::string& Name, int32_t Value) = 0;
  virtual void WriteFloat(TInstanceID InstanceID, const TStringArray& Path, const std::string& Name,
                          double Value) = 0;
  virtual void WriteString(TInstanceID InstanceID, const TStringArray& Path,
                           const std::string& Name, const std::string& Value) = 0;
  // Each read returns a status, negative when nothing of that name is stored (Value untouched).
  virtual int32_t ReadBoolean(TInstanceID InstanceID, const TStringArray& Path,
                              const std::string& Name, bool& Value) = 0;
  virtual int32_t ReadInteger(TInstanceID InstanceID, const TStringArray& Path,
                              const std::string& Name, int32_t& Value) = 0;
  virtual int32_t ReadFloat(TInstanceID InstanceID, const TStringArray& Path,
                            const std::string& Name, double& Value) = 0;
  virtual int32_t ReadString(TInstanceID InstanceID, const TStringArray& Path,
                             const std::string& Name, std::string& Value) = 0;
  // Removes the entry at Path (a value when the last element names one, or a whole key).
  virtual void DeleteEntry(TInstanceID InstanceID, const TStringArray& Path) = 0;
  KYT_RESERVED_SLOT(15)
  KYT_RESERVED_SLOT(16)
  KYT_RESERVED_SLOT(17)
  KYT_RESERVED_SLOT(18)
  KYT_RESERVED_SLOT(19)
  KYT_RESERVED_SLOT(20)
  KYT_RESERVED_SLOT(21)
  KYT_RESERVED_SLOT(22)
  KYT_RESERVED_SLOT(23)
  KYT_RESERVED_SLOT(24)
  KYT_RESERVED_SLOT(25)
  KYT_RESERVED_SLOT(26)

 protected:
  ~IKYTSettings() = default;
};

struct IKYTStatusService : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{9E2B7C41-5D3A-4F60-8B17-C4A2E6D8F301}");
  virtual void SetInstanceStatus(TInstanceID InstanceID, int32_t Status) = 0;

 protected:
  ~IKYTStatusService() = default;
};

struct IKYTProfileService : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{9E2B7C41-5D3A-4F60-8B17-C4A2E6D8F302}");
  virtual void SetVariableProfile(TVariableID VariableID, const TKYTVarProfile& Profile) = 0;

 protected:
  ~IKYTProfileService() = default;
};

struct IKYTConnectionService : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{9E2B7C41-5D3A-4F60-8B17-C4A2E6D8F303}");
  virtual void ConnectInstance(TInstanceID InstanceID, TInstanceID ParentID) = 0;
  virtual void DisconnectInstance(TInstanceID InstanceID) = 0;
  virtual bool HasParent(TInstanceID InstanceID) = 0;
  virtual TInstanceID GetParent(TInstanceID InstanceID) = 0;
  virtual bool HasChildren(TInstanceID InstanceID) = 0;
  virtual bool IsChild(TInstanceID InstanceID, TInstanceID ParentID) = 0;
  virtual TInstanceIDs GetChildren(TInstanceID InstanceID) = 0;

 protected:
  ~IKYTConnectionService() = default;
};

struct IKYTDebugService : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{9E2B7C41-5D3A-4F60-8B17-C4A2E6D8F304}");
  virtual void SendDebug(TKYTID SenderID, const std::string& Title, const std::string& Data) = 0;

 protected:
  ~IKYTDebugService() = default;
};

struct IKYTObjectManager : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{085EA06E-0143-4EFB-B8C5-794542F58D04}");
  virtual TKYTID RegisterNewObject(TKYTObjectType ObjectType, bool Persistent) = 0;
  virtual void RegisterObject(TKYTObjectType ObjectType) = 0;
  virtual void RegisterObjectEx(TKYTObjectType ObjectType, TKYTID ID) = 0;
  virtual void UnregisterObject(TKYTID ID) = 0;
  virtual TKYTID CreateCategory() = 0;
  virtual TKYTID CreateCategoryEx(TKYTID ID) = 0;
  virtual void DeleteCategory(TKYTID ID) = 0;
  virtual bool CategoryExists(TKYTID ID) = 0;
  virtual void CheckCategory(TKYTID ID) = 0;
  virtual TKYTIDs GetCategoryList() = 0;
  virtual TKYTID GetCategoryIDByName(const std::string& Name, TKYTID ParentID) = 0;
  virtual void SetParent(TKYTID ID, TKYTID ParentID) = 0;
  virtual void SetName(TKYTID ID, const std::string& Name) = 0;
  virtual void SetInfo(TKYTID ID, const std::string& Info) = 0;
  virtual void SetSummary(TKYTID ID, const std::string& Summary) = 0;
  virtual void SetPosition(TKYTID ID, uint16_t Position) = 0;
  virtual bool HasFlag(TKYTID ID, uint8_t Flag) = 0;
  virtual void SetFlag(TKYTID ID, uint8_t Flag, bool Value) = 0;
  virtual bool ObjectExists(TKYTID ID) = 0;
  virtual void CheckObject(TKYTID ID) = 0;
  virtual TKYTObject GetObject(TKYTID ID) = 0;
  virtual TKYTObjects GetObjects(const TKYTIDs& IDs) = 0;
  virtual TKYTIDs GetObjectList() = 0;
  virtual TKYTID GetObjectIDByName(const std::string& Name, TKYTID ParentID) = 0;
  virtual TKYTID GetObjectIDByNameEx(const std::string& Name, TKYTID ParentID,
                                     TKYTObjectType ObjectType) = 0;
  virtual bool HasChildren(TKYTID ID) = 0;
  virtual bool IsChild(TKYTID ID, TKYTID Parent, bool Recursive) = 0;
  virtual TKYTIDs GetChildrenIDs(TKYTID ID) = 0;
  virtual bool IsPersistent(TKYTID ID) = 0;
  virtual std::string GetName(TKYTID ID) = 0;
  virtual std::string GetLocation(TKYTID ID) = 0;
  virtual TStringArray GetLocations(const TKYTIDs& IDs) = 0;

 protected:
  ~IKYTObjectManager() = default;
};

struct IKYTInstanceManager : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{0D8CEA36-DFA4-4576-ACC8-5675042D7599}");
  virtual TInstanceID CreateInstance(const std::string& ModuleID) = 0;
  virtual TInstanceID CreateInstanceEx(const std::string& ModuleID, TInstanceID InstanceID) = 0;
  virtual void DeleteInstance(TInstanceID InstanceID) = 0;
  virtual void ConnectModuleInstances(const std::string& ModuleID) = 0;
  virtual void DisconnectModuleInstances(const std::string& ModuleID) = 0;
  virtual bool InstanceExists(TInstanceID InstanceID) = 0;
  virtual void CheckInstance(TInstanceID InstanceID) = 0;
  virtual TKYTInstance GetInstance(TInstanceID InstanceID) = 0;
  virtual TKYTInstances GetInstances(const TInstanceIDs& InstanceIDs) = 0;
  virtual TInstanceIDs GetInstanceList() = 0;
  virtual TInstanceID GetInstanceIDByName(const std::string& Name, TKYTID ParentID) = 0;
  virtual TInstanceIDs GetInstancesByModuleID(const std::string& ModuleID) = 0;
  virtual bool IsInstanceCompatible(TInstanceID InstanceID, TInstanceID ParentInstanceID) = 0;
  virtual TInstanceIDs GetCompatibleInstances(TInstanceID InstanceID) = 0;

 protected:
  ~IKYTInstanceManager() = default;
};

struct IKYTVariableManager : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{5528E859-0D7D-41CE-9E82-D7CF50228A5B}");
  virtual TVariableID CreateVariable(TKYTVarType VarType) = 0;
  virtual TVariableID CreateVariableEx(TKYTVarType VarType, TVariableID VariableID) = 0;
  virtual void DeleteVariable(TVariableID VariableID) = 0;
  virtual void SetVariableUseCustomProfile(TVariableID VariableID, bool UseCustomProfile) = 0;
  virtual void SetVariableCustomProfile(TVariableID VariableID, const TKYTVarProfile& Profile) = 0;
  virtual bool ReadVariableBoolean(TVariableID VariableID) = 0;
  virtual void WriteVariableBoolean(TVariableID VariableID, bool VarValue) = 0;
  virtual int32_t ReadVariableInteger(TVariableID VariableID) = 0;
  virtual void WriteVariableInteger(TVariableID VariableID, int32_t VarValue) = 0;
  virtual double ReadVariableFloat(TVariableID VariableID) = 0;
  virtual void WriteVariableFloat(TVariableID VariableID, double VarValue) = 0;
  virtual std::string ReadVariableString(TVariableID VariableID) = 0;
  virtual void WriteVariableString(TVariableID VariableID, const std::string& VarValue) = 0;
  virtual std::string ReadVariableStringEx(TVariableID VariableID, bool& Base64Encoded) = 0;
  virtual void WriteVariableStringEx(TVariableID VariableID, const std::string& VarValue,
                                     bool Base64Encoded) = 0;
  virtual TVariableID GetVariableID(const std::string& VarName) = 0;
  virtual bool VariableExists(TVariableID VariableID) = 0;
  virtual void CheckVariable(TVariableID VariableID) = 0;
  virtual TKYTVariable GetVariable(TVariableID VariableID) = 0;
  virtual TKYTVariables GetVariables(const TVariableIDs& VariableIDs) = 0;
  virtual TVariableIDs GetVariableList() = 0;
  virtual TVariableID GetVariableIDByName(const std::string& Name, TKYTID ParentID) = 0;

 protected:
  ~IKYTVariableManager() = default;
};

struct IKYTKernel : virtual IKYTMessageSink {
  static constexpr TGUID IID = TGUID::FromText("{BCB79E07-1AA9-42B1-B154-EDC5AFB50D37}");
  KYT_RESERVED_SLOT(01)
  KYT_RESERVED_SLOT(02)
  KYT_RESERVED_SLOT(03)
  virtual void PostLogMessage(int32_t Code, TKYTID SenderID, const std::string& SenderName,
                              const std::string& Text) = 0;
  KYT_RESERVED_SLOT(05)
  virtual void SendMessage(TKYTID SenderID, int32_t Message, const std::vector<Variant>& Data) = 0;
  KYT_RESERVED_SLOT(07)
  virtual int32_t GetKernelRunlevel() = 0;
  KYT_RESERVED_SLOT(09)
  virtual TRef<IKYTModuleLoaderEx> GetModuleLoader() = 0;
  virtual TRef<IKYTStatusService> GetStatusService() = 0;
  virtual TRef<IKYTProfileService> GetProfileService() = 0;
  virtual TRef<IKYTScriptEngineEx> GetScriptEngine() = 0;
  virtual TRef<IKYTTimerPoolEx> GetTimerPool() = 0;
  KYT_RESERVED_SLOT(15)
  KYT_RESERVED_SLOT(16)
  KYT_RESERVED_SLOT(17)
  virtual TRef<IKYTObjectManager> GetObjectManager() = 0;
  virtual TRef<IKYTInstanceManager> GetInstanceManager() = 0;
  virtual TRef<IKYTVariableManager> GetVariableManager() = 0;
  KYT_RESERVED_SLOT(21)
  KYT_RESERVED_SLOT(22)
  KYT_RESERVED_SLOT(23)
  KYT_RESERVED_SLOT(24)
  virtual TRef<IKYTConnectionService> GetConnectionService() = 0;
  KYT_RESERVED_SLOT(26)
  KYT_RESERVED_SLOT(27)
  virtual TRef<IKYTSettings> GetSettings() = 0;
  virtual TRef<IKYTDebugService> GetDebugService() = 0;
  KYT_RESERVED_SLOT(30)
  KYT_RESERVED_SLOT(31)
  KYT_RESERVED_SLOT(32)
  KYT_RESERVED_SLOT(33)

 protected:
  ~IKYTKernel() = default;
};

#undef KYT_RESERVED_SLOT

// ---- Module interfaces (script-callable) ---------------------------------------------------

struct IKYTSerialControl : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{62351C4A-1947-4AEA-A3F3-8FA85D22C960}");
  virtual void SetBaudRate(const std::string& BaudRate) = 0;
  virtual void SetStopBits(const std::string& StopBits) = 0;
  virtual void SetDataBits(const std::string& DataBits) = 0;
  virtual void SetParity(const std::string& Parity) = 0;
  virtual std::string GetBaudRate() = 0;
  virtual std::string GetStopBits() = 0;
  virtual std::string GetDataBits() = 0;
  virtual std::string GetParity() = 0;

 protected:
  ~IKYTSerialControl() = default;
};

struct IKYTSerialControlEx : virtual IKYTSerialControl {
  static constexpr TGUID IID = TGUID::FromText("{2A35E181-2562-433F-9F61-2C169EF6CA80}");
  using Parent = IKYTSerialControl;
  virtual void SetDTR(bool OnOff) = 0;
  virtual void SetRTS(bool OnOff) = 0;
  virtual void SetBreak(bool OnOff) = 0;
  virtual bool GetDTR() = 0;
  virtual bool GetRTS() = 0;

 protected:
  ~IKYTSerialControlEx() = default;
};

struct IKYTSerialPort : virtual IKYTSerialControlEx {
  static constexpr TGUID IID = TGUID::FromText("{6DC3D946-0D31-450F-A8C6-C42DB8D7D4F1}");
  using Parent = IKYTSerialControlEx;
  virtual void SetOpen(bool Open) = 0;
  virtual void SetPort(const std::string& Port) = 0;
  virtual bool GetOpen() = 0;
  virtual std::string GetPort() = 0;
  virtual TStringArray GetDevices() = 0;
  virtual void SendText(const std::string& Text) = 0;

 protected:
  ~IKYTSerialPort() = default;
};

struct IKYTClientSocket : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3}");
  virtual void SetOpen(bool Open) = 0;
  virtual void SetHost(const std::string& Host) = 0;
  virtual void SetPort(int32_t Port) = 0;
  virtual bool GetOpen() = 0;
  virtual std::string GetHost() = 0;
  virtual int32_t GetPort() = 0;
  virtual void SendText(const std::string& Text) = 0;

 protected:
  ~IKYTClientSocket() = default;
};

struct IKYTServerSocket : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{8062CF2B-600E-41D6-AD4B-1BA66C32D6ED}");
  virtual void SetOpen(bool Open) = 0;
  virtual void SetPort(int32_t Port) = 0;
  virtual void SetLimit(int32_t Limit) = 0;
  virtual bool GetOpen() = 0;
  virtual int32_t GetPort() = 0;
  virtual int32_t GetLimit() = 0;
  virtual void SendText(const std::string& Text) = 0;

 protected:
  ~IKYTServerSocket() = default;
};

struct IKYTWWWReader : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{4CB91589-CE01-4700-906F-26320EFCF6C4}");
  virtual void SetPage(const std::string& URL) = 0;
  virtual void SetUseTimer(bool Enabled) = 0;
  virtual void SetInterval(int32_t Seconds) = 0;
  virtual void SetUseProxy(bool Enabled) = 0;
  virtual void SetProxyHost(const std::string& Host) = 0;
  virtual void SetProxyPort(int32_t Port) = 0;
  virtual void SetProxyUsername(const std::string& Username) = 0;
  virtual void SetProxyPassword(const std::string& Password) = 0;
  virtual void SetUseBasicAuth(bool Enabled) = 0;
  virtual void SetAuthUsername(const std::string& Username) = 0;
  virtual void SetAuthPassword(const std::string& Password) = 0;
  virtual std::string GetPage() = 0;
  virtual bool GetUseTimer() = 0;
  virtual int32_t GetInterval() = 0;
  virtual bool GetUseProxy() = 0;
  virtual std::string GetProxyHost() = 0;
  virtual int32_t GetProxyPort() = 0;
  virtual std::string GetProxyUsername() = 0;
  virtual std::string GetProxyPassword() = 0;
  virtual bool GetUseBasicAuth() = 0;
  virtual std::string GetAuthUsername() = 0;
  virtual std::string GetAuthPassword() = 0;
  virtual void UpdatePage() = 0;
  virtual std::string RetrievePage(const std::string& URL) = 0;

 protected:
  ~IKYTWWWReader() = default;
};

struct IKYTHID : virtual IInvokable {
  static constexpr TGUID IID = TGUID::FromText("{E6D7692A-7F4C-441D-827B-64062CFE1C02}");
  virtual void SetOpen(bool Open) = 0;
  virtual void SetDeviceSerial(const std::string& Serial) = 0;
  virtual void SetDeviceVendorID(int32_t VID) = 0;
  virtual void SetDeviceProductID(int32_t PID) = 0;
  virtual bool GetOpen() = 0;
  virtual std::string GetDeviceSerial() = 0;
  virtual int32_t GetDeviceVendorID() = 0;
  virtual int32_t GetDeviceProductID() = 0;
  virtual THIDDevices GetDevices() = 0;
  virtual void SendEvent(uint8_t ReportID, const std::string& Text) = 0;

 protected:
  ~IKYTHID() = default;
};

struct IKYTFTDI : virtual IKYTSerialControl {
  static constexpr TGUID IID = TGUID::FromText("{C1D478E9-2A3E-4344-BCC4-37C892F58751}");
  using Parent = IKYTSerialControl;
  virtual void SetOpen(bool Open) = 0;
  virtual void SetPort(const std::string& Port) = 0;
  virtual bool GetOpen() = 0;
  virtual std::string GetPort() = 0;
  virtual TFTDIDevices GetDevices() = 0;
  virtual void SendText(const std::string& Text) = 0;

 protected:
  ~IKYTFTDI() = default;
};

struct IKYTUSBXp : virtual IKYTSerialControl {
  static constexpr TGUID IID = TGUID::FromText("{BFC698E9-1F43-45CD-BD79-47EA79CE21AD}");
  using Parent = IKYTSerialControl;
  virtual void SetOpen(bool Open) = 0;
  virtual void SetPort(const std::string& Port) = 0;
  virtual bool GetOpen() = 0;
  virtual std::string GetPort() = 0;
  virtual TUSBXpDevices GetDevices() = 0;
  virtual void SendText(const std::string& Text) = 0;

 protected:
  ~IKYTUSBXp() = default;
};

// ---- Data interfaces between connected instances -------------------------------------------

struct IKYTSendData : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{79827379-F36E-4ADA-8A95-5F8D1DC92FA9}");
  virtual void SendData(const std::string& Data) = 0;

 protected:
  ~IKYTSendData() = default;
};

struct IKYTReceiveData : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{018EF6B5-AB94-40C6-AA53-46943E824ACF}");
  virtual void ReceiveData(const std::string& Data) = 0;

 protected:
  ~IKYTReceiveData() = default;
};

struct IKYTHIDSendData : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{4A550680-80C5-4465-971E-BBF83205A02B}");
  virtual void SendEvent(uint8_t ReportID, const std::string& Data) = 0;

 protected:
  ~IKYTHIDSendData() = default;
};

struct IKYTHIDReceiveData : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{FD7FF32C-331E-4F6B-8BA8-F73982EF5AA7}");
  virtual void ReceiveEvent(uint8_t ReportID, const std::string& Data) = 0;

 protected:
  ~IKYTHIDReceiveData() = default;
};

// ---- Extra channel interfaces, for children that need more than bytes ----------------------

// Offered by the Server Socket: which client a block comes from, and writing to one client.
struct IKYTServerClients : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{21C34C66-0110-4DEB-A035-36D6618423AB}");
  // The client whose block the calling thread is handing to the children; 0 outside such a
  // hand-over. Client numbers count from 1 per instance and are not used again.
  virtual uint32_t DeliveringClient() = 0;
  // The clients connected now, in the order they came.
  virtual std::vector<uint32_t> GetClients() = 0;
  // Writes the whole text to that client only; false when it is not connected (any more).
  // A failed write drops the client and raises, as SendText does.
  virtual bool SendToClient(uint32_t Client, const std::string& Text) = 0;

 protected:
  ~IKYTServerClients() = default;
};

// Offered by a serial module beyond its line settings: the modem inputs, the line errors and
// the driver's queues.
struct IKYTSerialLineState : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{322E60D1-5170-4A96-9251-A199981B9337}");
  // Modem inputs, as bits.
  static constexpr uint8_t kCTS = 0x10, kDSR = 0x20, kRing = 0x40, kCarrier = 0x80;
  // Line errors, as bits.
  static constexpr uint8_t kOverrun = 0x02, kParityError = 0x04, kFramingError = 0x08,
                           kBreak = 0x10;
  // Queues to purge.
  static constexpr int32_t kPurgeReceived = 1, kPurgeTransmit = 2;

  // The modem inputs now; 0 on a closed port or a port without modem lines.
  virtual uint8_t GetModemInputs() = 0;
  // The line errors seen since the last call, which clears them.
  virtual uint8_t TakeLineErrors() = 0;
  // Discards what waits in the driver's receive and/or transmit queue; raises on a closed port.
  virtual void PurgeQueues(int32_t Queues) = 0;

 protected:
  ~IKYTSerialLineState() = default;
};

}  // namespace kyt
