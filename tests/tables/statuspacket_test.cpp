// Observers of a status packet hear of every real change exactly once and
// never of a no-op, including when a collection is cleared. Per-VLAN NAT
// settings: pipeline records keyed by pipe id, and the entity that tells
// observers of each real change once.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "VexaSwitchLib/tables/NatTypes.h"
#include "VexaSwitchLib/tables/StatusPacketTypes.h"

namespace vexa_statuspacket_test {

using namespace VexaSwitch;
using NatVlanConfig = VlanMembershipNatConfig::NatVlanConfig;
using NatPipeConfig = VlanMembershipNatConfig::NatPipeConfig;

namespace {

struct Recorder : Kel::Notifiee {
  void onAttr(U32 id) override { events.push_back({id, Lanx::IntfId()}); }
  void onAttr(U32 id, std::any const& key) override { events.push_back({id, std::any_cast<Lanx::IntfId>(key)}); }
  std::vector<std::pair<U32, Lanx::IntfId>> events;
};

class StatusPacketTest : public ::testing::Test {
 protected:
  void SetUp() override { p->notifiees().newMember(&rec); }
  void TearDown() override { p->notifiees().deleteMember(&rec); }
  Kel::Ptr<StatusPacket> p = VexaSwitch::statusPacketFactory();
  Recorder rec;
  Lanx::IntfId e1{"Ethernet1"};
  Lanx::IntfId e2{"Ethernet2"};
};

// Each real change notifies once, a no-op never: a map entry set twice, a
// scalar set to its default or twice, a delete of an absent key; a clear
// notifies each key with observers and is silent without them.
TEST_F(StatusPacketTest, RealChangesNotifyOnceAndNoOpsNever) {
  p->linkStateIs(e1, true);
  p->linkStateIs(e1, true);
  p->linkStateIs(e1, false);
  p->timestampIs(0);
  p->timestampIs(5);
  p->timestampIs(5);
  using Id = StatusPacket;
  EXPECT_EQ(rec.events, (decltype(rec.events){{Id::linkStateId, e1}, {Id::linkStateId, e1}, {Id::timestampId, {}}}));
  EXPECT_EQ(p->linkState(e1) ? int(*p->linkState(e1)) : -1, 0);
  EXPECT_EQ(p->linkState(e2), nullptr);

  p->outputBufferOverThresholdIs(e1, true);
  rec.events.clear();
  EXPECT_FALSE(p->outputBufferOverThresholdDel(e2));
  EXPECT_TRUE(rec.events.empty());
  EXPECT_TRUE(p->outputBufferOverThresholdDel(e1));
  EXPECT_EQ(rec.events, (decltype(rec.events){{Id::outputBufferOverThresholdId, e1}}));

  p->coreMemoryForEgressOverThresholdIs(e1, true);
  p->coreMemoryForEgressOverThresholdIs(e2, false);
  p->inputBufferOverThresholdIs(e1, true);
  rec.events.clear();
  p->coreMemoryForEgressOverThresholdDelAll();
  EXPECT_EQ(rec.events.size(), 2u);
  EXPECT_EQ(p->coreMemoryForEgressOverThresholdSize(), 0u);
  EXPECT_EQ(p->inputBufferOverThresholdSize(), 1u);  // the other collections are untouched
  p->notifiees().deleteMember(&rec);
  rec.events.clear();
  p->inputBufferOverThresholdDelAll();
  EXPECT_EQ(p->inputBufferOverThresholdSize(), 0u);
  EXPECT_TRUE(rec.events.empty());
}

// An observer that unregisters itself while being told must not disturb
// delivery to the others, nor be called again.
struct SelfRemover : Kel::Notifiee {
  explicit SelfRemover(Kel::NotifieeList* l) : list(l) {}
  void onAttr(U32, std::any const&) override {
    ++calls;
    list->deleteMember(this);
  }
  Kel::NotifieeList* list;
  int calls = 0;
};

TEST_F(StatusPacketTest, ObserverRemovingItselfDuringDeliveryIsSafe) {
  SelfRemover first(&p->notifiees());
  p->notifiees().deleteMember(&rec);
  p->notifiees().newMember(&first);
  p->notifiees().newMember(&rec);
  p->linkStateIs(e1, true);
  p->linkStateIs(e2, true);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(rec.events.size(), 2u);
}

// Pipeline records replace by pipe id; an absent one reads as the default.
TEST(NatVlanConfig, PipeRecordsReplaceByPipeAndDefaultsWhenAbsent) {
  NatVlanConfig v(Bridging::VlanId(10));
  v.natPipeConfigIs(NatPipeConfig(PipeId(2), NatId(1), true));
  v.natPipeConfigIs(NatPipeConfig(PipeId(2), NatId(3), false));
  EXPECT_EQ(v.natPipeConfig().size(), 1u);
  EXPECT_EQ(v.natPipeConfigDel(PipeId(2)).natId().value(), 3);
  NatPipeConfig none = v.natPipeConfigDel(PipeId(4));
  EXPECT_EQ(std::tuple(none.pipeId().value(), none.natId().value(), none.natEnable()), std::tuple(13, 9, false));
  EXPECT_EQ(valueToStrep(v), "Value('VexaSwitch::VlanMembershipNatConfig::NatVlanConfig', ** {'vlanId': 10, "
                             "'natPipeConfig': None})");
  EXPECT_THROW(Kel::strepToValue<NatVlanConfig>(valueToStrep(v)), Kel::TypeException);
}

// The per-VLAN entity tells observers of each real change once: not of a
// rewrite, nor of an absent key's delete; a clear tells each key.
TEST(VlanMembershipNatConfig, NotifiesRealChangesOnlyAndEachKeyOnClear) {
  auto cfg = vlanMembershipNatConfigFactory("nat");
  struct : Kel::Notifiee {
    void onAttr(U32 id, std::any const& key) override { seen.push_back({id, std::any_cast<Bridging::VlanId>(key).value()}); }
    std::vector<std::pair<U32, U16>> seen;
  } c;
  cfg->notifiees().newMember(&c);
  NatVlanConfig v(Bridging::VlanId(10));
  v.natPipeConfigIs(NatPipeConfig(PipeId(1), NatId(1), true));
  cfg->entryIs(v);
  cfg->entryIs(v);
  v.natPipeConfigIs(NatPipeConfig(PipeId(1), NatId(2), true));
  cfg->entryIs(v);
  NatVlanConfig absent = cfg->entryDel(Bridging::VlanId(11));
  EXPECT_EQ(absent.vlanId().value(), 1);
  EXPECT_TRUE(absent.natPipeConfig().empty());
  cfg->entryIs(NatVlanConfig(Bridging::VlanId(20)));
  cfg->entryDelAll();
  using Seen = std::vector<std::pair<U32, U16>>;
  std::sort(c.seen.begin() + 3, c.seen.end());  // a clear's order is the map's
  EXPECT_EQ(c.seen, (Seen{{258, 10}, {258, 10}, {258, 20}, {258, 10}, {258, 20}}));
  EXPECT_EQ(cfg->entrySize(), 0u);
  cfg->notifiees().deleteMember(&c);
}

}  // namespace

}  // namespace vexa_statuspacket_test
