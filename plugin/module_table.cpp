#include "plugin/module_table.h"

#include "network/client_socket.h"
#include "serial/serial_port.h"

namespace kyt {

// Registration order: "WWWReader", "COMPort", "CSCK", "SSCK", "HID", "FTDI", "USBXp". A class
// gets its row once it exists.
const std::vector<TModuleTableRow>& ModuleTable() {
  static const std::vector<TModuleTableRow> table = {
      {"COMPort", &TKYTSerialPort::Class, &TypeInfoOf<IKYTSerialPort>()},
      {"CSCK", &TKYTClientSocket::Class, &TypeInfoOf<IKYTClientSocket>()},
  };
  return table;
}

}  // namespace kyt
