#include "host/com_port_control.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <exception>

#include "framework/codes.h"
#include "host/ascii.h"

namespace kyt::host {

using namespace telnet;

const TKYTModuleClass TKYTComPortControl::Class = MakeModuleClass<TKYTComPortControl>({
    .ClassName = "TKYTComPortControl",
    .ModuleID = "{11A7BAB1-09E4-4430-9666-39D0B32677DE}",
    .ModuleType = TKYTModuleType::mtDevice,
    .ModuleName = "ComPortControl",
    .Implemented = {IKYTReceiveData::IID.ToString()},
});

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The options this server takes, both ways; the index into TClient::Options.
constexpr std::array<uint8_t, 3> kOptions = {BINARY, SGA, COM_PORT_OPTION};

int OptionIndex(uint8_t option) {
  auto it = std::find(kOptions.begin(), kOptions.end(), option);
  return it == kOptions.end() ? -1 : static_cast<int>(it - kOptions.begin());
}

const char* CommandText(uint8_t command) {
  static constexpr std::array<const char*, 13> kNames = {
      "SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",
      "SET-STOPSIZE",        "SET-CONTROL",        "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
      "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
      "PURGE-DATA"};
  return command < kNames.size() ? kNames[command] : "?";
}

std::string Answer(uint8_t command, std::string_view value) {
  std::string payload(1, static_cast<char>(command + cpc::kServerOffset));
  payload += value;
  return Subnegotiation(COM_PORT_OPTION, payload);
}

std::string Answer(uint8_t command, int value) {
  const char byte = static_cast<char>(value);
  return Answer(command, std::string_view(&byte, 1));
}

std::string BigEndian32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};

// The line settings as the serial modules' properties write them, and back.
std::optional<std::string> LineText(uint8_t command, uint32_t value) {
  switch (command) {
    case cpc::SET_BAUDRATE:
      if (value > 0x7FFFFFFF)
        return std::nullopt;  // no module's property holds it
      return std::to_string(value);
    case cpc::SET_DATASIZE:
      if (value < 5 || value > 8)
        return std::nullopt;
      return std::to_string(value);
    case cpc::SET_PARITY:
      if (value < 1 || value > 5)
        return std::nullopt;
      return kParityTexts[value - 1];
    case cpc::SET_STOPSIZE:
      if (value == 1)
        return "1";
      if (value == 2)
        return "2";
      if (value == 3)
        return "1.5";
      return std::nullopt;
  }
  return std::nullopt;
}

uint32_t LineValue(uint8_t command, const std::string& text) {
  switch (command) {
    case cpc::SET_BAUDRATE:
      // A COMPort's "Custom" is its custom rate, which nothing changes from 9600.
      if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit))
        return 9600;
      return static_cast<uint32_t>(std::min<unsigned long long>(std::stoull(text), 0xFFFFFFFFu));
    case cpc::SET_DATASIZE:
      return text.size() == 1 && IsDigit(text[0]) ? static_cast<uint32_t>(text[0] - '0') : 8;
    case cpc::SET_PARITY:
      for (std::size_t i = 0; i < kParityTexts.size(); ++i) {
        if (SameTextIgnoringCase(text, kParityTexts[i]))
          return static_cast<uint32_t>(i + 1);
      }
      if (text.size() == 1 && text[0] >= '0' && text[0] <= '4')
        return static_cast<uint32_t>(text[0] - '0' + 1);
      return 1;
    case cpc::SET_STOPSIZE:
      return text == "2" ? 2 : text == "1.5" ? 3 : 1;
  }
  return 0;
}

}  // namespace

struct TKYTComPortControl::TClient {
  struct TOption {
    bool Us = false, UsAsked = false, Him = false, HimAsked = false;
  };
  // commandMutex_
  TReader Reader;
  std::array<TOption, kOptions.size()> Options;
  int Problems = 0;
  bool ToldHeld = false;
  bool ToldModem = false;
  // clientsMutex_
  bool Telnet = false;
  bool ComPort = false;  // COM-PORT-OPTION agreed one way or the other
  bool Suspended = false;
  bool ToldDropping = false;
  std::string Held;
  uint8_t LineMask = 0;
  uint8_t ModemMask = 0xFF;
};

