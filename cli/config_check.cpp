#include "cli/config_check.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "host/ascii.h"

namespace kyt::host {

namespace {

using Kind = Variant::Kind;

// Ports and USB IDs that a module would pass on cut to 16 bits or use as "any".
struct TRangeRule {
  const char* Module;
  const char* Setting;
  int32_t Min, Max;
  const char* What;
};
constexpr TRangeRule kRanges[] = {
    {"SSCK", "Port", 1, 65535, "a TCP port to listen on"},
    {"CSCK", "Port", 1, 65535, "a TCP port to connect to"},
    {"WWWReader", "ProxyPort", 0, 65535, "a TCP port"},
    {"HID", "DeviceVendorID", 0, 65535, "a USB vendor ID"},
    {"HID", "DeviceProductID", 0, 65535, "a USB product ID"},
    {"MQTT", "Port", 1, 65535, "the broker's TCP port"},
    {"MQTT", "QoS", 0, 1, "an MQTT quality of service this module offers"},
    {"MQTT", "KeepAlive", 5, 65535, "a keep-alive in seconds"},
    {"MQTT", "MaxPayload", 0, 268435455, "a payload size in bytes (0: no limit)"},
};

// Modules whose instance, open, needs the setting: without it a Server Socket listens on a port
// the system picks and a Client Socket connects nowhere.
constexpr std::pair<const char*, const char*> kNeededWhenOpen[] = {{"SSCK", "Port"},
                                                                   {"CSCK", "Port"}};

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Boolean:
      return "a Boolean (true or false)";
    case Kind::Integer:
      return "an Integer";
    case Kind::Float:
      return "a Float";
    case Kind::String:
      return "a String";
    default:
      return "a value";
  }
}

bool TypeFits(Kind given, Kind wanted) {
  return given == wanted || (given == Kind::Integer && wanted == Kind::Float);
}

// "47100" for an Integer, "yes" for a Boolean: say what to write instead where it is plain.
std::string ExpectedType(const Variant& given, Kind wanted) {
  std::string expected = KindName(wanted);
  if (given.GetKind() != Kind::String)
    return expected;
  const std::string text = given.AsString();
  if (wanted == Kind::Integer) {
    int32_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size())
      return fmt::format("{}: {} without the quotes", expected, number);
  }
  if (wanted == Kind::Boolean) {
    std::string lower = AsciiLower(text);
    if (lower == "true" || lower == "yes" || lower == "on" || lower == "1")
      return expected + ": true without the quotes";
    if (lower == "false" || lower == "no" || lower == "off" || lower == "0")
      return expected + ": false without the quotes";
  }
  return expected;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

const Variant* Find(const TSettingList& settings, const std::string& name) {
  for (const auto& [key, value] : settings) {
    if (SameTextIgnoringCase(key, name))
      return &value;
  }
  return nullptr;
}

bool SameValue(const Variant& a, const Variant& b) {
  if (a.GetKind() == Kind::String && b.GetKind() == Kind::String)
    return SameTextIgnoringCase(a.AsString(), b.AsString());
  return a == b;
}

std::string Names(const TSettingList& properties) {
  std::string out;
  for (const auto& [name, value] : properties) out += (out.empty() ? "" : ", ") + name;
  return out;
}

class TChecker {
 public:
  TChecker(const THostConfig& config, TModuleProbe& probe) : config_(config), probe_(probe) {
    std::map<std::string, std::optional<std::string>> resolved;
    for (const auto& instance : config.Instances) {
      configured_.insert(instance.ID);
      configuredByID_.emplace(instance.ID, &instance);
      auto known = resolved.find(instance.Module);
      if (known == resolved.end())
        known = resolved.emplace(instance.Module, probe.Resolve(instance.Module)).first;
      if (known->second)
        modules_[instance.ID] = *known->second;
    }
  }

  std::vector<TConfigFinding> Run() {
    TInstanceConfig wholeConfig;
    wholeConfig.Module = "config";
    for (const auto& duplicate : config_.DuplicateKeys) {
      if (!duplicate.InstanceIndex || *duplicate.InstanceIndex >= config_.Instances.size())
        AddDuplicate(wholeConfig, duplicate);
    }
    for (size_t index = 0; index < config_.Instances.size(); ++index) {
      for (const auto& duplicate : config_.DuplicateKeys) {
        if (duplicate.InstanceIndex == index)
          AddDuplicate(config_.Instances[index], duplicate);
      }
      CheckInstance(config_.Instances[index]);
    }
    CheckDataLoops();
    return std::move(findings_);
  }

