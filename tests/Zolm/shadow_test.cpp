// A shadow and a key shadow follow a writer in the same process (one event
// loop serves both sides), against a model and in the single-slot cases;
// attach during a growth, notifications off and on, flush and detach, a
// writer that goes away and comes back.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>

#include "Zolm/TestTables.h"
#include "testutil/Process.h"
#include "testutil/Trace.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"

namespace vexa_shadow_test {
namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodShadow = Zolm::ZolmShadow<FloodOps>;
constexpr char const* TABLE = "vexaswitch/tables/test/shadow";

using Model = FloodContents;

struct Fixture {
  Quiv::EventLoop loop;
  std::unique_ptr<FloodWriter> w;
  Model model;
  Fixture() { startWriter(); }
  void startWriter() {
    w = std::make_unique<FloodWriter>(nullptr, TABLE, Zolm::WriterConfig{.maxSlots = 1u << 14});
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
    w->remove(floodKey(k));
    model.erase(k);
  }
  // Runs the loop until `s` has consumed everything the writer published.
  template <class S>
  void pump(S& s) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do loop.runOnce(1);
    while (!(s.initialized() && s.syncer().done() && s.queue().position() > w->nimbr().tailSeq()) &&
           std::chrono::steady_clock::now() < until);
    for (int i = 0; i < 3; ++i) loop.runOnce(0);
  }
  // The writer goes away; `s` notices.
  template <class S>
  void dropWriter(S& s) {
    w->detach();
    w.reset();
    for (int i = 0; i < 20 && s.mountStatus() != Mem::notMounted; ++i) loop.runOnce(5);
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
    return {{}, [this](Lanx::IntfId const& k) { onChange(k); }, {}};
  }
};

// A random load in phases that fill and drain the table, so that the slot
// table and the buckets grow and shrink many times under a shadow and a key
// shadow (and their local copies with it). After every batch each agrees
// with the model: contents, the writer's order, lookups, misses, batched
// lookups, every change callback replayed.
TEST(Followers, AgreeWithTheModelThroughEveryGrowAndShrink) {
  ShmRoot root;
  Fixture f;
  Replay replays[2];
  std::vector<std::unique_ptr<FloodShadow>> shadows;
  for (bool keyShadow : {false, true}) {
    Replay& rp = replays[keyShadow];
    shadows.push_back(std::make_unique<FloodShadow>(nullptr, TABLE, f.loop, keyShadow, rp.callbacks()));
    rp.s = shadows.back().get();
    ASSERT_TRUE(rp.s->initialize("test"));
  }
  std::mt19937 rng(11);
  auto const defaults = std::make_pair(FloodOps::defaultValue().floodListId(), FloodOps::defaultValue().memberCount());
  for (int batch = 0; batch < 60; ++batch) {
    bool filling = (batch / 10) % 2 == 0;
    for (int i = 0; i < 400; ++i) {
      U64 k = 1 + rng() % 5000;
      if (!filling && !f.model.empty()) {  // drain: aim at present keys
        auto it = f.model.lower_bound(k);
        k = it == f.model.end() ? f.model.begin()->first : it->first;
      }
      if (rng() % 10 < (filling ? 7u : 1u)) f.write(k, U32(rng()), U32(rng() % 3));
      else f.remove(k);
    }
    SCOPED_TRACE(::testing::Message() << "batch " << batch << " entries " << f.model.size());
    std::vector<U64> const order = floodKeys(*f.w);
    // Present keys, absent ones and repeats, in sets that straddle the 32-key groups.
    std::vector<FloodOps::Key> ks;
    for (U32 i = 0, n = 1 + rng() % 100; i < n; ++i)
      ks.push_back(!ks.empty() && rng() % 3 == 0 ? ks[rng() % ks.size()] : floodKey(1 + rng() % 5100));
    auto agrees = [&](Zolm::ZolmInterface<FloodOps> const& form) {
      EXPECT_EQ(floodKeys(form), order);
      EXPECT_EQ(form.members(), f.model.size());
      std::vector<L3FloodEntryConfig> outs(ks.size());
      std::unique_ptr<bool[]> found(new bool[ks.size()]);
      U32 hits = form.lookupBatch(ks.data(), U32(ks.size()), outs.data(), found.get()), want = 0;
      for (std::size_t i = 0; i < ks.size(); ++i) {
        auto it = f.model.find(ks[i].raw());
        auto expected = it != f.model.end() ? it->second : defaults;
        L3FloodEntryConfig single;
        want += it != f.model.end();
        EXPECT_EQ(found[i], it != f.model.end()) << ks[i].raw();
        EXPECT_EQ(form.lookup(ks[i], single), found[i]) << ks[i].raw();
        EXPECT_EQ(std::make_pair(outs[i].floodListId(), outs[i].memberCount()), expected) << ks[i].raw();
        EXPECT_EQ(std::make_pair(single.floodListId(), single.memberCount()), expected) << ks[i].raw();
      }
      EXPECT_EQ(hits, want);
      return !::testing::Test::HasFailure();
    };
    ASSERT_TRUE(agrees(*f.w)) << "writer";
    for (int i = 0; i < 2; ++i) {
      FloodShadow& s = *shadows[i];
      f.pump(s);
      ASSERT_EQ(floodContents(s), f.model) << "shadow " << i;
      ASSERT_EQ(replays[i].copy, f.model) << "shadow " << i << ": callbacks replayed";
      ASSERT_TRUE(s.validate()) << s.lastError();
      ASSERT_TRUE(agrees(s)) << "shadow " << i;
    }
  }
  EXPECT_TRUE(f.w->writerCounters().grows > 3 && f.w->writerCounters().shrinks > 0);
  for (int i = 0; i < 2; ++i) {
    Zolm::Reader::Counters c = shadows[i]->readerCounters();
    EXPECT_TRUE(c.localSlotGrows && c.localSlotShrinks && c.localBucketGrows && c.localBucketShrinks && c.wakeups)
        << "shadow " << i;
  }
}

