#pragma once

// How the built-in children reach the host that created them: the kernel answers this
// host-private interface, so a Console records what it receives without any global lookup.

#include "framework/interface.h"
#include "host/reference_host.h"

namespace kyt::host {

struct IHostRecorder : virtual IInterface {
  static constexpr TGUID IID = TGUID::FromText("{98BB4A43-86C1-4AF8-B56D-ED9BBEA4FD06}");
  virtual void RecordEvent(THostEvent Event) = 0;

 protected:
  ~IHostRecorder() = default;
};

}  // namespace kyt::host