struct TKYTComPortControl::TLineRequest {
  uint8_t Command = 0;
  uint32_t Value = 0;  // 0 asks for the value in force
  std::string Old;
  bool Changed = false;
  bool Refused = false;
};

struct TKYTComPortControl::TTarget {
  int32_t ID = 0;
  TRef<IKYTModule> Module;
  TRef<IKYTSendData> Send;
  TRef<IKYTSerialControl> Line;
  TRef<IKYTSerialControlEx> Lines;
  TRef<IKYTSerialLineState> State;
};

TKYTComPortControl::TKYTComPortControl(const TRef<IKYTKernel>& Kernel, TInstanceID InstanceID)
    : TKYTModuleObject(Class, Kernel, InstanceID) {
  RegisterPropertyInteger(
      "Target", [this] { return Read(target_.Pending); },
      [this](int32_t v) { ChangeSetting(target_.Pending, v); });
  pollTimer_ = Kernel->GetTimerPool()->RegisterTimer("Poll", InstanceID,
                                                     InstanceTimer([this] { PollLineState(); }), 1);
  LoadAndApplySettings();
}

TKYTComPortControl::~TKYTComPortControl() {
  PrepareDelete();
  try {
    Kernel->GetTimerPool()->UnregisterTimer(pollTimer_);
  } catch (...) {
  }
}

void TKYTComPortControl::ApplyChanges() {
  const TInstanceLock::THold hold = Changing();
  target_.Apply();
  appliedTarget_ = target_.Applied;
  TKYTModuleObject::ApplyChanges();
  SetSummary(target_.Applied > 0 ? fmt::format("#{}", target_.Applied) : "");
  SetStatus(target_.Applied > 0 ? IS_ACTIVE : IS_INACTIVE);
}

void TKYTComPortControl::ResetChanges() {
  const TInstanceLock::THold hold = Changing();
  target_.Reset();
  TKYTModuleObject::ResetChanges();
}

TRef<IKYTServerClients> TKYTComPortControl::Server() const {
  TRef<IKYTConnectionService> connections = Kernel->GetConnectionService();
  const TInstanceID parent = connections->GetParent(InstanceID);
  TRef<IKYTServerClients> server;
  if (parent != 0 && Kernel->GetInstanceManager()->InstanceExists(parent))
    server = Supports<IKYTServerClients>(
        Kernel->GetInstanceManager()->GetInstance(parent).InstanceInterface);
  if (!server)
    throw EKYTModuleObject(
        fmt::format("ComPortControl #{}: its parent is no Server Socket", InstanceID));
  return server;
}

TKYTComPortControl::TTarget TKYTComPortControl::Target() const {
  TTarget target;
  target.ID = appliedTarget_;
  if (target.ID <= 0 || target.ID > 0xFFFF)
    throw EKYTModuleObject(fmt::format("ComPortControl #{}: no target instance set", InstanceID));
  auto instances = Kernel->GetInstanceManager();
  const auto id = static_cast<TInstanceID>(target.ID);
  if (!instances->InstanceExists(id)) {
    throw EKYTModuleObject(
        fmt::format("ComPortControl #{}: target #{} does not exist", InstanceID, id));
  }
  const TRef<IKYTModule> module = instances->GetInstance(id).InstanceInterface;
  target.Module = module;
  target.Send = Supports<IKYTSendData>(module);
  target.Line = Supports<IKYTSerialControl>(module);
  target.Lines = Supports<IKYTSerialControlEx>(module);
  target.State = Supports<IKYTSerialLineState>(module);
  if (!target.Send || !target.Line) {
    throw EKYTModuleObject(
        fmt::format("ComPortControl #{}: target #{} has no serial line", InstanceID, id));
  }
  return target;
}

std::shared_ptr<TKYTComPortControl::TClient> TKYTComPortControl::ClientFor(
    uint32_t id, IKYTServerClients& server) {
  std::lock_guard lock(clientsMutex_);
  auto it = clients_.find(id);
  if (it != clients_.end())
    return it->second;
  // A new client: forget the ones that have left meanwhile.
  const std::vector<uint32_t> connected = server.GetClients();
  std::erase_if(clients_, [&](const auto& entry) {
    return std::find(connected.begin(), connected.end(), entry.first) == connected.end();
  });
  return clients_[id] = std::make_shared<TClient>();
}

