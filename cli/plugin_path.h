#pragma once

#include <string>

namespace kyt::host {

// The plug-in kyt-host loads when none is named: VidiridAZ.so beside the executable (a build
// tree), else in the installed plug-in folder relative to it. The first candidate when neither
// exists, so the loader's error names a sensible file.
std::string DefaultLibraryPath();

}  // namespace kyt::host
