// The bucket index: chain order, iteration, bucket doubling and halving;
// the damage its walks and the validator must report.
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
  std::map<std::pair<U32, U64>, U32> byOrder;
  for (auto [k, weight] : model) byOrder[{Zolm::reverseBits32(w.ops().hash(EntryKey(k))), k}] = weight;
  std::vector<std::pair<U64, U32>> seen, expected;
  for (auto const& [order, weight] : byOrder) expected.emplace_back(order.second, weight);
  NexthopEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = w.first(v, hint); more && seen.size() <= model.size(); more = w.next(v.key(), v, hint))
    seen.emplace_back(v.key().value(), v.weight());
  ASSERT_EQ(seen, expected);
  EXPECT_EQ(w.members(), model.size());
}

class HashMapModelTest : public ::testing::TestWithParam<bool> {};

// Phases alternate between filling and draining, so that buckets and slots
// double and halve repeatedly; lookups, removals and the walk agree with a
// std::map throughout. At the end every entry is removed as the walk passes
// it: next() from a removed key continues with the entry after it.
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
        EXPECT_TRUE(!had || old.key().value() == k) << k;
      }
      if (op % 97 == 0) {
        NexthopEntryConfig v;
        U64 probe = rng() % keySpace;
        auto it = model.find(probe);
        ASSERT_EQ(w.lookup(EntryKey(probe), v), it != model.end());
        ASSERT_TRUE(it == model.end() || v.weight() == it->second) << probe;
      }
      maxBuckets = std::max(maxBuckets, w.buckets());
      ASSERT_TRUE(op % 1000 != 999 || w.validate()) << w.lastError();
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
  std::set<U64> seen;
  forEachEntry(w, [&](auto const& v, auto const&) {
    EXPECT_TRUE(seen.insert(v.key().value()).second) << "key " << v.key().value() << " returned twice";
    w.remove(v.key());
  });
  EXPECT_EQ(seen.size(), model.size());
  EXPECT_EQ(w.members(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, HashMapModelTest, ::testing::Values(true, false),
                         [](auto const& info) { return std::string(info.param ? "local1" : "shared2"); });

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
  friend auto operator<=>(SlowKey, SlowKey) = default;
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
    EXPECT_TRUE(check ? calls >= 2 : calls == 0) << calls;
    for (U64 k = 769; k < 1024; ++k) w.remove(SlowKey{k});
    EXPECT_EQ(w.capacity(), 64u) << "never below the initial count";
    EXPECT_TRUE(w.validate()) << w.lastError();
  }
}