void TKYTComPortControl::ReceiveData(const std::string& Data) {
  const TRef<IKYTServerClients> server = Server();
  const TTarget target = Target();
  const uint32_t id = server->DeliveringClient();
  if (id == 0) {
    throw EKYTModuleObject(
        fmt::format("ComPortControl #{}: a block from no client of the Server Socket", InstanceID));
  }
  std::lock_guard command(commandMutex_);
  const std::shared_ptr<TClient> client = ClientFor(id, *server);
  const bool wasTelnet = client->Reader.Negotiating();
  std::vector<TEvent> events;
  client->Reader.Feed(Data, events);

  std::string answers;
  if (!wasTelnet && client->Reader.Negotiating()) {
    {
      std::lock_guard lock(clientsMutex_);
      client->Telnet = true;
    }
    // What this server wants: 8-bit data both ways, no go-aheads, and to offer the port.
    for (uint8_t option : {BINARY, SGA}) {
      answers += Negotiation(DO, option);
      client->Options[OptionIndex(option)].HimAsked = true;
    }
    for (uint8_t option : {BINARY, SGA, COM_PORT_OPTION}) {
      answers += Negotiation(WILL, option);
      client->Options[OptionIndex(option)].UsAsked = true;
    }
  }
  std::vector<TLineRequest> line;
  std::exception_ptr failure;
  for (TEvent& event : events) {
    switch (event.Kind) {
      case TEvent::TKind::Data:
        // Settings asked for before these bytes apply to them, and the client has its answers
        // before anything the port says back to the bytes.
        ApplyLine(id, target, line, answers);
        if (!answers.empty())
          server->SendToClient(id, std::exchange(answers, std::string()));
        try {
          target.Send->SendData(event.Bytes);
        } catch (...) {
          if (!failure)
            failure = std::current_exception();
        }
        break;
      case TEvent::TKind::Negotiation:
        Negotiate(*client, event.Command, event.Option, answers);
        break;
      case TEvent::TKind::Subnegotiation:
        if (event.Option == COM_PORT_OPTION) {
          ComPortCommand(id, *client, event.Bytes, target, *server, line, answers);
        } else {
          Problem(id, *client,
                  fmt::format("subnegotiation of option {} not taken, ignored", event.Option));
        }
        break;
      case TEvent::TKind::Command:
        break;  // NOP, GA, AYT and the like carry nothing for the port
      case TEvent::TKind::Problem:
        Problem(id, *client, event.Bytes);
        break;
    }
  }
  ApplyLine(id, target, line, answers);
  if (!answers.empty())
    server->SendToClient(id, answers);
  if (failure)
    std::rethrow_exception(failure);
}

void TKYTComPortControl::Negotiate(TClient& client, uint8_t command, uint8_t option,
                                   std::string& answers) {
  const int index = OptionIndex(option);
  if (index < 0) {
    if (command == WILL)
      answers += Negotiation(DONT, option);
    else if (command == DO)
      answers += Negotiation(WONT, option);
    return;
  }
  TClient::TOption& o = client.Options[index];
  bool agreed = false;
  switch (command) {
    case WILL:
      if (!o.Him) {
        o.Him = agreed = true;
        if (!o.HimAsked)
          answers += Negotiation(DO, option);
      }
      o.HimAsked = false;
      break;
    case WONT:
      if (o.Him && !o.HimAsked)
        answers += Negotiation(DONT, option);
      o.Him = o.HimAsked = false;
      break;
    case DO:
      if (!o.Us) {
        o.Us = agreed = true;
        if (!o.UsAsked)
          answers += Negotiation(WILL, option);
      }
      o.UsAsked = false;
      break;
    case DONT:
      if (o.Us && !o.UsAsked)
        answers += Negotiation(WONT, option);
      o.Us = o.UsAsked = false;
      break;
  }
  if (option == COM_PORT_OPTION) {
    bool comPort = o.Us || o.Him;
    uint8_t mask = 0;
    {
      std::lock_guard lock(clientsMutex_);
      client.ComPort = comPort;
      mask = client.ModemMask;
    }
    // A client learns the modem lines once when it starts, then on every change.
    if (agreed && comPort && !client.ToldModem) {
      client.ToldModem = true;
      answers += ModemNotice(mask);
    }
  }
}

