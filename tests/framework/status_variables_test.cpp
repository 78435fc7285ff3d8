// Status variables: the seven IKYTModule methods, binding to host variables, and both stored
// forms of the bindings.

#include <gtest/gtest.h>

#include "framework/codes.h"
#include "tests/framework/test_module.h"

namespace kyt::testing_module {
namespace {

using host::THostEvent;

class StatusVariableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options() = {};
    Options().DeclareStatusVariables = true;
    host_ = std::make_unique<host::TReferenceHost>();
    RegisterTestModules(*host_);
  }
  TTestModule& Create() {
    id_ = host_->CreateInstance("TEST", 100);
    return Module();
  }
  TTestModule& Module() { return *dynamic_cast<TTestModule*>(host_->Instance(id_).Get()); }
  std::vector<std::string> Errors() {
    std::vector<std::string> out;
    for (const auto& e : host_->Events(THostEvent::Kind::Log, id_)) {
      if (e.Code == KL_ERROR)
        out.push_back(e.Text);
    }
    return out;
  }
  template <class F>
  std::string FailureOf(F f) {
    try {
      f();
    } catch (const EKYTModuleObject& e) {
      return e.Message();
    }
    return "(no failure)";
  }
  std::unique_ptr<host::TReferenceHost> host_;
  TInstanceID id_ = 0;
};

TEST_F(StatusVariableTest, AModuleWithoutStatusVariablesAnswersEmpty) {
  Options().DeclareStatusVariables = false;
  TTestModule& m = Create();
  EXPECT_FALSE(m.StatusVariableExists("Level"));
  EXPECT_TRUE(m.GetStatusVariables().empty());
  EXPECT_TRUE(m.GetStatusVariableIDs().empty());
  const std::string missing = "StatusVariable \"Level\" does not exist";
  EXPECT_EQ(FailureOf([&] { m.GetStatusVariable("Level"); }), missing);
  EXPECT_EQ(FailureOf([&] { m.GetStatusVariableID("Level"); }), missing);
  EXPECT_EQ(FailureOf([&] { m.SetStatusVariableID("Level", 0); }), missing);
  EXPECT_EQ(FailureOf([&] { m.RequestAction("Level", Variant(1)); }), missing);
}

TEST_F(StatusVariableTest, ApplyCreatesBindsAndFlagsHostVariables) {
  TTestModule& m = Create();
  EXPECT_EQ(m.GetStatusVariableIDs(), (TStringArray{"Level", "Mode"}));
  TVariableID level = m.GetStatusVariableID("level");  // any letter case
  TVariableID mode = m.GetStatusVariableID("MODE");
  ASSERT_GT(level, 0);
  ASSERT_GT(mode, 0);
  EXPECT_NE(level, mode);

  auto objects = host_->Objects();
  EXPECT_EQ(objects->GetObject(level).ParentID, id_);
  EXPECT_EQ(objects->GetName(level), "Level");
  EXPECT_TRUE(objects->HasFlag(level, 1));
  auto var = host_->Variables()->GetVariable(level);
  EXPECT_EQ(var.VariableValue.ValueType, TKYTVarType::vtInteger);
  EXPECT_EQ(var.VariableProfile()->ProfileName, "Level.Test");

  // Creating variables is a change; the apply around it clears it again.
  std::vector<bool> changes;
  for (const auto& e : host_->Events(THostEvent::Kind::Message, id_)) {
    if (e.Code == IM_CHANGESETTINGS)
      changes.push_back(e.Data.at(0).AsBoolean());
  }
  EXPECT_EQ(changes, (std::vector<bool>{true, false}));
  EXPECT_EQ(host_->ReadSetting(id_, {"Settings", "StatusVariables"}, "Level"), Variant(level));
}

TEST_F(StatusVariableTest, BindingToAVariableOfAnotherTypeFailsAndKeepsTheOldBinding) {
  TTestModule& m = Create();
  TVariableID old = m.GetStatusVariableID("Level");
  TVariableID text = host_->Variables()->CreateVariable(TKYTVarType::vtString);
  EXPECT_EQ(FailureOf([&] { m.SetStatusVariableID("Level", text); }),
            "VariableType of StatusVariable \"Level\" and Variable #" + std::to_string(text) +
                " do not match");
  EXPECT_EQ(m.GetStatusVariableID("Level"), old);

  TVariableID number = host_->Variables()->CreateVariable(TKYTVarType::vtInteger);
  m.SetStatusVariableID("Level", number);
  EXPECT_EQ(m.GetStatusVariableID("Level"), number);
  EXPECT_TRUE(m.HasChanges());
  m.SetStatusVariableID("Level", 0);  // unbinding needs no check
  EXPECT_EQ(m.GetStatusVariableID("Level"), 0);
}

