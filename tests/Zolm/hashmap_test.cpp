// The bucket index: chain order, iteration, bucket doubling and halving,
// and the structural faults it must detect rather than walk into; the
// validator: a sound table passes, and each kind of damage is named.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

#include "Zolm/TestTables.h"
#include "testutil/Expect.h"
#include "VexaSwitchLib/runtime/Tasks.h"

namespace vexa_hashmap_test {

namespace {

using namespace VexaTest;
using Zolm::SlotLink;
using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;

constexpr char const* TABLE = "vexaswitch/tables/test/nexthop";

// The writer's first/next walk against the model: every entry once, in
// (rhash, key) order, with the model's value.
template <class W>
void expectSameAsModel(W& w, std::map<U64, U32> const& model) {
  std::map<std::pair<U32, U64>, U32> expected;
  for (auto [k, weight] : model) expected[{Zolm::reverseBits32(w.ops().hash(EntryKey(k))), k}] = weight;
  std::vector<std::pair<U64, U32>> seen;
  NexthopEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint)) {
    seen.emplace_back(v.key().value(), v.weight());
    ASSERT_LE(seen.size(), model.size()) << "iteration returns more entries than there are";
  }
  ASSERT_EQ(seen.size(), expected.size());
  std::size_t i = 0;
  for (auto const& [order, weight] : expected) {
    ASSERT_EQ(seen[i].first, order.second) << "position " << i;
    ASSERT_EQ(seen[i++].second, weight);
  }
  EXPECT_EQ(w.members(), model.size());
}

class HashMapModelTest : public ::testing::TestWithParam<bool> {};

// Phases alternate between filling and draining, so that buckets and slots
// double and halve repeatedly; lookups, removals and the walk agree with a
// std::map throughout.
TEST_P(HashMapModelTest, RandomInsertsUpdatesAndRemovesAgreeWithAnOrderedMap) {
  ShmRoot root;
  NexthopWriter w(Quiv::Platform::getDebugHandler("HashMapModel"), TABLE, {.local = GetParam(), .maxSlots = 256});
  w.initialize();
  std::mt19937 rng(GetParam() ? 1 : 2);
  std::map<U64, U32> model;
  U32 maxBuckets = 0;
  for (int phase = 0; phase < 8; ++phase) {
    bool filling = phase % 2 == 0;
    U64 keySpace = phase < 4 ? 3000 : 600;
    for (int op = 0; op < 4000; ++op) {
      U64 k = rng() % keySpace;
      unsigned dice = rng() % 100;
      if (filling ? dice < 75 : dice < 20) {
        U32 weight = rng();
        w.write(nexthop(k, weight));
        model[k] = weight;
      } else {
        if (!filling && !model.empty() && dice % 4 != 0) {  // drain: mostly present keys
          auto it = model.lower_bound(k);
          k = it == model.end() ? model.begin()->first : it->first;
        }
        NexthopEntryConfig old;
        bool had = model.erase(k) > 0;
        ASSERT_EQ(w.remove(EntryKey(k), &old), had) << k;
        if (had) {
          EXPECT_EQ(old.key().value(), k);
        }
      }
      if (op % 97 == 0) {
        NexthopEntryConfig v;
        U64 probe = rng() % keySpace;
        auto it = model.find(probe);
        ASSERT_EQ(w.lookup(EntryKey(probe), v), it != model.end());
        if (it != model.end()) {
          ASSERT_EQ(v.weight(), it->second);
        }
      }
      maxBuckets = std::max(maxBuckets, w.buckets());
      if (op % 1000 == 999) {
        ASSERT_TRUE(w.validate()) << w.lastError();
      }
    }
    ASSERT_TRUE(w.validate()) << w.lastError();
    expectSameAsModel(w, model);
    EXPECT_LE(model.size(), w.buckets());
  }
  EXPECT_GT(w.writerCounters().bucketGrows, 3u);
  EXPECT_GT(w.writerCounters().bucketShrinks, 3u);
  EXPECT_GT(w.writerCounters().grows, 3u);
  EXPECT_GT(w.writerCounters().shrinks, 0u);
  EXPECT_GE(maxBuckets, 2048u);
}

