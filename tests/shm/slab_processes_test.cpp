// The per-VLAN ACL table (values in slabs) across processes: readers and a
// key shadow while the writer replaces values with ones of other sizes,
// removes them, and its slabs grow, shrink and compact; writers killed in
// the middle of that; and a file system that is full when a slab grows.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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
  long version = rng() % 10 < ((i / 3000) % 2 ? 8u : 3u) ? -1 : long(1 + rng() % 60000);  // draining : filling
  if (version < 0) w.remove(VlanId(U16(vlan)));
  else w.write(aclValue(vlan, U32(version)));
  if (versions) versions[vlan] = version;
}

struct Shared {
  std::atomic<bool> stop{false};
  std::atomic<long> versions[VLANS + 1];
  std::atomic<U64> reads[3];
  char error[3][512];
};

// A reader (`id` 0, 1): every value it gets by lookup or iteration was
// written for its key. A key shadow (2): the same while it follows the
// queue, and at the end exactly the writer's final contents. Empty, or
// what went wrong.
std::string follower(Shared* sh, int id) {
  Quiv::EventLoop loop;
  Zolm::ZolmReader<AclOps> r(nullptr, TABLE);
  Zolm::ZolmShadow<AclOps> s(nullptr, TABLE, loop, true);
  if (!waitFor([&] { return id < 2 ? r.initialize() : s.initialize("test"); }, std::chrono::seconds(10)))
    return "no attach";
  std::mt19937 rng(100 + id);
  AclValue v;
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!sh->stop || (id == 2 && (!s.syncer().done() || !s.quiesced()))) {
    if (Clock::now() > deadline) return "did not settle";
    if (id == 2) loop.runOnce(2);
    for (int i = 0; i < 200; ++i, ++sh->reads[id]) {
      U32 vlan = 1 + rng() % VLANS;
      bool found = false;
      AclValue const* p = id < 2 ? r.lookup(VlanId(U16(vlan)), found) : (found = s.lookup(VlanId(U16(vlan)), v), &v);
      if (found && aclVersion(*p, vlan) < 0) return "lookup got " + Zolm::show(*p);
    }
    Zolm::IterHint hint;
    for (bool more = id < 2 && r.first(v, hint); more; more = r.next(v.key(), v, hint), ++sh->reads[id])
      if (aclVersion(v, v.key().value()) < 0) return "iteration got " + Zolm::show(v);
  }
  for (int settle = 0; id == 2 && settle < 50; ++settle) loop.runOnce(2);
  for (U32 vlan = 1; id == 2 && vlan <= VLANS; ++vlan) {
    bool found = s.lookup(VlanId(U16(vlan)), v);
    long want = sh->versions[vlan];
    if (found != (want >= 0) || (found && aclVersion(v, vlan) != want))
      return fmt::format("vlan {}: shadow {} writer {}", vlan, found ? Zolm::show(v) : "none", want);
  }
  return "";
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
  Children kids;
  for (int k = 0; k < 3; ++k)
    kids.add(spawn([&, k] {
      std::string why;
      try {
        why = follower(sh, k);
      } catch (std::exception const& e) {
        why = e.what();
      }
      std::snprintf(sh->error[k], sizeof sh->error[k], "%s", why.c_str());
    }));
  ASSERT_TRUE(waitFor([&] { return sh->reads[0] > 0 && sh->reads[1] > 0; }, std::chrono::seconds(10)));
  auto end = Clock::now() + std::chrono::seconds(2);
  U64 i = 2000;
  for (; Clock::now() < end; ++i) {
    churnStep(w, rng, i, sh->versions);
    if (i % 64 == 0) w.pokt().poll();
  }
  ASSERT_TRUE(w.validate()) << w.lastError();
  sh->stop = true;
  // The writer keeps polling its wake-ups while the key shadow settles.
  for (int k = 0, status = 0; k < 3; ++k) {
    pid_t& pid = kids.pids[k];
    if (waitFor([&] { return w.pokt().poll(), ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30)))
      pid = 0;  // reaped; a hung one is killed at the end
    EXPECT_EQ(pid ? "hung" : describeStatus(status), "exit 0") << k;
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
  constexpr int KILLS = 160;
  constexpr U32 SEED = 0x51ab;
  std::mt19937 rng(SEED);
  int kept = 0, reformatted = 0;
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
    ASSERT_TRUE(k % 2 == 0 || attached.await());
    ::usleep(k % 2 ? rng() % 2000 : 1000 + rng() % 4000);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(reapDescribed(pid), "killed by signal 9");
    AclWriter w(nullptr, TABLE, config());
    ASSERT_NO_THROW(w.initialize());
    w.writerCounters().reformats ? ++reformatted : ++kept;
    ASSERT_TRUE(w.validate()) << w.lastError();
    U32 n = 0;
    forEachEntry(w, [&](AclValue const& v, Zolm::IterHint const&) {
      ++n;
      EXPECT_GE(aclVersion(v, v.key().value()), 0) << Zolm::show(v);
    });
    ASSERT_EQ(n, w.members());
    ASSERT_FALSE(HasFailure());
  }
  fmt::print("{} kills: kept {}, re-formatted {}\n", KILLS, kept, reformatted);
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
