// A shadow and a key shadow follow a writer in the same process (one event
// loop serves both sides): contents, order and per-key callbacks against a
// model through slot-table and bucket growth and shrink; the single-slot
// cases (key replaced, unchanged rewrite, key moved by a shrink, slot
// reused under a key shadow); local shrink; mount statuses, flush and
// detach; a writer that goes away and comes back.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodShadow = Zolm::ZolmShadow<FloodOps>;
constexpr char const* TABLE = "vexaswitch/tables/test/shadow";

using Model = std::map<U64, std::pair<U32, U32>>;

struct Fixture {
  Quiv::EventLoop loop;
  std::unique_ptr<FloodWriter> w;
  Model model;
  explicit Fixture(U32 maxSlots = 1u << 14) { startWriter(maxSlots); }
  void startWriter(U32 maxSlots = 1u << 14) {
    w = std::make_unique<FloodWriter>(nullptr, TABLE, Zolm::WriterConfig{.maxSlots = maxSlots});
    w->initialize();
    w->pokt().loopIs(&loop);
  }
  void write(U64 k, U32 list, U32 members) {
    L3FloodEntryConfig e = floodEntry(k, list);
    e.memberCountIs(members);
    w->write(e);
    model[k] = {list, members};
  }
  void remove(U64 k) {
    w->remove(Lanx::IntfId::fromRaw(k));
    model.erase(k);
  }
  // Runs the loop until `s` has consumed everything the writer published.
  template <class S>
  void pump(S& s) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      loop.runOnce(1);
      if (s.initialized() && s.syncer().done() && s.queue().position() > w->nimbr().tailSeq()) break;
    }
    for (int i = 0; i < 3; ++i) loop.runOnce(0);
  }
};

// What a client keeps when it applies every change callback by looking the
// key up again.
struct Replay {
  FloodShadow* s = nullptr;
  Model copy;
  std::map<U64, int> calls;
  void onChange(Lanx::IntfId const& k) {
    ++calls[k.raw()];
    L3FloodEntryConfig v;
    if (s->lookup(k, v)) copy[k.raw()] = {v.floodListId(), v.memberCount()};
    else copy.erase(k.raw());
  }
  Zolm::ShadowCallbacks<Lanx::IntfId> callbacks() {
    Zolm::ShadowCallbacks<Lanx::IntfId> c;
    c.changed = [this](Lanx::IntfId const& k) { onChange(k); };
    return c;
  }
};

Model contentsOf(FloodShadow& s) {
  Model m;
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = s.first(v, hint); more; more = s.next(v.key(), v, hint))
    EXPECT_TRUE(m.emplace(v.key().raw(), std::make_pair(v.floodListId(), v.memberCount())).second) << "twice";
  return m;
}

std::vector<U64> readerOrder(FloodWriter& w) {
  std::vector<U64> keys;
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint)) keys.push_back(v.key().raw());
  return keys;
}

class ShadowModes : public ::testing::TestWithParam<bool> {};

TEST_P(ShadowModes, FollowsARandomLoadThroughGrowthAndShrink) {
  ShmRoot root;
  Fixture f;
  Replay r;
  FloodShadow s(nullptr, TABLE, f.loop, GetParam(), r.callbacks());
  r.s = &s;
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  ASSERT_TRUE(s.initialize("test"));
  f.pump(s);
  EXPECT_EQ(s.mountStatus(), Mem::synced);
  std::mt19937 rng(11);
  U32 minCap = ~0u, maxCap = 0, minLocal = ~0u, maxLocal = 0;
  for (int batch = 0; batch < 60; ++batch) {
    bool filling = (batch / 10) % 2 == 0;
    for (int i = 0; i < 400; ++i) {
      U64 k = 1 + rng() % 5000;
      if (!filling && !f.model.empty()) {  // drain: aim at present keys
        auto it = f.model.lower_bound(k);
        k = it == f.model.end() ? f.model.begin()->first : it->first;
      }
      if (rng() % 10 < (filling ? 7u : 1u)) f.write(k, U32(batch), U32(rng() % 3));
      else f.remove(k);
    }
    f.pump(s);
    SCOPED_TRACE(::testing::Message() << "batch " << batch << " entries " << f.model.size());
    ASSERT_EQ(contentsOf(s), f.model);
    ASSERT_EQ(r.copy, f.model) << "callbacks replayed";
    ASSERT_EQ(s.members(), f.model.size());
    ASSERT_TRUE(s.validate()) << s.lastError();
    // Same order as a reader of the shared table.
    std::vector<U64> order;
    L3FloodEntryConfig v;
    Zolm::IterHint hint;
    for (bool more = s.first(v, hint); more; more = s.next(v.key(), v, hint)) order.push_back(v.key().raw());
    ASSERT_EQ(order, readerOrder(*f.w));
    minCap = std::min(minCap, f.w->capacity());
    maxCap = std::max(maxCap, f.w->capacity());
    minLocal = std::min(minLocal, s.localCapacity());
    maxLocal = std::max(maxLocal, s.localCapacity());
  }
  Zolm::Reader::Counters c = s.readerCounters();
  EXPECT_LT(minCap, maxCap) << "the shared table never grew or shrank";
  EXPECT_LT(minLocal, maxLocal) << "the local slot array never grew or shrank";
  EXPECT_GT(c.localSlotGrows, 0u);
  EXPECT_GT(c.localSlotShrinks, 0u);
  EXPECT_GT(c.localBucketGrows, 0u);
  EXPECT_GT(c.localBucketShrinks, 0u);
  EXPECT_GT(c.wakeups, 0u);
}

