// The shadow's local index against a model: keys inserted into, moved
// between and removed from slots at random, with the index doubling and
// halving; after every batch the links, the (rhash, key) order, lookups
// and the slot counters agree with the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "VexaSwitchLib/Zolm/ShadowHashMap.h"
#include "Zolm/TestTables.h"

namespace vexa_shadowhashmap_test {

namespace {

using namespace VexaTest;

struct Entry {
  U32 next = 0xFFFFFFFFu, prev = 0xFFFFFFFFu, rhash = 0;
  Lanx::IntfId k;
  U32 value = 0;
  Lanx::IntfId key() const { return k; }
  void clear() { *this = Entry{}; }
};
using Map = Zolm::ShadowHashMap<FloodOps, Entry>;

TEST(SlotCounters, LargestOccupiedCoversEveryOccupiedIndex) {
  Zolm::SlotCounters c;
  EXPECT_EQ(c.largestOccupied(), 0u);
  c.insert(0);
  EXPECT_EQ(c.largestOccupied(), 1u);
  c.insert(5);  // range [4, 8)
  EXPECT_EQ(c.largestOccupied(), 8u);
  c.insert(1000);  // [512, 1024)
  EXPECT_EQ(c.largestOccupied(), 1024u);
  c.move(1000, 3);
  EXPECT_EQ(c.largestOccupied(), 8u);
  c.remove(5);
  c.remove(3);
  EXPECT_EQ(c.largestOccupied(), 1u);
  Zolm::SlotCounters paged(18);  // slots that share the header's page
  paged.insert(2);
  EXPECT_EQ(paged.largestOccupied(), 18u);
}

TEST(ShadowHashMap, ModelRunWithMovesGrowthAndShrink) {
  FloodOps ops;
  ops.seed = 1234;
  Zolm::SlotCounters counters;
  Map map(nullptr, ops, counters);
  constexpr U32 SLOTS = 8192;
  std::vector<Entry> slots(SLOTS);
  map.slotsIs(slots.data(), SLOTS);
  std::map<U64, U32> model;  // key -> slot
  std::vector<U32> freeSlots;
  for (U32 s = SLOTS; s-- > 0;) freeSlots.push_back(s);
  std::mt19937 rng(99);
  U32 maxBuckets = 0, minBucketsAfterPeak = ~0u;
  for (int batch = 0; batch < 80; ++batch) {
    bool filling = (batch / 10) % 2 == 0;
    for (int i = 0; i < 200; ++i) {
      U64 k = 1 + rng() % 6000;
      U32 op = rng() % 10;
      auto it = model.find(k);
      if (!filling && !model.empty()) {  // drain: aim at present keys
        it = model.lower_bound(k);
        if (it == model.end()) it = model.begin();
        k = it->first;
      }
      if (filling ? op < 6 : op < 1) {
        if (it == model.end()) {
          if (freeSlots.empty()) continue;
          U32 s = freeSlots.back();
          freeSlots.pop_back();
          slots[s].k = Lanx::IntfId::fromRaw(k);
          slots[s].value = U32(i);
          EXPECT_TRUE(map.write(s, false, [](Entry const&) { return true; }));
          model[k] = s;
        } else {
          // Same slot, new value: linked already, the caller's flag counts.
          slots[it->second].value = U32(i);
          EXPECT_TRUE(map.write(it->second, true, [](Entry const&) { return true; }));
          EXPECT_FALSE(map.write(it->second, false, [](Entry const&) { return true; }));
        }
      } else if (op < (filling ? 8u : 3u) && it != model.end() && !freeSlots.empty()) {
        // The writer moved the key to another slot, value unchanged.
        U32 to = freeSlots.back();
        freeSlots.pop_back();
        U32 from = it->second;
        slots[to].k = slots[from].k;
        slots[to].value = slots[from].value;
        U32 v = slots[from].value;
        bool changed = map.write(to, false, [&](Entry const& old) { return old.value != v; });
        EXPECT_FALSE(changed) << "an unchanged value moved is not a change";
        EXPECT_FALSE(Map::linked(slots[from]));
        freeSlots.push_back(from);
        it->second = to;
      } else if (it != model.end()) {
        EXPECT_TRUE(map.remove(it->second));
        EXPECT_FALSE(map.remove(it->second)) << "twice";
        freeSlots.push_back(it->second);
        model.erase(it);
      }
    }
    SCOPED_TRACE(::testing::Message() << "batch " << batch << " entries " << model.size());
    std::string error;
    ASSERT_TRUE(map.check(error)) << error;
    ASSERT_EQ(map.count(), model.size());
    // Iteration: every key once, in (rhash, key) order.
    std::vector<std::pair<U32, U64>> want;
    for (auto const& [k, s] : model) want.emplace_back(Zolm::reverseBits32(ops.hash(Lanx::IntfId::fromRaw(k))), k);
    std::sort(want.begin(), want.end());
    std::vector<std::pair<U32, U64>> got;
    for (U32 s = map.first(); s != Map::NONE; s = map.next(slots[s].key(), s))
      got.emplace_back(slots[s].rhash, slots[s].k.raw());
    ASSERT_EQ(got, want);
    for (auto const& [k, s] : model) ASSERT_EQ(map.lookup(Lanx::IntfId::fromRaw(k)), s);
    ASSERT_EQ(map.lookup(Lanx::IntfId::fromRaw(7777)), Map::NONE);
    U32 top = 0;
    for (auto const& [k, s] : model) top = std::max(top, s);
    U32 largest = counters.largestOccupied();
    if (model.empty()) {
      ASSERT_EQ(largest, 0u);
    } else {
      ASSERT_GT(largest, top);
      ASSERT_LE(largest, std::max(1u, 2 * top));
    }
    maxBuckets = std::max(maxBuckets, map.numBuckets());
    if (maxBuckets >= 1024) minBucketsAfterPeak = std::min(minBucketsAfterPeak, map.numBuckets());
  }
  EXPECT_GT(map.counters().grows, 5u);
  EXPECT_GT(map.counters().shrinks, 2u);
  EXPECT_GT(map.counters().moves, 100u);
  EXPECT_LT(minBucketsAfterPeak, maxBuckets);
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
  static_assert(sizeof(Wide) != sizeof(Entry));
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
    if (s % 16 != 0) {
      ASSERT_TRUE(map.remove(s));  // the hint no longer holds the key
    }
    s = map.next(k, s);
  }
  EXPECT_EQ(seen, order);
  EXPECT_GT(map.counters().slowPaths, 0u);
  EXPECT_LT(map.numBuckets(), peak);
  std::string error;
  ASSERT_TRUE(map.check(error)) << error;
  U32 left = 0;
  for (U32 s = map.first(); s != WideMap::NONE; s = map.next(slots[s].key(), s)) {
    ASSERT_EQ(s % 16, 0u);
    ++left;
  }
  EXPECT_EQ(left, SLOTS / 16 + (SLOTS % 16 != 0));
  for (U32 s = 0; s < SLOTS; ++s) {
    ASSERT_EQ(map.lookup(slots[s].k), s % 16 == 0 ? s : WideMap::NONE);
    // Only the links were touched: no payload byte was written over.
    for (unsigned char c : slots[s].payload) ASSERT_EQ(c, (unsigned char)(s & 0xFF));
  }
}

}  // namespace

}  // namespace vexa_shadowhashmap_test
