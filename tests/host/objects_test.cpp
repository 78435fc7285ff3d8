// The object and variable managers: the object tree, names, flags, summaries, typed variables.

#include <gtest/gtest.h>

#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class ObjectsTest : public HostTest {
 protected:
  TRef<IKYTObjectManager> objects = Host().Objects();
  TRef<IKYTVariableManager> variables = Host().Variables();
};

TEST_F(ObjectsTest, UnknownIDsRaise) {
  EXPECT_FALSE(objects->ObjectExists(4711));
  EXPECT_THROW(objects->SetName(4711, "x"), Exception);
  EXPECT_THROW(objects->GetObject(4711), Exception);
  EXPECT_THROW(objects->SetSummary(4711, "x"), Exception);
  EXPECT_THROW(variables->GetVariable(4711), Exception);
  EXPECT_THROW(variables->CheckVariable(4711), Exception);
}

TEST_F(ObjectsTest, TheTreeKnowsParentsNamesAndLocations) {
  TKYTID home = objects->CreateCategory();
  TKYTID room = objects->CreateCategoryEx(200);
  objects->SetName(home, "Home");
  objects->SetName(room, "Kitchen");
  objects->SetParent(room, home);
  EXPECT_EQ(objects->GetLocation(room), "Home\\Kitchen");
  EXPECT_EQ(objects->GetChildrenIDs(home), TKYTIDs{room});
  EXPECT_TRUE(objects->IsChild(room, home, false));
  EXPECT_EQ(objects->GetCategoryIDByName("Kitchen", home), room);
  EXPECT_THROW(objects->GetObjectIDByName("Kitchen", 0), Exception);
  EXPECT_THROW(objects->SetParent(home, room), Exception);  // no loops

  objects->DeleteCategory(home);
  EXPECT_EQ(objects->GetObject(room).ParentID, 0);
}

TEST_F(ObjectsTest, FlagsAreBits) {
  TKYTID id = objects->CreateCategory();
  EXPECT_FALSE(objects->HasFlag(id, 1));
  objects->SetFlag(id, 1, true);
  objects->SetFlag(id, 4, true);
  EXPECT_TRUE(objects->HasFlag(id, 1));
  EXPECT_EQ(objects->GetObject(id).ObjectFlag, 5u);
  objects->SetFlag(id, 1, false);
  EXPECT_FALSE(objects->HasFlag(id, 1));
  EXPECT_TRUE(objects->HasFlag(id, 4));
}

TEST_F(ObjectsTest, ASummaryIsKeptAndRecorded) {
  TInstanceID id = Host().CreateInstance("Console");
  objects->SetSummary(id, "127.0.0.1:7000");
  EXPECT_EQ(Host().Summary(id), "127.0.0.1:7000");
  EXPECT_EQ(objects->GetObject(id).ObjectSummary, "127.0.0.1:7000");
  auto events = Host().Events(EventKind::Summary, id);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Text, "127.0.0.1:7000");
}

TEST_F(ObjectsTest, AVariableHasTheTypeItWasCreatedWith) {
  TVariableID id = variables->CreateVariable(TKYTVarType::vtInteger);
  EXPECT_TRUE(variables->VariableExists(id));
  EXPECT_EQ(variables->GetVariable(id).VariableValue.ValueType, TKYTVarType::vtInteger);
  variables->WriteVariableInteger(id, 12);
  EXPECT_EQ(variables->ReadVariableInteger(id), 12);
  EXPECT_THROW(variables->WriteVariableString(id, "12"), Exception);
  EXPECT_THROW(variables->ReadVariableBoolean(id), Exception);

  EXPECT_EQ(variables->CreateVariableEx(TKYTVarType::vtString, id), id);
  EXPECT_EQ(variables->GetVariable(id).VariableValue.ValueType, TKYTVarType::vtString);
  variables->DeleteVariable(id);
  EXPECT_FALSE(variables->VariableExists(id));
  EXPECT_EQ(variables->CreateVariableEx(TKYTVarType::vtBoolean, id), id);
}

TEST_F(ObjectsTest, VariablesAreFoundByName) {
  TVariableID id = variables->CreateVariable(TKYTVarType::vtFloat);
  objects->SetName(id, "Temperature");
  EXPECT_EQ(variables->GetVariableID("Temperature"), id);
  EXPECT_THROW(variables->GetVariableID("Humidity"), Exception);
  TKYTID category = objects->CreateCategory();
  objects->SetName(category, "Humidity");
  EXPECT_THROW(variables->GetVariableID("Humidity"), Exception);  // not a variable
}

TEST_F(ObjectsTest, ProfilesAreStoredWithTheVariable) {
  TVariableID id = variables->CreateVariable(TKYTVarType::vtInteger);
  TKYTVarProfile standard;
  standard.ProfileName = "Level";
  Host().Kernel()->GetProfileService()->SetVariableProfile(id, standard);
  EXPECT_EQ(variables->GetVariable(id).VariableProfile()->ProfileName, "Level");

  TKYTVarProfile custom;
  custom.ProfileName = "Custom";
  variables->SetVariableCustomProfile(id, custom);
  variables->SetVariableUseCustomProfile(id, true);
  EXPECT_EQ(variables->GetVariable(id).VariableProfile()->ProfileName, "Custom");
}

TEST_F(ObjectsTest, BinaryStringsKeepTheirFlag) {
  TVariableID id = variables->CreateVariable(TKYTVarType::vtString);
  variables->WriteVariableStringEx(id, "AAE=", true);
  bool base64 = false;
  EXPECT_EQ(variables->ReadVariableStringEx(id, base64), "AAE=");
  EXPECT_TRUE(base64);
}

}  // namespace
}  // namespace kyt::test_support
