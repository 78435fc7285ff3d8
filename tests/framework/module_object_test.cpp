// The module base object through the reference host: construction, messages, script functions,
// the property cycle and the hand-off to children.

#include <gtest/gtest.h>

#include "framework/codes.h"
#include "tests/framework/test_module.h"

namespace kyt::testing_module {
namespace {

using host::THostEvent;
using Kind = THostEvent::Kind;

class ModuleObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options() = {};
    TTestChild::ClearReceived();
    MakeHost(KR_READY);
  }
  void MakeHost(int32_t runlevel) {
    host_.reset();
    host_ = std::make_unique<host::TReferenceHost>(host::THostOptions{true, "", runlevel});
    RegisterTestModules(*host_);
  }
  TTestModule& Module(TInstanceID id) {
    return *dynamic_cast<TTestModule*>(host_->Instance(id).Get());
  }
  std::vector<std::string> LogTexts(TInstanceID id, int32_t code) {
    std::vector<std::string> out;
    for (const auto& e : host_->Events(Kind::Log, id)) {
      if (e.Code == code)
        out.push_back(e.Text);
    }
    return out;
  }
  std::vector<bool> ChangeMessages(TInstanceID id) {
    std::vector<bool> out;
    for (const auto& e : host_->Events(Kind::Message, id)) {
      if (e.Code == IM_CHANGESETTINGS)
        out.push_back(e.Data.at(0).AsBoolean());
    }
    return out;
  }
  Variant Setting(TInstanceID id, const std::string& name) {
    auto v = host_->ReadSetting(id, {"Settings"}, name);
    return v ? *v : Variant();
  }
  std::unique_ptr<host::TReferenceHost> host_;
};

// ---- construction, messages, class operations ---------------------------------------------

TEST_F(ModuleObjectTest, CreationLogsAndRegistersScriptFunctionsInDeclarationOrder) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  auto log = host_->Events(Kind::Log, id);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().Code, KL_MESSAGE);
  EXPECT_EQ(log.front().Text, "Creating...");
  EXPECT_EQ(log.front().Name, "Test Module");

  // IKYTSendData is unknown to the loader and skipped; the module's own interface comes with
  // the loader's prefix, IKYTModule with "KYT".
  std::vector<std::string> names = host_->FunctionNames(id);
  ASSERT_EQ(names.size(), 5u + 16u);
  EXPECT_EQ(names[0], "TEST_SetName");
  EXPECT_EQ(names[4], "TEST_Runlevel");
  EXPECT_EQ(names[5], "KYT_StatusVariableExists");
  EXPECT_EQ(names.back(), "KYT_ApplyChanges");

  host_->DeleteInstance(id);
  EXPECT_TRUE(host_->FunctionNames(id).empty());
  EXPECT_EQ(LogTexts(id, KL_MESSAGE).back(), "Deleting...");
}

TEST_F(ModuleObjectTest, ScriptFunctionsReachTheModule) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  host_->Call("TEST_SetName", {Variant(id), Variant("kitchen")});
  EXPECT_EQ(host_->Call("TEST_GetName", {Variant(id)}).AsString(), "kitchen");
  EXPECT_TRUE(host_->Call("KYT_HasChanges", {Variant(id)}).AsBoolean());
  host_->Call("KYT_ApplyChanges", {Variant(id)});
  EXPECT_FALSE(host_->Call("KYT_HasChanges", {Variant(id)}).AsBoolean());
  EXPECT_EQ(Setting(id, "Name").AsString(), "kitchen");
  try {
    host_->Call("TEST_Unknown", {Variant(id)});
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "PHP function was not handled: TEST_Unknown");
  }
}

TEST_F(ModuleObjectTest, ModuleFunctionFlagAndPrefixComeFromTheLoader) {
  host_->SetModuleFunctionFlag(TTestModule::Class.ModuleID, true);
  TInstanceID id = host_->CreateInstance("TEST", 100);
  EXPECT_TRUE(host_->FunctionExists("TEST_GetName"));
  EXPECT_TRUE(host_->FunctionExists("KYT_GetStatusVariableIDs"));
  EXPECT_EQ(host_->Call("TEST_Runlevel", {Variant(id)}).AsInteger(), KR_READY);
}

TEST_F(ModuleObjectTest, RunlevelReadAtCreationUntilTheHostSaysOtherwise) {
  MakeHost(10012);
  TInstanceID id = host_->CreateInstance("TEST", 100);
  TTestModule& m = Module(id);
  EXPECT_EQ(m.Runlevel(), 10012);

  TKYTMessage bad{0, IM_CHANGERUNLEVEL, {Variant("not a number")}};
  EXPECT_THROW(m.MessageSink(bad), EConvertError);
  EXPECT_EQ(m.Runlevel(), 10012);
  EXPECT_THROW(m.MessageSink({0, IM_CHANGERUNLEVEL, {}}), EConvertError);

  host_->SetRunlevel(KR_READY);
  EXPECT_EQ(m.Runlevel(), KR_READY);
  EXPECT_EQ(m.runlevelHook, KR_READY);

  m.MessageSink({7, IM_INSTANCEMESSAGE, {Variant(42)}});
  m.MessageSink({7, 4711, {Variant("ignored")}});
  ASSERT_EQ(m.instanceMessages.size(), 1u);
  EXPECT_EQ(m.instanceMessages[0], std::make_pair(TKYTID{7}, 42));
}

