// Shadows and key shadows in their own processes follow a writer process
// under a seeded random load: from the start, from the middle of the load,
// and through a stall long enough to fall out of the queue's live window;
// the writer is killed mid-load and replaced. When the last writer is done,
// every shadow holds exactly the writer's table, and a client that applied
// each change callback by looking the key up again holds it too.
//
// And the cost of following: an idle shadow blocks in its loop; a burst of
// writes wakes it a bounded number of times.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>

#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_shadow_test {

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodShadow = Zolm::ZolmShadow<FloodOps>;
using Clock = std::chrono::steady_clock;
constexpr char const* TABLE = "vexaswitch/tables/test/shadowed";
constexpr int FOLLOWERS = 6;

using Contents = FloodContents;

U64 digestOf(Contents const& m) {
  U64 h = 1469598103934665603ull;
  for (auto const& [k, v] : m)
    for (U64 w : {k, U64(v.first), U64(v.second)}) h = (h ^ w) * 1099511628211ull;
  return h ^ m.size();
}

struct FollowerReport {
  std::atomic<bool> synced, done;
  std::atomic<int> error;
  std::atomic<U64> digest, replayDigest, entries, callbacks, wakeups, disconnects, behind, burstWakeups, idleCpuUs;
};
struct Shared {
  std::atomic<bool> ready, go, loadDone, stop, burstDone;
  std::atomic<U64> ops, finalSeq, finalDigest, finalEntries;
  std::atomic<U32> minCap, maxCap;
  FollowerReport f[FOLLOWERS];
};

Zolm::WriterConfig config() { return {.maxSlots = 1u << 13}; }

// A random write, update or remove; fills and drains in phases so that the
// slot table and the buckets grow and shrink.
void randomOp(FloodWriter& w, std::mt19937& rng, U64 i, Shared* sh) {
  bool filling = (i / 20000) % 2 == 0;
  U64 k = 1 + rng() % 9000;
  if (rng() % 10 < (filling ? 7u : 2u)) {
    L3FloodEntryConfig e = floodEntry(k, U32(i));
    e.memberCountIs(U32(rng() % 4));  // often the same as before: an unchanged rewrite
    w.write(e);
  } else {
    w.remove(Lanx::IntfId::fromRaw(k));
  }
  if (i % 1000 == 0) {
    sh->minCap = std::min(sh->minCap.load(), w.capacity());
    sh->maxCap = std::max(sh->maxCap.load(), w.capacity());
    ::usleep(500);  // paced, so that the load spans the followers' lives
  }
  sh->ops = i;
}

// The first writer: fills, waits for the followers, then loads until it is
// killed.
void firstWriter(Shared* sh) {
  FloodWriter w(nullptr, TABLE, config());
  w.initialize();
  for (U64 k = 1; k <= 3000; ++k) w.write(floodEntry(k, 1));
  sh->ready = true;
  while (!sh->go) {
    w.pokt().poll();
    ::usleep(500);
  }
  std::mt19937 rng(21);
  for (U64 i = 0;; ++i) randomOp(w, rng, i, sh);
}

// The next writer: takes the table over (kept or re-formatted), loads, and
// then stays, answering the followers, until the test is done.
void secondWriter(Shared* sh) {
  FloodWriter w(nullptr, TABLE, config());
  w.initialize();
  std::mt19937 rng(22);
  for (U64 i = 0; i < 150000; ++i) randomOp(w, rng, 100000 + i, sh);
  Contents final = floodContents(w);
  sh->finalDigest = digestOf(final);
  sh->finalEntries = final.size();
  sh->finalSeq = w.nimbr().tailSeq();
  sh->loadDone = true;
  while (!sh->stop) {
    w.pokt().poll();
    ::usleep(500);
  }
}

