// LAG ids and entries, ACL counters and the egress trailer: the record
// frame, the bounded-id rule (the bound itself is legal) and the bit views.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/TrailerTypes.h"
#include "testutil/Expect.h"

using namespace VexaSwitch;
using VexaTest::thrownMessage;

namespace {

constexpr char kLagMsg[] = "VexaSwitch::LagGroupId::value < 0 or > VexaSwitch::LagGroupId::emptyId not allowed";

// (Random values of these types through text and image: values_test.cpp.)
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

TEST(AclCounter, FullWidthCountAndNullness) {
  AclCounter c(Nox::UniqueId(1, 2), std::numeric_limits<U64>::max());
  EXPECT_EQ(valueToStrep(c),
            "Value('VexaSwitch::AclCounter', ** {'key': Value('Nox::UniqueId', ** {'pid': 1, 'counter': 2}), "
            "'count': 18446744073709551615})");
  EXPECT_EQ(Kel::strepToValue<AclCounter>(valueToStrep(c)), c);
  EXPECT_FALSE(AclCounter());
  AclCounter n;
  n.countIs(1);
  EXPECT_TRUE(n);
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
