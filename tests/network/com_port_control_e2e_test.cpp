// The Com Port Control child in kyt-host, run from examples/rfc2217-gateway.json on a pty:
// pyserial's rfc2217:// client, raw clients, Telnet clients that refuse the option, bad input
// and two clients at once.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

#include "host/com_port_control.h"
#include "host/telnet_reader.h"
#include "tests/network/pty_device.h"
#include "tests/network/server_test_client.h"
#include "tests/network/tcp_test_peer.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

using host::TJson;
using namespace host::telnet;
namespace cpc = host::cpc;
constexpr auto kLimit = std::chrono::seconds(30);

std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}
std::string Command(uint8_t command, const std::string& value) {
  return Subnegotiation(COM_PORT_OPTION, std::string(1, static_cast<char>(command)) + value);
}
std::string Baud(uint32_t rate) {
  return Command(cpc::SET_BAUDRATE, B({int(rate >> 24), int(rate >> 16 & 0xFF),
                                       int(rate >> 8 & 0xFF), int(rate & 0xFF)}));
}
std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
  return out;
}

// A Telnet client of the test's own, reading the server's answers with the same reader.
class TelnetClient {
 public:
  explicit TelnetClient(uint16_t port) : socket_(port) {}
  void Send(const std::string& bytes) { socket_.Send(bytes); }
  // The value of the server's answer to a COM-PORT-OPTION command; nullopt when none came.
  std::optional<std::string> AnswerTo(uint8_t command) {
    for (;;) {
      for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->Kind == TEvent::TKind::Subnegotiation && !it->Bytes.empty() &&
            static_cast<uint8_t>(it->Bytes[0]) == command + cpc::kServerOffset) {
          std::string value = it->Bytes.substr(1);
          events_.erase(it);
          return value;
        }
      }
      if (!Pump())
        return std::nullopt;
    }
  }
  std::string Data(std::size_t size) {
    while (data_.size() < size && Pump()) {
    }
    return std::exchange(data_, std::string());
  }

 private:
  bool Pump() {
    const std::string got = socket_.ReceiveSome();
    if (got.empty())
      return false;
    std::vector<TEvent> events;
    reader_.Feed(got, events);
    for (TEvent& event : events) {
      if (event.Kind == TEvent::TKind::Data)
        data_ += event.Bytes;
      else
        events_.push_back(std::move(event));
    }
    return true;
  }

  test::TcpTestClient socket_;
  TReader reader_;
  std::vector<TEvent> events_;
  std::string data_;
};

class ComPortControlEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream in(std::string(KYT_SOURCE_DIR) + "/examples/rfc2217-gateway.json");
    std::stringstream text;
    text << in.rdbuf();
    TJson config = TJson::parse(text.str());
    port_ = test::FreePort();
    for (TJson& instance : config["instances"]) {
      if (instance["id"] == 10)
        instance["settings"]["Port"] = pty_.Path();
      if (instance["id"] == 20)
        instance["settings"]["Port"] = port_;
    }
    host_ = std::make_unique<TKytHost>(
        std::vector<std::string>{"run", dir_.Write("rfc2217.json", config.dump())});
    ASSERT_TRUE(Call("COMPort_GetOpen", TJson::array({10}))) << host_->Stderr();
    ASSERT_TRUE(host_->WaitForEvent(
        "status", [](const TJson& e) { return e["instance"] == 10 && e["status"] == 102; }));
  }
  void TearDown() override {
    if (!host_)
      return;
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->Wait(kLimit), 0) << host_->Stderr();
  }

  std::optional<TJson> Call(const std::string& function, const TJson& args) {
    // The answer to this call: the first result beyond those already there.
    std::size_t before = host_->Events("result").size(), seen = 0;
    host_->SendCall(function, args);
    std::optional<TJson> result;
    host_->WaitForEvent("result", [&](const TJson& e) {
      if (++seen <= before || e["call"] != function)
        return false;
      result = e["value"];
      return true;
    });
    return result;
  }
  bool Logged(const std::string& part) {
    return host_->WaitForEvent("log", [&](const TJson& e) {
      return e["text"].get<std::string>().find(part) != std::string::npos;
    });
  }
  void Negotiate(TelnetClient& client) {
    client.Send(Negotiation(WILL, COM_PORT_OPTION));
    ASSERT_TRUE(client.AnswerTo(cpc::NOTIFY_MODEMSTATE));
  }

  test::PtyDevice pty_;
  TTempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<TKytHost> host_;
};

