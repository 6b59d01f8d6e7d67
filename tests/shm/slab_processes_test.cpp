// The per-VLAN ACL table (values in slabs) across processes: readers and a
// key shadow while the writer replaces values with ones of other sizes,
// removes them, and its slabs grow, shrink and compact; writers killed in
// the middle of that; and a file system that is full when a slab grows.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"

namespace vexa_slab_processes_test {

namespace {

using namespace VexaTest;
using Bridging::VlanId;
using Clock = std::chrono::steady_clock;

constexpr char const* TABLE = "vexaswitch/tables/test/aclproc";
constexpr U32 VLANS = 600;

Zolm::WriterConfig config() { return {.maxSlots = 1024}; }

// One churn step: in alternating phases the table fills and drains, so that
// slots and slabs grow, shrink and compact; a replace picks a new version,
// and with it another size (and slab).
void churnStep(AclWriter& w, std::mt19937& rng, U64 i, std::atomic<long>* versions = nullptr) {
  U32 vlan = 1 + rng() % VLANS;
  bool draining = (i / 3000) % 2 == 1;
  if (rng() % 10 < (draining ? 8u : 3u)) {
    w.remove(VlanId(U16(vlan)));
    if (versions) versions[vlan] = -1;
  } else {
    U32 version = 1 + rng() % 60000;
    w.write(aclValue(vlan, version));
    if (versions) versions[vlan] = version;
  }
}

struct Shared {
  std::atomic<bool> stop{false}, done{false};
  std::atomic<long> versions[VLANS + 1];
  std::atomic<U64> reads[3];
  char error[3][512];
};

void report(Shared* sh, int id, std::string const& what) {
  std::snprintf(sh->error[id], sizeof sh->error[id], "%s", what.c_str());
}

// Every value a reader gets must be one that was written for its key.
void readerLoop(Shared* sh, int id) {
  Zolm::ZolmReader<AclOps> r(nullptr, TABLE);
  if (!waitFor([&] { return r.initialize(); }, std::chrono::seconds(10))) return report(sh, id, "no attach");
  std::mt19937 rng(100 + id);
  try {
    while (!sh->stop) {
      for (int i = 0; i < 200; ++i) {
        U32 vlan = 1 + rng() % VLANS;
        bool found;
        AclValue const* v = r.lookup(VlanId(U16(vlan)), found);
        if (found && aclVersion(*v, vlan) < 0) return report(sh, id, "lookup got " + Zolm::show(*v));
        ++sh->reads[id];
      }
      AclValue v;
      Zolm::IterHint hint;
      for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) {
        if (aclVersion(v, v.key().value()) < 0) return report(sh, id, "iteration got " + Zolm::show(v));
        ++sh->reads[id];
      }
    }
  } catch (std::exception const& e) {
    report(sh, id, std::string("reader: ") + e.what());
  }
}

// A key shadow follows the queue, serves values from shared memory while
// the writer churns, and ends with exactly the writer's final contents.
void keyShadowLoop(Shared* sh, int id) {
  Quiv::EventLoop loop;
  Zolm::ZolmShadow<AclOps> s(nullptr, TABLE, loop, true);
  if (!waitFor([&] { return s.initialize("test"); }, std::chrono::seconds(10))) return report(sh, id, "no attach");
  std::mt19937 rng(200);
  try {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!sh->done || !s.syncer().done() || !s.quiesced()) {
      if (Clock::now() > deadline) return report(sh, id, "did not settle");
      loop.runOnce(2);
      for (int i = 0; i < 50; ++i) {
        U32 vlan = 1 + rng() % VLANS;
        AclValue v;
        if (s.lookup(VlanId(U16(vlan)), v) && aclVersion(v, vlan) < 0)
          return report(sh, id, "shadow got " + Zolm::show(v));
        ++sh->reads[id];
      }
    }
    for (int settle = 0; settle < 50; ++settle) loop.runOnce(2);
    for (U32 vlan = 1; vlan <= VLANS; ++vlan) {
      AclValue v;
      bool found = s.lookup(VlanId(U16(vlan)), v);
      long want = sh->versions[vlan];
      if (found != (want >= 0) || (found && aclVersion(v, vlan) != want))
        return report(sh, id, fmt::format("vlan {}: shadow {} writer {}", vlan, found ? Zolm::show(v) : "none", want));
    }
  } catch (std::exception const& e) {
    report(sh, id, std::string("key shadow: ") + e.what());
  }
}

TEST(SlabProcesses, ReadersAndAKeyShadowNeverSeeATornOrForeignValue) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  for (auto& v : sh->versions) v = -1;
  AclWriter w(nullptr, TABLE, config());
  ASSERT_TRUE(w.initialize());
  std::mt19937 rng(7);
  for (U64 i = 0; i < 2000; ++i) churnStep(w, rng, i, sh->versions);
  pid_t kids[3] = {spawn([&] { readerLoop(sh, 0); }), spawn([&] { readerLoop(sh, 1); }),
                   spawn([&] { keyShadowLoop(sh, 2); })};
  ASSERT_TRUE(waitFor([&] { return sh->reads[0] > 0 && sh->reads[1] > 0; }, std::chrono::seconds(10)));
  auto end = Clock::now() + std::chrono::seconds(2);
  U64 i = 2000;
  for (; Clock::now() < end; ++i) {
    churnStep(w, rng, i, sh->versions);
    if (i % 64 == 0) w.pokt().poll();
  }
  ASSERT_TRUE(w.validate()) << w.lastError();
  sh->stop = true;
  sh->done = true;
  // The writer keeps polling its wake-ups while the key shadow settles.
  for (int k = 0; k < 3; ++k) {
    int status = 0;
    bool ended = waitFor([&] { return w.pokt().poll(), ::waitpid(kids[k], &status, WNOHANG) == kids[k]; },
                         std::chrono::seconds(30));
    if (!ended && kids[k] > 0) ::kill(kids[k], SIGKILL);
    EXPECT_EQ(ended ? describeStatus(status) : reapDescribed(kids[k]) + " (hung)", "exit 0") << k;
    EXPECT_STREQ(sh->error[k], "") << k;
  }
  fmt::print("{} writer ops; reads {} {}, key shadow {}\n", i, sh->reads[0].load(), sh->reads[1].load(),
             sh->reads[2].load());
  EXPECT_GT(w.writerCounters().shrinks, 0u);
  freeShared(sh);
}

