// Instances: IDs, records, connections, creation that fails, deletion order and run levels.

#include <gtest/gtest.h>

#include "framework/codes.h"
#include "tests/host/test_io_module.h"
#include "tests/support/host_test.h"

namespace kyt::test_support {
namespace {

class InstancesTest : public HostTest {
 protected:
  InstancesTest() { RegisterTestIO(Host()); }
  TRef<IKYTInstanceManager> Manager() { return Host().Kernel()->GetInstanceManager(); }
  TRef<IKYTConnectionService> Connections() { return Host().Kernel()->GetConnectionService(); }
  // Instances in the order their destructors logged "Deleting...".
  std::vector<TInstanceID> DeletionOrder() {
    std::vector<TInstanceID> order;
    for (const auto& e : Host().Events(EventKind::Log)) {
      if (e.Text == "Deleting...")
        order.push_back(e.Instance);
    }
    return order;
  }
};

TEST_F(InstancesTest, IDsAreAllocatedFrom10000UpAndSharedWithOtherObjects) {
  TInstanceID first = Host().CreateInstance("TIO");
  TKYTID category = Host().Objects()->CreateCategory();
  TVariableID variable = Host().Variables()->CreateVariable(TKYTVarType::vtInteger);
  TInstanceID second = Host().CreateInstance("Console");
  EXPECT_EQ(first, 10000);
  EXPECT_EQ(category, 10001);
  EXPECT_EQ(variable, 10002);
  EXPECT_EQ(second, 10003);
  EXPECT_THROW(Host().CreateInstance("Console", category), Exception);
  EXPECT_EQ(Host().CreateInstance("Console", 5), 5);
}

TEST_F(InstancesTest, TheRecordDescribesTheLiveInstance) {
  TInstanceID parent = Host().CreateInstance("TIO", 10);
  TInstanceID child = Host().CreateInstance("Console", 11, parent);
  Host().Kernel()->GetStatusService()->SetInstanceStatus(parent, IS_ACTIVE);

  TKYTInstance record = Manager()->GetInstance(parent);
  EXPECT_EQ(record.InstanceID, parent);
  EXPECT_EQ(record.ChildrenIDs, TInstanceIDs{child});
  EXPECT_EQ(record.InstanceStatus, IS_ACTIVE);
  EXPECT_EQ(record.ModuleInfo.ModuleID, ITestIO::IID.ToString());
  EXPECT_EQ(record.ModuleInfo.ModuleName, "Test IO");
  EXPECT_EQ(record.ModuleInfo.ModuleType, TKYTModuleType::mtIO);
  EXPECT_EQ(record.InstanceInterface, Host().Instance(parent));
  EXPECT_EQ(Manager()->GetInstance(child).ParentID, parent);
  EXPECT_EQ(Manager()->GetInstancesByModuleID(ITestIO::IID.ToString()), TInstanceIDs{parent});
  EXPECT_THROW(Manager()->GetInstance(12), Exception);
}

TEST_F(InstancesTest, ModulesAreFoundByRegistrationNameOrModuleID) {
  TInstanceID byGuid = Manager()->CreateInstance(ITestIO::IID.ToString());
  TInstanceID byName = Manager()->CreateInstanceEx("console", 20);
  EXPECT_TRUE(Manager()->InstanceExists(byGuid));
  EXPECT_EQ(byName, 20);
  EXPECT_THROW(Manager()->CreateInstance("NoSuchModule"), Exception);
}

TEST_F(InstancesTest, ChildrenAreListedInConnectionOrder) {
  TInstanceID parent = Host().CreateInstance("TIO", 10);
  Host().CreateInstance("Console", 13, parent);
  Host().CreateInstance("Console", 11, parent);
  Host().AddDeadInstance(12, parent);
  EXPECT_EQ(Connections()->GetChildren(parent), (TInstanceIDs{13, 11, 12}));
  EXPECT_TRUE(Connections()->IsChild(11, parent));
  EXPECT_FALSE(Manager()->GetInstance(12).InstanceInterface);

  Connections()->DisconnectInstance(13);
  Connections()->ConnectInstance(13, parent);
  EXPECT_EQ(Connections()->GetChildren(parent), (TInstanceIDs{11, 12, 13}));
}

TEST_F(InstancesTest, ConnectionLoopsAreRefused) {
  TInstanceID a = Host().CreateInstance("TIO", 10);
  TInstanceID b = Host().CreateInstance("TIO", 11, a);
  EXPECT_THROW(Host().ConnectInstance(a, b), Exception);
  EXPECT_THROW(Host().ConnectInstance(a, a), Exception);
  EXPECT_EQ(Connections()->GetParent(a), 0);
}

TEST_F(InstancesTest, DataReachesLiveChildrenAndSkipsDeadOnes) {
  TInstanceID parent = Host().CreateInstance("TIO", 10);
  Host().AddDeadInstance(11, parent);
  TInstanceID console = Host().CreateInstance("Console", 12, parent);
  TestIO(Host(), parent).Inject("ping");
  EXPECT_EQ(Received(console), std::vector<std::string>{"ping"});
}

TEST_F(InstancesTest, AConstructorThatRaisesLeavesNothingBehind) {
  Host().StoreSetting(10, {"Settings"}, "Explode", Variant(true));
  EXPECT_THROW(Host().CreateInstance("TIO", 10), Exception);
  EXPECT_FALSE(Manager()->InstanceExists(10));
  EXPECT_TRUE(Host().FunctionNames(10).empty());
  EXPECT_EQ(Host().TimerInterval(10, "Poll"), std::nullopt);
  // The ID is free again.
  Host().StoreSetting(10, {"Settings"}, "Explode", Variant(false));
  EXPECT_EQ(Host().CreateInstance("TIO", 10), 10);
}

TEST_F(InstancesTest, DeleteAllInstancesDestroysChildrenBeforeTheirParents) {
  Host().CreateInstance("TIO", 1);
  Host().CreateInstance("TIO", 2);
  Host().CreateInstance("Console", 3, 1);
  Host().CreateInstance("Bridge", 4, 2);
  Host().ConnectInstance(2, 1);  // 1 <- 2 <- 4, 1 <- 3
  Host().DeleteAllInstances();
  auto order = DeletionOrder();
  ASSERT_EQ(order.size(), 4u);
  auto position = [&](TInstanceID id) { return std::find(order.begin(), order.end(), id); };
  EXPECT_LT(position(4), position(2));
  EXPECT_LT(position(2), position(1));
  EXPECT_LT(position(3), position(1));
  EXPECT_TRUE(Host().InstanceIDs().empty());
}

TEST_F(InstancesTest, ADestructorStillReportsAboutItsOwnInstance) {
  TInstanceID id = Host().CreateInstance("TIO", 10);
  Host().DeleteInstance(id);
  auto summaries = Host().Events(EventKind::Summary, id);
  ASSERT_FALSE(summaries.empty());
  EXPECT_EQ(summaries.back().Text, "gone");
  EXPECT_FALSE(Manager()->InstanceExists(id));
}

TEST_F(InstancesTest, ServicesKeptPastTheHostRaiseInsteadOfCrashing) {
  TRef<IKYTKernel> kernel = Host().Kernel();
  TRef<IKYTSettings> settings = kernel->GetSettings();
  ResetHost(host::THostOptions{});
  EXPECT_THROW(kernel->GetKernelRunlevel(), Exception);
  EXPECT_THROW(settings->WriteInteger(1, {}, "X", 1), Exception);
}

TEST_F(InstancesTest, DeletingAParentLeavesItsChildrenUnconnected) {
  TInstanceID parent = Host().CreateInstance("TIO", 10);
  TInstanceID child = Host().CreateInstance("Console", 11, parent);
  Host().DeleteInstance(parent);
  EXPECT_FALSE(Connections()->HasParent(child));
  EXPECT_THROW(Host().DeleteInstance(parent), Exception);
}

TEST_F(InstancesTest, ARunLevelChangeReachesEveryLiveInstance) {
  host::THostOptions notReady;
  notReady.InitialRunlevel = 0;
  ResetHost(notReady);
  RegisterTestIO(Host());
  TInstanceID a = Host().CreateInstance("TIO");
  TInstanceID b = Host().CreateInstance("Console");
  // Modules only send the change state once the kernel is ready.
  Host().Call("KYT_ResetChanges", {Variant(a)});
  EXPECT_TRUE(Host().Events(EventKind::Message, a).empty());

  Host().SetRunlevel(KR_READY);
  EXPECT_EQ(Host().Runlevel(), KR_READY);
  Host().Call("KYT_ResetChanges", {Variant(a)});
  Host().Call("KYT_ResetChanges", {Variant(b)});
  EXPECT_EQ(Host().Events(EventKind::Message, a).size(), 1u);
  EXPECT_EQ(Host().Events(EventKind::Message, b).size(), 1u);
}

}  // namespace
}  // namespace kyt::test_support
