// The Telnet reader of the Com Port Control child on arbitrary client bytes, fed in blocks cut
// where the first byte says. What it gives must account for the input: data never holds more
// bytes than came in, a subnegotiation never exceeds the limit, and escaping the data and
// reading it back (as a client that negotiates) gives it unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/telnet_reader.h"

using kyt::host::telnet::TEvent;
using kyt::host::telnet::TReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::size_t cut = data[0] % 17 + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  TReader reader;
  std::vector<TEvent> events;
  std::size_t dataBytes = 0;
  for (std::size_t at = 0; at < input.size(); at += cut) {
    reader.Feed(input.substr(at, cut), events);
  }
  std::string all;
  for (const TEvent& event : events) {
    if (event.Kind == TEvent::TKind::Data) {
      dataBytes += event.Bytes.size();
      all += event.Bytes;
    }
    if (event.Kind == TEvent::TKind::Subnegotiation &&
        event.Bytes.size() > TReader::kMaxSubnegotiation) {
      __builtin_trap();
    }
  }
  if (dataBytes > input.size())
    __builtin_trap();

  TReader back;
  std::vector<TEvent> again;
  back.Feed(kyt::host::telnet::Negotiation(kyt::host::telnet::WILL, 0), again);
  back.Feed(kyt::host::telnet::Escape(all), again);
  std::string read;
  for (const TEvent& event : again) {
    if (event.Kind == TEvent::TKind::Data)
      read += event.Bytes;
  }
  if (read != all)
    __builtin_trap();
  return 0;
}
