// Followers in their own processes keep a copy of a table by following its
// notification queue, woken by the writer: one from the start, one that
// starts late, one that stalls long enough to fall behind the queue's live
// window. When the writer is done, every copy equals the writer's table.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>

#include "tables/Collections.h"
#include "Zolm/Syncer.h"
#include "Zolm/TestTables.h"
#include "runtime/Pokt.h"

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<FloodOps>;
constexpr char const* TABLE = "vexaswitch/tables/test/follow";

struct FollowerReport {
  std::atomic<U64> digest, entries, wakes, records, syncs, behind, changes;
  std::atomic<bool> done;
};
struct Shared {
  std::atomic<bool> writerDone;
  std::atomic<U64> finalSeq;
  FollowerReport f[3];
};

// A digest of a table's contents that does not depend on its order.
U64 digestOf(std::map<U64, std::pair<U32, U32>> const& m) {
  U64 h = 1469598103934665603ull;
  for (auto const& [k, v] : m) {
    for (U64 w : {k, U64(v.first), U64(v.second)}) {
      h ^= w;
      h *= 1099511628211ull;
    }
  }
  return h;
}

// The follower's copy: slot -> value, as the slots were last read.
class MapCopy : public Zolm::SyncerClient {
 public:
  explicit MapCopy(FloodReader& r) : reader_(r) {}
  bool doSlot(U32 slot, U64, bool compare) override {
    L3FloodEntryConfig v;
    bool occupied = reader_.getValue(slot, v);
    auto it = bySlot_.find(slot);
    if (!occupied) {
      if (it != bySlot_.end()) {
        bySlot_.erase(it);
        ++changes_;
      }
      return true;
    }
    if (it != bySlot_.end() && compare && std::memcmp(&it->second, &v, sizeof v) == 0) return true;
    bySlot_[slot] = v;
    ++changes_;
    return true;
  }
  void doFlushSlot(U32) override {}
  void syncComplete() override { synced_ = true; }
  void flushComplete() override {}

  // By key: a key the writer moved to another slot may still be listed at
  // the old one if that slot's record has not come yet; the table holds it
  // once.
  std::map<U64, std::pair<U32, U32>> byKey() const {
    std::map<U64, std::pair<U32, U32>> m;
    for (auto const& [slot, v] : bySlot_) m[v.key().raw()] = {v.floodListId(), v.memberCount()};
    return m;
  }
  std::size_t slots() const { return bySlot_.size(); }
  U64 changes() const { return changes_; }
  bool synced() const { return synced_; }

 private:
  FloodReader& reader_;
  std::map<U32, L3FloodEntryConfig> bySlot_;
  U64 changes_ = 0;
  bool synced_ = false;
};

[[noreturn]] void followerMain(Shared* sh, int id, int stallAfterMs) {
  FollowerReport& rep = sh->f[id];
  FloodReader reader(nullptr, TABLE);
  while (!reader.initialize("follow")) ::usleep(1000);
  Nimbr::NimbrReader queue(nullptr, reader.rootPath());
  Quiv::String error;
  if (!queue.attach(error)) ::_exit(3);
  MapCopy copy(reader);
  Zolm::Syncer syncer(nullptr, queue, copy);
  Quiv::EventLoop loop;
  Pokt::ReaderPoktSm pokt(nullptr, loop);
  SharedMem::ShocketInfo info = SharedMem::OwnerFile(reader.rootPath()).shocketInfo();
  if (!pokt.connect(std::string(info.name.c_str(), info.name.size()))) ::_exit(4);
  syncer.sync(reader.capacity());
  auto start = std::chrono::steady_clock::now();
  bool stalled = false;
  auto drain = [&] {
    for (;;) {
      while (syncer.service(4096)) {
      }
      if (syncer.needResync()) {
        syncer.needResyncClear();
        syncer.sync(reader.capacity(), true);
        continue;
      }
      // Arm, then look once more: a record published between the last
      // read and the arm would otherwise wait for the next write.
      pokt.arm(queue.position() - 1);
      if (queue.tailSeq() < queue.position()) break;
    }
    if (sh->writerDone.load() && queue.position() > sh->finalSeq.load()) loop.stop();
  };
  pokt.onWakeIs([&](U64) {
    if (!stalled && stallAfterMs > 0 &&
        std::chrono::steady_clock::now() - start > std::chrono::milliseconds(stallAfterMs)) {
      stalled = true;
      ::usleep(300000);  // long enough for the writer to lap the live window
    }
    drain();
  });
  pokt.onDisconnectIs([&] { loop.stop(); });
  drain();
  // A safety net only: wake-ups drive the follower.
  loop.timerIs(std::chrono::milliseconds(200), drain, std::chrono::milliseconds(200));
  loop.run();
  rep.digest = digestOf(copy.byKey());
  rep.entries = copy.byKey().size();
  rep.wakes = pokt.wakes();
  rep.records = syncer.records();
  rep.syncs = syncer.syncs();
  rep.behind = syncer.behind();
  rep.changes = copy.changes();
  rep.done = true;
  ::_exit(0);
}

