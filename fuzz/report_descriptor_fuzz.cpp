// Report descriptors come from the device, so a broken or hostile one must neither crash the
// parser nor give lengths that the report shaping cannot honour.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/hid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kyt::hid::TReportLayout layout = kyt::hid::ParseReportDescriptor(data, size);
  // A report as long as the input itself, shaped into a buffer of the declared input length.
  std::vector<uint8_t> report(layout.Caps.InputReportByteLength, 0);
  const size_t count = kyt::hid::ShapeReport(layout.Numbered, data, size, report);
  const size_t least = layout.Numbered ? size : size + 1;
  if (count != report.size() || count < least || count < layout.Caps.InputReportByteLength) {
    __builtin_trap();
  }
  return 0;
}
