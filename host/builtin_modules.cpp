#include "host/bridge_module.h"
#include "host/console_module.h"
#include "host/reference_host.h"

namespace kyt::host {

void RegisterBuiltinModules(TReferenceHost& host) {
  host.RegisterModule(&TKYTConsole::Class, nullptr, "Console");
  host.RegisterModule(&TKYTBridge::Class, nullptr, "Bridge");
}

}  // namespace kyt::host