// The single-slot cases: a slot reused by another key before the shadow
// looked, a rewrite with the same value, keys moved by the writer's shrink.
TEST(Shadow, ReportsExactlyTheKeysWhoseContentChanged) {
  ShmRoot root;
  Fixture f;
  Replay r;
  FloodShadow s(nullptr, TABLE, f.loop, false, r.callbacks());
  r.s = &s;
  ASSERT_TRUE(s.initialize("test"));
  for (U64 k = 1; k <= 3000; ++k) f.write(k, 1, 1);
  f.pump(s);
  ASSERT_EQ(r.copy, f.model);
  r.calls.clear();

  // Removed and re-used by another key before the shadow reads the slot:
  // the old key goes, the new one comes, one callback each.
  f.remove(7);
  f.write(90001, 5, 5);
  // Rewritten with the same value: notified, but nothing changed.
  f.write(8, 1, 1);
  // Changed.
  f.write(9, 2, 2);
  f.pump(s);
  EXPECT_EQ(r.calls, (std::map<U64, int>{{7, 1}, {9, 1}, {90001, 1}}));
  EXPECT_EQ(r.copy, f.model);

  // Drain to a few keys: the writer shrinks its slot table, moving the
  // survivors from high slots to low ones. A moved key with the same value
  // is no change. (The shadow follows each removal: a key moved twice
  // before the shadow looks is seen leaving its first slot, reported, and
  // then arriving in its last.)
  U32 before = f.w->capacity();
  r.calls.clear();
  for (U64 k = 1; k <= 3000; ++k) {
    if (k % 100 == 0) continue;
    f.remove(k);
    f.pump(s);
  }
  ASSERT_LT(f.w->capacity(), before) << "the writer did not shrink";
  for (U64 k = 1; k <= 3000; ++k) {
    if (k % 100 != 0 && k != 7) {  // 7 went before
      EXPECT_EQ(r.calls[k], 1) << k;
    }
  }
  EXPECT_EQ(r.copy, f.model);
  EXPECT_EQ(contentsOf(s), f.model);
  for (U64 k = 100; k <= 3000; k += 100) EXPECT_EQ(r.calls.count(k), 0u) << "moved key " << k << " was reported";
  Zolm::Reader::Counters c = s.readerCounters();
  EXPECT_GT(c.moves, 0u);
  EXPECT_GT(c.localSlotShrinks, 0u);
  EXPECT_LE(s.localCapacity(), std::max(f.w->capacity(), 4 * U32(f.model.size()) + 256));
  EXPECT_EQ(c.failedNotifications, 0u);
}

// A key shadow reads values from the shared table by slot; a slot reused
// by another key before the notification arrives falls back to a lookup.
TEST(Shadow, KeyShadowFindsAKeyWhoseSlotWasReused) {
  ShmRoot root;
  Fixture f;
  FloodShadow s(nullptr, TABLE, f.loop, true);
  ASSERT_TRUE(s.initialize("test"));
  f.write(1, 10, 10);
  f.write(2, 20, 20);
  f.pump(s);
  // Key 1 leaves its slot to key 3, then comes back in another slot; the
  // shadow has not been told yet.
  f.remove(1);
  f.write(3, 30, 30);
  f.write(1, 11, 11);
  L3FloodEntryConfig v;
  ASSERT_TRUE(s.lookup(Lanx::IntfId::fromRaw(1), v));
  EXPECT_EQ(v.floodListId(), 11u);
  EXPECT_GT(s.readerCounters().keyReuses, 0u);
  f.pump(s);
  EXPECT_EQ(contentsOf(s), f.model);
}