 private:
  void Add(const TInstanceConfig& instance, std::optional<std::string> setting, std::string problem,
           std::optional<Variant> given, std::string expected) {
    if (given && setting && IsSecretSetting(*setting))
      given = Variant(std::string(kMaskedValue));
    auto module = modules_.find(instance.ID);
    findings_.push_back({instance.ID, module != modules_.end() ? module->second : instance.Module,
                         std::move(setting), std::move(problem), std::move(given),
                         std::move(expected)});
  }

  void CheckInstance(const TInstanceConfig& instance) {
    auto module = modules_.find(instance.ID);
    if (module == modules_.end()) {
      std::vector<std::string> known = probe_.ModuleNames();
      Add(instance, std::nullopt, "unknown module", Variant(instance.Module),
          fmt::format("a registered module, nearest {} (of {})",
                      NearestName(instance.Module, known), fmt::join(known, ", ")));
      return;
    }
    const TModuleFacts& facts = probe_.Facts(module->second);
    if (!facts.Failure.empty()) {
      Add(instance, std::nullopt, "refused", std::nullopt,
          fmt::format("an instance of {} can be made; it fails with: {}", facts.Name,
                      facts.Failure));
      return;
    }
    TSettingList fitting = FittingSettings(instance, facts);
    CheckValuesTaken(instance, facts, fitting);
    CheckRanges(instance, facts.Name, fitting);
    // A Com Port Control child sends to its target as a Bridge does.
    if (facts.Name == "Bridge" || facts.Name == "ComPortControl")
      CheckBridgeTarget(instance, facts.Name, fitting);
  }

  // Reports unknown names and wrong types; returns the settings that passed.
  TSettingList FittingSettings(const TInstanceConfig& instance, const TModuleFacts& facts) {
    TSettingList fitting;
    std::vector<std::string> known;
    for (const auto& [name, value] : facts.Properties) known.push_back(name);
    for (const auto& [name, value] : instance.Settings) {
      const Variant* property = Find(facts.Properties, name);
      if (property == nullptr) {
        const std::string nearest = NearestName(name, known);
        // A misspelt password is still a password.
        Add(instance, name, "unknown setting",
            IsSecretSetting(nearest) ? Variant(std::string(kMaskedValue)) : value,
            fmt::format("a setting of {}, nearest {} (of {})", facts.Name, nearest,
                        Names(facts.Properties)));
      } else if (!TypeFits(value.GetKind(), property->GetKind())) {
        Add(instance, name, "wrong type", value,
            IsSecretSetting(name) ? KindName(property->GetKind())
                                  : ExpectedType(value, property->GetKind()));
      } else {
        fitting.emplace_back(name, value);
      }
    }
    return fitting;
  }

  // An instance made with the settings, closed, shows which values the module fell back from
  // to its default (a baud rate no table holds) or refused outright.
  void CheckValuesTaken(const TInstanceConfig& instance, const TModuleFacts& facts,
                        const TSettingList& fitting) {
    TSettingList closed;
    for (const auto& setting : fitting) {
      if (!SameTextIgnoringCase(setting.first, "Open"))
        closed.push_back(setting);
    }
    if (Find(facts.Properties, "Open") != nullptr)
      closed.emplace_back("Open", Variant(false));
    const TProbeResult& made = Probe(facts.Name, closed);
    if (made.Failure) {
      ReportRefusal(instance, facts, closed, *made.Failure);
      return;
    }
    for (const auto& [name, given] : closed) {
      const Variant* saved = Find(made.Saved, name);
      const Variant* fallback = Find(facts.Properties, name);
      if (saved && fallback && !SameValue(given, *saved) && SameValue(*saved, *fallback) &&
          !SameTextIgnoringCase(name, "Open")) {
        Add(instance, name, "bad value", given,
            fmt::format("a value {} takes; it uses its default {} instead", facts.Name,
                        saved->ToDebugString()));
      }
    }
  }

  // A setter that raises fails the whole instance; the settings tried one by one name the
  // culprit.
  void ReportRefusal(const TInstanceConfig& instance, const TModuleFacts& facts,
                     const TSettingList& closed, const std::string& failure) {
    bool named = false;
    for (const auto& [name, given] : closed) {
      const TProbeResult& alone = Probe(facts.Name, {{name, given}});
      if (alone.Failure) {
        Add(instance, name, "refused", given,
            fmt::format("a value {} takes; it refuses this one: {}", facts.Name, *alone.Failure));
        named = true;
      }
    }
    if (!named) {
      Add(instance, std::nullopt, "refused", std::nullopt,
          fmt::format("settings {} takes; making the instance fails with: {}", facts.Name,
                      failure));
    }
  }