INSTANTIATE_TEST_SUITE_P(Modes, HashMapModelTest, ::testing::Values(true, false),
                         [](auto const& info) { return std::string(info.param ? "local1" : "shared2"); });

TEST(HashMapOrder, EightBucketsComeOutInBitReversedOrder) {
  ShmRoot root;
  NexthopWriter w(nullptr, TABLE, {.local = true});
  w.initialize();
  ASSERT_EQ(w.buckets(), 8u);
  // One key per bucket, inserted in an order that is not the answer.
  std::vector<U64> keyOfBucket(8, ~U64(0));
  for (U64 k = 1; std::count(keyOfBucket.begin(), keyOfBucket.end(), ~U64(0)); ++k) {
    U32 b = w.ops().hash(EntryKey(k)) & 7;
    if (keyOfBucket[b] == ~U64(0)) keyOfBucket[b] = k;
  }
  for (U32 b : {7u, 0u, 3u, 5u, 1u, 6u, 2u, 4u}) w.write(nexthop(keyOfBucket[b]));
  ASSERT_EQ(w.buckets(), 8u);
  std::vector<U64> seen, expected;
  forEachEntry(w, [&](auto const& v, auto const&) { seen.push_back(v.key().value()); });
  for (U32 b : {0u, 4u, 2u, 6u, 1u, 5u, 3u, 7u}) expected.push_back(keyOfBucket[b]);
  EXPECT_EQ(seen, expected);
  // The ninth entry doubles the buckets; the order is still (rhash, key).
  U64 extra = 1;
  while (std::count(keyOfBucket.begin(), keyOfBucket.end(), extra)) ++extra;
  w.write(nexthop(extra));
  EXPECT_EQ(w.buckets(), 16u);
  EXPECT_TRUE(w.validate()) << w.lastError();
  // The walk's own step from bucket to bucket, and its ends.
  std::vector<U32> order{0};
  for (U32 b = Zolm::bitReversedSuccessor(0, 3); b != 0; b = Zolm::bitReversedSuccessor(b, 3)) order.push_back(b);
  EXPECT_EQ(order, (std::vector<U32>{0, 4, 2, 6, 1, 5, 3, 7}));
  EXPECT_EQ(Zolm::bitReversedSuccessor(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Zolm::bitReversedSuccessor(0, 32), 0xFFFFFFFFu);
}

// next() of a key removed behind the cursor continues with the first
// entry after it.
TEST(HashMapIteration, NextAfterARemovedKeyContinuesInOrder) {
  ShmRoot root;
  NexthopWriter w(nullptr, TABLE, {.local = true, .shrinkSlots = false, .shrinkBuckets = false});
  w.initialize();
  for (U64 k = 1; k <= 500; ++k) w.write(nexthop(k, U32(k)));
  NexthopEntryConfig v;
  Zolm::IterHint hint;
  std::set<U64> seen;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint)) {
    ASSERT_TRUE(seen.insert(v.key().value()).second) << "key " << v.key().value() << " returned twice";
    w.remove(v.key());
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(w.members(), 0u);
}

