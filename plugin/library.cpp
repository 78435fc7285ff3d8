// The plug-in's entry: the library record, the register and unregister hooks, and what must be
// in place as soon as the library is loaded.

#include "framework/codes.h"
#include "framework/library_info.h"
#include "framework/translate.h"
#include "plugin/module_table.h"
#include "runtime/types.h"

namespace kyt {
namespace {

constexpr const char* kLibraryName = "I/O Library";

// Kept from Register to Unregister; a static, so unloading releases it if Unregister did not.
TRef<IKYTKernel>& LibraryKernel() {
  static TRef<IKYTKernel> kernel;
  return kernel;
}

void Register(IKYTKernel* Kernel, IKYTModuleLoader* ModuleLoader) {
  LibraryKernel() = TRef<IKYTKernel>(Kernel);
  // "Register" and "Unregister" are never translated.
  Kernel->PostLogMessage(KL_MESSAGE, 0, kLibraryName, "Register");
  for (const TModuleTableRow& row : ModuleTable()) {
    ModuleLoader->RegisterModule(row.Class, row.TypeInfo, row.Name, 0);
  }
}

void Unregister() {
  TRef<IKYTKernel> kernel = std::move(LibraryKernel());
  if (kernel)
    kernel->PostLogMessage(KL_MESSAGE, 0, kLibraryName, "Unregister");
}

TKYTLibraryInfo libraryInfo = {
    "{3211679B-9A2A-45A8-BF66-7AB0B23BB2BD}",
    "KYT - Dornwell",
    "https://www.kyt-dornwell.de",
    kLibraryName,
    0x0200,
    {},
    0x0203,
    &Register,
    &Unregister,
    0,
};

// Before the host calls anything: the 16-bit ID type names and the translation lookup.
struct LoadTimeSetup {
  LoadTimeSetup() {
    RegisterTypeName("TKYTID", "urn:UKYTTypes", "uint16_t");
    RegisterTypeName("TInstanceID", "urn:UKYTTypes", "uint16_t");
    InitTranslation();
  }
} loadTimeSetup;

}  // namespace
}  // namespace kyt

extern "C" KYT_LIBRARY_EXPORT void KYT_CDECL KYTLibraryInfo(kyt::TKYTLibraryInfo** Info) {
  *Info = &kyt::libraryInfo;
}