  void CheckRanges(const TInstanceConfig& instance, const std::string& module,
                   const TSettingList& fitting) {
    for (const auto& rule : kRanges) {
      if (module != rule.Module)
        continue;
      const Variant* given = Find(fitting, rule.Setting);
      if (given && (given->AsInteger() < rule.Min || given->AsInteger() > rule.Max)) {
        Add(instance, rule.Setting, "bad value", *given,
            fmt::format("{}, {} to {}", rule.What, rule.Min, rule.Max));
      }
    }
    const Variant* open = Find(fitting, "Open");
    if (open == nullptr || !open->AsBoolean())
      return;
    for (const auto& [ruleModule, setting] : kNeededWhenOpen) {
      if (module == ruleModule && Find(fitting, setting) == nullptr &&
          Find(instance.Settings, setting) == nullptr) {
        Add(instance, setting, "missing", std::nullopt,
            fmt::format("{} for an open {}, 1 to 65535", setting, module));
      }
    }
  }

  void CheckBridgeTarget(const TInstanceConfig& instance, const std::string& name,
                         const TSettingList& fitting) {
    const Variant* given = Find(fitting, "Target");
    if (given == nullptr) {
      if (Find(instance.Settings, "Target") == nullptr) {
        Add(instance, "Target", "missing", std::nullopt,
            "the ID of a configured instance that takes data");
      }
      return;
    }
    int32_t target = given->AsInteger();
    if (target == instance.ID) {
      Add(instance, "Target", "bad value", *given,
          fmt::format("another instance that takes data, not the {} itself", name));
    } else if (target < 0 || target > 0xFFFF ||
               !configured_.contains(static_cast<TInstanceID>(target))) {
      Add(instance, "Target", "bad value", *given,
          fmt::format("the ID of a configured instance that takes data; #{} is not configured",
                      target));
    } else if (auto module = modules_.find(target); module != modules_.end()) {
      const TModuleFacts& facts = probe_.Facts(module->second);
      if (facts.Failure.empty() && !facts.TakesData) {
        Add(instance, "Target", "bad value", *given,
            fmt::format("an instance that takes data; #{} is a {}, which takes none", target,
                        facts.Name));
      }
    }
  }

  // Instances with the same module and settings are made once: a config of thousands of
  // alike instances is checked in about the time of one.
  const TProbeResult& Probe(const std::string& module, const TSettingList& settings) {
    std::string key = module;
    for (const auto& [name, value] : settings) {
      const std::string text = value.ToDebugString();
      key += fmt::format("\n{}\t{}\t{}:{}", AsciiLower(name), static_cast<int>(value.GetKind()),
                         text.size(), text);
    }
    auto known = probes_.find(key);
    if (known == probes_.end())
      known = probes_.emplace(std::move(key), probe_.Probe(module, settings)).first;
    return known->second;
  }

  void AddDuplicate(const TInstanceConfig& instance, const TDuplicateKey& duplicate) {
    const bool inSettings = duplicate.Object.ends_with(".settings");
    Add(instance, inSettings ? std::optional(duplicate.Key) : std::nullopt, "duplicate key",
        std::nullopt,
        fmt::format("\"{}\" once in {}; given at line {}, column {} and again at line {}, "
                    "column {}, and only the last counts",
                    duplicate.Key, duplicate.Object, duplicate.First.first, duplicate.First.second,
                    duplicate.Again.first, duplicate.Again.second));
  }

  // Where the data an instance sends arrives again inside this config: a Client Socket aimed
  // at a Server Socket of the same config, and that Server Socket's clients, the Client Socket
  // among them. Both kinds are indexed by port once, so that a config of thousands of sockets
  // is not compared pair by pair.
  std::vector<TInstanceID> WireEnds(TInstanceID sender) {
    if (!wiresIndexed_) {
      wiresIndexed_ = true;
      for (const auto& instance : config_.Instances) {
        const Variant* port = Find(instance.Settings, "Port");
        if (port == nullptr || port->GetKind() != Kind::Integer)
          continue;
        const std::string module = ModuleOf(instance.ID);
        if (module == "CSCK" && AimsAtThisMachine(instance))
          clientsByPort_[port->AsInteger()].push_back(instance.ID);
        else if (module == "SSCK")
          serversByPort_[port->AsInteger()].push_back(instance.ID);
      }
    }
    const auto byID = configuredByID_.find(sender);
    if (byID == configuredByID_.end())
      return {};
    const Variant* port = Find(byID->second->Settings, "Port");
    if (port == nullptr || port->GetKind() != Kind::Integer)
      return {};
    const std::string module = ModuleOf(sender);
    const auto& other = module == "SSCK" ? clientsByPort_ : serversByPort_;
    if ((module != "CSCK" || !AimsAtThisMachine(*byID->second)) && module != "SSCK")
      return {};
    auto ends = other.find(port->AsInteger());
    return ends == other.end() ? std::vector<TInstanceID>() : ends->second;
  }

  static bool AimsAtThisMachine(const TInstanceConfig& client) {
    const Variant* host = Find(client.Settings, "Host");
    if (host == nullptr || host->GetKind() != Kind::String)
      return false;
    const std::string name = AsciiLower(host->AsString());
    return name == "localhost" || name == "::1" || name == "0.0.0.0" || name.starts_with("127.");
  }