// Structural faults a walk must report rather than walk into, each put
// right after its check: a chain that loops, a key that hashes to another
// bucket, an unoccupied slot in a chain.
TEST(HashMapCorruption, EachFaultIsReportedWithItsMessage) {
  ShmRoot root;
  NexthopWriter w(nullptr, TABLE, {.local = true});
  w.initialize();
  for (U64 k = 1; k <= 40; ++k) w.write(nexthop(k));
  auto& st = w.slotTable();
  // Two occupied slots of the same bucket, a before b.
  U32 a = 0, b = 0;
  NexthopEntryConfig v;
  Zolm::IterHint hint, prevHint;
  for (bool more = w.first(v, hint); more && a == b; more = w.next(v.key(), v, hint)) {
    if (prevHint.valid() && prevHint.bucket == hint.bucket) a = prevHint.slot, b = hint.slot;
    prevHint = hint;
  }
  ASSERT_NE(a, b);
  auto messageOf = [](auto f) { return thrownMessage<Quiv::CorruptionDetectedException>(f); };
  NexthopEntryConfig const va = st.valueOf<NexthopEntryConfig>(st.slot(a));
  U32 const bucket = w.hashMap().bucketOf(w.ops().hash(va.key()));

  // b -> a -> b ...: a key of that bucket after b is unreachable and the
  // walk for it loops.
  auto const link = st.slot(b)->link;
  SlotLink::store(&st.slot(b)->link, SlotLink::next(link, a));
  U64 missing = 100000;
  while (w.hashMap().bucketOf(w.ops().hash(EntryKey(missing))) != bucket ||
         Zolm::reverseBits32(w.ops().hash(EntryKey(missing))) <= st.slot(b)->rhash)
    ++missing;
  EXPECT_NE(messageOf([&] { w.lookup(EntryKey(missing), v); }).find("hash chain cycle detected, slotCount:"),
            std::string::npos);
  EXPECT_FALSE(w.validate());
  EXPECT_NE(w.lastError().view().find("duplicate slot: "), std::string_view::npos) << w.lastError();
  SlotLink::store(&st.slot(b)->link, link);
  ASSERT_TRUE(w.validate()) << w.lastError();

  // The key rewritten in place to one of another bucket.
  U64 other = 5000;
  while (w.hashMap().bucketOf(w.ops().hash(EntryKey(other))) == bucket) ++other;
  NexthopEntryConfig forged = nexthop(other);
  std::memcpy(Zolm::SlotWriterTable::valuePtr(st.slot(a)), &forged, sizeof forged);
  EXPECT_EQ(messageOf([&] { forEachEntry(w, [](auto const&, auto const&) {}); }),
            fmt::format("corrupt key detected, slotId: {}", a));
  EXPECT_FALSE(w.validate());
  std::memcpy(Zolm::SlotWriterTable::valuePtr(st.slot(a)), &va, sizeof va);

  st.slot(a)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;
  EXPECT_EQ(messageOf([&] { w.lookup(va.key(), v); }), fmt::format("slotId: {} not marked as occupied", a));
}

// The slot table halves once a quarter of it is occupied, never below its
// initial count; long writer loops such as that shrink (which finds every
// entry it moves: slow with this key's hash) keep the process's critical
// tasks running, only when configured to.
struct SlowKey {
  U64 v = 0;
  static inline std::atomic<bool> slow{false};
  U32 hash(U32 seed) const {
    if (slow) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return Kel::hashSingleAttr(seed, v);
  }
  friend bool operator<(SlowKey a, SlowKey b) { return a.v < b.v; }
  friend bool operator==(SlowKey a, SlowKey b) { return a.v == b.v; }
};
struct SlowValue {
  static constexpr std::string_view kelTypeName = "Test::SlowValue";
  SlowKey k;
  U64 payload = 0;
  SlowKey key() const { return k; }
};

TEST(CriticalTasks, RunDuringALongSlotShrinkOnlyWhenAskedFor) {
  ShmRoot root;
  using SlowOps = Zolm::Ops<SlowKey, SlowValue>;
  for (bool check : {true, false}) {
    Zolm::ZolmWriter<SlowOps> w(nullptr, TABLE, {.local = true, .maxSlots = 4096, .criticalTaskCheck = check});
    w.initialize();
    for (U64 k = 0; k < 1024; ++k) w.write(SlowValue{SlowKey{k}, k});
    for (U64 k = 0; k < 768; ++k) w.remove(SlowKey{k});
    ASSERT_EQ(w.capacity(), 1024u);
    int calls = 0;
    U64 id = Quiv::TaskSchedulerRoot::addCriticalPriorityTask([&] { ++calls; });
    SlowKey::slow = true;
    w.remove(SlowKey{768});  // moves 255 entries, each found again: > 25 ms
    SlowKey::slow = false;
    Quiv::TaskSchedulerRoot::removeCriticalPriorityTask(id);
    EXPECT_EQ(w.capacity(), 512u);
    if (check) {
      EXPECT_GE(calls, 2);
    } else {
      EXPECT_EQ(calls, 0);
    }
    EXPECT_TRUE(w.validate()) << w.lastError();
    for (U64 k = 769; k < 1024; ++k) w.remove(SlowKey{k});
    EXPECT_EQ(w.capacity(), 64u) << "never below the initial count";
    EXPECT_TRUE(w.validate()) << w.lastError();
  }
}

