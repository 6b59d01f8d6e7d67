// Shadows and key shadows in their own processes follow a writer process
// under a seeded random load: from the start, through the writer's kill
// mid-load and its replacement, and through a stall long enough to fall out
// of the queue's live window; or from the middle of the load. When the last writer is done,
// every shadow holds exactly the writer's table, and a client that applied
// each change callback by looking the key up again holds it too.
// (What a burst and an idle stretch cost a shadow, and the arms a writer's
// event loop answers: bench/vexa_shadow_bench.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>

#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_shadow_test {

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using Clock = std::chrono::steady_clock;
constexpr char const* TABLE = "vexaswitch/tables/test/shadowed";
constexpr int FOLLOWERS = 4;

U64 digestOf(FloodContents const& m) {
  U64 h = 1469598103934665603ull;
  for (auto const& [k, v] : m)
    for (U64 w : {k, U64(v.first), U64(v.second)}) h = (h ^ w) * 1099511628211ull;
  return h ^ m.size();
}

struct FollowerReport {
  std::atomic<bool> synced, done;
  std::atomic<int> error;
  std::atomic<U64> digest, replayDigest, entries, disconnects, behind;
};
struct Shared {
  std::atomic<bool> ready, go, loadDone, stop;
  std::atomic<U64> ops, finalSeq, finalDigest, finalEntries;
  std::atomic<U32> minCap, maxCap;
  FollowerReport f[FOLLOWERS];
};

// The load: random writes (often unchanged rewrites) and removes, filling
// and draining in phases so that slots and buckets grow and shrink; paced,
// so that it spans the followers' lives. The first writer runs until
// killed; the second loads 150000 operations, publishes its
// final table, and answers the followers until the test is done.
void writerMain(Shared* sh, bool second) {
  FloodWriter w(nullptr, TABLE, {.maxSlots = 1u << 13});
  w.initialize();
  auto serve = [&](std::atomic<bool> const& until) {
    for (; !until; ::usleep(500)) w.pokt().poll();
  };
  if (!second) {
    for (U64 k = 1; k <= 3000; ++k) w.write(floodEntry(k, 1));
    sh->ready = true;
    serve(sh->go);
  }
  std::mt19937 rng(second ? 22 : 21);
  for (U64 i = second ? 100000 : 0; !second || i < 250000; ++i) {
    U64 k = 1 + rng() % 9000;
    if (rng() % 10 < ((i / 20000) % 2 == 0 ? 7u : 2u)) {
      L3FloodEntryConfig e = floodEntry(k, U32(i));
      e.memberCountIs(U32(rng() % 4));
      w.write(e);
    } else {
      w.remove(floodKey(k));
    }
    if (i % 1000 == 0) {
      sh->minCap = std::min(sh->minCap.load(), w.capacity());
      sh->maxCap = std::max(sh->maxCap.load(), w.capacity());
      ::usleep(500);
    }
    sh->ops = i;
  }
  FloodContents final = floodContents(w);
  sh->finalDigest = digestOf(final);
  sh->finalEntries = final.size();
  sh->finalSeq = w.nimbr().tailSeq();
  sh->loadDone = true;
  serve(sh->stop);
}

