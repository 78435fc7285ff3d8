// The host contract: GUIDs, records, type descriptions.

#include <gtest/gtest.h>

#include "framework/interfaces.h"
#include "framework/record_variant.h"
#include "framework/typeinfo.h"

namespace kyt {
namespace {

TEST(GUIDTest, PrintsBracedUpperCaseAndParsesBack) {
  constexpr TGUID g = TGUID::FromText("{3cff0fd9-e306-41db-9b5a-9d06d38576c3}");
  EXPECT_EQ(g.ToString(), "{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3}");
  EXPECT_EQ(TGUID::Parse(g.ToString()), g);
  EXPECT_EQ(TGUID::Parse("3CFF0FD9-E306-41DB-9B5A-9D06D38576C3"), g);
  EXPECT_EQ(IKYTModule::IID.ToString(), "{551860D7-8E44-430B-8C44-CBB5AA708470}");
}

TEST(GUIDTest, ComparesAllHundredTwentyEightBits) {
  const TGUID a = TGUID::Parse("{00000000-0000-0000-0000-000000000001}");
  const TGUID b = TGUID::Parse("{00000000-0000-0000-0000-000000000002}");
  const TGUID c = TGUID::Parse("{00000001-0000-0000-0000-000000000000}");
  EXPECT_NE(a, b);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);  // the first group weighs most, as in the text form
  EXPECT_TRUE(TGUID{}.IsNull());
}

TEST(GUIDTest, RejectsMalformedText) {
  TGUID out;
  const std::vector<std::string> bads = {
      "",
      "{}",
      "{3CFF0FD9-E306-41DB-9B5A-9D06D38576C}",
      "{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3",
      "{3CFF0FD9E30641DB9B5A9D06D38576C3}",
      "{3CFF0FD9-E306-41DB-9B5A-9D06D38576CX}",
      "{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3}x",
      std::string("{3CFF0FD9-E306-41DB-9B5A-9D06D38576C3}\0", 39)};
  for (const std::string& bad : bads) {
    EXPECT_FALSE(TGUID::TryParse(bad, out)) << bad;
  }
  EXPECT_THROW(TGUID::Parse("nonsense"), EConvertError);
}

TEST(RecordTest, VariableProfileFollowsTheCustomSwitch) {
  TKYTVariable var;
  TKYTVarProfile standard;
  standard.ProfileName = "Standard";
  var.SetVariableProfile(standard);
  EXPECT_EQ(var.VariableProfile()->ProfileName, "Standard");

  var.UseCustomProfile = true;
  EXPECT_EQ(var.VariableProfile(), nullptr);  // the custom one, even when there is none
  auto custom = std::make_shared<TKYTVarProfile>();
  custom->ProfileName = "Custom";
  var.CustomProfile = custom;
  EXPECT_EQ(var.VariableProfile()->ProfileName, "Custom");
  var.UseCustomProfile = false;
  EXPECT_EQ(var.VariableProfile()->ProfileName, "Standard");
}

TEST(RecordTest, CopiesOfAStatusVariableCarryNoActionHandler) {
  TKYTStatusVariable var;
  var.VariableIdent = "Level";
  var.VariableProfile = TKYTVarProfile{};
  var.VariableProfile->NamedValues.push_back({{}, 1, "On"});
  var.ActionHandler = TStatusVariableAction([](TKYTStatusVariable&, const Variant&) {});
  ASSERT_TRUE(var.ActionHandler);

  TKYTStatusVariable copy = var;
  EXPECT_FALSE(copy.ActionHandler);
  EXPECT_EQ(copy.VariableIdent, "Level");
  ASSERT_TRUE(copy.VariableProfile);
  EXPECT_EQ(copy.VariableProfile->NamedValues.at(0).Name, "On");
  copy = var;
  EXPECT_FALSE(copy.ActionHandler);
}

TEST(RecordTest, PublishesPropertiesInContractOrder) {
  TKYTInstance instance;
  instance.InstanceID = 12;
  instance.ModuleInfo.ModuleName = "Client Socket";
  Variant v = ToVariant(instance);
  ASSERT_TRUE(v.IsRecord());
  EXPECT_EQ(v.FieldNames(),
            (std::vector<std::string>{"InstanceID", "ParentID", "NeedParent", "ChildrenIDs",
                                      "InstanceStatus", "LastChange", "ModuleInfo"}));
  EXPECT_EQ(v.AsArray()[0].AsInteger(), 12);
  EXPECT_EQ(v.AsArray()[6].AsArray()[1].AsString(), "Client Socket");

  Variant sv = ToVariant(TKYTStatusVariable{});
  EXPECT_EQ(sv.FieldNames().at(3), "VariableProfile");
  EXPECT_TRUE(sv.AsArray()[3].IsEmpty());  // no profile
}

TEST(TypeInfoTest, ModuleInterfaceHasItsSixteenMethodsInOrder) {
  const TInterfaceTypeInfo& info = TypeInfoOf<IKYTModule>();
  EXPECT_EQ(info.IID, IKYTModule::IID);
  ASSERT_EQ(info.Methods.size(), 16u);
  EXPECT_EQ(info.Methods.front().Name, "StatusVariableExists");
  EXPECT_EQ(info.Methods[5].Name, "SetStatusVariableID");
  EXPECT_EQ(info.Methods[5].Params.at(1).Name, "VariableID");
  EXPECT_EQ(info.Methods[5].Params.at(1).TypeName, "Word");
  EXPECT_EQ(info.Methods.back().Name, "ApplyChanges");
  EXPECT_EQ(info.Methods.back().ResultType, "");
}

TEST(TypeInfoTest, ExtendedInterfacesNameTheirParent) {
  EXPECT_EQ(TypeInfoOf<IKYTSerialPort>().Parent, &TypeInfoOf<IKYTSerialControlEx>());
  EXPECT_EQ(TypeInfoOf<IKYTSerialControlEx>().Parent, &TypeInfoOf<IKYTSerialControl>());
  EXPECT_EQ(TypeInfoOf<IKYTFTDI>().Parent, &TypeInfoOf<IKYTSerialControl>());
  EXPECT_EQ(TypeInfoOf<IKYTWWWReader>().Methods.size(), 24u);
  EXPECT_NE(TypeInfoOf<IKYTClientSocket>().FindMethod("sendtext"), nullptr);
}

// A bare implementation of one module interface, to drive the invokers.
struct FakeHID : IKYTHID {
  HRESULT QueryInterface(const TGUID&, void**) override { return E_NOINTERFACE; }
  int32_t AddRef() override { return 1; }
  int32_t Release() override { return 1; }
  void SetOpen(bool) override {}
  void SetDeviceSerial(const std::string&) override {}
  void SetDeviceVendorID(int32_t v) override { vendor = v; }
  void SetDeviceProductID(int32_t) override {}
  bool GetOpen() override { return true; }
  std::string GetDeviceSerial() override { return "S1"; }
  int32_t GetDeviceVendorID() override { return vendor; }
  int32_t GetDeviceProductID() override { return 0; }
  THIDDevices GetDevices() override { return {THIDDevice{{}, "A", 2, 3, "N", "V"}}; }
  void SendEvent(uint8_t id, const std::string& text) override {
    reportID = id;
    sent = text;
  }
  int32_t vendor = 0;
  uint8_t reportID = 0;
  std::string sent;
};

TEST(TypeInfoTest, InvokersConvertArgumentsAndResults) {
  FakeHID hid;
  const TInterfaceTypeInfo& info = TypeInfoOf<IKYTHID>();
  void* obj = static_cast<IKYTHID*>(&hid);

  info.FindMethod("SetDeviceVendorID")->Invoke(obj, {Variant("1240")});
  EXPECT_EQ(hid.vendor, 1240);
  EXPECT_EQ(info.FindMethod("GetDeviceVendorID")->Invoke(obj, {}).AsInteger(), 1240);

  const std::string bytes("\x00\xff\x01", 3);
  EXPECT_TRUE(info.FindMethod("SendEvent")->Invoke(obj, {Variant(7), Variant(bytes)}).IsEmpty());
  EXPECT_EQ(hid.reportID, 7);
  EXPECT_EQ(hid.sent, bytes);

  Variant devices = info.FindMethod("GetDevices")->Invoke(obj, {});
  ASSERT_EQ(devices.AsArray().size(), 1u);
  EXPECT_EQ(devices.AsArray()[0].FieldNames().at(0), "DeviceSerial");
  EXPECT_EQ(devices.AsArray()[0].AsArray()[0].AsString(), "A");
}

TEST(TypeInfoTest, InvokersRejectBadArguments) {
  FakeHID hid;
  const TInterfaceTypeInfo& info = TypeInfoOf<IKYTHID>();
  void* obj = static_cast<IKYTHID*>(&hid);
  const TMethodInfo* send = info.FindMethod("SendEvent");
  EXPECT_THROW(send->Invoke(obj, {Variant(1)}), Exception);
  EXPECT_THROW(send->Invoke(obj, {Variant(256), Variant("x")}), EConvertError);
  EXPECT_THROW(send->Invoke(obj, {Variant(-1), Variant("x")}), EConvertError);
  EXPECT_THROW(info.FindMethod("SetDeviceVendorID")->Invoke(obj, {Variant("abc")}), EConvertError);
  EXPECT_TRUE(hid.sent.empty());
}

}  // namespace
}  // namespace kyt
