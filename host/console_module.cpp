#include "host/console_module.h"

#include "host/host_recorder.h"

namespace kyt::host {

const TKYTModuleClass TKYTConsole::Class = MakeModuleClass<TKYTConsole>({
    .ClassName = "TKYTConsole",
    .ModuleID = "{4E918933-DF54-4782-B6BE-BBCE4F6D3CB9}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "Console",
    .Implemented = {IKYTReceiveData::IID.ToString(), IKYTHIDReceiveData::IID.ToString()},
});

TKYTConsole::TKYTConsole(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  LoadAndApplySettings();
}

TKYTConsole::~TKYTConsole() {
  PrepareDelete();
}

void TKYTConsole::ReceiveData(const std::string& Data) {
  Record(Data, false, 0);
}

void TKYTConsole::ReceiveEvent(uint8_t ReportID, const std::string& Data) {
  Record(Data, true, ReportID);
}

void TKYTConsole::Record(const std::string& data, bool hid, uint8_t reportID) {
  TRef<IHostRecorder> recorder = Supports<IHostRecorder>(Kernel);
  if (!recorder)
    throw EKYTModuleObject("Console: the host does not record data");
  recorder->RecordEvent({THostEvent::Kind::Data, InstanceID, reportID, "", data, {}, hid});
}

}  // namespace kyt::host
