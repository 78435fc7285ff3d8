// Loading plug-ins: the loader's own error text, the library record, and unloading only after
// the plug-in's instances are gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "framework/codes.h"
#include "platform/dynlib.h"
#include "tests/support/host_test.h"
#include "tests/support/kyt_host_process.h"
#include "tests/support/temp_dir.h"

namespace kyt::test_support {
namespace {

class LibraryLoadingTest : public HostTest {};

TEST_F(LibraryLoadingTest, AFileThatIsNoLibraryFailsWithTheLoadersText) {
  TTempDir dir;
  std::string path = dir.Write("fake.so", "not an ELF file");
  try {
    TDynamicLibrary library(path);
    FAIL() << "loaded a text file";
  } catch (const EDynamicLibrary& e) {
    EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
  }
  EXPECT_THROW(Host().LoadLibrary(dir.File("absent.so")), Exception);
}

TEST_F(LibraryLoadingTest, ALibraryWithoutTheEntryPointIsRefused) {
#ifdef _WIN32
  std::string runtime = KYT_BUILD_DIR "/libkytrt.dll";
#else
  std::string runtime = KYT_BUILD_DIR "/libkytrt.so";
#endif
  TDynamicLibrary library(runtime);
  EXPECT_EQ(library.Symbol("KYTLibraryInfo"), nullptr);
  EXPECT_NE(library.Error().find("KYTLibraryInfo"), std::string::npos);
  EXPECT_THROW(library.RequireSymbol("KYTLibraryInfo"), EDynamicLibrary);
  EXPECT_THROW(Host().LoadLibrary(runtime), Exception);
  // Refused before the hook: nothing counts as loaded.
  EXPECT_NO_THROW(Host().LoadLibrary(kPluginPath));
}

TEST_F(LibraryLoadingTest, OneLibraryAtATime) {
  Host().LoadLibrary(kPluginPath);
  EXPECT_THROW(Host().LoadLibrary(kPluginPath), Exception);
  Host().UnloadLibrary();
  EXPECT_NO_THROW(Host().UnloadLibrary());
}

TEST_F(LibraryLoadingTest, UnloadingDeletesThePluginsInstancesFirstAndForgetsItsModules) {
  Host().LoadLibrary(kPluginPath);
  auto modules = Host().RegisteredModules();
  auto plugin = std::find_if(modules.begin(), modules.end(), [](const auto& m) {
    return m.Name != "Console" && m.Name != "Bridge" && m.Name != "ComPortControl";
  });
  ASSERT_NE(plugin, modules.end());
  TInstanceID io = Host().CreateInstance(plugin->Name, 10);
  TInstanceID console = Host().CreateInstance("Console", 11, io);

  Host().UnloadLibrary();
  EXPECT_EQ(Host().InstanceIDs(), std::vector<TInstanceID>{console});
  EXPECT_EQ(LogTexts(io).back(), "Deleting...");
  EXPECT_FALSE(Host().LibraryKeptLoaded());
  EXPECT_THROW(Host().CreateInstance(plugin->Name), Exception);
  EXPECT_EQ(Host().RegisteredModules().size(), 3u);  // the built-in ones
}

TEST_F(LibraryLoadingTest, TheLoaderAnswersForWhatWasRegistered) {
  Host().LoadLibrary(kPluginPath);
  TRef<IKYTModuleLoaderEx> loader = Host().Kernel()->GetModuleLoader();
  for (const auto& module : Host().RegisteredModules()) {
    EXPECT_EQ(loader->GetModulePrefix(module.Class->ModuleID), module.Name);
    EXPECT_FALSE(loader->GetModuleFunctionFlag(module.Class->ModuleID));
    if (module.TypeInfo != nullptr) {
      EXPECT_EQ(loader->GetInterfaceTypeInfo(module.TypeInfo->IID), module.TypeInfo);
    }
  }
  EXPECT_NE(loader->GetInterfaceTypeInfo(IKYTModule::IID), nullptr);
  EXPECT_EQ(loader->GetInterfaceTypeInfo(IKYTSendData::IID), nullptr);
  EXPECT_THROW(loader->GetModulePrefix("{00000000-0000-0000-0000-000000000001}"), Exception);

  Host().SetModuleFunctionFlag("{4E918933-DF54-4782-B6BE-BBCE4F6D3CB9}", true);
  EXPECT_TRUE(loader->GetModuleFunctionFlag("{4e918933-df54-4782-b6be-bbce4f6d3cb9}"));
}

// A worker inside a send holds its instance like this after the host deleted it.
TEST_F(LibraryLoadingTest, AnObjectThatOutlivesItsInstanceKeepsThePluginMapped) {
  host::THostOptions options;
  options.ObjectWait = std::chrono::milliseconds(50);
  ResetHost(options);
  Host().LoadLibrary(kPluginPath);
  const TInstanceID id = Host().CreateInstance("WWWReader", 10);
  TRef<IKYTModule> held = Host().Instance(id);

  Host().UnloadLibrary();
  EXPECT_TRUE(Host().LibraryKeptLoaded());
  EXPECT_NE(LogTexts(id).back(), "Deleting...");
  const auto errors = LogTexts(0, KL_ERROR);
  EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& text) {
    return text.find("the library stays loaded") != std::string::npos;
  }));
  // Its destructor is the plug-in's code: it runs only because that is still mapped.
  held.Reset();
  EXPECT_EQ(LogTexts(id).back(), "Deleting...");
}

}  // namespace
}  // namespace kyt::test_support
