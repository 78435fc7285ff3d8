// kyt-host's formats: the config file, the call lines on standard input, and how values and
// events are written out.

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/call_protocol.h"
#include "cli/event_format.h"
#include "cli/host_config.h"
#include "host/json_values.h"

namespace kyt::host {
namespace {

THostConfig Parse(const std::string& text) {
  return ParseConfig(TJson::parse(text), "/base");
}

std::vector<TInstanceID> IDs(const std::vector<TInstanceConfig>& instances) {
  std::vector<TInstanceID> ids;
  for (const auto& instance : instances) ids.push_back(instance.ID);
  return ids;
}

TEST(ConfigTest, SettingsKeepTheirJsonTypes) {
  THostConfig config = Parse(R"({"library": "lib/VidiridAZ.so", "instances": [
      {"id": 10, "module": "CSCK", "name": "Peer",
       "settings": {"Open": true, "Port": 7000, "Ratio": 1.0, "Host": "h", "Raw": {"hex": "00ff"}}}]})");
  EXPECT_EQ(config.Library, "/base/lib/VidiridAZ.so");
  ASSERT_EQ(config.Instances.size(), 1u);
  const TInstanceConfig& peer = config.Instances[0];
  EXPECT_EQ(peer.Name, "Peer");
  std::map<std::string, Variant> settings(peer.Settings.begin(), peer.Settings.end());
  EXPECT_EQ(settings["Open"], Variant(true));
  EXPECT_EQ(settings["Port"], Variant(7000));
  EXPECT_EQ(settings["Ratio"], Variant(1.0));
  EXPECT_EQ(settings["Host"], Variant("h"));
  EXPECT_EQ(settings["Raw"], Variant(std::string("\0\xFF", 2)));
}

TEST(ConfigTest, ChildrenWaitForParentsThatComeLater) {
  THostConfig config = Parse(R"({"instances": [
      {"id": 3, "module": "Console", "parent": 2}, {"id": 1, "module": "A"},
      {"id": 2, "module": "B"}, {"id": 4, "module": "Console", "parent": 1}]})");
  EXPECT_EQ(IDs(CreationOrder(config.Instances)), (std::vector<TInstanceID>{1, 2, 3, 4}));
  // A chain listed children first, as long as a config can be: ordered in one pass (a scan
  // that starts again after each placement takes hours here).
  std::vector<TInstanceConfig> chain;
  for (int id = 0xFFFF; id >= 1; --id) {
    chain.push_back(
        {static_cast<TInstanceID>(id), "Console", "", static_cast<TInstanceID>(id - 1), {}});
  }
  const std::vector<TInstanceID> ordered = IDs(CreationOrder(chain));
  ASSERT_EQ(ordered.size(), 0xFFFFu);
  EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end()));
}

TEST(ConfigTest, MistakesAreNamed) {
  auto error = [](const std::string& text) {
    try {
      Parse(text);
    } catch (const EConfigError& e) {
      return e.Message();
    }
    return std::string("(accepted)");
  };
  EXPECT_EQ(error(R"({"instances": [{"module": "A"}]})"), "instances[0]: \"id\" is missing");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A", "parnet": 2}]})"),
            "instances[0]: unknown key \"parnet\"");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A", "parent": 2}]})"),
            "instance #1: parent #2 is not configured");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A"}, {"id": 1, "module": "B"}]})"),
            "instance #1 is configured twice");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A", "parent": 2},
                                    {"id": 2, "module": "A", "parent": 1}]})"),
            "instance #1: its parents form a loop");
  EXPECT_EQ(error(R"({"instances": [{"id": 70000, "module": "A"}]})"),
            "instances[0].id: 70000 is no instance ID (1 to 65535)");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A", "settings": {"Port": 3000000000}}]})"),
            "instance #1.settings.Port: integer out of the 32-bit range");
  EXPECT_EQ(error(R"({"instances": [{"id": 1, "module": "A", "settings": {"L": [1]}}]})"),
            "instance #1.settings.L: expected a Boolean, a number, a string or {\"hex\": ...}");
}

TEST(CallLineTest, ArgumentsBecomeVariants) {
  TCallRequest call = ParseCallLine(
      R"({"call": "CSCK_SendText", "args": [12, 1.5, true, null, "hi", {"hex": "00ff"}, [1, "a"]]})");
  ASSERT_TRUE(call.Valid()) << call.Error;
  EXPECT_EQ(call.Function, "CSCK_SendText");
  std::vector<Variant> expected = {Variant(12),
                                   Variant(1.5),
                                   Variant(true),
                                   Variant(),
                                   Variant("hi"),
                                   Variant(std::string("\0\xFF", 2)),
                                   Variant(Variant::Array{Variant(1), Variant("a")})};
  EXPECT_EQ(call.Args, expected);
}

