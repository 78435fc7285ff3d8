#include "runtime/types.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace kyt {
namespace {

size_t CountOf(const std::string& name, const std::string& ns) {
  const auto names = RegisteredTypeNames();
  return std::count_if(names.begin(), names.end(),
                       [&](const auto& r) { return r.Name == name && r.Namespace == ns; });
}

TEST(TypeRegistryTest, SecondRegistrationOfANameIsIgnored) {
  RegisterTypeName("TestWord", "urn:test", "uint16_t");
  RegisterTypeName("TestWord", "urn:test", "int32_t");
  RegisterTypeName("TestWord", "urn:other", "int32_t");
  EXPECT_EQ(CountOf("TestWord", "urn:test"), 1u);
  EXPECT_EQ(CountOf("TestWord", "urn:other"), 1u);
  const auto names = RegisteredTypeNames();
  const auto first = std::find_if(names.begin(), names.end(), [](const auto& r) {
    return r.Name == "TestWord" && r.Namespace == "urn:test";
  });
  ASSERT_NE(first, names.end());
  EXPECT_EQ(first->TypeName, "uint16_t");
}

TEST(TypeRegistryTest, ConcurrentRegistrationsKeepOneEntryEach) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) RegisterTypeName("T" + std::to_string(i), "urn:race", "int");
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(CountOf("T" + std::to_string(i), "urn:race"), 1u);
}

}  // namespace
}  // namespace kyt