void follower(Shared* sh, int id, bool keyShadow, U64 stallAtOp) {
  FollowerReport& rep = sh->f[id];
  Quiv::EventLoop loop;
  FloodContents replay;
  Zolm::ZolmShadow<FloodOps>* sp = nullptr;
  Zolm::ShadowCallbacks<Lanx::IntfId> cb;
  cb.changed = [&](Lanx::IntfId const& k) {
    L3FloodEntryConfig v;
    if (sp->lookup(k, v)) replay[k.raw()] = {v.floodListId(), v.memberCount()};
    else replay.erase(k.raw());
  };
  cb.syncComplete = [&] { rep.synced = true; };
  Zolm::ZolmShadow<FloodOps> s(nullptr, TABLE, loop, keyShadow, cb);
  sp = &s;
  if (!waitFor([&] { return s.initialize("test"); }, std::chrono::seconds(20))) {
    rep.error = 1;
    return;
  }
  bool stalled = stallAtOp == 0;
  auto deadline = Clock::now() + std::chrono::seconds(90);
  loop.timerIs(
      std::chrono::milliseconds(5),
      [&] {
        if (!stalled && s.connected() && sh->ops >= stallAtOp) {
          stalled = true;
          ::usleep(400000);  // the whole loop stops while the writer laps the live window
        }
        if (Clock::now() > deadline) rep.error = 2, loop.stop();
        if (sh->loadDone && s.initialized() && s.syncer().done() && s.queue().position() > sh->finalSeq) loop.stop();
      },
      std::chrono::milliseconds(5));
  loop.run();
  FloodContents mine = floodContents(s);
  rep.digest = digestOf(mine);
  rep.entries = mine.size();
  rep.replayDigest = digestOf(replay);
  rep.disconnects = s.readerCounters().disconnects;
  rep.behind = s.queue().behindCount();
  rep.done = true;
}

TEST(ShadowProcesses, ConvergeOnTheWritersTableThroughAKilledWriterLateStartsAndStalls) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  sh->minCap = ~0u;
  Children children;
  pid_t w1 = children.add(spawn([&] { writerMain(sh, false); }));
  ASSERT_TRUE(waitFor([&] { return sh->ready.load(); }, std::chrono::seconds(10)));
  struct Plan {
    bool keyShadow;
    U64 stallAtOp;  // in the second writer's load
    char const* name;
  } const plans[FOLLOWERS] = {{false, 180000, "stalled shadow"},
                              {true, 180000, "stalled key shadow"},
                              {false, 0, "late shadow"},
                              {true, 0, "late key shadow"}};
  auto start = [&](int i) { children.add(spawn([&, i] { follower(sh, i, plans[i].keyShadow, plans[i].stallAtOp); })); };
  for (int i = 0; i < 2; ++i) start(i);
  ASSERT_TRUE(waitFor([&] { return sh->f[0].synced && sh->f[1].synced; }, std::chrono::seconds(20)));
  sh->go = true;
  ASSERT_TRUE(waitFor([&] { return sh->ops >= 30000; }, std::chrono::seconds(30)));
  ::kill(w1, SIGKILL);  // anywhere in a write
  reap(w1);
  children.pids.erase(children.pids.begin());
  children.add(spawn([&] { writerMain(sh, true); }));
  ASSERT_TRUE(waitFor([&] { return sh->ops >= 150000; }, std::chrono::seconds(60)));
  for (int i = 2; i < 4; ++i) start(i);
  EXPECT_TRUE(waitFor([&] { return std::ranges::all_of(sh->f, [](auto& f) { return f.done || f.error; }); },
                      std::chrono::seconds(120)));
  sh->stop = true;
  for (pid_t p : children.pids) reap(p);
  children.pids.clear();
  ASSERT_TRUE(sh->loadDone);
  for (int i = 0; i < FOLLOWERS; ++i) {
    FollowerReport& f = sh->f[i];
    SCOPED_TRACE(plans[i].name);
    EXPECT_TRUE(f.done && f.error == 0) << "error " << f.error.load();
    EXPECT_EQ(f.entries.load(), sh->finalEntries.load());
    EXPECT_EQ(f.digest.load(), sh->finalDigest.load());
    EXPECT_EQ(f.replayDigest.load(), sh->finalDigest.load()) << "the callbacks missed a change";
    EXPECT_TRUE(i >= 2 || f.disconnects.load() >= 1) << "never saw the writer go";
    EXPECT_TRUE(!plans[i].stallAtOp || f.behind.load() >= 1) << "never fell out of the live window";
  }
  EXPECT_LT(sh->minCap.load(), sh->maxCap.load()) << "the table never grew or shrank";
  freeShared(sh);
}

}  // namespace

}  // namespace vexa_shadow_test
