// Per-VLAN NAT settings: pipeline records keyed by pipe id, and the entity
// that tells observers of each real change once.
#include <gtest/gtest.h>

#include "VexaSwitchLib/tables/NatTypes.h"

using namespace VexaSwitch;
using NatVlanConfig = VlanMembershipNatConfig::NatVlanConfig;
using NatPipeConfig = VlanMembershipNatConfig::NatPipeConfig;

namespace {

struct Counter : Kel::Notifiee {
  void onAttr(U32 id, std::any const& key) override {
    EXPECT_EQ(id, 258u);
    last = std::any_cast<Bridging::VlanId>(key);
    ++n;
  }
  int n = 0;
  Bridging::VlanId last;
};

TEST(NatVlanConfig, PipeRecordsReplaceByPipeAndDefaultsWhenAbsent) {
  NatVlanConfig v(Bridging::VlanId(10));
  v.natPipeConfigIs(NatPipeConfig(PipeId(2), NatId(1), true));
  v.natPipeConfigIs(NatPipeConfig(PipeId(2), NatId(3), false));
  EXPECT_EQ(v.natPipeConfig().size(), 1u);
  EXPECT_EQ(v.natPipeConfigDel(PipeId(2)).natId().value(), 3);
  NatPipeConfig none = v.natPipeConfigDel(PipeId(4));
  EXPECT_EQ(none.pipeId().value(), 13);
  EXPECT_EQ(none.natId().value(), 9);
  EXPECT_FALSE(none.natEnable());
  EXPECT_FALSE(NatVlanConfig());
  EXPECT_EQ(valueToStrep(v), "Value('VexaSwitch::VlanMembershipNatConfig::NatVlanConfig', ** {'vlanId': 10, "
                             "'natPipeConfig': None})");
  EXPECT_THROW(Kel::strepToValue<NatVlanConfig>(valueToStrep(v)), Kel::TypeException);
}

TEST(VlanMembershipNatConfig, NotifiesRealChangesOnlyAndEachKeyOnClear) {
  auto cfg = vlanMembershipNatConfigFactory("nat");
  Counter c;
  cfg->notifiees().newMember(&c);
  NatVlanConfig v(Bridging::VlanId(10));
  v.natPipeConfigIs(NatPipeConfig(PipeId(1), NatId(1), true));
  cfg->entryIs(v);
  cfg->entryIs(v);
  EXPECT_EQ(c.n, 1);
  v.natPipeConfigIs(NatPipeConfig(PipeId(1), NatId(2), true));
  cfg->entryIs(v);
  EXPECT_EQ(c.n, 2);
  NatVlanConfig absent = cfg->entryDel(Bridging::VlanId(11));
  EXPECT_EQ(absent.vlanId().value(), 1);
  EXPECT_TRUE(absent.natPipeConfig().empty());
  EXPECT_EQ(c.n, 2);
  cfg->entryIs(NatVlanConfig(Bridging::VlanId(20)));
  c.n = 0;
  cfg->entryDelAll();
  EXPECT_EQ(c.n, 2);
  EXPECT_EQ(cfg->entrySize(), 0u);
  cfg->notifiees().deleteMember(&c);
}

}  // namespace