// Damage a walk must report rather than walk into (a chain that loops, a
// key that hashes to another bucket, an unoccupied slot in a chain), and
// the validator's report of each kind (verbatim), each put right after
// its check.
TEST(HashMapDamage, WalksAndTheValidatorReportEachKind) {
  ShmRoot root;
  constexpr U32 N = 40;
  FloodWriter w(nullptr, TABLE, Zolm::WriterConfig{});
  w.initialize();
  for (U64 k = 1; k <= N; ++k) w.write(floodEntry(k, U32(k)));
  ASSERT_EQ(w.capacity(), 64u);
  auto& st = w.slotTable();
  auto* h = st.header();
  auto slot = [&](U32 i) { return st.slot(i); };
  auto messageOf = [](auto f) { return thrownMessage<Quiv::CorruptionDetectedException>(f); };
  auto expectReport = [&](std::string const& want) { EXPECT_EQ(w.validate() ? "sound" : std::string(w.lastError().view()), want); };
  // Two occupied slots of the same bucket, a before b.
  U32 a = 0, b = 0;
  VexaSwitch::L3FloodEntryConfig v;
  Zolm::IterHint hint, prevHint;
  for (bool more = w.first(v, hint); more && a == b; more = w.next(v.key(), v, hint)) {
    if (prevHint.valid() && prevHint.bucket == hint.bucket) a = prevHint.slot, b = hint.slot;
    prevHint = hint;
  }
  ASSERT_NE(a, b);
  auto const va = st.valueOf<VexaSwitch::L3FloodEntryConfig>(slot(a));
  U32 const bucket = w.hashMap().bucketOf(w.ops().hash(va.key()));
  auto keyIn = [&](U64 k, bool same, U32 above) {
    while ((w.hashMap().bucketOf(w.ops().hash(floodKey(k))) == bucket) != same ||
           Zolm::reverseBits32(w.ops().hash(floodKey(k))) <= above)
      ++k;
    return k;
  };
  // b -> a -> b ...: a key of that bucket after b is unreachable and the walk for it loops.
  auto const link = slot(b)->link;
  SlotLink::store(&slot(b)->link, SlotLink::next(link, a));
  EXPECT_NE(messageOf([&] { w.lookup(floodKey(keyIn(100000, true, slot(b)->rhash)), v); })
                .find("hash chain cycle detected, slotCount:"),
            std::string::npos);
  EXPECT_EQ(w.validate() ? "sound" : std::string(w.lastError().view()).substr(0, 16), "duplicate slot: ");
  SlotLink::store(&slot(b)->link, link);
  expectReport("sound");
  // The key rewritten in place to one of another bucket.
  auto forged = floodEntry(keyIn(5000, false, 0));
  std::memcpy(Zolm::SlotWriterTable::valuePtr(slot(a)), &forged, sizeof forged);
  EXPECT_EQ(messageOf([&] { forEachEntry(w, [](auto const&, auto const&) {}); }),
            fmt::format("corrupt key detected, slotId: {}", a));
  EXPECT_FALSE(w.validate());
  std::memcpy(Zolm::SlotWriterTable::valuePtr(slot(a)), &va, sizeof va);
  slot(a)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;
  EXPECT_EQ(messageOf([&] { w.lookup(va.key(), v); }), fmt::format("slotId: {} not marked as occupied", a));
  // A critical section left set is reported before the damage behind it.
  h->runtimeFlags |= 1;
  expectReport("bad critical section runtimeFlags:1");
  h->runtimeFlags &= ~1u;
  slot(a)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  expectReport("sound");
  // A free list that loops back; a free slot marked occupied.
  U32 const head = h->freeList, second = slot(head)->next();
  auto const freeLink = slot(second)->link;
  SlotLink::store(&slot(second)->link, SlotLink::next(freeLink, head));
  expectReport(fmt::format("duplicate freeSlot detected: {}", head));
  SlotLink::store(&slot(second)->link, freeLink);
  slot(head)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  expectReport(fmt::format("corrupted free slot not marked as empty: {}", head));
  slot(head)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;
  slot(a)->runtimeFlags |= Zolm::SLOT_LOOKASIDE;
  EXPECT_EQ(w.validate() ? "sound" : std::string(w.lastError().view()).substr(0, 23), "stuck LOOKASIDE bit: 0x");
  slot(a)->runtimeFlags &= ~Zolm::SLOT_LOOKASIDE;
  // A slot's live queue record naming another slot, or cancelled while the slot still claims it.
  auto& q = w.nimbr();
  U32 pos = q.slotPos(a);
  ASSERT_NE(pos, Nimbr::NimbrWriter::NONE);
  auto& rec = const_cast<Nimbr::Record&>(q.header()->records()[pos]);
  U32 const own = rec.slot;
  for (U32 bad : {a + 1, Nimbr::NimbrWriter::TOMBSTONE}) {
    rec.slot = bad;
    expectReport(fmt::format("slot:{} bad notification:{} slot:{}", a, pos, bad));
  }
  rec.slot = own;
  // Counts that do not add up; a free slot dropped from the list.
  h->occupiedSlots = N + 1;
  expectReport(fmt::format("mismatch header->occupiedSlots:{} count:{}", N + 1, N));
  h->occupiedSlots = N - 1;
  expectReport(fmt::format("walkedSlots:{} is greater than header->occupiedSlots:{}", N, N - 1));
  h->occupiedSlots = N;
  h->freeList = second;
  expectReport(fmt::format("bad slotCount:63 occupiedSlots:{} freeSlots:{} capacity:64", N, 63 - N));
}

}  // namespace
}  // namespace vexa_hashmap_test
