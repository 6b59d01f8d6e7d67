// The shadow's local index on its own: the slot counters, and the links of
// wide entries through doubling, halving and removals while an iteration
// passes. (Inserts, moves and removals at random, checked after every
// batch: the shadow model, whose validate() runs the index's check.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "VexaSwitchLib/Zolm/ShadowHashMap.h"
#include "Zolm/TestTables.h"

namespace vexa_shadowhashmap_test {

namespace {

using namespace VexaTest;

// The end of the topmost power-of-two range holding an occupied index (a
// range is [2^n, 2^(n+1))), or of the slots that share the header's page.
TEST(SlotCounters, LargestOccupiedCoversEveryOccupiedIndex) {
  Zolm::SlotCounters c, paged(18);
  EXPECT_EQ(c.largestOccupied(), 0u);
  c.insert(0);
  EXPECT_EQ(c.largestOccupied(), 1u);
  c.insert(5);
  c.insert(1000);
  EXPECT_EQ(c.largestOccupied(), 1024u);
  c.move(1000, 3);
  EXPECT_EQ(c.largestOccupied(), 8u);
  c.remove(5);
  c.remove(3);
  EXPECT_EQ(c.largestOccupied(), 1u);
  paged.insert(2);
  EXPECT_EQ(paged.largestOccupied(), 18u);
}

// The bucket splits, joins and unlinks are compiled once and reach the
// links by the entry's size: an entry much wider than its links and key
// (a value entry) must keep every link, through doublings and halvings,
// exactly where its typed reads find it, and nothing else of it touched.
// The entries go while an iteration passes them: next() from a removed
// entry's key finds its successor.
TEST(ShadowHashMap, LinksOfWideEntriesSurviveGrowthAndShrinkAndNextFollowsRemovals) {
  struct Wide {
    U32 next = 0xFFFFFFFFu, prev = 0xFFFFFFFFu, rhash = 0;
    Lanx::IntfId k;
    unsigned char payload[37] = {};
    Lanx::IntfId key() const { return k; }
    void clear() { *this = Wide{}; }
  };
  using WideMap = Zolm::ShadowHashMap<FloodOps, Wide>;
  FloodOps ops;
  ops.seed = 77;
  Zolm::SlotCounters counters;
  WideMap map(nullptr, ops, counters);
  constexpr U32 SLOTS = 3000;
  std::vector<Wide> slots(SLOTS);
  map.slotsIs(slots.data(), SLOTS);
  for (U32 s = 0; s < SLOTS; ++s) {
    slots[s].k = Lanx::IntfId::fromRaw(U64(s) * 7919 + 1);
    std::memset(slots[s].payload, int(s & 0xFF), sizeof slots[s].payload);
    ASSERT_TRUE(map.write(s, false, [](Wide const&) { return true; }));
  }
  U32 peak = map.numBuckets();
  EXPECT_GE(peak, 2048u);
  std::vector<U32> order, seen;
  for (U32 s = map.first(); s != WideMap::NONE; s = map.next(slots[s].key(), s)) order.push_back(s);
  ASSERT_EQ(order.size(), SLOTS);
  for (U32 s = map.first(); s != WideMap::NONE;) {
    seen.push_back(s);
    Lanx::IntfId k = slots[s].key();
    ASSERT_TRUE(s % 16 == 0 || map.remove(s));  // the hint no longer holds the key
    s = map.next(k, s);
  }
  EXPECT_EQ(seen, order);
  EXPECT_GT(map.counters().slowPaths, 0u);
  EXPECT_LT(map.numBuckets(), peak);
  std::string error;
  ASSERT_TRUE(map.check(error)) << error;
  for (U32 s = 0; s < SLOTS; ++s) {
    ASSERT_EQ(map.lookup(slots[s].k), s % 16 == 0 ? s : WideMap::NONE);
    // Only the links were touched: no payload byte was written over.
    for (unsigned char c : slots[s].payload) ASSERT_EQ(c, (unsigned char)(s & 0xFF));
  }
}

}  // namespace

}  // namespace vexa_shadowhashmap_test
