#include "host/bridge_module.h"
#include "host/com_port_control.h"
#include "host/console_module.h"
#include "host/reference_host.h"

namespace kyt::host {

void RegisterBuiltinModules(TReferenceHost& host) {
  host.RegisterModule(&TKYTConsole::Class, nullptr, "Console");
  host.RegisterModule(&TKYTBridge::Class, nullptr, "Bridge");
  host.RegisterModule(&TKYTComPortControl::Class, nullptr, "ComPortControl");
}

}  // namespace kyt::host
