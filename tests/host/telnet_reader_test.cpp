// The Telnet reader of the Com Port Control child: what a client's bytes turn into, however
// they are cut into blocks.

#include "host/telnet_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kyt::host::telnet {
namespace {

using K = TEvent::TKind;

}  // namespace

void PrintTo(const TEvent& e, std::ostream* os) {
  *os << "{kind " << static_cast<int>(e.Kind) << ", command " << int(e.Command) << ", option "
      << int(e.Option) << ", " << e.Bytes.size() << " bytes \"" << e.Bytes.substr(0, 80) << "\"}";
}

namespace {

TEvent D(std::string bytes) {
  return {K::Data, 0, 0, std::move(bytes)};
}
TEvent N(uint8_t command, uint8_t option) {
  return {K::Negotiation, command, option, {}};
}
TEvent S(uint8_t option, std::string payload) {
  return {K::Subnegotiation, SB, option, std::move(payload)};
}
TEvent C(uint8_t command) {
  return {K::Command, command, 0, {}};
}
TEvent P(std::string text) {
  return {K::Problem, 0, 0, std::move(text)};
}

std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// Consecutive data events merged, so that cutting a block differently compares equal.
std::vector<TEvent> Read(const std::vector<std::string>& blocks) {
  TReader reader;
  std::vector<TEvent> events;
  for (const std::string& block : blocks) reader.Feed(block, events);
  std::vector<TEvent> merged;
  for (TEvent& event : events) {
    if (event.Kind == K::Data && !merged.empty() && merged.back().Kind == K::Data)
      merged.back().Bytes += event.Bytes;
    else
      merged.push_back(std::move(event));
  }
  return merged;
}

const std::string kWillBinary = B({IAC, WILL, BINARY});

struct TCase {
  const char* Name;
  std::string Input;
  std::vector<TEvent> Expected;
};

TEST(TelnetReaderTest, ReadsEveryKindOfInputWhereverTheBlocksAreCut) {
  const std::string big(300, 'x');
  const std::vector<TCase> cases = {
      {"raw client: 0xFF and would-be commands are data",
       B({'a', IAC, IAC, 'b', IAC, NOP}),
       {D(B({'a', IAC, IAC, 'b', IAC, NOP}))}},
      {"raw client turns to Telnet with its first negotiation",
       B({IAC, 'x', IAC, DO, SGA, 'y', IAC, IAC}),
       {D(B({IAC, 'x'})), N(DO, SGA), D(B({'y', IAC}))}},
      {"raw client turns to Telnet with a subnegotiation",
       B({IAC, SB, COM_PORT_OPTION, 0, IAC, SE}),
       {S(COM_PORT_OPTION, B({0}))}},
      {"IAC IAC in data and in a subnegotiation is one 0xFF",
       kWillBinary + B({1, IAC, IAC, 2, IAC, SB, 44, 1, IAC, IAC, IAC, SE}),
       {N(WILL, BINARY), D(B({1, IAC, 2})), S(44, B({1, IAC}))}},
      {"SE without SB",
       kWillBinary + B({'a', IAC, SE, 'b'}),
       {N(WILL, BINARY), D("a"), P("IAC SE without IAC SB, ignored"), D("b")}},
      {"unknown command",
       kWillBinary + B({IAC, 7, 'z'}),
       {N(WILL, BINARY), P("unknown command IAC 7, ignored"), D("z")}},
      {"commands without an option",
       kWillBinary + B({IAC, NOP, IAC, GA}),
       {N(WILL, BINARY), C(NOP), C(GA)}},
      {"a subnegotiation cut short by a negotiation: dropped, the negotiation counts",
       kWillBinary + B({IAC, SB, 44, 1, 0, IAC, DO, SGA, 'q'}),
       {N(WILL, BINARY), P("subnegotiation of option 44 cut short by IAC DO, dropped"), N(DO, SGA),
        D("q")}},
      {"an overlong subnegotiation is skipped up to its end",
       kWillBinary + B({IAC, SB, 44}) + big + B({IAC, IAC}) + big + B({IAC, SE, 'k'}),
       {N(WILL, BINARY), P("subnegotiation of option 44 longer than 256 bytes, skipped"), D("k")}},
      {"a subnegotiation of exactly the limit is taken",
       kWillBinary + B({IAC, SB, 44}) + std::string(256, 'y') + B({IAC, SE}),
       {N(WILL, BINARY), S(44, std::string(256, 'y'))}},
      {"an unfinished subnegotiation gives nothing yet",
       kWillBinary + B({IAC, SB, 44, 1, 2}),
       {N(WILL, BINARY)}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Read({c.Input}), c.Expected) << "in one block";
    // A raw client's 0xFF at the end of a block is data at once, so a raw IAC cut off from its
    // command is data: only what follows a first negotiation reads the same byte by byte.
    if (c.Input.rfind(kWillBinary, 0) == 0) {
      std::vector<std::string> bytes{kWillBinary};
      for (char b : c.Input.substr(kWillBinary.size())) bytes.emplace_back(1, b);
      EXPECT_EQ(Read(bytes), c.Expected) << "byte by byte";
    }
  }
}

TEST(TelnetReaderTest, ARawClientsTrailingIacIsDeliveredAtOnce) {
  TReader reader;
  std::vector<TEvent> events;
  reader.Feed(B({'a', IAC}), events);
  EXPECT_EQ(events, (std::vector<TEvent>{D(B({'a', IAC}))}));
  EXPECT_FALSE(reader.Negotiating());
}

TEST(TelnetReaderTest, WritersDoubleEveryIac) {
  EXPECT_EQ(Escape(B({1, IAC, IAC, 2})), B({1, IAC, IAC, IAC, IAC, 2}));
  EXPECT_EQ(Subnegotiation(44, B({101, IAC})), B({IAC, SB, 44, 101, IAC, IAC, IAC, SE}));
  EXPECT_EQ(Negotiation(DONT, 44), B({IAC, DONT, 44}));
}

}  // namespace
}  // namespace kyt::host::telnet