TEST_F(StatusVariableTest, DeletedOrRetypedVariablesAreReplacedAtTheNextApply) {
  TTestModule& m = Create();
  TVariableID level = m.GetStatusVariableID("Level");
  TVariableID mode = m.GetStatusVariableID("Mode");
  host_->Variables()->DeleteVariable(level);
  host_->Variables()->DeleteVariable(mode);
  host_->Variables()->CreateVariableEx(TKYTVarType::vtBoolean, mode);
  m.ApplyChanges();
  EXPECT_NE(m.GetStatusVariableID("Level"), 0);
  EXPECT_NE(m.GetStatusVariableID("Mode"), mode);
  EXPECT_TRUE(host_->Variables()->VariableExists(m.GetStatusVariableID("Level")));
}

TEST_F(StatusVariableTest, CopiesAreTheCallersAndCarryNoHandler) {
  TTestModule& m = Create();
  TKYTStatusVariable copy = m.GetStatusVariable("Level");
  EXPECT_TRUE(copy.VariableHasAction);
  EXPECT_FALSE(copy.ActionHandler);
  copy.VariableID = 9999;
  EXPECT_NE(m.GetStatusVariableID("Level"), 9999);
  EXPECT_EQ(m.GetStatusVariables().size(), 2u);
}

TEST_F(StatusVariableTest, RequestActionReachesTheHandlerUntilAResetDropsIt) {
  TTestModule& m = Create();
  m.RequestAction("LEVEL", Variant(5));
  ASSERT_EQ(m.actions.size(), 1u);
  EXPECT_EQ(m.actions[0].first, "Level");
  EXPECT_EQ(m.actions[0].second, Variant(5));
  EXPECT_EQ(FailureOf([&] { m.RequestAction("Mode", Variant("x")); }),
            "No action for StatusVariable \"Mode\" definied");

  // Restored entries are copies: their handlers are gone.
  m.ResetChanges();
  EXPECT_TRUE(m.StatusVariableExists("Level"));
  EXPECT_EQ(FailureOf([&] { m.RequestAction("Level", Variant(1)); }),
            "No action for StatusVariable \"Level\" definied");
}

TEST_F(StatusVariableTest, ResetRestoresTheAppliedBindings) {
  TTestModule& m = Create();
  TVariableID applied = m.GetStatusVariableID("Level");
  m.SetStatusVariableID("Level", 0);
  m.ResetChanges();
  EXPECT_EQ(m.GetStatusVariableID("Level"), applied);
  EXPECT_FALSE(m.HasChanges());
}

TEST_F(StatusVariableTest, LoadsTheCurrentStoredForm) {
  TVariableID existing = host_->Variables()->CreateVariable(TKYTVarType::vtInteger);
  host_->StoreSetting(100, {"Settings", "StatusVariables"}, "Level", Variant(existing));
  TTestModule& m = Create();
  EXPECT_EQ(m.GetStatusVariableID("Level"), existing);
  EXPECT_TRUE(host_->Objects()->HasFlag(existing, 1));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(StatusVariableTest, AStoredBindingThatCannotBeMadeIsLoggedAndTheLoadGoesOn) {
  TVariableID text = host_->Variables()->CreateVariable(TKYTVarType::vtString);
  host_->StoreSetting(100, {"Settings", "StatusVariables"}, "Level", Variant(text));
  host_->StoreSetting(100, {"Settings"}, "Name", Variant("loaded"));
  TTestModule& m = Create();
  ASSERT_EQ(Errors().size(), 1u);
  EXPECT_NE(Errors()[0].find("do not match"), std::string::npos);
  EXPECT_EQ(m.GetName(), "loaded");
  EXPECT_NE(m.GetStatusVariableID("Level"), text);  // a new variable instead
}

TEST_F(StatusVariableTest, OlderFormIsRemovedEvenWhenItCannotBeBound) {
  host_->StoreSetting(100, {"Settings"}, "Mode", Variant("No Such Variable"));
  host_->StoreSetting(100, {"Settings"}, "Level", Variant("   "));
  Create();
  EXPECT_EQ(Errors().size(), 1u);
  EXPECT_FALSE(host_->ReadSetting(100, {"Settings"}, "Mode"));
  // A blank entry is neither looked up nor removed.
  EXPECT_EQ(host_->ReadSetting(100, {"Settings"}, "Level"), Variant("   "));
}

TEST_F(StatusVariableTest, OlderFormBindsByVariableName) {
  TVariableID existing = host_->Variables()->CreateVariable(TKYTVarType::vtString);
  host_->Objects()->SetName(existing, "Old Mode");
  host_->StoreSetting(100, {"Settings"}, "Mode", Variant("Old Mode"));
  TTestModule& m = Create();
  EXPECT_EQ(m.GetStatusVariableID("Mode"), existing);
  EXPECT_EQ(host_->Objects()->GetObject(existing).ParentID, id_);
  EXPECT_TRUE(host_->Objects()->HasFlag(existing, 1));
  EXPECT_FALSE(host_->ReadSetting(100, {"Settings"}, "Mode"));
  EXPECT_TRUE(Errors().empty());
}

}  // namespace
}  // namespace kyt::testing_module