TEST_F(ComPortControlEndToEndTest, PyserialSetsTheLineAndMovesEveryByteBothWays) {
  TSubprocess client({"/usr/bin/python3",
                      std::string(KYT_SOURCE_DIR) + "/tests/network/pyserial_rfc2217_client.py"});
  const auto run = [&](const std::string& line) {
    const std::size_t before = client.Lines().size();
    client.WriteStdin(line + "\n");
    std::size_t seen = 0;
    client.WaitForLine([&](const std::string&) { return ++seen > before; }, kLimit);
    return client.Lines().size() > before ? client.Lines().back() : "(no answer)";
  };
  const std::string url = fmt::format("rfc2217://127.0.0.1:{}", port_);

  // A pty keeps CS8 and clears PARENB whatever it is told; the data bits and the parity are
  // read from the module, the rate, the stop bits and odd parity (PARODD) from the pty.
  struct TFraming {
    const char* Settings;
    speed_t Speed;
    const char *DataBits, *Parity;
    tcflag_t Odd, StopBits;
  };
  const TFraming framings[] = {{"115200 7 E 2", B115200, "7", "Even", 0, CSTOPB},
                               {"19200 8 N 1", B19200, "8", "None", 0, 0},
                               {"57600 8 O 1", B57600, "8", "Odd", PARODD, 0}};
  ASSERT_EQ(run(fmt::format("open {} {}", url, framings[0].Settings)), "ok");
  for (const TFraming& framing : framings) {
    SCOPED_TRACE(framing.Settings);
    ASSERT_EQ(run(fmt::format("set {}", framing.Settings)), "ok");
    const termios line = pty_.Line();
    EXPECT_EQ(::cfgetospeed(&line), framing.Speed);
    EXPECT_EQ(line.c_cflag & PARODD, framing.Odd);
    EXPECT_EQ(line.c_cflag & CSTOPB, framing.StopBits);
    EXPECT_EQ(Call("COMPort_GetDataBits", TJson::array({10})), TJson(framing.DataBits));
    EXPECT_EQ(Call("COMPort_GetParity", TJson::array({10})), TJson(framing.Parity));
    if (&framing == &framings[0]) {
      // DTR and RTS set once stay set through the reopen that the next settings take.
      EXPECT_EQ(run("dtr 1"), "ok");
      EXPECT_EQ(run("rts 1"), "ok");
    }
    EXPECT_EQ(Call("COMPort_GetDTR", TJson::array({10})), TJson(true));
    EXPECT_EQ(Call("COMPort_GetRTS", TJson::array({10})), TJson(true));
  }
  EXPECT_EQ(run("dtr 0"), "ok");
  EXPECT_EQ(Call("COMPort_GetDTR", TJson::array({10})), TJson(false));
  EXPECT_EQ(run("break"), "ok");

  const std::string bytes = test::EveryByteValue(4) + std::string(64, '\xFF');
  EXPECT_EQ(run("write " + Hex(bytes)), "ok");
  EXPECT_EQ(Hex(pty_.Read(bytes.size())), Hex(bytes));
  pty_.Write(bytes);
  EXPECT_EQ(run(fmt::format("read {}", bytes.size())), "data " + Hex(bytes));
  EXPECT_EQ(run("close"), "ok");
}

TEST_F(ComPortControlEndToEndTest, ClientsThatDoNotTakeTheOptionStillMoveTheirData) {
  const std::string bytes = test::EveryByteValue(2);
  // A client that never negotiates: raw bytes both ways, 0xFF included.
  test::TcpTestClient raw(port_);
  raw.Send(bytes);
  EXPECT_EQ(Hex(pty_.Read(bytes.size())), Hex(bytes));
  pty_.Write(bytes);
  EXPECT_EQ(Hex(raw.Receive(bytes.size())), Hex(bytes));
  raw.Close();

  // A Telnet client that refuses COM-PORT-OPTION: its IAC IAC is one 0xFF, and it gets the
  // port's 0xFF doubled.
  TelnetClient telnet(port_);
  telnet.Send(Negotiation(WILL, BINARY) + Negotiation(DONT, COM_PORT_OPTION) +
              Negotiation(WONT, COM_PORT_OPTION) + Escape(bytes));
  EXPECT_EQ(Hex(pty_.Read(bytes.size())), Hex(bytes));
  pty_.Write(bytes);
  EXPECT_EQ(Hex(telnet.Data(bytes.size())), Hex(bytes));
}

