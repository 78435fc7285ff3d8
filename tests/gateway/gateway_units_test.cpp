// The MQTT module's pure parts: topic names, state JSON, payload cuts and the bounded queue.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "gateway/block_queue.h"
#include "gateway/mqtt_topics.h"

namespace kyt::gateway {
namespace {

TEST(MqttTopicsTest, OneInstanceIsOneLevelBelowThePrefix) {
  struct Case {
    const char* Prefix;
    std::string Name;
    uint32_t ID;
    const char* Base;
  } cases[] = {
      {"kyt", "line1", 20, "kyt/line1"},
      {"kyt", "", 20, "kyt/20"},  // no name: the ID
      {"site/floor1/", "line1", 20, "site/floor1/line1"},
      {"", "line1", 20, "line1"},
      {"kyt", "a/b+c#d", 20, "kyt/a_b_c_d"},  // levels and wildcards of a name are no levels
      {"kyt", std::string("x\0y", 3), 20, "kyt/x_y"},
  };
  for (const auto& c : cases) {
    TGatewayTopics topics = GatewayTopics(c.Prefix, c.Name, c.ID);
    EXPECT_EQ(topics.Rx, std::string(c.Base) + "/rx") << c.Prefix << " " << c.Name;
    EXPECT_EQ(topics.Tx, std::string(c.Base) + "/tx");
    EXPECT_EQ(topics.State, std::string(c.Base) + "/state");
  }
}

TEST(MqttTopicsTest, StateIsValidJsonWhateverTheSummaryHolds) {
  std::string state = StateJSON({.Online = true,
                                 .Instance = 20,
                                 .Name = "Line \"1\"",
                                 .Status = 200,
                                 .Summary = std::string("bad \xff byte", 10),
                                 .DroppedBlocks = 3});
  nlohmann::json parsed = nlohmann::json::parse(state);
  EXPECT_EQ(parsed["online"], true);
  EXPECT_EQ(parsed["instance"], 20);
  EXPECT_EQ(parsed["name"], "Line \"1\"");
  EXPECT_EQ(parsed["status"], 200);
  EXPECT_EQ(parsed["summary"], "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(parsed["dropped"], 3);
  EXPECT_EQ(nlohmann::json::parse(OfflineJSON(20)),
            (nlohmann::json{{"online", false}, {"instance", 20}}));
}

TEST(MqttTopicsTest, SplitKeepsEveryByteInOrder) {
  struct Case {
    std::size_t Size, Largest, Parts;
  } cases[] = {{10, 0, 1}, {10, 10, 1}, {10, 11, 1}, {11, 10, 2}, {30, 10, 3}, {31, 10, 4}};
  for (const auto& c : cases) {
    std::string block;
    for (std::size_t i = 0; i < c.Size; ++i) block += static_cast<char>(i);
    std::vector<std::string_view> parts = SplitPayload(block, c.Largest);
    ASSERT_EQ(parts.size(), c.Parts) << c.Size << "/" << c.Largest;
    std::string joined;
    for (auto part : parts) {
      EXPECT_LE(part.size(), c.Largest == 0 ? c.Size : c.Largest);
      joined += part;
    }
    EXPECT_EQ(joined, block);
  }
  EXPECT_EQ(LargestPayload("kyt/a/rx"), 268435455u - 12);
}

TEST(BlockQueueTest, RefusesWhatPassesTheLimitButNeverAFirstBlock) {
  TBlockQueue queue(10);
  EXPECT_TRUE(queue.Push(std::string(25, 'a')).WasEmpty);  // alone, however large
  EXPECT_FALSE(queue.Push("b").Taken);
  EXPECT_TRUE(queue.Push("c", true).Taken);  // past the limit on request
  EXPECT_TRUE(queue.Full());
  EXPECT_EQ(queue.Pop(), std::string(25, 'a'));
  EXPECT_EQ(queue.Peak(), 26u);
  EXPECT_TRUE(queue.Push("123456789").Taken);  // 1 + 9 = 10 fits exactly
  EXPECT_FALSE(queue.Push("d").Taken);
  queue.ReturnFront("z");
  EXPECT_EQ(queue.Pop(), "z");
  EXPECT_EQ(queue.Pop(), "c");
  EXPECT_EQ(queue.Pop(), "123456789");
  EXPECT_FALSE(queue.Pop());
  EXPECT_EQ(queue.Bytes(), 0u);
}

}  // namespace
}  // namespace kyt::gateway
