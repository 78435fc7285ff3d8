#pragma once

// The serial line settings of the FTDI and USBXpress modules: the settings record and the
// text conversions of their string properties.

#include <cstdint>
#include <string>

#include "framework/text_table.h"

namespace kyt {

struct TVendorSettings {
  bool Open = false;
  std::string Port;  // the device's serial number
  std::string Name;  // the device's description
  int32_t BaudRate = 9600;
  int32_t DataBits = 8;
  int32_t StopBits = 0;  // 0 one stop bit, 2 two
  int32_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int32_t FlowControl = 0;
};

// A decimal integer with an optional sign; raises EConvertError for anything else, including
// the empty text and values beyond 32 bits.
int32_t TextToInteger(const std::string& Text);
// True when every character is a decimal digit; true for the empty text.
bool AllDigits(const std::string& Text);

// "1" is one stop bit, stored as 0; other texts are numbers.
int32_t StopBitsFromText(const std::string& Text);
std::string StopBitsText(int32_t StopBits);

// The name of a parity index; an index beyond the names reads as its digits, so that what the
// setter took is saved and loaded again as the same value.
std::string ParityText(int32_t Parity);

// "%s (%d,%d,%d,%s)": name, baud rate, data bits, stop bits as stored, parity letter.
std::string LineSummary(const TVendorSettings& Settings);

}  // namespace kyt