TEST_F(ComPortControlEndToEndTest, BadInputIsLoggedAndTheLineKeepsItsLastGoodSettings) {
  TelnetClient client(port_);
  Negotiate(client);
  client.Send(Baud(115200));
  ASSERT_EQ(client.AnswerTo(cpc::SET_BAUDRATE), B({0, 1, 0xC2, 0}));

  struct TBad {
    const char* Name;
    std::string Bytes;
    const char* Logged;  // nullptr: nothing to say
  };
  const TBad bad[] = {
      {"baud 4 billion", Baud(4000000000u),
       "SET-BAUDRATE 4000000000 refused; the port keeps 115200"},
      {"baud the module has no text for", Baud(250000), "SET-BAUDRATE 250000 refused"},
      {"data size 9", Command(cpc::SET_DATASIZE, B({9})), "SET-DATASIZE 9 refused"},
      {"truncated subnegotiation", B({IAC, SB, 44, 1, 0}) + Negotiation(DO, SGA),
       "cut short by IAC DO"},
      {"SE without SB", B({IAC, SE}), "IAC SE without IAC SB"},
      {"64 KiB subnegotiation", B({IAC, SB, 44, 1}) + std::string(65536, 'z') + B({IAC, SE}),
       "longer than 256 bytes"},
      {"unknown command", Command(99, B({1})), "unknown COM-PORT-OPTION command 99"},
      {"unknown control", Command(cpc::SET_CONTROL, B({77})), "unknown SET-CONTROL value 77"},
      {"short baud", Command(cpc::SET_BAUDRATE, B({1, 2})), "SET-BAUDRATE with 2 value bytes"},
  };
  for (const TBad& b : bad) {
    SCOPED_TRACE(b.Name);
    client.Send(b.Bytes);
    EXPECT_TRUE(Logged(b.Logged));
  }
  // A flood of IAC IAC is data: one 0xFF each, and nothing to log.
  client.Send(std::string(2 * 65536, '\xFF'));
  EXPECT_EQ(pty_.Read(65536), std::string(65536, '\xFF'));

  client.Send(Baud(0));
  EXPECT_EQ(client.AnswerTo(cpc::SET_BAUDRATE), B({0, 1, 0xC2, 0}));
  const termios line = pty_.Line();
  EXPECT_EQ(::cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

// What the port cannot do is answered with what it does (no flow control at all), queries with
// the line as it is, masks as set; a suspended client gets what came meanwhile once it resumes.
TEST_F(ComPortControlEndToEndTest, EveryCommandIsAnsweredWithWhatThePortTook) {
  TelnetClient client(port_);
  Negotiate(client);
  struct TAsk {
    const char* Name;
    uint8_t Command;
    std::string Value, Answer;
    const char* Logged;  // nullptr: nothing to say
  };
  const TAsk asks[] = {
      {"signature", cpc::SIGNATURE, "", host::TKYTComPortControl::kSignature, nullptr},
      {"outbound flow query", cpc::SET_CONTROL, B({0}), B({1}), nullptr},
      {"XON/XOFF", cpc::SET_CONTROL, B({2}), B({1}), "XON/XOFF flow control refused"},
      {"hardware flow", cpc::SET_CONTROL, B({3}), B({1}), "hardware flow control refused"},
      {"inbound hardware flow", cpc::SET_CONTROL, B({16}), B({14}), "inbound flow control 16"},
      {"DTR query", cpc::SET_CONTROL, B({7}), B({9}), nullptr},
      {"RTS on", cpc::SET_CONTROL, B({11}), B({11}), nullptr},
      {"break query", cpc::SET_CONTROL, B({4}), B({6}), nullptr},
      {"line state", cpc::NOTIFY_LINESTATE, "", B({0}), nullptr},
      {"modem state mask", cpc::SET_MODEMSTATE_MASK, B({0x30}), B({0x30}), nullptr},
      {"line state mask", cpc::SET_LINESTATE_MASK, B({0x1E}), B({0x1E}), nullptr},
  };
  for (const TAsk& ask : asks) {
    SCOPED_TRACE(ask.Name);
    client.Send(Command(ask.Command, ask.Value));
    EXPECT_EQ(client.AnswerTo(ask.Command), ask.Answer);
    if (ask.Logged) {
      EXPECT_TRUE(Logged(ask.Logged));
    }
  }
  EXPECT_EQ(Call("COMPort_GetRTS", TJson::array({10})), TJson(true));

  client.Send(Command(cpc::FLOWCONTROL_SUSPEND, ""));
  client.Send(Command(cpc::SIGNATURE, ""));
  ASSERT_TRUE(client.AnswerTo(cpc::SIGNATURE));
  pty_.Write("held\xFF");
  client.Send(Command(cpc::FLOWCONTROL_RESUME, ""));
  EXPECT_EQ(client.Data(5), "held\xFF");
}

TEST_F(ComPortControlEndToEndTest, TheFirstClientToChangeTheLineHoldsItUntilItLeaves) {
  auto first = std::make_unique<TelnetClient>(port_);
  TelnetClient second(port_);
  Negotiate(*first);
  Negotiate(second);
  first->Send(Baud(19200));
  ASSERT_EQ(first->AnswerTo(cpc::SET_BAUDRATE), B({0, 0, 0x4B, 0}));
  second.Send(Baud(57600) + Command(cpc::SET_CONTROL, B({8})));
  EXPECT_EQ(second.AnswerTo(cpc::SET_BAUDRATE), B({0, 0, 0x4B, 0}));
  EXPECT_EQ(second.AnswerTo(cpc::SET_CONTROL), B({9}));
  EXPECT_TRUE(Logged("client 2 may not change the line"));
  termios line = pty_.Line();
  EXPECT_EQ(::cfgetospeed(&line), B19200);

  first.reset();
  ASSERT_TRUE(Call("SSCK_GetOpen", TJson::array({20})));
  // Queries answer anyone; once the holder has gone the next change takes the line.
  const auto until = std::chrono::steady_clock::now() + kLimit;
  do {
    second.Send(Baud(57600));
  } while (second.AnswerTo(cpc::SET_BAUDRATE) != B({0, 0, 0xE1, 0}) &&
           std::chrono::steady_clock::now() < until);
  line = pty_.Line();
  EXPECT_EQ(::cfgetospeed(&line), B57600);
}

}  // namespace
}  // namespace kyt::test_support