TEST_F(ModuleObjectTest, SearchingIsAnnouncedEvenWithoutSupport) {
  MakeHost(10012);
  TInstanceID id = host_->CreateInstance("TEST", 100);
  TTestModule& m = Module(id);
  m.DoSearching(true);
  EXPECT_TRUE(m.IsSearching());
  EXPECT_FALSE(m.SupportsSearching());
  auto messages = host_->Events(Kind::Message, id);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Code, IM_SEARCHING);
  EXPECT_EQ(messages[0].Data, std::vector<Variant>{Variant(true)});
  try {
    m.SelectDevice(1);
    FAIL();
  } catch (const EKYTModuleObject& e) {
    EXPECT_EQ(e.Message(), "This module does not support selective seaching!");
  }
}

TEST_F(ModuleObjectTest, ClassOperationsFollowTheModuleType) {
  EXPECT_THROW(TTestModule::Class.GetParentRequirements(), EKYTModuleObject);
  EXPECT_EQ(TTestModule::Class.GetChildRequirements(),
            TStringArray{"{018EF6B5-AB94-40C6-AA53-46943E824ACF}"});
  try {
    TTestChild::Class.GetChildRequirements();
    FAIL();
  } catch (const EKYTModuleObject& e) {
    EXPECT_EQ(e.Message(), "Device/Core Modules have no Children");
  }
  EXPECT_TRUE(TTestChild::Class.GetParentRequirements().empty());
  EXPECT_EQ(TTestModule::Class.Interfaces,
            (std::vector<TGUID>{IKYTSendData::IID, ITestModule::IID, IKYTModule::IID}));
}

TEST_F(ModuleObjectTest, ReferenceCountingAndInterfaceIdentity) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  TRef<IKYTModule> module = host_->Instance(id);
  int32_t before = module->GetRefCount();
  {
    TRef<IKYTSendData> send = Supports<IKYTSendData>(module);
    ASSERT_TRUE(send);
    EXPECT_EQ(module->GetRefCount(), before + 1);
    EXPECT_TRUE(Supports<ITestModule>(send));
    EXPECT_FALSE(Supports<IKYTReceiveData>(module));
  }
  EXPECT_EQ(module->GetRefCount(), before);
}

// ---- property store -------------------------------------------------------------------------

TEST_F(ModuleObjectTest, FirstCreationStoresEveryDefault) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  EXPECT_FALSE(Module(id).HasChanges());
  EXPECT_EQ(Setting(id, "Open"), Variant(false));
  EXPECT_EQ(Setting(id, "Name"), Variant("default"));
  EXPECT_EQ(Setting(id, "Count"), Variant(3));
  EXPECT_TRUE(ChangeMessages(id).size() <= 1);  // at most the apply's [false]
}

TEST_F(ModuleObjectTest, StoredValueEqualToTheDefaultIsNoChange) {
  host_->StoreSetting(100, {"Settings"}, "Name", Variant("default"));
  host_->StoreSetting(100, {"Settings"}, "Count", Variant(3));
  TInstanceID id = host_->CreateInstance("TEST", 100);
  for (bool changed : ChangeMessages(id)) EXPECT_FALSE(changed);
}

TEST_F(ModuleObjectTest, StoredValuesAreLoadedAndApplied) {
  host_->StoreSetting(100, {"Settings"}, "Name", Variant("hall"));
  TInstanceID id = host_->CreateInstance("TEST", 100);
  EXPECT_EQ(Module(id).GetName(), "hall");
  EXPECT_FALSE(Module(id).HasChanges());
  EXPECT_EQ(ChangeMessages(id), (std::vector<bool>{true, false}));
}

TEST_F(ModuleObjectTest, ChangeStateIsPostedOnlyWhenTheKernelIsReady) {
  MakeHost(10012);
  TInstanceID id = host_->CreateInstance("TEST", 100);
  Module(id).SetName("porch");
  EXPECT_TRUE(Module(id).HasChanges());
  EXPECT_TRUE(ChangeMessages(id).empty());

  host_->SetRunlevel(KR_READY);
  Module(id).SetName("porch");  // same value: no change, no message
  EXPECT_TRUE(ChangeMessages(id).empty());
  Module(id).SetName("garden");
  Module(id).ResetChanges();
  EXPECT_EQ(ChangeMessages(id), (std::vector<bool>{true, false}));
  EXPECT_EQ(Module(id).GetName(), "default");
}

TEST_F(ModuleObjectTest, NoChangeStateIsPostedOnceTheKernelShutsDown) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  const size_t before = ChangeMessages(id).size();
  host_->SetRunlevel(KR_SHUTDOWN);
  Module(id).SetName("during shutdown");
  EXPECT_TRUE(Module(id).HasChanges());
  EXPECT_EQ(ChangeMessages(id).size(), before);
}