TEST(CallLineTest, MalformedLinesNameTheCallWhenTheyCan) {
  EXPECT_EQ(ParseCallLine("not json").Function, std::nullopt);
  EXPECT_FALSE(ParseCallLine("not json").Valid());
  EXPECT_EQ(ParseCallLine("[1]").Function, std::nullopt);
  EXPECT_EQ(ParseCallLine(R"({"args": []})").Function, std::nullopt);
  TCallRequest badArgs = ParseCallLine(R"({"call": "X_Y", "args": 5})");
  EXPECT_FALSE(badArgs.Valid());
  EXPECT_EQ(badArgs.Function, "X_Y");
  EXPECT_FALSE(ParseCallLine(R"({"call": "X_Y", "args": [{"a": 1}]})").Valid());
  EXPECT_FALSE(ParseCallLine(R"({"call": "X_Y", "args": [{"hex": "0"}]})").Valid());
  EXPECT_TRUE(ParseCallLine(R"({"call": "X_Y"})").Valid());
  // A number beyond a double (found by fuzzing): answered, not lost.
  TCallRequest overflow = ParseCallLine(R"({"call": "X_Y", "args": [1e999]})");
  EXPECT_FALSE(overflow.Valid());
  EXPECT_TRUE(overflow.Error.starts_with("Malformed line: ")) << overflow.Error;
}

// A line of brackets well inside the 1 MiB limit once ended kyt-host with a stack overflow.
TEST(CallLineTest, ArraysNestedTooDeeplyAreRefusedNotFatal) {
  auto nested = [](int depth) {
    return R"({"call": "X_Y", "args": [)" + std::string(depth, '[') + std::string(depth, ']') +
           "]}";
  };
  EXPECT_TRUE(ParseCallLine(nested(kMaxArrayNesting)).Valid());
  TCallRequest deep = ParseCallLine(nested(kMaxArrayNesting + 1));
  EXPECT_EQ(deep.Error, "Bad argument: arrays nest deeper than 64 levels");
  EXPECT_FALSE(ParseCallLine(nested(300000)).Valid());
}

TEST(JsonValuesTest, OnlyValidUtf8TravelsAsText) {
  EXPECT_TRUE(IsValidUtf8("plain grüß €"));
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));      // overlong NUL
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));      // cut short
  EXPECT_EQ(BytesToJson("ok"), TJson("ok"));
  EXPECT_EQ(BytesToJson(std::string("\0\xFF", 2)), TJson({{"hex", "00ff"}}));
  EXPECT_EQ(BytesFromJson(TJson({{"hex", "00FF"}})), std::string("\0\xFF", 2));
  EXPECT_THROW(HexDecode("0g"), Exception);
}

TEST(JsonValuesTest, RecordsBecomeObjectsInFieldOrder) {
  Variant record = Variant::Record({"Zeta", "Alpha"}, {Variant(1), Variant("x")});
  EXPECT_EQ(DumpLine(VariantToJson(record)), R"({"Zeta":1,"Alpha":"x"})");
  EXPECT_EQ(DumpLine(VariantToJson(Variant(Variant::Array{record, Variant()}))),
            R"([{"Zeta":1,"Alpha":"x"},null])");
}

TEST(EventFormatTest, EventsCarryEveryField) {
  THostEvent debug{THostEvent::Kind::Debug, 12, 0, "RECEIVED", std::string("a\xFF", 2), {}, false};
  EXPECT_EQ(DumpLine(EventToJson(debug)),
            "{\"event\":\"debug\",\"sender\":12,\"title\":\"RECEIVED\",\"hex\":\"61ff\","
            "\"text\":\"a\xEF\xBF\xBD\"}");
  THostEvent hid{THostEvent::Kind::Data, 11, 3, "", "r", {}, true};
  EXPECT_EQ(DumpLine(EventToJson(hid)),
            R"({"event":"data","instance":11,"report_id":3,"hex":"72","text":"r"})");
  THostEvent message{THostEvent::Kind::Message, 12, 10056, "", "", {Variant(true)}, false};
  EXPECT_EQ(DumpLine(EventToJson(message)),
            R"({"event":"message","sender":12,"message":10056,"data":[true]})");
  EXPECT_EQ(EventToText(debug), "debug #12 RECEIVED: a\\xFF");
  // Data keeps every byte visible; texts show valid UTF-8 as it is.
  const std::string opened =
      "ge\xC3\xB6"
      "ffnet";  // "geöffnet"
  THostEvent german{THostEvent::Kind::Log, 12, 10020, "COM1", opened, {}, false};
  EXPECT_EQ(EventToText(german), "log 10020 #12 COM1: " + opened);
  THostEvent data{THostEvent::Kind::Data, 11, 0, "", opened, {}, false};
  EXPECT_EQ(EventToText(data), "data #11: ge\\xC3\\xB6ffnet");
  EXPECT_EQ(DumpLine(ErrorToJson(std::nullopt, "bad")),
            R"({"event":"error","call":null,"message":"bad"})");
}

TEST(EventFormatTest, TextShowsValidUtf8AndEscapesControlsAndInvalidBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9F\x94\x8C",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9F\x94\x8C"},
      {"tab\tnl\n\x7F\\", "tab\\x09nl\\x0A\\x7F\\\\"},
      {"\xC2\x85|\xC2\xA0", "\\xC2\\x85|\xC2\xA0"},             // C1 control, NBSP
      {"\xC3", "\\xC3"},                                        // cut short
      {"\xC0\xAF|\xE0\x80\xAF", "\\xC0\\xAF|\\xE0\\x80\\xAF"},  // overlong
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                      // surrogate
      {"\xF4\x90\x80\x80|\xFF", "\\xF4\\x90\\x80\\x80|\\xFF"},  // above U+10FFFF
      {"\xE2\x82x", "\\xE2\\x82x"},                             // bad continuation
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeText(text), shown) << shown;
}

}  // namespace
}  // namespace kyt::host
