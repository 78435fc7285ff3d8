#include "runtime/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "runtime/exception.h"

namespace kyt {
namespace {

TEST(VariantTest, ConvertsBetweenScalarKinds) {
  EXPECT_FALSE(Variant().AsBoolean());
  EXPECT_EQ(Variant().AsInteger(), 0);
  EXPECT_EQ(Variant().AsFloat(), 0.0);
  EXPECT_EQ(Variant().AsString(), "");

  EXPECT_EQ(Variant(true).AsInteger(), 1);
  EXPECT_EQ(Variant(true).AsString(), "true");
  EXPECT_TRUE(Variant(" TRUE ").AsBoolean());
  EXPECT_FALSE(Variant("False").AsBoolean());
  EXPECT_TRUE(Variant("2").AsBoolean());
  EXPECT_FALSE(Variant(0.0).AsBoolean());

  EXPECT_EQ(Variant("12").AsInteger(), 12);
  EXPECT_EQ(Variant(" -3\n").AsInt64(), -3);
  EXPECT_EQ(Variant("+7").AsInteger(), 7);
  EXPECT_EQ(Variant("1e3").AsInteger(), 1000);
  EXPECT_EQ(Variant("1.5").AsFloat(), 1.5);
  EXPECT_EQ(Variant(3.0).AsInteger(), 3);
  EXPECT_EQ(Variant(int64_t{-42}).AsString(), "-42");
  EXPECT_EQ(Variant(2.0).AsString(), "2");
}

TEST(VariantTest, FloatTextReadsBackToTheSameDouble) {
  for (const double d : {0.1, 1.0 / 3.0, -2.5e-300, 1e20, 123456789.125}) {
    EXPECT_EQ(Variant(Variant(d).AsString()).AsFloat(), d) << d;
  }
}

TEST(VariantTest, ConversionsWithoutMeaningRaiseEConvertError) {
  const Variant array(Variant::Array{1, 2});
  const struct {
    const char* what;
    void (*convert)(const Variant&);
    Variant value;
  } cases[] = {
      {"text to integer", [](const Variant& v) { (void)v.AsInteger(); }, "abc"},
      {"trailing junk", [](const Variant& v) { (void)v.AsInt64(); }, "12abc"},
      {"empty text to integer", [](const Variant& v) { (void)v.AsInteger(); }, ""},
      {"hex text", [](const Variant& v) { (void)v.AsInteger(); }, "0x1F"},
      {"double sign", [](const Variant& v) { (void)v.AsInteger(); }, "+-1"},
      {"text to float", [](const Variant& v) { (void)v.AsFloat(); }, "1,5"},
      {"text to boolean", [](const Variant& v) { (void)v.AsBoolean(); }, "yes"},
      {"fraction to integer", [](const Variant& v) { (void)v.AsInteger(); }, 2.5},
      {"fractional text", [](const Variant& v) { (void)v.AsInteger(); }, "2.5"},
      {"NaN to integer", [](const Variant& v) { (void)v.AsInt64(); },
       std::numeric_limits<double>::quiet_NaN()},
      {"NaN to boolean", [](const Variant& v) { (void)v.AsBoolean(); },
       std::numeric_limits<double>::quiet_NaN()},
      {"infinity", [](const Variant& v) { (void)v.AsInt64(); },
       std::numeric_limits<double>::infinity()},
      {"array to string", [](const Variant& v) { (void)v.AsString(); }, array},
      {"array to integer", [](const Variant& v) { (void)v.AsInteger(); }, array},
      {"scalar to array", [](const Variant& v) { (void)v.AsArray(); }, 1},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(c.convert(c.value), EConvertError) << c.what;
  }
}

TEST(VariantTest, ConversionErrorNamesValueAndBothTypes) {
  try {
    (void)Variant("abc").AsInteger();
    FAIL() << "no exception";
  } catch (const Exception& e) {  // the runtime's base class, as a host catches it
    EXPECT_EQ(e.Message(),
              R"(Could not convert variant of type (String) "abc" into type (Integer))");
  }
  try {
    (void)Variant(std::string(10000, 'x')).AsFloat();
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_LT(e.Message().size(), 200u) << "a huge value must not flood the message";
    EXPECT_NE(e.Message().find("10000 bytes"), std::string::npos);
  }
}

TEST(VariantTest, IntegersOutOfTargetRangeRaise) {
  EXPECT_EQ(Variant(int64_t{INT32_MAX}).AsInteger(), INT32_MAX);
  EXPECT_EQ(Variant(int64_t{INT32_MIN}).AsInteger(), INT32_MIN);
  EXPECT_THROW((void)Variant(int64_t{INT32_MAX} + 1).AsInteger(), EConvertError);
  EXPECT_THROW((void)Variant(int64_t{INT32_MIN} - 1).AsInteger(), EConvertError);
  EXPECT_THROW((void)Variant("3000000000").AsInteger(), EConvertError);
  EXPECT_THROW((void)Variant(3e9).AsInteger(), EConvertError);

  EXPECT_EQ(Variant("9223372036854775807").AsInt64(), INT64_MAX);
  EXPECT_EQ(Variant("-9223372036854775808").AsInt64(), INT64_MIN);
  EXPECT_EQ(Variant(-9223372036854775808.0).AsInt64(), INT64_MIN);
  EXPECT_THROW((void)Variant("9223372036854775808").AsInt64(), EConvertError);
  EXPECT_THROW((void)Variant(9223372036854775808.0).AsInt64(), EConvertError);
  EXPECT_THROW((void)Variant("1e400").AsFloat(), EConvertError);
}

TEST(VariantTest, ByteStringsKeepEveryByte) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  bytes += '\0';
  const Variant v(bytes);
  const Variant copy = v;
  EXPECT_EQ(copy.AsString(), bytes);
  EXPECT_EQ(copy.AsString().size(), 257u);
  EXPECT_EQ(Variant::Array{copy}[0].AsString(), bytes);
  EXPECT_EQ(Variant(std::string("a\0b", 3)).ToDebugString(), R"("a\x00b")");
  EXPECT_NE(Variant(std::string("a\0b", 3)), Variant(std::string("a\0c", 3)));
}

TEST(VariantTest, RecordsCarryFieldNamesInOrder) {
  const Variant r = Variant::Record({"Port", "Name"}, {502, "pump"});
  EXPECT_TRUE(r.IsArray());
  EXPECT_TRUE(r.IsRecord());
  EXPECT_EQ(r.FieldNames(), (std::vector<std::string>{"Port", "Name"}));
  EXPECT_EQ(r.AsArray()[1].AsString(), "pump");
  EXPECT_EQ(r.ToDebugString(), R"({Port: 502, Name: "pump"})");

  const Variant plain(Variant::Array{502, "pump"});
  EXPECT_FALSE(plain.IsRecord());
  EXPECT_TRUE(plain.FieldNames().empty());
  EXPECT_NE(r, plain);

  EXPECT_TRUE(Variant::Record({}, {}).IsRecord()) << "a record without fields stays a record";
  EXPECT_TRUE(Variant(1).FieldNames().empty());
  EXPECT_THROW(Variant::Record({"A"}, {1, 2}), Exception);
}

TEST(VariantTest, EqualityIsDeepAndStrictAboutKinds) {
  const auto nested = [](int last) {
    return Variant(Variant::Array{1, Variant::Array{"x", Variant::Record({"A"}, {last})}});
  };
  EXPECT_EQ(nested(3), nested(3));
  EXPECT_NE(nested(3), nested(4));
  EXPECT_NE(Variant::Record({"A"}, {1}), Variant::Record({"B"}, {1}));
  EXPECT_NE(Variant(1), Variant(1.0));
  EXPECT_NE(Variant(1), Variant("1"));
  EXPECT_NE(Variant(1), Variant(true));
  EXPECT_EQ(Variant(), Variant());
  EXPECT_NE(Variant(), Variant(""));
}

TEST(VariantTest, DebugStringTellsKindsApart) {
  EXPECT_EQ(Variant().ToDebugString(), "(empty)");
  EXPECT_EQ(Variant(12).ToDebugString(), "12");
  EXPECT_EQ(Variant(2.0).ToDebugString(), "2.0");
  EXPECT_EQ(Variant(-1.5).ToDebugString(), "-1.5");
  EXPECT_EQ(Variant(false).ToDebugString(), "false");
  EXPECT_EQ(Variant("say \"hi\"\n").ToDebugString(), R"("say \"hi\"\x0A")");
  EXPECT_EQ(Variant(Variant::Array{1, "2"}).ToDebugString(), R"([1, "2"])");
}

}  // namespace
}  // namespace kyt