TEST_F(ModuleObjectTest, DeletingWithPendingEditsStoresTheAppliedValues) {
  TInstanceID id = host_->CreateInstance("TEST", 100);
  Module(id).SetName("applied");
  Module(id).ApplyChanges();
  Module(id).SetName("pending");
  host_->DeleteInstance(id);
  EXPECT_EQ(Setting(id, "Name").AsString(), "applied");
}

TEST_F(ModuleObjectTest, FailedApplyDuringCreationIsLoggedAndTheInstanceLives) {
  host_->StoreSetting(100, {"Settings"}, "Name", Variant("fail"));
  TInstanceID id = host_->CreateInstance("TEST", 100);
  ASSERT_TRUE(host_->Instance(id));
  EXPECT_EQ(LogTexts(id, KL_ERROR), std::vector<std::string>{"Cannot apply \"fail\""});
  EXPECT_TRUE(Module(id).HasChanges());
}

TEST_F(ModuleObjectTest, PropertyNamesAreUniqueWithoutRegardToCase) {
  Options().RegisterOpenTwice = true;
  try {
    host_->CreateInstance("TEST", 100);
    FAIL();
  } catch (const EKYTModuleObject& e) {
    EXPECT_EQ(e.Message(), "Property \"open\" already exists");
  }
  EXPECT_FALSE(host_->Instance(100));
  EXPECT_FALSE(host_->FunctionExists("TEST_GetName"));  // the failed object unregistered them
}

TEST_F(ModuleObjectTest, UnsupportedPropertyTypeFailsLoading) {
  Options().RegisterBadType = true;
  try {
    host_->CreateInstance("TEST", 100);
    FAIL();
  } catch (const EKYTModuleObject& e) {
    EXPECT_EQ(e.Message(), "Cannot load unsupported Property: Odd");
  }
}

// ---- hand-off to children -------------------------------------------------------------------

class HandOffTest : public ModuleObjectTest {
 protected:
  void SetUp() override {
    ModuleObjectTest::SetUp();
    parent_ = host_->CreateInstance("TEST", 100);
  }
  TInstanceID Child(TInstanceID id, bool fail = false) {
    host_->StoreSetting(id, {"Settings"}, "Fail", Variant(fail));
    return host_->CreateInstance("TESTCHILD", id, parent_);
  }
  TInstanceID parent_ = 0;
};

TEST_F(HandOffTest, AFailingChildCostsTheOthersNothing) {
  Child(201);
  Child(202, true);
  Child(203);
  Module(parent_).Inject("block");
  EXPECT_EQ(TTestChild::Received(),
            (std::vector<std::pair<TInstanceID, std::string>>{{201, "block"}, {203, "block"}}));
  EXPECT_EQ(LogTexts(parent_, KL_WARNING), std::vector<std::string>{"child #202 refused"});
}

TEST_F(HandOffTest, ChildrenWithoutTheInterfaceOrWithoutAnObjectAreSkippedSilently) {
  host_->CreateInstance("DEAF", 301, parent_);
  host_->AddDeadInstance(302, parent_);
  Child(303);
  Module(parent_).Inject("x");
  EXPECT_EQ(TTestChild::Received(), (std::vector<std::pair<TInstanceID, std::string>>{{303, "x"}}));
  EXPECT_TRUE(LogTexts(parent_, KL_WARNING).empty());
}

TEST_F(HandOffTest, EveryByteValueArrivesUnchanged) {
  Child(201);
  std::string block;
  for (int i = 0; i < 256; ++i) block.push_back(static_cast<char>(i));
  block += std::string(3, '\0');
  Module(parent_).Inject(block);
  Module(parent_).Inject("");
  auto got = TTestChild::Received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second, block);
  EXPECT_EQ(got[0].second.size(), 259u);
  EXPECT_EQ(got[1].second, "");
}

TEST_F(HandOffTest, DeliversThroughTheBuiltInConsole) {
  host::RegisterBuiltinModules(*host_);
  TInstanceID console = host_->CreateInstance("Console", 400, parent_);
  Module(parent_).Inject(std::string("a\0b", 3));
  auto data = host_->Events(Kind::Data, console);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].Text, std::string("a\0b", 3));
}

TEST_F(HandOffTest, HIDReportsReachOnlyChildrenThatTakeThem) {
  host::RegisterBuiltinModules(*host_);
  TInstanceID console = host_->CreateInstance("Console", 400, parent_);
  Child(201);  // takes plain data only
  Module(parent_).InjectEvent(5, std::string("\x01\x00", 2));
  auto data = host_->Events(Kind::Data, console);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_TRUE(data[0].HasReportID);
  EXPECT_EQ(data[0].Code, 5);
  EXPECT_EQ(data[0].Text, std::string("\x01\x00", 2));
  EXPECT_TRUE(TTestChild::Received().empty());
}

}  // namespace
}  // namespace kyt::testing_module
