// The per-VLAN ACL table, whose values live in slabs: the engine's writer,
// reader and validator over it, against a model, and what slab damage
// looks like to the validator.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "testutil/Process.h"

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
std::string compare(AclWriter const& w, std::map<U32, U32> const& model) {
  if (w.members() != model.size()) return fmt::format("{} members, model {}", w.members(), model.size());
  for (auto [vlan, version] : model) {
    AclValue v;
    if (!w.lookup(VlanId(U16(vlan)), v)) return fmt::format("vlan {} missing", vlan);
    if (aclVersion(v, vlan) != long(version)) return fmt::format("vlan {} holds {}", vlan, Zolm::show(v));
  }
  AclValue v;
  Zolm::IterHint hint;
  U32 n = 0;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint), ++n) {
    auto it = model.find(v.key().value());
    if (it == model.end() || aclVersion(v, it->first) != long(it->second))
      return fmt::format("iterated {}", Zolm::show(v));
  }
  return n == model.size() ? "" : fmt::format("iterated {} of {}", n, model.size());
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
      if (had) {
        ASSERT_EQ(aclVersion(prev, vlan), long(model[vlan]));
      }
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
      for (auto [vlan, version] : model) {
        bool found;
        AclValue const* v = r->lookup(VlanId(U16(vlan)), found);
        ASSERT_TRUE(found && aclVersion(*v, vlan) == long(version)) << vlan;
      }
    }
  }
  EXPECT_GT(w.writerCounters().shrinks, 0u);
  for (auto [vlan, version] : model) ASSERT_TRUE(w.remove(VlanId(U16(vlan))));
  ASSERT_TRUE(w.validate()) << w.lastError();
  EXPECT_EQ(w.slabs()->payloadBytes(), 0u);
  // Every slab shrank back to at most two pages.
  for (U32 i = 0; i < Bloka::NUM_SLABS; ++i)
    if (auto const* s = w.slabs()->slab(i)) {
      EXPECT_LE(Bloka::slabFileSize(s->numEntries(), s->entrySize()), 2 * Mem::pageSize()) << i;
    }
  if (!local) {
    // A writer taking over keeps the table and its slabs.
    w.write(aclValue(9, 3));
    w.detach();
    AclWriter again(handler(), TABLE, config(false));
    ASSERT_TRUE(again.initialize());
    EXPECT_EQ(again.writerCounters().reformats, 0u);
    AclValue v;
    ASSERT_TRUE(again.lookup(VlanId(9), v));
    EXPECT_EQ(aclVersion(v, 9), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Memory, SlabTableModel, ::testing::Values(false, true),
                         [](auto const& i) { return i.param ? "local" : "shared"; });

// Freeing down to a slab's threshold moves the surviving entries below its
// new end and re-points their slots; a reader in another process, attached
// before, reads every survivor through the rewritten offsets.
TEST(SlabTable, ShrinkMovesSurvivorsAndAnotherProcessReadsThem) {
  ShmRoot shm;
  AclWriter w(handler(), TABLE, config(false));
  ASSERT_TRUE(w.initialize());
  // version 0 of vlan v has 1 + 3v % 36 elements: v % 12 == 0 gives 18 bytes.
  std::vector<U32> vlans;
  for (U32 v = 12; vlans.size() < 300; v += 12) vlans.push_back(v);
  for (U32 v : vlans) w.write(aclValue(v, 0));
  U32 const slab = (aclValue(12, 0).serializeLen() - 1) / 3;
  Bloka::SlabWriter const* s = w.slabs()->slab(slab);
  U32 const grown = s->numEntries();
  ASSERT_GT(grown, Bloka::entriesPerPage(s->entrySize()));
  Zolm::ZolmReader<AclOps> r(handler(), TABLE);
  ASSERT_TRUE(r.initialize());
  AclValue v;
  ASSERT_TRUE(r.lookup(VlanId(U16(vlans.back())), v));
  std::vector<U32> kept;
  for (std::size_t i = 0; i < vlans.size(); ++i) {
    if (i % 40 == 39) kept.push_back(vlans[i]);
    else ASSERT_TRUE(w.remove(VlanId(U16(vlans[i]))));
  }
  ASSERT_LT(s->numEntries(), grown);
  ASSERT_TRUE(w.validate()) << w.lastError();
  for (U32 vlan : kept) EXPECT_LT(offsetOf(w, vlan).index(), s->numEntries()) << vlan;
  EXPECT_EQ(reapDescribed(spawn([&] {
              Zolm::ZolmReader<AclOps> child(nullptr, TABLE);
              if (!child.initialize()) ::_exit(3);
              for (U32 vlan : kept) {
                AclValue got;
                if (!child.lookup(VlanId(U16(vlan)), got) || aclVersion(got, vlan) != 0) ::_exit(4);
              }
              ::_exit(child.members() == kept.size() ? 0 : 5);
            })),
            "exit 0");
  // The reader mapped before the shrink reads them too.
  for (U32 vlan : kept) {
    ASSERT_TRUE(r.lookup(VlanId(U16(vlan)), v));
    EXPECT_EQ(aclVersion(v, vlan), 0);
  }
}

// What the validator makes of slab damage, and the forms the table has.
TEST(SlabTable, ValidatorReportsSlabDamageAndValueShadowsAreRefused) {
  ShmRoot shm;
  AclWriter w(handler(), TABLE, config(false));
  ASSERT_TRUE(w.initialize());
  for (U32 vlan = 1; vlan <= 20; ++vlan) w.write(aclValue(vlan, 1));
  ASSERT_TRUE(w.validate()) << w.lastError();
  U32 slot5, slot6;
  Bloka::Offset off5 = offsetOf(w, 5, &slot5);
  offsetOf(w, 6, &slot6);
  w.slabs()->clientDataIs(off5, slot6);
  EXPECT_FALSE(w.validate());
  EXPECT_EQ(std::string(w.lastError()),
            fmt::format("Clientdata mismatch, slot {} contains offset: {} but slabEntry references slot: {}", slot5,
                        off5, slot6));
  w.slabs()->clientDataIs(off5, slot5);
  // An entry no slot names (a leak).
  Bloka::Offset extra;
  w.slabs()->alloc(20, extra);
  EXPECT_FALSE(w.validate());
  EXPECT_EQ(std::string(w.lastError()), "slab entries in use:21 but occupied slots:20");
  w.slabs()->dealloc(extra);
  // A stored form whose counts do not decode.
  char* e = w.slabs()->entry(off5);
  U32 const a = 14;
  std::memcpy(e + Bloka::ENTRY_HEAD + 4, &a, 4);
  EXPECT_FALSE(w.validate());
  EXPECT_NE(std::string(w.lastError()).find("DynamicSlotAllocator::Writer::getValue() Corrupted serialized value detected "
                                            "at offset: " +
                                            fmt::format("{}", off5)),
            std::string::npos)
      << w.lastError();
  bool found;
  Zolm::ZolmReader<AclOps> r(handler(), TABLE);
  ASSERT_TRUE(r.initialize());
  try {
    r.lookup(VlanId(5), found);
    ADD_FAILURE() << "a corrupt value was served";
  } catch (Quiv::CorruptionDetectedException const& ex) {
    EXPECT_NE(std::string(ex.msg()).find("DynamicSlotAllocator::Reader::retrieve() Corrupted serialized value"),
              std::string::npos)
        << ex.msg();
  }
  // A payload size other than what the counts say.
  U32 const one = 1;
  std::memcpy(e + Bloka::ENTRY_HEAD + 4, &one, 4);
  EXPECT_FALSE(w.validate());
  EXPECT_THROW(w.write(aclValue(5, 2)), Quiv::CorruptionDetectedException) << "its key cannot be read";
  U32 const twelve = 12;
  std::memcpy(e + Bloka::ENTRY_HEAD + 4, &twelve, 4);
  ASSERT_TRUE(w.validate()) << w.lastError();
  w.write(aclValue(5, 2));
  ASSERT_TRUE(w.validate()) << w.lastError();

  Quiv::EventLoop loop;
  try {
    Zolm::ZolmShadow<AclOps> shadow(handler(), TABLE, loop, false);
    ADD_FAILURE() << "a value shadow was made";
  } catch (Quiv::Exception const& ex) {
    EXPECT_EQ(std::string(ex.msg()), std::string(TABLE) +
                                         " mounted in 'shadow' mode not supported: only 'keyshadow' and 'reader' are "
                                         "currently supported for dynamic values");
  }
  EXPECT_THROW(w.directUpdate(VlanId(5)), Quiv::NoPermissionException);
}

}  // namespace

}  // namespace vexa_slabtable_test
