#include "host/telnet_reader.h"

#include <fmt/format.h>

namespace kyt::host::telnet {

void TReader::Feed(std::string_view bytes, std::vector<TEvent>& events) {
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    switch (state_) {
      case TState::Data:
        if (byte == IAC) {
          state_ = negotiating_ ? TState::Iac : TState::RawIac;
        } else {
          Data(byte, events);
        }
        break;
      case TState::RawIac:
        if (byte == SB || (byte >= WILL && byte <= DONT)) {
          negotiating_ = true;
          AfterIac(byte, events);
        } else {
          state_ = TState::Data;
          Data(IAC, events);
          if (byte == IAC) {
            state_ = TState::RawIac;
          } else {
            Data(byte, events);
          }
        }
        break;
      case TState::Iac:
        AfterIac(byte, events);
        break;
      case TState::Option:
        events.push_back({TEvent::TKind::Negotiation, command_, byte, {}});
        state_ = TState::Data;
        break;
      case TState::SbOption:
        option_ = byte;
        payload_.clear();
        state_ = TState::SbData;
        break;
      case TState::SbData:
        if (byte == IAC) {
          state_ = TState::SbIac;
        } else if (payload_.size() < kMaxSubnegotiation) {
          payload_.push_back(static_cast<char>(byte));
        } else {
          Problem(fmt::format("subnegotiation of option {} longer than {} bytes, skipped", option_,
                              kMaxSubnegotiation),
                  events);
          state_ = TState::SbSkip;
        }
        break;
      case TState::SbIac:
        if (byte == SE) {
          events.push_back({TEvent::TKind::Subnegotiation, SB, option_, std::move(payload_)});
          payload_.clear();
          state_ = TState::Data;
        } else if (byte == IAC) {
          state_ = TState::SbData;
          if (payload_.size() < kMaxSubnegotiation) {
            payload_.push_back(static_cast<char>(IAC));
          } else {
            Problem(fmt::format("subnegotiation of option {} longer than {} bytes, skipped",
                                option_, kMaxSubnegotiation),
                    events);
            state_ = TState::SbSkip;
          }
        } else {
          Problem(fmt::format("subnegotiation of option {} cut short by IAC {}, dropped", option_,
                              CommandName(byte)),
                  events);
          payload_.clear();
          AfterIac(byte, events);
        }
        break;
      case TState::SbSkip:
        if (byte == IAC)
          state_ = TState::SbSkipIac;
        break;
      case TState::SbSkipIac:
        if (byte == SE) {
          state_ = TState::Data;
        } else if (byte == IAC) {
          state_ = TState::SbSkip;
        } else {
          AfterIac(byte, events);
        }
        break;
    }
  }
  // A raw client's 0xFF at the end of a block is its data, not the start of a command.
  if (state_ == TState::RawIac) {
    Data(IAC, events);
    state_ = TState::Data;
  }
}

void TReader::AfterIac(uint8_t byte, std::vector<TEvent>& events) {
  state_ = TState::Data;
  if (byte == IAC) {
    Data(IAC, events);
  } else if (byte >= WILL && byte <= DONT) {
    command_ = byte;
    state_ = TState::Option;
  } else if (byte == SB) {
    state_ = TState::SbOption;
  } else if (byte == SE) {
    Problem("IAC SE without IAC SB, ignored", events);
  } else if (byte >= NOP && byte <= GA) {
    events.push_back({TEvent::TKind::Command, byte, 0, {}});
  } else {
    Problem(fmt::format("unknown command IAC {}, ignored", byte), events);
  }
}

void TReader::Data(uint8_t byte, std::vector<TEvent>& events) {
  if (events.empty() || events.back().Kind != TEvent::TKind::Data)
    events.push_back({TEvent::TKind::Data, 0, 0, {}});
  events.back().Bytes.push_back(static_cast<char>(byte));
}

void TReader::Problem(std::string text, std::vector<TEvent>& events) {
  events.push_back({TEvent::TKind::Problem, 0, 0, std::move(text)});
}

std::string Escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 16);
  for (char c : bytes) {
    out.push_back(c);
    if (static_cast<uint8_t>(c) == IAC)
      out.push_back(c);
  }
  return out;
}

std::string Negotiation(uint8_t command, uint8_t option) {
  return {static_cast<char>(IAC), static_cast<char>(command), static_cast<char>(option)};
}

std::string Subnegotiation(uint8_t option, std::string_view payload) {
  std::string out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(option)};
  out += Escape(payload);
  out.push_back(static_cast<char>(IAC));
  out.push_back(static_cast<char>(SE));
  return out;
}

std::string CommandName(uint8_t command) {
  switch (command) {
    case WILL:
      return "WILL";
    case WONT:
      return "WONT";
    case DO:
      return "DO";
    case DONT:
      return "DONT";
    case SB:
      return "SB";
    case SE:
      return "SE";
    default:
      return std::to_string(command);
  }
}

}  // namespace kyt::host::telnet