std::string TKYTComPortControl::ModemNotice(uint8_t mask) const {
  uint8_t modem = 0;
  try {
    const TTarget target = Target();
    if (target.State)
      modem = target.State->GetModemInputs();
  } catch (const std::exception&) {
  }
  return Answer(cpc::NOTIFY_MODEMSTATE, static_cast<uint8_t>(modem & mask));
}

bool TKYTComPortControl::MayChange(uint32_t id, TClient& client, IKYTServerClients& server,
                                   const char* what) {
  if (controller_ == id)
    return true;
  if (controller_ != 0) {
    const std::vector<uint32_t> connected = server.GetClients();
    if (std::find(connected.begin(), connected.end(), controller_) != connected.end()) {
      if (!client.ToldHeld) {
        client.ToldHeld = true;
        LogMessage(KL_WARNING,
                   fmt::format("ComPortControl: client {} may not change the line ({}): client "
                               "{} holds it; answered with the values in force",
                               id, what, controller_));
      }
      return false;
    }
  }
  controller_ = id;
  LogMessage(KL_MESSAGE, fmt::format("ComPortControl: client {} controls the line", id));
  return true;
}

void TKYTComPortControl::ComPortCommand(uint32_t id, TClient& client, const std::string& payload,
                                        const TTarget& target, IKYTServerClients& server,
                                        std::vector<TLineRequest>& line, std::string& answers) {
  if (payload.empty()) {
    Problem(id, client, "COM-PORT-OPTION subnegotiation without a command, ignored");
    return;
  }
  const auto command = static_cast<uint8_t>(payload[0]);
  const std::string_view value(payload.data() + 1, payload.size() - 1);
  const auto byteValue = [&]() -> std::optional<uint8_t> {
    if (value.size() != 1) {
      Problem(id, client,
              fmt::format("{} with {} value bytes instead of 1, ignored", CommandText(command),
                          value.size()));
      return std::nullopt;
    }
    return static_cast<uint8_t>(value[0]);
  };
  switch (command) {
    case cpc::SIGNATURE:
      if (value.empty()) {
        answers += Answer(cpc::SIGNATURE, kSignature);
      } else {
        LogMessage(KL_MESSAGE, fmt::format("ComPortControl: client {} is \"{}\"", id,
                                           std::string(value.substr(0, 64))));
      }
      return;
    case cpc::SET_BAUDRATE: {
      if (value.size() != 4) {
        Problem(
            id, client,
            fmt::format("SET-BAUDRATE with {} value bytes instead of 4, ignored", value.size()));
        return;
      }
      const auto b = [&](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(value[i])); };
      TLineRequest request{command, b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3), {}, false, false};
      if (request.Value != 0 && !MayChange(id, client, server, CommandText(command)))
        request.Value = 0;
      line.push_back(request);
      return;
    }
    case cpc::SET_DATASIZE:
    case cpc::SET_PARITY:
    case cpc::SET_STOPSIZE: {
      const auto v = byteValue();
      if (!v)
        return;
      TLineRequest request{command, *v, {}, false, false};
      if (request.Value != 0 && !MayChange(id, client, server, CommandText(command)))
        request.Value = 0;
      line.push_back(request);
      return;
    }
    case cpc::SET_CONTROL:
      if (const auto v = byteValue())
        Control(id, client, *v, target, server, answers);
      return;
    case cpc::NOTIFY_LINESTATE:
      // A client asking for the line state gets it as it is now (errors are sent as they occur).
      answers += Answer(cpc::NOTIFY_LINESTATE, 0);
      return;
    case cpc::NOTIFY_MODEMSTATE: {
      uint8_t mask = 0;
      {
        std::lock_guard lock(clientsMutex_);
        mask = client.ModemMask;
      }
      answers += ModemNotice(mask);
      return;
    }
    case cpc::FLOWCONTROL_SUSPEND:
    case cpc::FLOWCONTROL_RESUME: {
      std::string held;
      {
        std::lock_guard lock(clientsMutex_);
        client.Suspended = command == cpc::FLOWCONTROL_SUSPEND;
        if (!client.Suspended) {
          held = std::exchange(client.Held, std::string());
          client.ToldDropping = false;
        }
      }
      if (!held.empty())
        server.SendToClient(id, Escape(held));
      return;
    }
    case cpc::SET_LINESTATE_MASK:
    case cpc::SET_MODEMSTATE_MASK:
      if (const auto v = byteValue()) {
        {
          std::lock_guard lock(clientsMutex_);
          (command == cpc::SET_LINESTATE_MASK ? client.LineMask : client.ModemMask) = *v;
        }
        answers += Answer(command, *v);
      }
      return;
    case cpc::PURGE_DATA: {
      const auto v = byteValue();
      if (!v)
        return;
      if (*v < 1 || *v > 3) {
        Problem(id, client, fmt::format("PURGE-DATA {} names no buffer, ignored", *v));
        return;
      }
      if (MayChange(id, client, server, "PURGE-DATA")) {
        if (*v & 1) {
          std::lock_guard lock(clientsMutex_);
          client.Held.clear();
        }
        try {
          if (target.State)
            target.State->PurgeQueues(*v);
        } catch (const std::exception& e) {
          // A closed port has nothing queued: the answer still holds.
          LogMessage(KL_WARNING,
                     fmt::format("ComPortControl: client {}: PURGE-DATA {}: {}", id, *v, e.what()));
        }
      }
      answers += Answer(cpc::PURGE_DATA, *v);
      return;
    }
    default:
      Problem(id, client, fmt::format("unknown COM-PORT-OPTION command {}, ignored", command));
      return;
  }
}

