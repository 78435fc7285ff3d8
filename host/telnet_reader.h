#pragma once

// Telnet (RFC 854, 855) as the Com Port Control child reads it from a client and writes it back:
// a reader that splits what a client sends into data, option negotiations and subnegotiations,
// and the few writers for the other direction. Both are pure: no I/O, no host.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kyt::host::telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
// Commands without an option: NOP (241) to GA (249).
constexpr uint8_t NOP = 241, GA = 249;
// Options.
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT_OPTION = 44;

struct TEvent {
  enum class TKind {
    Data,            // Bytes: bytes for the far side, IAC IAC undone
    Negotiation,     // Command (WILL, WONT, DO, DONT) and Option
    Subnegotiation,  // Option and Bytes (the payload between IAC SB OPTION and IAC SE)
    Command,         // Command: NOP to GA, which carry nothing
    Problem,         // Bytes: what was wrong, in words; the reader goes on
  };
  TKind Kind = TKind::Data;
  uint8_t Command = 0;
  uint8_t Option = 0;
  std::string Bytes;

  bool operator==(const TEvent&) const = default;
};

// Reads one client's bytes, block by block; state carries over between blocks. Until the client
// sends its first negotiation (IAC followed by WILL, WONT, DO, DONT or SB) it is taken for a raw
// client: its bytes, 0xFF included, are data as they come (an IAC that ends a block is data too,
// so a raw 0xFF is never held back).
class TReader {
 public:
  // A longer subnegotiation is reported and skipped up to its IAC SE.
  static constexpr std::size_t kMaxSubnegotiation = 256;

  bool Negotiating() const { return negotiating_; }
  // Appends the events of `bytes` to `events`; consecutive data becomes one Data event.
  void Feed(std::string_view bytes, std::vector<TEvent>& events);

 private:
  enum class TState { Data, RawIac, Iac, Option, SbOption, SbData, SbIac, SbSkip, SbSkipIac };

  void AfterIac(uint8_t byte, std::vector<TEvent>& events);
  void Data(uint8_t byte, std::vector<TEvent>& events);
  void Problem(std::string text, std::vector<TEvent>& events);

  TState state_ = TState::Data;
  bool negotiating_ = false;
  uint8_t command_ = 0;
  uint8_t option_ = 0;
  std::string payload_;
};

// The bytes with every IAC doubled.
std::string Escape(std::string_view bytes);
// IAC COMMAND OPTION.
std::string Negotiation(uint8_t command, uint8_t option);
// IAC SB OPTION PAYLOAD IAC SE, with the payload's IACs doubled.
std::string Subnegotiation(uint8_t option, std::string_view payload);
// "WILL", "DO", ... for log lines; the number for others.
std::string CommandName(uint8_t command);

}  // namespace kyt::host::telnet
