// LAG ids and entries, ACL counters and the egress trailer: the record
// frame, the bounded-id rule (the bound itself is legal) and the bit views.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/TrailerTypes.h"

using namespace VexaSwitch;

namespace {

constexpr char kLagMsg[] = "VexaSwitch::LagGroupId::value < 0 or > VexaSwitch::LagGroupId::emptyId not allowed";

TEST(LagGroupId, BoundIsLegalAndAboveIsRefusedDirectlyAndFromText) {
  EXPECT_EQ(valueToStrep(LagGroupId()), "63");
  EXPECT_FALSE(Kel::strepToValue<LagGroupId>("63"));
  EXPECT_TRUE(LagGroupId(0));
  try {
    LagGroupId bad(64);
    FAIL();
  } catch (Kel::RangeException const& e) {
    EXPECT_EQ(e.msg().str(), kLagMsg);
  }
  try {
    Kel::strepToValue<LagGroupId>("64");
    FAIL();
  } catch (Kel::RangeException const& e) {
    EXPECT_EQ(e.msg().str(), kLagMsg);
  }
  EXPECT_LT(LagGroupId(3), LagGroupId(4));
}

TEST(LagGroupIdEntry, DefaultTextParsesBackAndNestedRangeNamesTheAttribute) {
  LagGroupIdEntry d;
  EXPECT_EQ(valueToStrep(d), "Value('VexaSwitch::LagGroupIdEntry', ** {'key': 63, 'lagIntf': })");
  EXPECT_EQ(Kel::strepToValue<LagGroupIdEntry>(valueToStrep(d)), d);
  EXPECT_FALSE(d);
  try {
    Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'key': 64, 'lagIntf': })");
    FAIL();
  } catch (Kel::RangeException const& e) {
    EXPECT_EQ(e.detail(), kLagMsg);
    EXPECT_EQ(e.attribute(), "key");
  }
  // Attributes in another order than declared fail at the first label.
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>(
                   "Value('VexaSwitch::LagGroupIdEntry', ** {'lagIntf': , 'key': 1})"),
               Kel::ParseException);
  EXPECT_THROW(Kel::strepToValue<LagGroupIdEntry>("Value('VexaSwitch::LagGroupIdEntry', ** {'key': 1, "),
               Kel::ParseException);
}

TEST(AclCounter, FullWidthCountAndRandomRoundTrip) {
  AclCounter c(Nox::UniqueId(1, 2), std::numeric_limits<U64>::max());
  EXPECT_EQ(valueToStrep(c),
            "Value('VexaSwitch::AclCounter', ** {'key': Value('Nox::UniqueId', ** {'pid': 1, 'counter': 2}), "
            "'count': 18446744073709551615})");
  std::mt19937_64 rng(3);
  for (int i = 0; i < 1000; ++i) {
    AclCounter r(Nox::UniqueId(static_cast<U32>(rng()), static_cast<U32>(rng())), rng());
    ASSERT_EQ(Kel::strepToValue<AclCounter>(valueToStrep(r)), r);
  }
  EXPECT_FALSE(AclCounter());
  AclCounter n;
  n.countIs(1);
  EXPECT_TRUE(n);
  EXPECT_THROW(Kel::strepToValue<AclCounter>(valueToStrep(c) + Quiv::String(" ")), Kel::ParseException);
}

TEST(EgressTrailer, ViewsReadTheirBitsOnly) {
  VexaEgressTrailer t(0xC0045443u);
  EXPECT_EQ(t.port(), 3);
  EXPECT_EQ(t.lagGroup(), 17);
  EXPECT_EQ(t.chip(), 5);
  EXPECT_TRUE(t.l2Control());
  EXPECT_TRUE(t.moved());
  EXPECT_TRUE(t.learn());
  VexaEgressTrailer unused((7u << 15) | (0x7FFu << 19));
  EXPECT_TRUE(unused);
  EXPECT_EQ(unused.port() + unused.lagGroup() + unused.chip(), 0);
  EXPECT_FALSE(unused.l2Control() || unused.moved() || unused.learn());
  EXPECT_EQ(valueToStrep(t), "3221509187");
}

}  // namespace