  static bool SameInteger(const TInstanceConfig& a, const TInstanceConfig& b, const char* name) {
    const Variant* x = Find(a.Settings, name);
    const Variant* y = Find(b.Settings, name);
    return x && y && x->GetKind() == Kind::Integer && y->GetKind() == Kind::Integer &&
           x->AsInteger() == y->AsInteger();
  }

  std::string ModuleOf(TInstanceID id) const {
    auto module = modules_.find(id);
    return module == modules_.end() ? std::string() : module->second;
  }

  // A step of data between instances: what `from` receives, its child `bridge` sends to its
  // target, and it arrives at `to`.
  struct TDataStep {
    TInstanceID From, Bridge, To;
  };

  std::vector<TDataStep> DataSteps() {
    std::vector<TDataStep> steps;
    for (const auto& bridge : config_.Instances) {
      const Variant* target = Find(bridge.Settings, "Target");
      if (ModuleOf(bridge.ID) != "Bridge" || bridge.Parent == 0 || target == nullptr ||
          target->GetKind() != Kind::Integer)
        continue;
      for (TInstanceID end : WireEnds(static_cast<TInstanceID>(target->AsInteger())))
        steps.push_back({bridge.Parent, bridge.ID, end});
    }
    return steps;
  }

  // One finding per loop, on the first bridge of it in config order: leaving that one out
  // breaks the loop.
  void CheckDataLoops() {
    const std::vector<TDataStep> steps = DataSteps();
    std::set<TInstanceID> reported;
    for (const auto& step : steps) {
      if (reported.contains(step.Bridge))
        continue;
      std::vector<TDataStep> path = PathBetween(steps, step.To, step.From);
      if (path.empty() && step.To != step.From)
        continue;
      path.insert(path.begin(), step);
      std::string route = Described(path.front().From);
      for (const auto& hop : path) {
        reported.insert(hop.Bridge);
        route += fmt::format(" -> {} -> {}", Described(hop.Bridge), Described(hop.To));
      }
      auto bridge = std::find_if(config_.Instances.begin(), config_.Instances.end(),
                                 [&](const TInstanceConfig& i) { return i.ID == step.Bridge; });
      Add(*bridge, "Target", "data loop", *Find(bridge->Settings, "Target"),
          fmt::format("a target whose data does not come back; each block goes round for ever: {}",
                      route));
    }
  }

  // The steps from `from` to `to` (breadth first), empty when there is no way.
  static std::vector<TDataStep> PathBetween(const std::vector<TDataStep>& steps, TInstanceID from,
                                            TInstanceID to) {
    std::map<TInstanceID, const TDataStep*> reachedBy;
    std::vector<TInstanceID> frontier{from};
    std::set<TInstanceID> seen{from};
    while (!frontier.empty() && !seen.contains(to)) {
      std::vector<TInstanceID> next;
      for (TInstanceID at : frontier) {
        for (const auto& step : steps) {
          if (step.From == at && seen.insert(step.To).second) {
            reachedBy[step.To] = &step;
            next.push_back(step.To);
          }
        }
      }
      frontier = std::move(next);
    }
    std::vector<TDataStep> path;
    for (TInstanceID at = to; reachedBy.contains(at) && at != from; at = reachedBy[at]->From)
      path.insert(path.begin(), *reachedBy[at]);
    return path;
  }

  std::string Described(TInstanceID id) const { return fmt::format("#{} {}", id, ModuleOf(id)); }

  const THostConfig& config_;
  TModuleProbe& probe_;
  std::set<TInstanceID> configured_;
  std::map<TInstanceID, const TInstanceConfig*> configuredByID_;
  bool wiresIndexed_ = false;
  std::map<int32_t, std::vector<TInstanceID>> clientsByPort_;
  std::map<int32_t, std::vector<TInstanceID>> serversByPort_;
  std::map<std::string, TProbeResult> probes_;
  std::map<TInstanceID, std::string> modules_;
  std::vector<TConfigFinding> findings_;
};

}  // namespace

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
  std::string nearest;
  size_t best = SIZE_MAX;
  for (const auto& candidate : known) {
    size_t distance = EditDistance(AsciiLower(name), AsciiLower(candidate));
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

bool IsSecretSetting(const std::string& name) {
  const std::string lower = AsciiLower(name);
  for (const char* word : {"pass", "secret", "token"}) {
    if (lower.find(word) != std::string::npos)
      return true;
  }
  return false;
}

std::vector<TConfigFinding> CheckConfig(const THostConfig& config, TModuleProbe& probe) {
  return TChecker(config, probe).Run();
}

}  // namespace kyt::host