void follower(Shared* sh, int id, bool keyShadow, U64 stallAtOp) {
  FollowerReport& rep = sh->f[id];
  Quiv::EventLoop loop;
  Contents replay;
  U64 callbacks = 0;
  FloodShadow* sp = nullptr;
  Zolm::ShadowCallbacks<Lanx::IntfId> cb;
  cb.changed = [&](Lanx::IntfId const& k) {
    ++callbacks;
    L3FloodEntryConfig v;
    if (sp->lookup(k, v)) replay[k.raw()] = {v.floodListId(), v.memberCount()};
    else replay.erase(k.raw());
  };
  cb.syncComplete = [&] { rep.synced = true; };
  FloodShadow s(nullptr, TABLE, loop, keyShadow, cb);
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
        if (Clock::now() > deadline) {
          rep.error = 2;
          loop.stop();
        }
        if (sh->loadDone && s.initialized() && s.syncer().done() && s.queue().position() > sh->finalSeq) loop.stop();
      },
      std::chrono::milliseconds(5));
  loop.run();
  Contents mine = floodContents(s);
  rep.digest = digestOf(mine);
  rep.entries = mine.size();
  rep.replayDigest = digestOf(replay);
  rep.callbacks = callbacks;
  rep.wakeups = s.readerCounters().wakeups;
  rep.disconnects = s.readerCounters().disconnects;
  rep.behind = s.queue().behindCount();
  rep.done = true;
}

TEST(ShadowProcesses, ConvergeOnTheWritersTableThroughAKilledWriterLateStartsAndStalls) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  sh->minCap = ~0u;
  pid_t w1 = spawn([&] { firstWriter(sh); });
  ASSERT_TRUE(waitFor([&] { return sh->ready.load(); }, std::chrono::seconds(10)));
  struct Plan {
    bool keyShadow;
    U64 stallAtOp;  // in the second writer's load
    char const* name;
  };
  Plan plans[FOLLOWERS] = {{false, 0, "shadow from the start"},   {true, 0, "key shadow from the start"},
                           {false, 180000, "stalled shadow"},     {true, 180000, "stalled key shadow"},
                           {false, 0, "late shadow"},             {true, 0, "late key shadow"}};
  std::vector<pid_t> pids;
  for (int i = 0; i < 4; ++i) pids.push_back(spawn([&, i] { follower(sh, i, plans[i].keyShadow, plans[i].stallAtOp); }));
  ASSERT_TRUE(waitFor([&] { return sh->f[0].synced && sh->f[1].synced && sh->f[2].synced && sh->f[3].synced; },
                      std::chrono::seconds(20)));
  sh->go = true;
  ASSERT_TRUE(waitFor([&] { return sh->ops >= 30000; }, std::chrono::seconds(30)));
  ::kill(w1, SIGKILL);  // anywhere in a write
  reap(w1);
  pid_t w2 = spawn([&] { secondWriter(sh); });
  ASSERT_TRUE(waitFor([&] { return sh->ops >= 150000; }, std::chrono::seconds(60)));
  for (int i = 4; i < 6; ++i) pids.push_back(spawn([&, i] { follower(sh, i, plans[i].keyShadow, 0); }));
  bool allDone = waitFor(
      [&] {
        for (auto& f : sh->f)
          if (!f.done && !f.error) return false;
        return true;
      },
      std::chrono::seconds(120));
  sh->stop = true;
  for (pid_t p : pids) reap(p);
  reap(w2);
  EXPECT_TRUE(allDone);
  ASSERT_TRUE(sh->loadDone);
  fmt::print("final table: {} entries; writer capacity between {} and {}\n", sh->finalEntries.load(), sh->minCap.load(),
             sh->maxCap.load());
  for (int i = 0; i < FOLLOWERS; ++i) {
    FollowerReport& f = sh->f[i];
    SCOPED_TRACE(plans[i].name);
    fmt::print("{:26} {} entries, {} callbacks, {} wake-ups, {} disconnects, {} behind\n", plans[i].name,
               f.entries.load(), f.callbacks.load(), f.wakeups.load(), f.disconnects.load(), f.behind.load());
    EXPECT_EQ(f.error.load(), 0);
    EXPECT_TRUE(f.done);
    EXPECT_EQ(f.entries.load(), sh->finalEntries.load());
    EXPECT_EQ(f.digest.load(), sh->finalDigest.load());
    EXPECT_EQ(f.replayDigest.load(), sh->finalDigest.load()) << "the callbacks missed a change";
    if (i < 4) {
      EXPECT_GE(f.disconnects.load(), 1u) << "never saw the writer go";
    }
    if (plans[i].stallAtOp) {
      EXPECT_GE(f.behind.load(), 1u) << "never fell out of the live window";
    }
  }
  EXPECT_LT(sh->minCap.load(), sh->maxCap.load()) << "the table never grew or shrank";
  freeShared(sh);
}

