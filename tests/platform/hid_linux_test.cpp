// The Linux HID backend on this machine, which has no hidraw devices: what it does with
// nothing to find and with nodes that are no HID devices.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/hid.h"
#include "runtime/thread.h"

namespace kyt {
namespace {

TEST(HidLinuxTest, EnumeratesAndWatchesWithoutDevicesOrUdevd) {
  hid::IHidPlatform& platform = hid::Platform();
  for (const hid::TDeviceEntry& entry : platform.Enumerate()) {
    EXPECT_EQ(entry.Path.rfind("/dev/", 0), 0u) << entry.Path;
    EXPECT_FALSE(entry.Identity.empty());
  }
  // The monitor thread starts and stops at once, with no notice to leave behind.
  int notices = 0;
  auto watch = platform.Watch([&] { ++notices; });
  watch.reset();
  CheckSynchronize();
  EXPECT_EQ(notices, 0);
}

TEST(HidLinuxTest, NodesThatAreMissingOrNoHidDeviceFailWithTheirCode) {
  hid::IHidPlatform& platform = hid::Platform();
  try {
    platform.Open("/dev/hidraw-none", hid::TAccess::QueryOnly);
    FAIL() << "opened a missing node";
  } catch (const hid::HidError& e) {
    EXPECT_EQ(e.Code(), ENOENT);
    EXPECT_TRUE(hid::IsDeviceGone(e.Code()));
  }
  // /dev/null opens, but answers no HID request.
  auto handle = platform.Open("/dev/null", hid::TAccess::ReadWrite);
  EXPECT_TRUE(handle->HasReadWriteAccess());
  EXPECT_THROW(handle->Attributes(), hid::HidError);
  EXPECT_THROW(handle->Caps(), hid::HidError);
  EXPECT_FALSE(handle->SerialNumberString());
  EXPECT_FALSE(handle->IndexedString(0));
  EXPECT_THROW(platform.OpenReader("/dev/null"), hid::HidError);
}

}  // namespace
}  // namespace kyt