// --- the validator: a sound table passes, each kind of damage is named ---

class ValidatorTest : public ::testing::TestWithParam<bool> {};

// Empty, full and drained tables pass; then each damage in turn, put
// right after its report (verbatim) was checked.
TEST_P(ValidatorTest, SoundTablesPassAndEachDamageIsNamed) {
  ShmRoot root;
  FloodWriter w(nullptr, "vexaswitch/tables/test/validator", Zolm::WriterConfig{.local = GetParam()});
  w.initialize();
  auto error = [&] { return std::string(w.lastError().view()); };
  auto slot = [&](U32 i) { return w.slotTable().slot(i); };
  EXPECT_TRUE(w.validate()) << error();
  for (U64 k = 1; k <= 64; ++k) w.write(floodEntry(k, U32(k)));
  EXPECT_TRUE(w.validate()) << error();
  for (U64 k = 1; k <= 64; ++k) w.remove(floodKey(k));
  EXPECT_TRUE(w.validate()) << error();
  for (U64 k = 1; k <= 10; ++k) w.write(floodEntry(k, U32(k)));

  auto* h = w.slotTable().header();
  VexaSwitch::L3FloodEntryConfig first;
  Zolm::IterHint hint;
  w.first(first, hint);
  U32 const id = hint.slot, head = h->freeList, second = slot(head)->next();
  auto expectReport = [&](std::string const& want) {
    EXPECT_FALSE(w.validate());
    EXPECT_EQ(error(), want);
  };
  // A critical section left set is reported before the damage behind it.
  h->runtimeFlags |= 1;
  slot(id)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;
  expectReport("bad critical section runtimeFlags:1");
  h->runtimeFlags &= ~1u;
  slot(id)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  ASSERT_TRUE(w.validate()) << error();

  // A free list that loops back.
  auto const link = slot(second)->link;
  SlotLink::store(&slot(second)->link, SlotLink::next(link, head));
  expectReport(fmt::format("duplicate freeSlot detected: {}", head));
  SlotLink::store(&slot(second)->link, link);

  slot(head)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  expectReport(fmt::format("corrupted free slot not marked as empty: {}", head));
  slot(head)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;

  slot(id)->runtimeFlags |= Zolm::SLOT_LOOKASIDE;
  EXPECT_FALSE(w.validate());
  EXPECT_EQ(error().rfind("stuck LOOKASIDE bit: 0x", 0), 0u) << error();
  slot(id)->runtimeFlags &= ~Zolm::SLOT_LOOKASIDE;

  // A slot's live queue record naming another slot, or cancelled while
  // the slot still claims it.
  auto& q = w.nimbr();
  U32 pos = q.slotPos(id);
  ASSERT_NE(pos, Nimbr::NimbrWriter::NONE);
  auto& rec = const_cast<Nimbr::Record&>(q.header()->records()[pos]);
  U32 const own = rec.slot;
  for (U32 bad : {id + 1, Nimbr::NimbrWriter::TOMBSTONE}) {
    rec.slot = bad;
    expectReport(fmt::format("slot:{} bad notification:{} slot:{}", id, pos, bad));
  }
  rec.slot = own;

  // Counts that do not add up.
  h->occupiedSlots = 11;
  expectReport("mismatch header->occupiedSlots:11 count:10");
  h->occupiedSlots = 9;
  expectReport("walkedSlots:10 is greater than header->occupiedSlots:9");
  h->occupiedSlots = 10;
  // A free slot dropped from the list: occupied + free no longer numSlots.
  h->freeList = second;
  expectReport("bad slotCount:63 occupiedSlots:10 freeSlots:53 capacity:64");
}

INSTANTIATE_TEST_SUITE_P(Modes, ValidatorTest, ::testing::Values(true, false),
                         [](auto const& info) { return std::string(info.param ? "local" : "shared"); });

}  // namespace

}  // namespace vexa_hashmap_test
