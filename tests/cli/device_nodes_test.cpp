// Which /dev/hidrawN a listed HID device is, read from a sysfs tree laid out in a folder.

#include <gtest/gtest.h>

#include <filesystem>

#include "cli/config_check.h"
#include "cli/device_nodes.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

// hidrawN/device/uevent as the kernel writes it for a USB HID device.
void AddNode(const TTempDir& dir, const std::string& node, const std::string& id,
             const std::string& uniq) {
  std::filesystem::create_directories(dir.Path() + "/" + node + "/device");
  dir.Write(node + "/device/uevent", "DRIVER=hid-generic\nHID_ID=" + id +
                                         "\nHID_NAME=QEMU QEMU USB Keyboard\nHID_UNIQ=" + uniq +
                                         "\nMODALIAS=hid:b0003g0001v00000627p00000001\n");
}

TEST(DeviceNodesTest, HidDevicesAreFoundBySerialOrByTheirNodeNumber) {
  TTempDir dir;
  AddNode(dir, "hidraw0", "0003:00000627:00000001", "KYTVM-KBD1");
  AddNode(dir, "hidraw1", "0003:00000627:00000001", "KYTVM-MOUSE");
  AddNode(dir, "hidraw2", "0003:000004D8:0000F00D", "");
  AddNode(dir, "hidraw3", "0003:000004D8:0000F00D", "");
  struct TCase {
    int32_t Vendor, Product;
    std::string Serial;
    std::vector<std::string> Nodes;
  };
  const std::vector<TCase> cases = {
      {0x0627, 0x0001, "KYTVM-KBD1", {"/dev/hidraw0"}},
      {0x0627, 0x0001, "KYTVM-MOUSE", {"/dev/hidraw1"}},
      {0x0627, 0x0002, "KYTVM-KBD1", {}},  // another product with that serial
      {0x04D8, 0xF00D, "3", {"/dev/hidraw3"}},
      {0x04D8, 0xF00D, "0", {}},  // node 0 is another device
      {0x0627, 0x0001, "0", {}},  // a device with a serial is not named by its number
  };
  for (const auto& test : cases) {
    EXPECT_EQ(host::HidrawNodes(test.Vendor, test.Product, test.Serial, dir.Path()), test.Nodes)
        << test.Serial;
  }
}

TEST(DeviceNodesTest, SerialPortNamesOpenTheNodeTheirLinkPointsAt) {
  TTempDir dir;
  std::filesystem::create_symlink("/dev/null", dir.File("usb-FTDI_FT232R-if00-port0"));
  EXPECT_EQ(host::SerialNode(dir.File("usb-FTDI_FT232R-if00-port0")), "/dev/null");
  EXPECT_EQ(host::SerialNode("ttyKYT9"), "/dev/ttyKYT9");  // no such node: the path as named
}

TEST(DeviceNodesTest, TheNearestNameIgnoresLetterCase) {
  const std::vector<std::string> known = {"Open", "Port", "Limit"};
  EXPECT_EQ(host::NearestName("prot", known), "Port");
  EXPECT_EQ(host::NearestName("LIMT", known), "Limit");
  EXPECT_EQ(host::NearestName("Opne", known), "Open");
}

}  // namespace
}  // namespace kyt::test_support