void TKYTComPortControl::Control(uint32_t id, TClient& client, uint8_t value, const TTarget& target,
                                 IKYTServerClients& server, std::string& answers) {
  // The lines as the target reports them; a module without them has them off.
  const auto dtr = [&] { return target.Lines ? target.Lines->GetDTR() : false; };
  const auto rts = [&] { return target.Lines ? target.Lines->GetRTS() : false; };
  const auto setLine = [&](const char* name, bool on, auto set) {
    if (!MayChange(id, client, server, name))
      return;
    if (!target.Lines) {
      LogMessage(KL_WARNING,
                 fmt::format("ComPortControl: client {}: {} {} refused: target #{} has no such "
                             "line",
                             id, name, on ? "on" : "off", target.ID));
      return;
    }
    try {
      set(on);
    } catch (const std::exception& e) {
      LogMessage(KL_WARNING, fmt::format("ComPortControl: client {}: {} {} refused: {}", id, name,
                                         on ? "on" : "off", e.what()));
    }
  };
  switch (value) {
    case 0:  // outbound flow control: none is all the modules offer
    case 1:
      answers += Answer(cpc::SET_CONTROL, 1);
      return;
    case 2:
    case 3:
      LogMessage(KL_WARNING,
                 fmt::format("ComPortControl: client {}: {} flow control refused; the port keeps "
                             "none",
                             id, value == 2 ? "XON/XOFF" : "hardware"));
      answers += Answer(cpc::SET_CONTROL, 1);
      return;
    case 4:
      answers += Answer(cpc::SET_CONTROL, breakOn_ ? 5 : 6);
      return;
    case 5:
    case 6:
      setLine("break", value == 5, [&](bool on) {
        target.Lines->SetBreak(on);
        breakOn_ = on;
      });
      answers += Answer(cpc::SET_CONTROL, breakOn_ ? 5 : 6);
      return;
    case 7:
      answers += Answer(cpc::SET_CONTROL, dtr() ? 8 : 9);
      return;
    case 8:
    case 9:
      setLine("DTR", value == 8, [&](bool on) { target.Lines->SetDTR(on); });
      answers += Answer(cpc::SET_CONTROL, dtr() ? 8 : 9);
      return;
    case 10:
      answers += Answer(cpc::SET_CONTROL, rts() ? 11 : 12);
      return;
    case 11:
    case 12:
      setLine("RTS", value == 11, [&](bool on) { target.Lines->SetRTS(on); });
      answers += Answer(cpc::SET_CONTROL, rts() ? 11 : 12);
      return;
    case 13:
    case 14:
      answers += Answer(cpc::SET_CONTROL, 14);
      return;
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
      LogMessage(KL_WARNING,
                 fmt::format("ComPortControl: client {}: inbound flow control {} refused; the "
                             "port keeps none",
                             id, value));
      answers += Answer(cpc::SET_CONTROL, 14);
      return;
    default:
      Problem(id, client, fmt::format("unknown SET-CONTROL value {}, ignored", value));
      return;
  }
}