// The single-slot cases: a slot reused by another key before the shadow
// looked, a rewrite with the same value, keys moved by the writer's shrink.
// A key shadow reads values by slot; one reused by another key before the
// notification arrives falls back to a lookup.
TEST(Shadow, ReportsExactlyTheKeysWhoseContentChanged) {
  ShmRoot root;
  Fixture f;
  Replay r;
  FloodShadow s(nullptr, TABLE, f.loop, false, r.callbacks()), ks(nullptr, TABLE, f.loop, true);
  r.s = &s;
  ASSERT_TRUE(s.initialize("test"));
  ASSERT_TRUE(ks.initialize("test"));
  for (U64 k = 1; k <= 3000; ++k) f.write(k, 1, 1);
  f.pump(s);
  f.pump(ks);
  ASSERT_EQ(r.copy, f.model);
  r.calls.clear();
  f.remove(7);  // its slot re-used by another key before the shadow looks
  f.write(90001, 5, 5);
  f.write(8, 1, 1);  // notified, but the same value: no change
  f.write(9, 2, 2);
  f.remove(10);  // 10 leaves its slot to 90002 and comes back elsewhere, untold yet
  f.write(90002, 6, 6);
  f.write(10, 11, 11);
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  ASSERT_TRUE(ks.lookup(floodKey(10), v));
  EXPECT_EQ(v.floodListId(), 11u);
  EXPECT_GT(ks.readerCounters().keyReuses, 0u);
  f.pump(s);
  EXPECT_GE(r.calls[10], 1) << "changed and moved to another slot";
  r.calls.erase(10);
  EXPECT_EQ(r.calls, (std::map<U64, int>{{7, 1}, {9, 1}, {90001, 1}, {90002, 1}}));
  EXPECT_EQ(r.copy, f.model);
  // Drained to a few keys, the writer shrinks and moves the survivors: a
  // moved key is no change. (The shadow follows each removal: a key moved
  // twice before it looks would be reported.) The drain follows an
  // iteration of the shadow, whose local index halves under it: next()
  // from the key just removed finds its successor, and none is skipped.
  U32 before = f.w->capacity();
  r.calls.clear();
  for (bool more = s.first(v, hint); more; more = s.next(v.key(), v, hint)) {
    U64 k = v.key().raw();
    if (k % 100 == 0 || k == 7 || k > 3000) continue;
    f.remove(k);
    f.pump(s);
  }
  ASSERT_LT(f.w->capacity(), before) << "the writer did not shrink";
  for (U64 k = 1; k <= 3000; ++k) EXPECT_EQ(r.calls[k], k % 100 && k != 7 ? 1 : 0) << k;
  EXPECT_EQ(r.copy, f.model);
  EXPECT_EQ(floodContents(s), f.model);
  f.pump(ks);
  EXPECT_EQ(floodContents(ks), f.model);
  Zolm::Reader::Counters c = s.readerCounters();
  EXPECT_TRUE(c.moves && c.localSlotShrinks && c.localBucketShrinks) << c.moves << " " << c.localSlotShrinks;
  EXPECT_LE(s.localCapacity(), std::max(f.w->capacity(), 4 * U32(f.model.size()) + 256));
  EXPECT_EQ(c.failedNotifications, 0u);
}

