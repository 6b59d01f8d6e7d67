// Reader processes against a writer process that grows and shrinks the
// table under them. Every value carries its key's checksum and the version
// it was written with: a torn value, another key's, or one never written
// shows.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_reader_stress_test {

namespace {

using namespace VexaTest;
using namespace std::chrono_literals;
using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<FloodOps>;

constexpr char const* TABLE = "vexaswitch/tables/test/stress";
constexpr U64 STABLE = 500;       // keys 1..STABLE are never removed
constexpr U64 KEY_SPACE = 30000;  // churned keys: STABLE+1..KEY_SPACE
constexpr int READERS = 3;
constexpr U64 PRESENT = 64;  // the paused readers' keys, never removed

struct ReaderStats {
  std::atomic<U64> lookups, iterations, torn, stableMissing, orderViolations, duplicates, errors, resizes, stalls;
  std::atomic<U64> newestSeen;  // highest version a lookup returned
};

// Lives in an anonymous shared mapping made before the children fork.
struct Shared {
  std::atomic<U64> published;  // highest version whose write has returned
  std::atomic<bool> stop;
  std::atomic<bool> checkStable;  // no writer was killed yet: stable keys are always there
  std::atomic<U64> writerPhases, writerStart;  // published version when the current writer attached
  std::atomic<U32> writerParked;               // where the writer last stopped itself
  std::atomic<U32> minCapacity, maxCapacity, minBuckets, maxBuckets;
  U64 present[PRESENT];  // the keys that are never removed (paused readers)
  ReaderStats readers[READERS + 1];
};

U32 checksum(U64 key, U32 version) {
  U64 x = (key + 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull ^ (U64(version) << 17);
  x ^= x >> 31;
  return U32(x * 0x94d049bb133111ebull >> 32) | 1;
}
L3FloodEntryConfig entryFor(U64 key, U32 version) {
  L3FloodEntryConfig e = floodEntry(key, version);
  e.memberCountIs(checksum(key, version));
  return e;
}
// Sound: made by entryFor, version at most the published one plus the
// write in progress.
bool sound(L3FloodEntryConfig const& v, U64 published) {
  U64 key = v.key().raw();
  return key != 0 && v.memberCount() == checksum(key, v.floodListId()) && v.floodListId() <= published + 1;
}

// A signal to a child; never to pid -1 (every process) after a failed fork.
void signalChild(pid_t pid, int sig) {
  if (pid > 0) ::kill(pid, sig);
}
template <class T>
void atomicMin(std::atomic<T>& a, T v) {
  for (T cur = a.load(); v < cur && !a.compare_exchange_weak(cur, v);) {
  }
}
template <class T>
void atomicMax(std::atomic<T>& a, T v) {
  for (T cur = a.load(); v > cur && !a.compare_exchange_weak(cur, v);) {
  }
}
void noteTable(Shared* sh, FloodWriter const& w) {
  atomicMin(sh->minCapacity, U32(w.capacity()));
  atomicMax(sh->maxCapacity, U32(w.capacity()));
  atomicMin(sh->minBuckets, U32(w.buckets()));
  atomicMax(sh->maxBuckets, U32(w.buckets()));
}
void addCounters(ReaderStats& st, FloodReader& r) {
  st.resizes += r.readerCounters().resizes + r.readerCounters().bucketResizes;
  st.stalls += r.readerCounters().stalls;
}

// A child's body: exit 0 when it returns, 2 (with the message) on an
// exception.
template <class F>
[[noreturn]] void childMain(char const* who, F&& body) {
  try {
    body();
  } catch (std::exception const& e) {
    std::fprintf(stderr, "%s: %s\n", who, e.what());
    ::_exit(2);
  }
  ::_exit(0);
}

// The writer: stable keys first, then phases that fill the churned range
// up to ~20000 keys and drain it to ~200, with updates all along.
void writerMain(Shared* sh, U32 seed) {
  FloodWriter w(nullptr, TABLE, {.maxSlots = 1u << 15});
  w.initialize();
  sh->writerStart.store(sh->published.load());
  for (U64 k = 1; k <= STABLE; ++k, ++sh->published) w.write(entryFor(k, U32(sh->published + 1)));
  std::mt19937 rng(seed);
  std::vector<U64> live;
  std::vector<bool> present(KEY_SPACE + 1, false);
  for (U64 k : floodKeys(w))  // what a previous writer left behind
    if (k > STABLE && k <= KEY_SPACE) present[k] = true, live.push_back(k);
  while (!sh->stop.load()) {
    bool filling = live.size() < 20000 && (sh->writerPhases.load() % 2 == 0);
    for (int i = 0; i < 256; ++i, ++sh->published) {
      U32 op = rng() % 10, v = U32(sh->published + 1);
      if (op < 2) {
        w.write(entryFor(1 + rng() % STABLE, v));
      } else if (filling ? op < 9 : op < 3) {
        U64 k = STABLE + 1 + rng() % (KEY_SPACE - STABLE);
        w.write(entryFor(k, v));
        if (!present[k]) present[k] = true, live.push_back(k);
      } else if (!live.empty()) {
        std::swap(live[rng() % live.size()], live.back());
        present[live.back()] = false;
        w.remove(floodKey(live.back()));
        live.pop_back();
      }
    }
    if (filling ? live.size() >= 20000 : live.size() <= 200) sh->writerPhases++;
    noteTable(sh, w);
  }
  w.detach();
}

// One full pass: every value sound, no key twice, strict (rhash, key)
// order. Returns how many stable keys it saw.
U64 iterationPass(FloodReader& reader, ReaderStats& st, Shared* sh) {
  std::set<U64> seen;
  std::pair<U32, U64> prev{0, 0};
  U64 stableSeen = 0;
  forEachEntry(reader, [&](L3FloodEntryConfig const& v, Zolm::IterHint const&) {
    U64 k = v.key().raw();
    std::pair<U32, U64> at{Zolm::reverseBits32(reader.ops().hash(v.key())), k};
    st.torn += !sound(v, sh->published.load());
    st.duplicates += !seen.insert(k).second;
    st.orderViolations += seen.size() > 1 && !(prev < at);
    prev = at;
    stableSeen += k <= STABLE;
    atomicMax(st.newestSeen, U64(v.floodListId()));
  });
  st.iterations++;
  return stableSeen;
}

// A reader: lookups (single and batched), reads by slot index and a full
// pass every 100 ms; or, `iterateOnly`, passes back to back (every step
// through buckets and slots fetched ahead while the table resizes). It
// attaches again after the writer was replaced. A stable key missing counts
// only if no writer was killed before the read ended.
void readerMain(Shared* sh, int id, U32 seed, bool iterateOnly) {
  ReaderStats& st = sh->readers[id];
  auto stableMissing = [&](U64 n) { st.stableMissing += sh->checkStable.load() ? n : 0; };
  // One lookup's answer: a sound value of its own key; a stable key found.
  auto checkLookup = [&](U64 k, bool found, L3FloodEntryConfig const& v, U64 published) {
    st.torn += found && (!sound(v, published) || v.key().raw() != k);
    if (!found && k <= STABLE) stableMissing(1);
  };
  std::mt19937 rng(seed);
  auto reader = std::make_unique<FloodReader>(nullptr, TABLE);
  auto attach = [&] {
    addCounters(st, *reader);
    for (; !sh->stop.load(); ::usleep(1000))
      if ((reader = std::make_unique<FloodReader>(nullptr, TABLE))->initialize("stress")) return true;
    return false;
  };
  auto lastIteration = std::chrono::steady_clock::now();
  for (U64 ops = 0; attach() && !sh->stop.load();) {
    try {
      while (!sh->stop.load() && (++ops % (iterateOnly ? 1 : 2048) != 0 || reader->validateFiles())) {
        U32 op = iterateOnly ? 7 : rng() % 10;
        if (op == 6) {
          // A batch of random keys with repeats, across the 32-key groups:
          // each answer is one a single lookup may give.
          constexpr U32 N = 40;
          Lanx::IntfId ks[N];
          L3FloodEntryConfig vs[N];
          bool found[N];
          for (U32 i = 0; i < N; ++i) ks[i] = i && rng() % 4 == 0 ? ks[rng() % i] : floodKey(1 + rng() % KEY_SPACE);
          reader->lookupBatch(ks, N, vs, found);
          U64 published = sh->published.load();
          st.lookups += N;
          for (U32 i = 0; i < N; ++i) checkLookup(ks[i].raw(), found[i], vs[i], published);
        } else if (op < 7) {
          U64 k = 1 + rng() % KEY_SPACE;
          L3FloodEntryConfig v;
          bool found = false;
          reader->lookup(floodKey(k), found, &v);
          st.lookups++;
          checkLookup(k, found, v, sh->published.load());
          if (found) atomicMax(st.newestSeen, U64(v.floodListId()));
        } else if (U32 cap = reader->capacity(); !iterateOnly && cap) {
          L3FloodEntryConfig v;
          st.torn += reader->getValue(rng() % cap, v) && !sound(v, sh->published.load());
        }
        if (iterateOnly || std::chrono::steady_clock::now() - lastIteration > 100ms) {
          lastIteration = std::chrono::steady_clock::now();
          stableMissing(STABLE - iterationPass(*reader, st, sh));
        }
      }
    } catch (Quiv::CorruptionDetectedException const& e) {
      // Only a table that was replaced may fail a read; then attach to
      // the new one.
      if (reader->validateFiles()) std::fprintf(stderr, "reader %d: %s\n", id, e.what()), st.errors++;
    }
  }
}

// Whether the writer published version `n` within a minute; one that did
// not is killed, so that a failed case does not leave it running.
bool writerReached(Shared* sh, pid_t writer, U64 n) {
  if (waitFor([&] { return sh->published.load() >= n; }, 60s)) return true;
  signalChild(writer, SIGKILL);
  reap(writer);
  return false;
}

// The table fills and drains under the readers (stable keys checked), then
// its writer is killed and replaced three times: the readers (the last one
// iterating back to back) follow each successor, never see a torn, foreign,
// repeated or out-of-order value, and end on the last writer's entries.
TEST(ReaderStress, ReadersNeverSeeATornForeignOrMissingValueWhileTheTableGrowsAndShrinks) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  sh->minCapacity = sh->minBuckets = ~0u;
  sh->checkStable = true;
  pid_t writer = spawn([&] { childMain("writer", [&] { writerMain(sh, 1); }); });
  ASSERT_TRUE(writerReached(sh, writer, STABLE)) << "the writer never published its stable keys";
  std::vector<pid_t> readers;
  for (int i = 0; i <= READERS; ++i)
    readers.push_back(spawn([&, i] { childMain("reader", [&] { readerMain(sh, i, 100 + i, i == READERS); }); }));
  ::usleep(1500000);
  EXPECT_TRUE(waitFor([&] { return sh->writerPhases.load() >= 2; }, 20s)) << "the table never went through a fill and a drain";
  sh->checkStable = false;
  for (int round = 0; round < 3; ++round) {
    signalChild(writer, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(reap(writer)));
    writer = spawn([&, round] { childMain("writer", [&] { writerMain(sh, 10 + round); }); });
    ::usleep(600000);
  }
  sh->stop = true;
  for (pid_t r : readers) EXPECT_EQ(reap(r), 0);
  EXPECT_EQ(reap(writer), 0);
  for (int i = 0; i <= READERS; ++i) {
    SCOPED_TRACE(::testing::Message() << "reader " << i);
    ReaderStats& s = sh->readers[i];
    EXPECT_EQ(s.torn.load() + s.duplicates.load() + s.orderViolations.load() + s.errors.load(), 0u)
        << "torn " << s.torn.load() << ", duplicates " << s.duplicates.load() << ", out of order "
        << s.orderViolations.load() << ", errors " << s.errors.load();
    EXPECT_EQ(s.stableMissing.load(), 0u);
    EXPECT_GT(s.newestSeen.load(), sh->writerStart.load()) << "stuck on an old writer";
    EXPECT_GT(s.iterations.load(), i < READERS ? 3u : 10u);
    EXPECT_GT(i < READERS ? s.lookups.load() : s.resizes.load(), i < READERS ? 1000u : 2u)
        << "lookups or, back to back, resizes followed (attaching counts one of each file)";
  }
  EXPECT_LT(sh->minCapacity.load(), sh->maxCapacity.load());
  EXPECT_LT(sh->minBuckets.load(), sh->maxBuckets.load());
  EXPECT_GT(sh->readers[0].resizes + sh->readers[1].resizes + sh->readers[2].resizes, 0u) << "readers never followed a resize";
  // Whatever became of the table, a fresh reader sees a sound one.
  FloodReader r(nullptr, TABLE);
  ASSERT_TRUE(r.initialize("after"));
  EXPECT_TRUE(r.validate()) << r.lastError();
  bool found = false;
  r.lookup(floodKey(1), found);
  EXPECT_TRUE(found);
  freeShared(sh);
}

// A shrink moves the slot table's upper part down and publishes the
// smaller count only at its end: a reader on a moved slot whose successor
// moved too sees nothing resized, and must restart rather than report the
// sound table damaged or miss a present key. The writer stops itself
// (SIGSTOP) as a shrink begins and before it publishes; the parent stops
// the readers there and lets them walk into the half-done shrink. All keys
// lie in buckets 0, 64, 128, ... (long runs), the present ones last in
// their runs under every bucket count: each lookup walks moving entries.
constexpr int PAUSED_READERS = 2;
constexpr U32 FEW_BUCKETS = 0x3F;
constexpr U32 LAST_IN_RUN = 0xFFFu << 12;  // hash bits 12..23: rhash bits 8..19
enum Park : U32 { RUNNING, SHRINK_BEGINS, SHRINK_PUBLISHES };

void shrinkingWriterMain(Shared* sh) {
  // The hooks are the shrink's traces: its threshold (before the first
  // move) and the new slot count (after the last move, before the store).
  Quiv::DebugHandler* h = Quiv::Platform::getDebugHandler("ShrinkingWriter");
  h->flagsIs(1ull << 2 | 1ull << 5);
  Quiv::traceSinkIs([&](Quiv::DebugHandler const& from, unsigned, std::string_view msg) {
    Park at = msg.starts_with("threshold:") ? SHRINK_BEGINS : msg.starts_with("newNumSlots:") ? SHRINK_PUBLISHES : RUNNING;
    if (&from != h || at == RUNNING || sh->stop.load()) return;
    sh->writerParked = at;
    ::raise(SIGSTOP);
  });
  FloodWriter w(h, TABLE, {.maxSlots = 1u << 12});
  w.initialize();
  std::vector<U64> pool;
  for (U64 k = 1; sh->published.load() < PRESENT || pool.size() < 4096; ++k) {
    U32 hash = w.ops().hash(floodKey(k));
    if (hash & FEW_BUCKETS) continue;
    if ((hash & LAST_IN_RUN) != LAST_IN_RUN) {
      pool.push_back(k);
    } else if (sh->published.load() < PRESENT) {
      w.write(entryFor(k, 1));
      sh->present[sh->published.load()] = k;
      sh->published++;
    }
  }
  std::mt19937 rng(3);
  std::vector<U64> churn;
  while (!sh->stop.load()) {
    // From the smallest table up to 1024 slots and back.
    std::shuffle(pool.begin(), pool.end(), rng);
    churn.assign(pool.begin(), pool.begin() + 200 + rng() % 700);
    for (U64 c : churn) w.write(entryFor(c, 1));
    noteTable(sh, w);
    // Lowest slots first: what is left when the table shrinks lies in
    // its upper part, and all of it moves.
    while (!churn.empty()) {
      std::vector<std::pair<U32, U64>> bySlot;
      for (U64 c : churn) {
        L3FloodEntryConfig v;
        Zolm::IterHint hint;
        w.lookup(floodKey(c), v, hint);
        bySlot.emplace_back(hint.slot, c);
      }
      std::sort(bySlot.rbegin(), bySlot.rend());
      for (U32 capacity = w.capacity(); !bySlot.empty() && w.capacity() == capacity; bySlot.pop_back())
        w.remove(floodKey(bySlot.back().second));
      churn.clear();
      for (auto const& [slot, c] : bySlot) churn.push_back(c);
    }
    noteTable(sh, w);
  }
}

void presentKeysReaderMain(Shared* sh, int id) {
  ReaderStats& st = sh->readers[id];
  FloodReader r(nullptr, TABLE);
  if (!r.initialize("paused")) ::_exit(3);
  for (U64 i = U64(id); !sh->stop.load(); ++i) {
    U64 k = sh->present[i % PRESENT];
    L3FloodEntryConfig v;
    bool found = false;
    try {
      r.lookup(floodKey(k), found, &v);
    } catch (Quiv::CorruptionDetectedException const& e) {
      if (st.errors++ == 0) std::fprintf(stderr, "reader %d: %s\n", id, e.what());
      continue;
    }
    st.lookups++;
    st.stableMissing += !found;
    st.torn += found && (!sound(v, 1) || v.key().raw() != k);
  }
  addCounters(st, r);
}

TEST(ReaderStress, ReadersPausedAcrossAShrinkNeverSeeAFalseCorruption) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  sh->minCapacity = sh->minBuckets = ~0u;
  pid_t writer = spawn([&] { childMain("writer", [&] { shrinkingWriterMain(sh); }); });
  ASSERT_TRUE(writerReached(sh, writer, PRESENT)) << "the writer never published the keys the readers look up";
  constexpr U64 PAUSED_SHRINKS = 300;
  std::vector<pid_t> readers;
  for (int i = 0; i < PAUSED_READERS; ++i)
    readers.push_back(spawn([&, i] { childMain("reader", [&] { presentKeysReaderMain(sh, i); }); }));
  // A number of shrinks, not a time: a slow machine proves as much.
  auto done = [&](ReaderStats const& s) { return s.lookups.load() + s.errors.load(); };
  int status = 0;
  U64 shrinks = 0;
  while (shrinks < PAUSED_SHRINKS) {
    if (::waitpid(writer, &status, WUNTRACED) != writer || !WIFSTOPPED(status)) {
      ADD_FAILURE() << "the writer ended early";
      break;
    }
    if (sh->writerParked.load() == SHRINK_BEGINS) {
      for (pid_t r : readers) signalChild(r, SIGSTOP);
    } else {
      // Each reader finishes the lookup it was in, and a few more.
      U64 before[PAUSED_READERS];
      for (int i = 0; i < PAUSED_READERS; ++i) before[i] = done(sh->readers[i]);
      for (pid_t r : readers) signalChild(r, SIGCONT);
      for (int i = 0, spins = 0; i < PAUSED_READERS && spins < 2000; ++spins)
        if (done(sh->readers[i]) > before[i] + 8) ++i;
        else ::usleep(10);
      ++shrinks;
    }
    signalChild(writer, SIGCONT);
  }
  sh->stop = true;
  for (pid_t r : readers) signalChild(r, SIGCONT);
  signalChild(writer, SIGCONT);
  for (pid_t r : readers) EXPECT_EQ(reap(r), 0);
  EXPECT_EQ(reap(writer), 0);
  for (int i = 0; i < PAUSED_READERS; ++i) {
    SCOPED_TRACE(::testing::Message() << "reader " << i);
    ReaderStats& s = sh->readers[i];
    EXPECT_EQ(s.errors.load(), 0u) << "a sound table reported as damaged (the first report is above)";
    EXPECT_EQ(s.stalls.load(), 0u) << "a check failed with nothing resized, then passed on a repeat";
    EXPECT_EQ(s.stableMissing.load() + s.torn.load(), 0u) << s.stableMissing.load() << " missed";
    EXPECT_GT(s.lookups.load(), 8 * PAUSED_SHRINKS);
  }
  EXPECT_EQ(shrinks, PAUSED_SHRINKS);
  EXPECT_LT(sh->minCapacity.load(), 512u);
  EXPECT_GE(sh->maxCapacity.load(), 1024u);
  freeShared(sh);
}

