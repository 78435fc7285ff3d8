// The settings service: typed values per instance and path, read statuses, deleting keys, and
// the settings file.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/bounded_file.h"
#include "host/settings_file.h"
#include "tests/support/host_test.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

host::THostOptions WithFile(const std::string& file) {
  host::THostOptions options;
  options.SettingsFile = file;
  return options;
}

class SettingsTest : public HostTest {
 protected:
  TRef<IKYTSettings> settings = Host().Kernel()->GetSettings();
  const TStringArray path = {"Settings"};
};

TEST_F(SettingsTest, EachTypeReadsBackWhatWasWritten) {
  settings->WriteBoolean(7, path, "Open", true);
  settings->WriteInteger(7, path, "Port", -70000);
  settings->WriteFloat(7, path, "Ratio", 0.1);
  settings->WriteString(7, path, "Data", std::string("a\0\xFFz", 4));

  bool open = false;
  int32_t port = 0;
  double ratio = 0;
  std::string data;
  EXPECT_EQ(settings->ReadBoolean(7, path, "Open", open), 0);
  EXPECT_EQ(settings->ReadInteger(7, path, "Port", port), 0);
  EXPECT_EQ(settings->ReadFloat(7, path, "Ratio", ratio), 0);
  EXPECT_EQ(settings->ReadString(7, path, "Data", data), 0);
  EXPECT_TRUE(open);
  EXPECT_EQ(port, -70000);
  EXPECT_EQ(ratio, 0.1);
  EXPECT_EQ(data, std::string("a\0\xFFz", 4));
}

TEST_F(SettingsTest, MissingValuesReportANegativeStatusAndLeaveTheOutValueAlone) {
  settings->WriteInteger(7, path, "Port", 1);
  int32_t port = 42;
  EXPECT_LT(settings->ReadInteger(8, path, "Port", port), 0);       // other instance
  EXPECT_LT(settings->ReadInteger(7, {"Other"}, "Port", port), 0);  // other path
  EXPECT_LT(settings->ReadInteger(7, path, "Host", port), 0);       // other name
  EXPECT_EQ(port, 42);
}

TEST_F(SettingsTest, OnlyAnIntegerConvertsWhenReadAsAnotherType) {
  settings->WriteInteger(7, path, "Count", 3);
  settings->WriteFloat(7, path, "Ratio", 2.0);
  settings->WriteString(7, path, "Text", "1");
  double asFloat = 0;
  EXPECT_EQ(settings->ReadFloat(7, path, "Count", asFloat), 0);
  EXPECT_EQ(asFloat, 3.0);

  int32_t asInteger = 99;
  bool asBoolean = false;
  std::string asString = "unchanged";
  EXPECT_LT(settings->ReadInteger(7, path, "Ratio", asInteger), 0);
  EXPECT_LT(settings->ReadBoolean(7, path, "Count", asBoolean), 0);
  EXPECT_LT(settings->ReadString(7, path, "Count", asString), 0);
  EXPECT_LT(settings->ReadInteger(7, path, "Text", asInteger), 0);
  EXPECT_EQ(asInteger, 99);
  EXPECT_EQ(asString, "unchanged");
}

TEST_F(SettingsTest, KeysAndNamesIgnoreLetterCase) {
  settings->WriteBoolean(7, {"Settings"}, "Open", true);
  bool open = false;
  EXPECT_EQ(settings->ReadBoolean(7, {"SETTINGS"}, "open", open), 0);
  EXPECT_TRUE(open);
}

