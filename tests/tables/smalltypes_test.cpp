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

// (Random values of these types through text and image, a value cut short:
// values_test.cpp; a nested value's message suffix: l2types_test.cpp.)
TEST(LagGroupId, BoundIsLegalAndAboveIsRefusedDirectlyFromTextAndNested) {
  EXPECT_EQ(valueToStrep(LagGroupId()), "63");
  EXPECT_FALSE(Kel::strepToValue<LagGroupId>("63"));
  EXPECT_TRUE(LagGroupId(0));
  EXPECT_EQ(thrownMessage<Kel::RangeException>([] { LagGroupId bad(64); }),
            "VexaSwitch::LagGroupId::value < 0 or > VexaSwitch::LagGroupId::emptyId not allowed");
  EXPECT_THROW(Kel::strepToValue<LagGroupId>("64"), Kel::RangeException);
  EXPECT_EQ(valueToStrep(LagGroupIdEntry()), "Value('VexaSwitch::LagGroupIdEntry', ** {'key': 63, 'lagIntf': })");
  EXPECT_FALSE(LagGroupIdEntry());
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'key': 64, 'lagIntf': })"),
               Kel::RangeException);
  // Attributes in another order than declared fail at the first label.
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'lagIntf': , 'key': 1})"),
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

// Find-or-create gives one object per name; a delete hands the object to
// its holders and the map lets go.
TEST(ProfileInfoDir, FindOrCreateOnceUnknownNamesAreNullAndDeletesKeepObjectsForHolders) {
  auto dir = profileInfoDirFactory("chips");
  ProfileName p("vexa", "default"), q("a", "c");
  EXPECT_EQ(dir->chipInfoIs(p), dir->chipInfoIs(p));
  EXPECT_EQ(dir->profileInfoIs(p), dir->profileInfoIs(p));
  EXPECT_EQ(dir->chipInfo(ProfileName("x", "y")), nullptr);
  EXPECT_EQ(dir->chipInfoDel(ProfileName("x", "y")), nullptr);
  auto held = dir->chipInfoIs(q);
  EXPECT_EQ(dir->chipInfoSize(), 2u);
  EXPECT_EQ(dir->chipInfoDel(q), held);
  EXPECT_EQ(held->references(), 1u);  // ours alone: the map let go
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