// A shadow with nothing to do blocks; a burst of 1e5 writes costs each
// shadow a few wake-ups, not one per write. The wake-up socket is the one
// the writer announces in its owner file, cleared when it leaves.
TEST(ShadowProcesses, IdleShadowsBlockAndABurstWakesThemABoundedNumberOfTimes) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  FloodWriter w(nullptr, TABLE, config());
  w.initialize();
  std::string const socket = SharedMem::OwnerFile(w.rootPath()).shocketInfo().toString();
  EXPECT_NE(socket.find("@vexa.pokt."), std::string::npos) << socket;
  for (U64 k = 1; k <= 2000; ++k) w.write(floodEntry(k, 1));
  std::vector<pid_t> pids;
  for (int i = 0; i < 2; ++i) {
    pids.push_back(spawn([&, i] {
      FollowerReport& rep = sh->f[i];
      Quiv::EventLoop loop;
      Zolm::ShadowCallbacks<Lanx::IntfId> cb;
      cb.syncComplete = [&] { rep.synced = true; };
      FloodShadow s(nullptr, TABLE, loop, i == 1, cb);
      if (!s.initialize("test")) {
        rep.error = 1;
        return;
      }
      while (!sh->go) loop.runOnce(5);
      // Idle: the writer writes nothing for 300 ms.
      auto cpuUs = [] {
        rusage r;
        ::getrusage(RUSAGE_SELF, &r);
        return U64(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000 + U64(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
      };
      U64 const cpuBefore = cpuUs();
      for (auto idleEnd = Clock::now() + std::chrono::milliseconds(300); Clock::now() < idleEnd;) loop.runOnce(50);
      rep.idleCpuUs = cpuUs() - cpuBefore;
      U64 wakesBefore = s.readerCounters().wakeups;
      rep.entries = 1;  // idle measured
      auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!(sh->burstDone && s.queue().position() > sh->finalSeq) && Clock::now() < deadline) loop.runOnce(10);
      rep.burstWakeups = s.readerCounters().wakeups - wakesBefore;
      rep.digest = digestOf(floodContents(s));
      rep.done = true;
    }));
  }
  auto polled = [&](auto done) { return [&w, done] { return w.pokt().poll(), done(); }; };
  ASSERT_TRUE(waitFor(polled([&] { return sh->f[0].synced && sh->f[1].synced; }), std::chrono::seconds(20)));
  sh->go = true;
  ASSERT_TRUE(waitFor([&] { return sh->f[0].entries == 1 && sh->f[1].entries == 1; }, std::chrono::seconds(10)));
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; ++i) w.write(floodEntry(1 + rng() % 4000, U32(i)));
  sh->finalSeq = w.nimbr().tailSeq();
  sh->burstDone = true;
  EXPECT_TRUE(waitFor(polled([&] { return sh->f[0].done && sh->f[1].done; }), std::chrono::seconds(30)));
  for (pid_t p : pids) reap(p);
  U64 want = digestOf(floodContents(w));
  for (int i = 0; i < 2; ++i) {
    FollowerReport& f = sh->f[i];
    fmt::print("{}: idle CPU {} us in 300 ms; {} wake-ups for 100000 writes\n", i ? "key shadow" : "shadow",
               f.idleCpuUs.load(), f.burstWakeups.load());
    EXPECT_EQ(f.error.load(), 0);
    EXPECT_LT(f.idleCpuUs.load(), 30000u) << "an idle shadow spins";
    EXPECT_GT(f.burstWakeups.load(), 0u);
    EXPECT_LT(f.burstWakeups.load(), 2000u) << "about one wake-up per write";
    EXPECT_EQ(f.digest.load(), want);
  }
  w.detach();
  EXPECT_TRUE(SharedMem::OwnerFile(w.rootPath()).shocketInfo().empty()) << "cleared when the writer leaves";
  freeShared(sh);
}

}  // namespace

}  // namespace vexa_shadow_test
