// The per-VLAN ACL table, whose values live in slabs: the engine's writer,
// reader and validator over it against a model (slabs grow, shrink and
// compact under the reader), and what slab damage looks like to the validator.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "testutil/Expect.h"

namespace vexa_slabtable_test {
namespace {

using namespace VexaTest;
using Bridging::VlanId;

constexpr char const* TABLE = "vexaswitch/tables/test/acl";

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("SlabTableTest"); }

Zolm::WriterConfig config(bool local) { return {.local = local, .maxSlots = 4096}; }

// The slab offset a key's slot holds.
Bloka::Offset offsetOf(AclWriter& w, U32 vlan, U32* slot = nullptr) {
  AclValue v;
  Zolm::IterHint hint;
  EXPECT_TRUE(w.lookup(VlanId(U16(vlan)), v, hint)) << vlan;
  if (slot) *slot = hint.slot;
  U32 raw;
  std::memcpy(&raw, Zolm::SlotSpan::valuePtr(w.slotTable().slot(hint.slot)), 4);
  return Bloka::Offset(raw);
}

// Every entry of the writer against the model, both ways.
std::string compare(AclWriter& w, std::map<U32, U32> const& model) {
  if (w.members() != model.size()) return fmt::format("{} members, model {}", w.members(), model.size());
  for (auto [vlan, version] : model) {
    AclValue v;
    if (!w.lookup(VlanId(U16(vlan)), v)) return fmt::format("vlan {} missing", vlan);
    if (aclVersion(v, vlan) != long(version)) return fmt::format("vlan {} holds {}", vlan, Zolm::show(v));
  }
  std::string bad;
  U32 n = 0;
  forEachEntry(w, [&](AclValue const& v, auto const&) {
    auto it = model.find(v.key().value());
    ++n;
    if (it == model.end() || aclVersion(v, it->first) != long(it->second)) bad = "iterated " + Zolm::show(v);
  });
  return !bad.empty() || n == model.size() ? bad : fmt::format("iterated {} of {}", n, model.size());
}

class SlabTableModel : public ::testing::TestWithParam<bool> {};

// Seeded random inserts, replaces (whose new size moves the value to
// another slab), and removes against a std::map; the validator (slab
// checks included) after every batch, a reader too when shared.
TEST_P(SlabTableModel, RandomWritesReplacesAndRemovesMatchTheModel) {
  bool const local = GetParam();
  ShmRoot shm;
  AclWriter w(handler(), TABLE, config(local));
  ASSERT_TRUE(w.initialize());
  std::optional<Zolm::ZolmReader<AclOps>> r;
  if (!local) {
    r.emplace(handler(), TABLE);
    ASSERT_TRUE(r->initialize());
  }
  constexpr U32 SEED = 0xac1ac1, OPS = 40000, BATCH = 1000, KEYS = 700;
  std::mt19937 rng(SEED);
  std::map<U32, U32> model;
  for (U32 op = 1; op <= OPS; ++op) {
    U32 vlan = rng() % KEYS;
    // Phases of growth and decay, so that slabs and slots also shrink.
    bool removing = (op / 8000) % 2 ? rng() % 10 < 7 : rng() % 10 < 2;
    if (removing) {
      AclValue prev;
      bool had = w.remove(VlanId(U16(vlan)), &prev);
      ASSERT_EQ(had, model.count(vlan) == 1) << vlan;
      ASSERT_TRUE(!had || aclVersion(prev, vlan) == long(model[vlan])) << vlan;
      model.erase(vlan);
    } else {
      U32 version = rng() % 5000;
      EXPECT_EQ(w.write(aclValue(vlan, version), true), nullptr);
      model[vlan] = version;
    }
    if (op % BATCH) continue;
    SCOPED_TRACE(::testing::Message() << "op " << op << " seed " << SEED);
    ASSERT_TRUE(w.validate()) << w.lastError();
    ASSERT_EQ(compare(w, model), "");
    if (r) {
      ASSERT_TRUE(r->validate()) << r->lastError();
      bool found;
      for (auto [vlan, version] : model)
        ASSERT_TRUE(aclVersion(*r->lookup(VlanId(U16(vlan)), found), vlan) == long(version) && found) << vlan;
    }
  }
  EXPECT_GT(w.writerCounters().shrinks, 0u);
  for (auto [vlan, version] : model) ASSERT_TRUE(w.remove(VlanId(U16(vlan))));
  ASSERT_TRUE(w.validate()) << w.lastError();
  EXPECT_EQ(w.slabs()->payloadBytes(), 0u);
  // Every slab shrank back (compacting) to at most two pages.
  for (U32 i = 0; i < Bloka::NUM_SLABS; ++i)
    if (auto const* s = w.slabs()->slab(i)) {
      EXPECT_LE(Bloka::slabFileSize(s->numEntries(), s->entrySize()), 2 * Mem::pageSize()) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Memory, SlabTableModel, ::testing::Values(false, true),
                         [](auto const& i) { return i.param ? "local" : "shared"; });

// What the validator makes of slab damage, and the forms the table refuses.
TEST(SlabTable, ValidatorReportsSlabDamageAndValueShadowsAreRefused) {
  ShmRoot shm;
  AclWriter w(handler(), TABLE, config(false));
  ASSERT_TRUE(w.initialize());
  for (U32 vlan = 1; vlan <= 20; ++vlan) w.write(aclValue(vlan, 1));
  ASSERT_TRUE(w.validate()) << w.lastError();
  U32 slot5, slot6;
  Bloka::Offset off5 = offsetOf(w, 5, &slot5);
  offsetOf(w, 6, &slot6);
  auto report = [&] { return w.validate() ? "sound" : std::string(w.lastError()); };
  w.slabs()->clientDataIs(off5, slot6);
  EXPECT_EQ(report(), fmt::format("Clientdata mismatch, slot {} contains offset: {} but slabEntry references slot: {}",
                                  slot5, off5, slot6));
  w.slabs()->clientDataIs(off5, slot5);
  Bloka::Offset extra;  // an entry no slot names (a leak)
  w.slabs()->alloc(20, extra);
  EXPECT_EQ(report(), "slab entries in use:21 but occupied slots:20");
  w.slabs()->dealloc(extra);
  // A stored form whose counts do not decode: the validator and a reader say so.
  char* e = w.slabs()->entry(off5);
  auto countIs = [&](U32 n) { std::memcpy(e + Bloka::ENTRY_HEAD + 4, &n, 4); };
  countIs(14);
  EXPECT_NE(report().find(fmt::format(
                "DynamicSlotAllocator::Writer::getValue() Corrupted serialized value detected at offset: {}", off5)),
            std::string::npos)
      << report();
  Zolm::ZolmReader<AclOps> r(handler(), TABLE);
  ASSERT_TRUE(r.initialize());
  bool found;
  std::string const read = thrownMessage<Quiv::CorruptionDetectedException>([&] { r.lookup(VlanId(5), found); });
  EXPECT_NE(read.find("DynamicSlotAllocator::Reader::retrieve() Corrupted serialized value"), std::string::npos) << read;
  // A payload size other than what the counts say: its key cannot be read.
  countIs(1);
  EXPECT_NE(report(), "sound");
  EXPECT_THROW(w.write(aclValue(5, 2)), Quiv::CorruptionDetectedException);
  countIs(12);
  w.write(aclValue(5, 2));
  ASSERT_EQ(report(), "sound");
  Quiv::EventLoop loop;  // (the message: the facade's refusal)
  EXPECT_THROW(Zolm::ZolmShadow<AclOps>(handler(), TABLE, loop, false), Quiv::Exception);
  EXPECT_THROW(w.directUpdate(VlanId(5)), Quiv::NoPermissionException);
}

}  // namespace
}  // namespace vexa_slabtable_test
