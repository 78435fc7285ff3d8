#include "plugin/module_table.h"

#include "network/client_socket.h"
#include "network/server_socket.h"
#include "serial/serial_port.h"
#include "usb/ftdi_module.h"
#include "usb/hid_module.h"
#include "usb/usbxp_module.h"

namespace kyt {

// Registration order: "WWWReader", "COMPort", "CSCK", "SSCK", "HID", "FTDI", "USBXp". A class
// gets its row once it exists.
const std::vector<TModuleTableRow>& ModuleTable() {
  static const std::vector<TModuleTableRow> table = {
      {"COMPort", &TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>()},
      {"CSCK", &TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>()},
      {"SSCK", &TKYTServerSocket::Class, &TypeInfoOf<IKYTServerSocket>()},
      {"HID", &TKYTHID::Class, &TypeInfoOf<IKYTHID>()},
      {"FTDI", &TKYTFTDI::Class, &TypeInfoOf<IKYTFTDI>()},
      {"USBXp", &TKYTUSBXp::Class, &TypeInfoOf<IKYTUSBXp>()},
  };
  return table;
}

}  // namespace kyt
