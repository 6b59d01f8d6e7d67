// LAG ids and entries and the egress trailer: the record frame, the
// bounded-id rule (the bound itself is legal) and the bit views. The profile
// directory's find-or-create collections and the chip's interface filter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/TrailerTypes.h"
#include "VexaSwitchLib/tables/VexaIntfFilter.h"
#include "VexaSwitchLib/tables/VexaSwitchProfileTypes.h"
#include "testutil/Expect.h"

namespace vexa_smalltypes_test {

using namespace VexaSwitch;
using VexaTest::thrownMessage;

namespace {

constexpr char kLagMsg[] = "VexaSwitch::LagGroupId::value < 0 or > VexaSwitch::LagGroupId::emptyId not allowed";

// (Random values of these types through text and image: values_test.cpp;
// an ACL counter's full-width text: reflection_test.cpp.)
TEST(LagGroupId, BoundIsLegalAndAboveIsRefusedDirectlyFromTextAndNested) {
  EXPECT_EQ(valueToStrep(LagGroupId()), "63");
  EXPECT_FALSE(Kel::strepToValue<LagGroupId>("63"));
  EXPECT_TRUE(LagGroupId(0));
  EXPECT_LT(LagGroupId(3), LagGroupId(4));
  EXPECT_EQ(thrownMessage<Kel::RangeException>([] { LagGroupId bad(64); }), kLagMsg);
  EXPECT_EQ(thrownMessage<Kel::RangeException>([] { Kel::strepToValue<LagGroupId>("64"); }), kLagMsg);

  LagGroupIdEntry d;
  EXPECT_EQ(valueToStrep(d), "Value('VexaSwitch::LagGroupIdEntry', ** {'key': 63, 'lagIntf': })");
  EXPECT_EQ(Kel::strepToValue<LagGroupIdEntry>(valueToStrep(d)), d);
  EXPECT_FALSE(d);
  EXPECT_EQ(thrownMessage<Kel::RangeException>([] {
              Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'key': 64, 'lagIntf': })");
            }),
            std::string(kLagMsg) + " (attribute 'key')");
  // Attributes in another order than declared fail at the first label.
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'lagIntf': , 'key': 1})"),
               Kel::ParseException);
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'key': 1, "),
               Kel::ParseException);
}

TEST(EgressTrailer, ViewsReadTheirBitsOnly) {
  VexaEgressTrailer t(0xC0045443u);
  EXPECT_EQ(std::tuple(t.port(), t.lagGroup(), t.chip()), std::tuple(3, 17, 5));
  EXPECT_TRUE(t.l2Control() && t.moved() && t.learn());
  VexaEgressTrailer unused((7u << 15) | (0x7FFu << 19));
  EXPECT_TRUE(unused);
  EXPECT_EQ(unused.port() + unused.lagGroup() + unused.chip(), 0);
  EXPECT_FALSE(unused.l2Control() || unused.moved() || unused.learn());
  EXPECT_EQ(valueToStrep(t), "3221509187");
}

TEST(ProfileInfoDir, FindOrCreateOnceUnknownNamesAreNullAndDeletesKeepObjectsForHolders) {
  auto dir = profileInfoDirFactory("chips");
  ProfileName p("vexa", "default");
  EXPECT_EQ(dir->chipInfoIs(p), dir->chipInfoIs(p));
  EXPECT_EQ(dir->chipInfoSize(), 1u);
  EXPECT_EQ(dir->profileInfoIs(p), dir->profileInfoIs(p));
  dir->chipInfoDel(p);

  EXPECT_EQ(dir->chipInfo(ProfileName("x", "y")), nullptr);
  EXPECT_EQ(dir->chipInfoDel(ProfileName("x", "y")), nullptr);
  auto held = dir->chipInfoIs(ProfileName("a", "b"));
  dir->chipInfoIs(ProfileName("a", "c"));
  auto removed = dir->chipInfoDel(ProfileName("a", "b"));
  EXPECT_EQ(removed, held);
  EXPECT_EQ(dir->chipInfoSize(), 1u);
  EXPECT_EQ(held->references(), 2u);  // ours and `removed`: the map let go
  dir->chipInfoDelAll();
  EXPECT_EQ(dir->chipInfoSize(), 0u);
}

TEST(VexaIntfFilter, AcceptsConnectedEthernetLagsAndCpuOnly) {
  Topology::Library::VexaIntfFilter f;
  Topology::Library::FilterIntf const& base = f;
  for (auto [name, valid] : {std::pair{"Ethernet3/1", true}, {"Port-Channel17", true}, {"Cpu", true},
                             {"UnconnectedEthernet5", false}, {"Vlan100", false}, {"Management1", false}, {"", false}})
    EXPECT_EQ(base.isValidIntf(Lanx::IntfId(name)), valid) << name;
}

}  // namespace

}  // namespace vexa_smalltypes_test
