// Script functions: registration per instance, dispatch by name with Variant arguments, the
// module's fallback handler, and what callers see when a call cannot be made.

#include <gtest/gtest.h>

#include "tests/host/test_io_module.h"
#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class ScriptEngineTest : public HostTest {
 protected:
  ScriptEngineTest() { RegisterTestIO(Host()); }
  std::string CallError(const std::string& function, const std::vector<Variant>& args) {
    try {
      Host().Call(function, args);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(no error)";
  }
};

TEST_F(ScriptEngineTest, AnInstanceRegistersItsInterfaceThenIKYTModuleInDeclarationOrder) {
  TInstanceID id = Host().CreateInstance("TIO");
  auto names = Host().FunctionNames(id);
  ASSERT_EQ(names.size(), 4u + 16u);
  EXPECT_EQ(names[0], "TIO_Add");
  EXPECT_EQ(names[3], "TIO_Inject");
  EXPECT_EQ(names[4], "KYT_StatusVariableExists");
  EXPECT_TRUE(Host().FunctionExists("tio_echo"));
}

TEST_F(ScriptEngineTest, CallsReachTheInstanceNamedByTheFirstArgument) {
  TInstanceID a = Host().CreateInstance("TIO");
  TInstanceID b = Host().CreateInstance("TIO");
  Host().Call("TIO_Inject", {Variant(a), Variant("x")});
  EXPECT_EQ(Host().Call("TIO_Add", {Variant(b), Variant(2), Variant("40")}), Variant(42));
  EXPECT_EQ(Host().Call("tio_ECHO", {Variant(a), Variant(std::string("\0\xFF", 2))}),
            Variant(std::string("\0\xFF", 2)));
  EXPECT_EQ(Host().Call("KYT_HasChanges", {Variant(b)}), Variant(false));

  Host().DeleteInstance(a);
  EXPECT_TRUE(Host().FunctionNames(a).empty());
  EXPECT_EQ(Host().Call("TIO_Add", {Variant(b), Variant(1), Variant(1)}), Variant(2));
}

TEST_F(ScriptEngineTest, WhatTheMethodRaisesReachesTheCaller) {
  TInstanceID id = Host().CreateInstance("TIO");
  EXPECT_EQ(CallError("TIO_Fail", {Variant(id), Variant("no line")}), "no line");
}

TEST_F(ScriptEngineTest, BadArgumentsAreRefusedBeforeTheMethodRuns) {
  TInstanceID id = Host().CreateInstance("TIO");
  EXPECT_EQ(CallError("TIO_Add", {Variant(id), Variant(1)}),
            "TIO_Add: expects 2 arguments after the instance ID, got 1");
  EXPECT_THROW(Host().Call("TIO_Add", {Variant(id), Variant(1), Variant("one")}), EConvertError);
  EXPECT_EQ(CallError("TIO_Add", {}), "TIO_Add: the instance ID is missing");
  EXPECT_EQ(CallError("TIO_Add", {Variant(0), Variant(1), Variant(1)}),
            "TIO_Add: 0 is no instance ID");
  EXPECT_EQ(CallError("TIO_Add", {Variant(999), Variant(1), Variant(1)}),
            "TIO_Add: instance #999 does not exist");
}

TEST_F(ScriptEngineTest, AnUnknownNameUnderTheInstancesPrefixGoesToItsHandler) {
  TInstanceID id = Host().CreateInstance("TIO");
  EXPECT_EQ(CallError("TIO_Nothing", {Variant(id)}), "PHP function was not handled: TIO_Nothing");
  EXPECT_EQ(CallError("KYT_Nothing", {Variant(id)}), "PHP function was not handled: KYT_Nothing");
  EXPECT_EQ(CallError("CSCK_SendText", {Variant(id), Variant("x")}),
            "Unknown function: CSCK_SendText");
}

TEST_F(ScriptEngineTest, AFunctionOfAnotherModuleIsUnknownForThisInstance) {
  TInstanceID io = Host().CreateInstance("TIO");
  TInstanceID console = Host().CreateInstance("Console");
  EXPECT_EQ(CallError("TIO_Add", {Variant(console), Variant(1), Variant(1)}),
            "Unknown function: TIO_Add");
  EXPECT_EQ(Host().Call("TIO_Add", {Variant(io), Variant(1), Variant(1)}), Variant(2));
}

TEST_F(ScriptEngineTest, TheScriptEngineServiceCallsLikeTheHost) {
  TInstanceID id = Host().CreateInstance("TIO");
  TRef<IKYTScriptEngineEx> engine = Host().Kernel()->GetScriptEngine();
  EXPECT_TRUE(engine->ScriptFunctionExists("TIO_Add"));
  EXPECT_EQ(engine->CallScriptFunction("TIO_Add", {Variant(id), Variant(3), Variant(4)}),
            Variant(7));
}

}  // namespace
}  // namespace kyt::test_support