TEST_F(SettingsTest, DeleteEntryRemovesTheNamedValueAndTheKeyBelowIt) {
  settings->WriteString(7, path, "Level", "old form");
  settings->WriteInteger(7, {"Settings", "Level"}, "Inner", 1);
  settings->WriteInteger(7, {"Settings", "StatusVariables"}, "Level", 12);
  settings->WriteInteger(7, path, "LevelTwo", 2);
  settings->WriteInteger(8, path, "Level", 3);

  settings->DeleteEntry(7, {"Settings", "Level"});

  EXPECT_FALSE(Host().ReadSetting(7, path, "Level"));
  EXPECT_FALSE(Host().ReadSetting(7, {"Settings", "Level"}, "Inner"));
  EXPECT_TRUE(Host().ReadSetting(7, {"Settings", "StatusVariables"}, "Level"));
  EXPECT_TRUE(Host().ReadSetting(7, path, "LevelTwo"));
  EXPECT_TRUE(Host().ReadSetting(8, path, "Level"));

  settings->DeleteEntry(7, path);
  EXPECT_FALSE(Host().ReadSetting(7, {"Settings", "StatusVariables"}, "Level"));
  EXPECT_TRUE(Host().ReadSetting(8, path, "Level"));
}

TEST_F(SettingsTest, StoreSettingTakesScalarVariantsOnly) {
  Host().StoreSetting(7, path, "Port", Variant(7000));
  EXPECT_EQ(*Host().ReadSetting(7, path, "Port"), Variant(7000));
  EXPECT_THROW(Host().StoreSetting(7, path, "List", Variant(Variant::Array{1})), Exception);
  EXPECT_THROW(Host().StoreSetting(7, path, "Big", Variant(int64_t{1} << 40)), Exception);
}

TEST_F(SettingsTest, TheSettingsFileKeepsEveryTypeExactly) {
  TTempDir dir;
  std::string file = dir.File("settings.json");
  ResetHost(WithFile(file));
  Host().StoreSetting(7, path, "Open", Variant(true));
  Host().StoreSetting(7, path, "Port", Variant(7000));
  Host().StoreSetting(7, path, "Whole", Variant(2.0));
  Host().StoreSetting(7, path, "Tiny", Variant(5e-324));
  Host().StoreSetting(7, {"Settings", "StatusVariables"}, "Text", Variant("grüß"));
  Host().StoreSetting(9, path, "Bytes", Variant(std::string("\x00\xFF\x80", 3)));
  Host().Kernel()->GetSettings()->WriteFloat(9, path, "Nan",
                                             std::numeric_limits<double>::quiet_NaN());
  Host().SaveSettingsFile();

  ResetHost(WithFile(file));
  EXPECT_EQ(*Host().ReadSetting(7, path, "Open"), Variant(true));
  EXPECT_EQ(*Host().ReadSetting(7, path, "Port"), Variant(7000));
  EXPECT_EQ(*Host().ReadSetting(7, path, "Whole"), Variant(2.0));  // still a Float
  EXPECT_EQ(*Host().ReadSetting(7, path, "Tiny"), Variant(5e-324));
  EXPECT_EQ(*Host().ReadSetting(7, {"Settings", "StatusVariables"}, "Text"), Variant("grüß"));
  EXPECT_EQ(*Host().ReadSetting(9, path, "Bytes"), Variant(std::string("\x00\xFF\x80", 3)));
  EXPECT_TRUE(std::isnan(Host().ReadSetting(9, path, "Nan")->AsFloat()));
  EXPECT_NE(dir.Read("settings.json").find(R"("hex": "00ff80")"), std::string::npos);
}

TEST_F(SettingsTest, AMissingSettingsFileStartsEmptyAndAMalformedOneIsRefused) {
  TTempDir dir;
  EXPECT_NO_THROW(ResetHost(WithFile(dir.File("absent.json"))));
  dir.Write("bad.json", R"({"values": [{"instance": 7, "path": [], "name": "X", "type": "integer",
                         "value": "seven"}]})");
  EXPECT_THROW(host::ReadSettingsFile(dir.File("bad.json")), Exception);
  dir.Write("truncated.json", R"({"values": [)");
  EXPECT_THROW(host::ReadSettingsFile(dir.File("truncated.json")), Exception);
}

TEST(BoundedFileTest, AFileUpToTheLimitIsReadAndOneByteMoreIsRefused) {
  TTempDir dir;
  std::string file = dir.Write("ten.json", "0123456789");
  EXPECT_EQ(host::ReadBoundedFile(file, 10), "0123456789");
  EXPECT_THROW(host::ReadBoundedFile(file, 9), Exception);
}

}  // namespace
}  // namespace kyt::test_support