// Statuses through a life: not mounted, synchronising, synchronised, a
// deferred detach that replays every key (lookups answer not found
// meanwhile), then a forced detach that finishes it.
TEST(Shadow, DetachFlushesEveryKeyToTheClient) {
  ShmRoot root;
  Fixture f;
  for (U64 k = 1; k <= 20000; ++k) f.write(k, 1, 1);
  std::set<U64> flushed;
  int deleted = 0, synced = 0;
  bool foundDuringFlush = false;
  FloodShadow* sp = nullptr;
  Zolm::ShadowCallbacks<Lanx::IntfId> cb;
  cb.changed = [&](Lanx::IntfId const& k) {
    if (sp->mountStatus() != Mem::flushing) return;
    flushed.insert(k.raw());
    L3FloodEntryConfig v;
    foundDuringFlush = foundDuringFlush || sp->lookup(k, v);
  };
  cb.syncComplete = [&] { ++synced; };
  cb.deletionComplete = [&] { ++deleted; };
  FloodShadow s(nullptr, TABLE, f.loop, false, cb);
  sp = &s;
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  s.yieldTimeIs(1e-6);  // small slices: the synchronisation spans several loop turns
  ASSERT_TRUE(s.initialize("test"));
  EXPECT_EQ(s.mountStatus(), Mem::mounted);
  f.pump(s);
  EXPECT_EQ(s.mountStatus(), Mem::synced);
  EXPECT_EQ(synced, 1);
  s.detach(false);
  EXPECT_EQ(s.mountStatus(), Mem::flushing);
  f.loop.runOnce(0);  // part of the flush
  EXPECT_EQ(s.mountStatus(), Mem::flushing) << "a 20000-key flush in one slice";
  EXPECT_DEATH(s.detach(false), "expected only forced detach during asynchronous flush");
  s.detach(true);  // forces the rest
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(flushed.size(), 20000u);
  EXPECT_FALSE(foundDuringFlush);
  s.detach(true);  // already detached: nothing happens
  EXPECT_EQ(deleted, 1);
  // Mounted again from scratch.
  ASSERT_TRUE(s.initialize("again"));
  f.pump(s);
  EXPECT_EQ(contentsOf(s), f.model);
}

// The writer goes away (a clean detach here; a crash is the same to the
// shadow: the socket closes). The shadow keeps what it has, re-attaches to
// the next writer by itself and is told only what changed meanwhile.
TEST(Shadow, ReattachesToTheNextWriterAndReportsOnlyWhatChanged) {
  ShmRoot root;
  Fixture f;
  for (U64 k = 1; k <= 500; ++k) f.write(k, 1, 1);
  Replay r;
  FloodShadow s(nullptr, TABLE, f.loop, false, r.callbacks());
  r.s = &s;
  ASSERT_TRUE(s.initialize("test"));
  f.pump(s);
  f.w->detach();
  f.w.reset();
  for (int i = 0; i < 20 && s.mountStatus() != Mem::notMounted; ++i) f.loop.runOnce(5);
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  L3FloodEntryConfig v;
  EXPECT_TRUE(s.lookup(Lanx::IntfId::fromRaw(5), v)) << "the local copy is kept";
  r.calls.clear();
  f.startWriter();  // keeps the files and their entries
  f.remove(5);
  f.write(6, 9, 9);
  f.write(501, 1, 1);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!s.connected() && std::chrono::steady_clock::now() < until) f.loop.runOnce(5);
  ASSERT_TRUE(s.connected());
  f.pump(s);
  EXPECT_EQ(contentsOf(s), f.model);
  EXPECT_EQ(r.copy, f.model);
  EXPECT_EQ(r.calls, (std::map<U64, int>{{5, 1}, {6, 1}, {501, 1}}));
  EXPECT_EQ(s.mountStatus(), Mem::synced);
  EXPECT_GE(s.readerCounters().disconnects, 1u);
}

TEST(Shadow, InitializeFailsCleanlyWithoutATable) {
  ShmRoot root;
  Quiv::EventLoop loop;
  FloodShadow s(nullptr, "vexaswitch/tables/test/none", loop, false);
  EXPECT_FALSE(s.initialize("test"));
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  L3FloodEntryConfig v;
  EXPECT_FALSE(s.lookup(Lanx::IntfId::fromRaw(1), v));
  s.detach(true);
}

INSTANTIATE_TEST_SUITE_P(Shadow, ShadowModes, ::testing::Values(false, true),
                         [](auto const& info) { return info.param ? "KeyShadow" : "ValueShadow"; });

}  // namespace