pid_t spawn(Shared* sh, int id, int stallAfterMs) {
  ::fflush(nullptr);
  pid_t p = ::fork();
  if (p == 0) followerMain(sh, id, stallAfterMs);
  return p;
}

TEST(Follower, CopiesConvergeOnTheWritersTableUnderARandomLoad) {
  ShmRoot root;
  auto* sh = new (::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Shared{};
  Zolm::WriterConfig c;
  c.maxSlots = 1u << 13;
  FloodWriter w(nullptr, TABLE, c);
  w.initialize();
  std::map<U64, std::pair<U32, U32>> model;
  std::mt19937 rng(5);
  auto op = [&](int i, bool filling) {
    U64 k = 1 + rng() % 12000;
    if (rng() % 10 < (filling ? 7u : 2u)) {
      L3FloodEntryConfig e = floodEntry(k, U32(i));
      e.memberCountIs(U32(k * 31));
      w.write(e);
      model[k] = {e.floodListId(), e.memberCount()};
    } else {
      w.remove(Lanx::IntfId::fromRaw(k));
      model.erase(k);
    }
  };
  std::vector<pid_t> followers{spawn(sh, 0, 0), spawn(sh, 2, 150)};
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (w.pokt().connections() < 2 && std::chrono::steady_clock::now() < until) {
    w.pokt().poll();
    ::usleep(1000);
  }
  ASSERT_EQ(w.pokt().connections(), 2u);
  U32 minCap = ~0u, maxCap = 0;
  for (int i = 0; i < 300000; ++i) {
    op(i, (i / 40000) % 2 == 0);
    if (i == 100000) followers.push_back(spawn(sh, 1, 0));  // starts late, mid-load
    if (i % 5000 == 0) {
      minCap = std::min(minCap, w.capacity());
      maxCap = std::max(maxCap, w.capacity());
    }
  }
  sh->finalSeq = w.nimbr().tailSeq();
  sh->writerDone = true;
  // Idle now: answer the followers' last arms until they are done.
  until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto allDone = [&] { return sh->f[0].done && sh->f[1].done && sh->f[2].done; };
  while (!allDone() && std::chrono::steady_clock::now() < until) {
    w.pokt().poll();
    // A follower that connected late must be woken for the final state.
    w.pokt().notify(w.nimbr().tailSeq());
    ::usleep(1000);
  }
  for (pid_t p : followers) {
    int status = 0;
    ::waitpid(p, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  U64 want = digestOf(model);
  char const* names[] = {"from the start", "late", "stalled"};
  for (int i = 0; i < 3; ++i) {
    FollowerReport& f = sh->f[i];
    std::printf("follower %s: %llu entries, %llu wake-ups, %llu records, %llu syncs, %llu behind, %llu changes\n",
                names[i], (unsigned long long)f.entries, (unsigned long long)f.wakes, (unsigned long long)f.records,
                (unsigned long long)f.syncs, (unsigned long long)f.behind, (unsigned long long)f.changes);
    EXPECT_TRUE(f.done) << names[i];
    EXPECT_EQ(f.entries.load(), model.size()) << names[i];
    EXPECT_EQ(f.digest.load(), want) << names[i];
    EXPECT_LT(f.wakes.load(), 100000u) << names[i] << ": about one wake-up per write";
  }
  // Whether the stall outlasts the live window depends on the machine's
  // speed; convergence must hold either way (the counts are printed above).
  EXPECT_LT(minCap, maxCap) << "the table never grew or shrank";
  ::munmap(sh, sizeof(Shared));
}

}  // namespace