void TKYTComPortControl::ApplyLine(uint32_t id, const TTarget& target,
                                   std::vector<TLineRequest>& line, std::string& answers) {
  if (line.empty())
    return;
  IKYTSerialControl& control = *target.Line;
  const auto get = [&](uint8_t command) {
    switch (command) {
      case cpc::SET_BAUDRATE:
        return control.GetBaudRate();
      case cpc::SET_DATASIZE:
        return control.GetDataBits();
      case cpc::SET_PARITY:
        return control.GetParity();
      default:
        return control.GetStopBits();
    }
  };
  const auto set = [&](uint8_t command, const std::string& text) {
    switch (command) {
      case cpc::SET_BAUDRATE:
        return control.SetBaudRate(text);
      case cpc::SET_DATASIZE:
        return control.SetDataBits(text);
      case cpc::SET_PARITY:
        return control.SetParity(text);
      default:
        return control.SetStopBits(text);
    }
  };
  bool changed = false;
  for (TLineRequest& request : line) {
    if (request.Value == 0)
      continue;
    request.Old = get(request.Command);
    const std::optional<std::string> text = LineText(request.Command, request.Value);
    if (!text) {
      request.Refused = true;
      continue;
    }
    if (LineValue(request.Command, request.Old) == request.Value)
      continue;
    try {
      set(request.Command, *text);
    } catch (const std::exception&) {
    }
    // A module falls back to its default for a value it does not know: that value was not taken.
    if (LineValue(request.Command, get(request.Command)) != request.Value) {
      set(request.Command, request.Old);
      request.Refused = true;
    } else {
      request.Changed = changed = true;
    }
  }
  if (changed) {
    // The module reopens the port to apply, which leaves DTR and RTS low: put them back.
    const bool dtr = target.Lines && target.Lines->GetDTR();
    const bool rts = target.Lines && target.Lines->GetRTS();
    try {
      target.Module->ApplyChanges();
    } catch (const std::exception& e) {
      LogMessage(KL_WARNING,
                 fmt::format("ComPortControl: client {}: the port refused the new settings ({}); "
                             "back to the previous ones",
                             id, e.what()));
      for (TLineRequest& request : line) {
        if (request.Changed) {
          set(request.Command, request.Old);
          request.Refused = true;
        }
      }
      try {
        target.Module->ApplyChanges();
      } catch (const std::exception& again) {
        LogMessage(KL_WARNING, fmt::format("ComPortControl: {}", again.what()));
      }
    }
    try {
      if (dtr)
        target.Lines->SetDTR(true);
      if (rts)
        target.Lines->SetRTS(true);
    } catch (const std::exception& e) {
      LogMessage(KL_WARNING, fmt::format("ComPortControl: DTR/RTS not restored: {}", e.what()));
    }
  }
  for (const TLineRequest& request : line) {
    const uint32_t now = LineValue(request.Command, get(request.Command));
    if (request.Refused) {
      LogMessage(KL_WARNING,
                 fmt::format("ComPortControl: client {}: {} {} refused; the port keeps {}", id,
                             CommandText(request.Command), request.Value, now));
    }
    answers += request.Command == cpc::SET_BAUDRATE
                   ? Answer(request.Command, BigEndian32(now))
                   : Answer(request.Command, static_cast<uint8_t>(now));
  }
  line.clear();
}