// A writer killed at random moments of the churn: the next one keeps a
// table that validates (slab checks included) and holds only written
// values, or re-formats it; never a crash.
TEST(SlabProcesses, KilledWritersAreFollowedByASoundOrReformattedTable) {
  ShmRoot root;
  {
    AclWriter w(nullptr, TABLE, config());
    ASSERT_TRUE(w.initialize());
    std::mt19937 rng(1);
    for (U64 i = 0; i < 1500; ++i) churnStep(w, rng, i);
  }
  constexpr int KILLS = 160;
  constexpr U32 SEED = 0x51ab;
  std::mt19937 rng(SEED);
  int kept = 0, reformatted = 0;
  auto start = Clock::now();
  for (int k = 0; k < KILLS; ++k) {
    SCOPED_TRACE(::testing::Message() << "kill " << k << " seed " << SEED);
    U32 childSeed = rng();
    Pipe attached;  // every other kill lands in the churn, the others anywhere
    pid_t pid = spawn([&] {
      AclWriter w(nullptr, TABLE, config());
      w.initialize();
      attached.signal();
      std::mt19937 crng(childSeed);
      for (U64 i = crng() % 6000;; ++i) churnStep(w, crng, i);
    });
    ASSERT_GT(pid, 0);
    attached.closeWrite();
    if (k % 2) {
      ASSERT_TRUE(attached.await());
    }
    ::usleep(k % 2 ? rng() % 2000 : 1000 + rng() % 4000);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(reapDescribed(pid), "killed by signal 9");
    AclWriter w(nullptr, TABLE, config());
    ASSERT_NO_THROW(w.initialize());
    w.writerCounters().reformats ? ++reformatted : ++kept;
    ASSERT_TRUE(w.validate()) << w.lastError();
    AclValue v;
    Zolm::IterHint hint;
    U32 n = 0;
    for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint), ++n)
      ASSERT_GE(aclVersion(v, v.key().value()), 0) << Zolm::show(v);
    ASSERT_EQ(n, w.members());
  }
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%d kills in %.1f s: kept %d, re-formatted %d\n", KILLS, secs, kept, reformatted);
  EXPECT_GT(kept, KILLS / 10);
}

// The file system is full exactly when a slab must grow: the write fails
// with MemoryResourceException before anything changed, every acknowledged
// entry stays, and once space is back the table goes on.
TEST(SlabProcesses, FullFileSystemWhileASlabGrowsLosesNothing) {
  ShmRoot root;
  auto writer = [&]() -> std::string {
    AclWriter w(nullptr, TABLE, config());
    w.initialize();
    // vlan v at version 35 - 3v % 36 has 36 elements: 88 bytes, slab 29.
    auto full = [](U32 vlan) { return aclValue(vlan, 36 * 100 + 35 - (vlan * 3) % 36); };
    Bloka::SlabWriter const* s = nullptr;
    U32 vlan = 1;
    for (; !s || s->numOccupied() < s->numEntries(); ++vlan) {
      w.write(full(vlan));
      s = w.slabs()->slab(29);
    }
    if (s->numEntries() != Bloka::entriesPerPage(96)) return "slab 29 grew early";
    // Each file may keep its size, none may grow.
    struct stat st;
    ::stat(w.rootPath().filePath("slab29").c_str(), &st);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {rlim_t(st.st_size), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit";
    U32 const members = w.members();
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::string msg = thrownMessage<Quiv::MemoryResourceException>([&] { w.write(full(vlan)); });
      if (msg.find("SlabWriter-" + std::string(TABLE) + "-29::resize() failed shmem") == std::string::npos)
        return "unexpected message: " + msg;
      if (w.slotTable().inCritical()) return "critical section left set";
      if (w.members() != members) return "members changed";
      if (!w.validate()) return "invalid: " + std::string(w.lastError());
      AclValue v;
      if (w.lookup(VlanId(U16(vlan)), v)) return "the failed key is there";
      for (U32 k = 1; k < vlan; ++k)
        if (!w.lookup(VlanId(U16(k)), v) || aclVersion(v, k) < 0) return fmt::format("vlan {} lost", k);
    }
    lim.rlim_cur = RLIM_INFINITY;
    ::setrlimit(RLIMIT_FSIZE, &lim);
    for (U32 k = vlan; k < vlan + 100; ++k) w.write(full(k));
    if (!w.validate()) return "invalid after space came back: " + std::string(w.lastError());
    if (w.slabs()->slab(29)->numEntries() <= Bloka::entriesPerPage(96)) return "slab 29 did not grow";
    return "";
  };
  EXPECT_EQ(failureInChild(writer), "");
  // Another process reads every entry.
  Zolm::ZolmReader<AclOps> r(nullptr, TABLE);
  ASSERT_TRUE(r.initialize());
  EXPECT_TRUE(r.validate()) << r.lastError();
}

}  // namespace

}  // namespace vexa_slab_processes_test
