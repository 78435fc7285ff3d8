#pragma once

#include "framework/library_info.h"
#include "host/host_core.h"
#include "platform/dynlib.h"

namespace kyt::host {

struct THostCore::TLoadedLibrary {
  TDynamicLibrary Handle;
  const TKYTLibraryInfo* Info = nullptr;
};

}  // namespace kyt::host