void TKYTComPortControl::SendData(const std::string& Data) {
  const TRef<IKYTServerClients> server = Server();
  const bool hasIac = Data.find(static_cast<char>(IAC)) != std::string::npos;
  std::vector<std::pair<uint32_t, bool>> sends;  // client, escaped
  bool broadcast = true;
  {
    std::lock_guard lock(clientsMutex_);
    // Listed under the table's mutex (the list's own lock is taken inside it and nothing waits
    // for the table while holding that): a client is listed from its accept on, before it can
    // hand over a block, so no client entered in the table meanwhile is missing here.
    const std::vector<uint32_t> connected = server->GetClients();
    // Clients that have left take what was held for them along.
    if (clients_.size() > connected.size()) {
      std::erase_if(clients_, [&](const auto& entry) {
        return std::find(connected.begin(), connected.end(), entry.first) == connected.end();
      });
    }
    for (uint32_t id : connected) {
      auto it = clients_.find(id);
      const bool telnet = it != clients_.end() && it->second->Telnet;
      if (telnet && it->second->Suspended) {
        broadcast = false;
        TClient& client = *it->second;
        if (client.Held.size() + Data.size() <= kMaxHeld) {
          client.Held += Data;
        } else if (!client.ToldDropping) {
          client.ToldDropping = true;
          LogMessage(KL_WARNING,
                     fmt::format("ComPortControl: client {} suspended its output for more than "
                                 "{} bytes; dropping the rest until it resumes",
                                 id, kMaxHeld));
        }
        continue;
      }
      if (telnet && hasIac)
        broadcast = false;
      sends.emplace_back(id, telnet && hasIac);
    }
  }
  if (broadcast) {
    // Every client gets the same bytes: one write each under one look at the list.
    if (TRef<IKYTSendData> all = Supports<IKYTSendData>(server)) {
      all->SendData(Data);
      return;
    }
  }
  const std::string escaped = hasIac ? Escape(Data) : std::string();
  std::exception_ptr failure;
  for (const auto& [id, escape] : sends) {
    try {
      server->SendToClient(id, escape ? escaped : Data);
    } catch (...) {
      if (!failure)
        failure = std::current_exception();
    }
  }
  if (failure)
    std::rethrow_exception(failure);
}

void TKYTComPortControl::PollLineState() {
  TTarget target;
  TRef<IKYTServerClients> server;
  try {
    target = Target();
    server = Server();
  } catch (const std::exception&) {
    return;  // nothing to watch or nobody to tell
  }
  if (!target.State)
    return;
  const uint8_t modem = target.State->GetModemInputs();
  const uint8_t errors = target.State->TakeLineErrors();
  std::vector<std::pair<uint32_t, std::string>> notices;
  {
    std::lock_guard lock(clientsMutex_);
    const uint8_t changed = modem ^ lastModem_;
    uint8_t delta = 0;
    if (changed & IKYTSerialLineState::kCTS)
      delta |= 0x01;
    if (changed & IKYTSerialLineState::kDSR)
      delta |= 0x02;
    if ((lastModem_ & IKYTSerialLineState::kRing) && !(modem & IKYTSerialLineState::kRing))
      delta |= 0x04;  // the ring indicator's trailing edge
    if (changed & IKYTSerialLineState::kCarrier)
      delta |= 0x08;
    lastModem_ = modem;
    for (const auto& [id, client] : clients_) {
      if (!client->ComPort)
        continue;
      std::string notice;
      if (delta & client->ModemMask)
        notice += Answer(cpc::NOTIFY_MODEMSTATE,
                         static_cast<uint8_t>((modem | delta) & client->ModemMask));
      if (errors & client->LineMask)
        notice += Answer(cpc::NOTIFY_LINESTATE, static_cast<uint8_t>(errors & client->LineMask));
      if (!notice.empty())
        notices.emplace_back(id, std::move(notice));
    }
  }
  for (const auto& [id, notice] : notices) {
    try {
      server->SendToClient(id, notice);
    } catch (const std::exception&) {
      // The Server Socket has dropped that client and reports it.
    }
  }
}

void TKYTComPortControl::Problem(uint32_t id, TClient& client, const std::string& text) {
  if (client.Problems > kMaxLoggedProblems)
    return;
  ++client.Problems;
  if (client.Problems > kMaxLoggedProblems) {
    LogMessage(KL_WARNING,
               fmt::format("ComPortControl: client {}: more Telnet problems; not logged", id));
  } else {
    LogMessage(KL_WARNING, fmt::format("ComPortControl: client {}: {}", id, text));
  }
}

}  // namespace kyt::host