// The writer grows after the shadow's reader mapped the slots and before
// the shadow takes its queue position: only the synchronisation's reads
// find the added slots. Then notifications off (nobody armed meanwhile)
// and on again: it catches up on what was written after its last check.
TEST(Shadow, CatchesUpOnSlotsGrownWhileItAttachedAndOnWhatItMissedWhileSilent) {
  ShmRoot root;
  Fixture f;
  U32 const first = f.w->capacity();
  for (U64 k = 1; k <= first; ++k) f.write(k, 1, 1);
  ASSERT_EQ(f.w->capacity(), first) << "full, not grown yet";
  Quiv::DebugHandler* h = Quiv::Platform::getDebugHandler("shadow-attach-test");
  Replay r;
  FloodShadow s(h, TABLE, f.loop, false, r.callbacks());
  r.s = &s;
  {
    bool grown = false;
    TraceHook hook(h, 0x2, [&](unsigned, std::string_view msg) {
      if (grown || msg.find("capacity:") == std::string_view::npos) return;  // the reader mapped the table
      grown = true;
      for (U64 k = first + 1; k <= 2 * first; ++k) f.write(k, 2, 2);
    });
    ASSERT_TRUE(s.initialize("test"));
    ASSERT_TRUE(grown && f.w->capacity() > first);
  }
  f.pump(s);
  EXPECT_EQ(floodContents(s), f.model);
  EXPECT_EQ(r.copy, f.model);
  s.notifyingIs(false);
  f.write(1, 3, 3);
  f.pump(s);  // woken for the arm it sent before
  for (int i = 0; i < 70; ++i) f.loop.runOnce(10);  // its backstop checks are over
  f.write(2, 4, 4);
  s.notifyingIs(true);
  f.pump(s);
  EXPECT_EQ(floodContents(s), f.model);
}

// Statuses through a life; a deferred detach replays every key (lookups
// answer not found meanwhile), a forced detach finishes it.
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
  std::vector<Mem::MountStatus> statuses{s.mountStatus()};
  s.yieldTimeIs(1e-6);  // small slices: the synchronisation spans several loop turns
  ASSERT_TRUE(s.initialize("test"));
  statuses.push_back(s.mountStatus());
  f.pump(s);
  statuses.push_back(s.mountStatus());
  EXPECT_EQ(synced, 1);
  s.detach(false);
  f.loop.runOnce(0);  // part of the flush: 20000 keys take more than one slice
  statuses.push_back(s.mountStatus());
  EXPECT_DEATH(s.detach(false), "expected only forced detach during asynchronous flush");
  s.detach(true);  // forces the rest
  statuses.push_back(s.mountStatus());
  s.detach(true);  // already detached: nothing happens
  EXPECT_EQ(statuses, (std::vector{Mem::notMounted, Mem::mounted, Mem::synced, Mem::flushing, Mem::notMounted}));
  EXPECT_EQ(std::tuple(deleted, flushed.size(), foundDuringFlush), std::tuple(1, 20000u, false));
  ASSERT_TRUE(s.initialize("again"));
  f.pump(s);
  EXPECT_EQ(floodContents(s), f.model);
}

// The writer goes away: the shadow keeps its copy, re-attaches to the next
// writer by itself and is told only what changed meanwhile, also when that
// writer re-formats the files under a new hash seed.
TEST(Shadow, ReattachesToTheNextWriterAndReportsOnlyWhatChanged) {
  ShmRoot root;
  Fixture f;
  for (U64 k = 1; k <= 500; ++k) f.write(k, 1, 1);
  Replay r;
  FloodShadow s(nullptr, TABLE, f.loop, false, r.callbacks());
  r.s = &s;
  ASSERT_TRUE(s.initialize("test"));
  f.pump(s);
  f.dropWriter(s);
  EXPECT_EQ(s.mountStatus(), Mem::notMounted);
  L3FloodEntryConfig v;
  EXPECT_TRUE(s.lookup(floodKey(5), v)) << "the local copy is kept";
  r.calls.clear();
  f.startWriter();  // keeps the files and their entries
  f.remove(5);
  f.write(6, 9, 9);
  f.write(501, 1, 1);
  ASSERT_TRUE(VexaTest::pump(f.loop, [&] { return s.connected(); }));
  f.pump(s);
  EXPECT_EQ(floodContents(s), f.model);
  EXPECT_EQ(r.copy, f.model);
  EXPECT_EQ(r.calls, (std::map<U64, int>{{5, 1}, {6, 1}, {501, 1}}));
  EXPECT_EQ(s.mountStatus(), Mem::synced);
  EXPECT_GE(s.readerCounters().disconnects, 1u);
  // Re-formatted under a new seed: the kept copy is re-indexed, lookups find what iteration shows.
  f.dropWriter(s);
  ASSERT_TRUE(patchFile(Mem::RootPath(nullptr, TABLE).filePath("slots"), 0, "garbage!", 8));
  f.model.clear();
  f.startWriter();
  ASSERT_EQ(f.w->writerCounters().reformats, 1u);
  for (U64 k = 1; k <= 600; k += 2) f.write(k, 3, 3);
  ASSERT_TRUE(VexaTest::pump(f.loop, [&] { return s.connected(); }));
  f.pump(s);
  EXPECT_EQ(floodContents(s), f.model);
  EXPECT_EQ(r.copy, f.model);
  for (U64 k = 1; k <= 601; ++k) EXPECT_EQ(s.lookup(floodKey(k), v), f.model.count(k) == 1) << k;
  EXPECT_TRUE(s.validate()) << s.lastError();
}

}  // namespace
}  // namespace vexa_shadow_test