// A reader needs no write permission on the files: it maps them read-only.
TEST(ReaderStress, AReaderWithoutWritePermissionWorks) {
  ShmRoot root;
  {
    FloodWriter w(nullptr, TABLE, {.maxSlots = 1u << 15});
    w.initialize();
    for (U64 k = 1; k <= 1000; ++k) w.write(entryFor(k, 1));
    w.detach();
  }
  namespace fs = std::filesystem;
  for (auto const& e : fs::recursive_directory_iterator(root.dir()))
    fs::permissions(e.path(), fs::perms(e.is_directory() ? 0755 : 0444));
  fs::permissions(root.dir(), fs::perms(0755));
  EXPECT_EQ(failureInChild([&]() -> std::string {
              // Root ignores file modes: become nobody so that they count.
              passwd* nobody = ::getpwnam("nobody");
              if (::getuid() == 0 && (!nobody || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0))
                return "no nobody";
              if (::access((root.dir() + "/" + TABLE + "/slots").c_str(), W_OK) == 0) return "still writable";
              FloodReader r(nullptr, TABLE);
              if (!r.initialize("nobody")) return "attach refused";
              for (U64 k = 1; k <= 1000; ++k) {
                bool found = false;
                L3FloodEntryConfig v;
                r.lookup(floodKey(k), found, &v);
                if (!found || !sound(v, 1)) return fmt::format("key {} missed or torn", k);
              }
              return r.validate() ? "" : "invalid";
            }),
            "");
}

}  // namespace

}  // namespace vexa_reader_stress_test
