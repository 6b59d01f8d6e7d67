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

#include "Zolm/Instantiations.h"
#include "Zolm/TestTables.h"

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
    Zolm::WriterConfig c;
    c.maxSlots = maxSlots;
    w = std::make_unique<FloodWriter>(nullptr, TABLE, c);
    w->initialize();
    w->pokt().loopIs(&loop);
  }
  void write(U64 k, U32 list, U32 members) {
    L3FloodEntryConfig e = floodEntry(k, list);
    e.memberCount_ = members;
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
    if (s->lookup(k, v)) copy[k.raw()] = {v.floodListId_, v.memberCount_};
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
    EXPECT_TRUE(m.emplace(v.key().raw(), std::make_pair(v.floodListId_, v.memberCount_)).second) << "twice";
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

INSTANTIATE_TEST_SUITE_P(Shadow, ShadowModes, ::testing::Values(false, true),
                         [](auto const& info) { return info.param ? "KeyShadow" : "ValueShadow"; });

}  // namespace
