// The writer's cost per operation beside other ways of keeping the same
// entries: insert, update with its notification, remove and in-place update
// at 1e3, 1e5 and 1e6 entries, in shared memory and in process memory, next
// to an in-process absl::flat_hash_map and an LMDB environment on tmpfs.
//
// Every competitor stores the same data: an 8-byte key (a random U64, the
// EntryKey) and the 48-byte NexthopEntryConfig that carries it. LMDB gets the
// key as 8 raw bytes and the whole 48-byte record as its value.
//
// Each benchmark reports `per_op`: the time of one operation (one insert,
// update, remove, ... ), whatever the number of operations an iteration does.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/tables/L3Types.h"

namespace {

using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;
using Ops = Zolm::Ops<EntryKey, NexthopEntryConfig>;
using Writer = Zolm::ZolmWriter<Ops>;
using Clock = std::chrono::steady_clock;

using VexaBench::benchRoot;
using VexaBench::keys;

// The keys of keys(n) in another random order than the one they were
// inserted in, so that updates and removes do not walk the slots in order.
std::vector<U64> shuffled(std::size_t n) { return VexaBench::shuffled(keys(n)); }

NexthopEntryConfig entry(U64 key, U32 weight = 0) {
  NexthopEntryConfig e{EntryKey(key)};
  e.weightIs(weight);
  return e;
}

std::unique_ptr<Writer> newWriter(bool local, std::size_t n, int id) {
  benchRoot();
  Zolm::WriterConfig c;
  c.local = local;
  c.maxSlots = static_cast<U32>(n);
  auto w = std::make_unique<Writer>(nullptr, "vexaswitch/tables/wbench/t" + std::to_string(id), c);
  w->initialize();
  return w;
}

void dropWriter(std::unique_ptr<Writer>& w) {
  if (!w) return;
  w->removeFiles();
  w.reset();
}

// A table of n entries, kept while benchmarks of the same size and mode run
// one after the other; only one is alive at a time, so the 1e6 tables do not
// pile up in /dev/shm.
Writer& filled(bool local, std::size_t n) {
  static std::pair<bool, std::size_t> current{false, 0};
  static std::unique_ptr<Writer> table;
  static int id = 1000;
  if (!table || current != std::make_pair(local, n)) {
    dropWriter(table);
    table = newWriter(local, n, id++);
    for (U64 k : keys(n)) table->write(entry(k));
    current = {local, n};
  }
  return *table;
}

// Time per operation, from the operations one iteration does.
void perOp(benchmark::State& state, double opsPerIteration) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * opsPerIteration));
  state.counters["per_op"] =
      benchmark::Counter(opsPerIteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// --- the writer ------------------------------------------------------------------

// n inserts into an empty table sized for n; the table is made and removed
// outside the measured time.
void BM_WriterInsert(benchmark::State& state) {
  std::size_t n = state.range(0);
  bool local = state.range(1);
  auto ks = keys(n);
  int id = 0;
  for (auto _ : state) {
    auto w = newWriter(local, n, id++);
    auto t = Clock::now();
    for (U64 k : ks) w->write(entry(k));
    state.SetIterationTime(seconds(t));
    dropWriter(w);
  }
  perOp(state, double(n));
}

// Overwrites an existing entry and notifies its readers.
void BM_WriterUpdate(benchmark::State& state) {
  Writer& w = filled(state.range(1), state.range(0));
  auto ks = shuffled(state.range(0));
  std::size_t i = 0;
  U32 weight = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(w.write(entry(ks[i], ++weight), true));
    if (++i == ks.size()) i = 0;
  }
  perOp(state, 1);
}

// Removes a batch of entries (measured), then puts them back (not
// measured), so the table stays at n entries. A batch is at most 1/16 of the
// table, far from the occupancy at which the table would shrink.
void BM_WriterRemove(benchmark::State& state) {
  std::size_t n = state.range(0);
  Writer& w = filled(state.range(1), n);
  auto ks = shuffled(n);
  std::size_t batch = std::clamp<std::size_t>(n / 16, 1, 1000);
  std::size_t i = 0;
  for (auto _ : state) {
    std::size_t from = i;
    auto t = Clock::now();
    for (std::size_t j = 0; j < batch; ++j) {
      benchmark::DoNotOptimize(w.remove(EntryKey(ks[i])));
      if (++i == n) i = 0;
    }
    state.SetIterationTime(seconds(t));
    for (std::size_t j = 0, k = from; j < batch; ++j) {
      w.write(entry(ks[k]));
      if (++k == n) k = 0;
    }
  }
  perOp(state, double(batch));
}

// Changes one field of an existing entry in place, then commits (which
// notifies like an update).
void BM_WriterDirectUpdate(benchmark::State& state) {
  Writer& w = filled(state.range(1), state.range(0));
  auto ks = shuffled(state.range(0));
  std::size_t i = 0;
  U32 weight = 0;
  for (auto _ : state) {
    NexthopEntryConfig* p = w.directUpdate(EntryKey(ks[i]));
    if (!p) {
      state.SkipWithError("key missing");
      break;
    }
    p->weightIs(++weight);
    w.directCommit();
    if (++i == ks.size()) i = 0;
  }
  perOp(state, 1);
}

// --- absl::flat_hash_map, in process memory ---------------------------------------

void BM_AbslInsert(benchmark::State& state) {
  std::size_t n = state.range(0);
  auto ks = keys(n);
  for (auto _ : state) {
    absl::flat_hash_map<U64, NexthopEntryConfig> m;
    m.reserve(n);
    auto t = Clock::now();
    for (U64 k : ks) m.emplace(k, entry(k));
    state.SetIterationTime(seconds(t));
    benchmark::DoNotOptimize(m.size());
  }
  perOp(state, double(n));
}

// --- LMDB on tmpfs -------------------------------------------------------------------

void lmdbCheck(int rc, char const* what) {
  if (rc != MDB_SUCCESS) throw std::runtime_error(std::string(what) + ": " + mdb_strerror(rc));
}

// An environment in a fresh directory under /dev/shm, removed with it. No
// syncs: like the tables, it lives in memory only.
struct LmdbEnv {
  std::string dir;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;

  LmdbEnv() {
    char tmpl[] = "/dev/shm/vexa_wbench_lmdb.XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    lmdbCheck(mdb_env_create(&env), "mdb_env_create");
    // 1e6 entries of 8 + 48 bytes take well under 256 MiB of B-tree pages,
    // copy-on-write pages included; the map is sparse, so 2 GiB costs nothing.
    lmdbCheck(mdb_env_set_mapsize(env, std::size_t(2) << 30), "mdb_env_set_mapsize");
    lmdbCheck(mdb_env_open(env, dir.c_str(), MDB_NOSYNC | MDB_NOMETASYNC, 0600), "mdb_env_open");
    MDB_txn* txn;
    lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
    lmdbCheck(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
    lmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
  }
  ~LmdbEnv() {
    if (env) mdb_env_close(env);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  LmdbEnv(LmdbEnv const&) = delete;
  LmdbEnv& operator=(LmdbEnv const&) = delete;

  void put(MDB_txn* txn, U64 key, NexthopEntryConfig const& value) {
    MDB_val k{sizeof(key), &key};
    MDB_val v{sizeof(value), const_cast<NexthopEntryConfig*>(&value)};
    lmdbCheck(mdb_put(txn, dbi, &k, &v, 0), "mdb_put");
  }
};

// n puts into an empty environment, `perCommit` puts to a write transaction.
void lmdbPuts(benchmark::State& state, std::size_t perCommit) {
  std::size_t n = state.range(0);
  auto ks = keys(n);
  for (auto _ : state) {
    LmdbEnv db;
    auto t = Clock::now();
    for (std::size_t i = 0; i < n;) {
      MDB_txn* txn;
      lmdbCheck(mdb_txn_begin(db.env, nullptr, 0, &txn), "mdb_txn_begin");
      for (std::size_t end = std::min(n, i + perCommit); i < end; ++i) db.put(txn, ks[i], entry(ks[i]));
      lmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
    }
    state.SetIterationTime(seconds(t));
  }
  perOp(state, double(n));
}

void BM_LmdbPutPerCommit(benchmark::State& state) { lmdbPuts(state, 1); }
void BM_LmdbPut1000PerCommit(benchmark::State& state) { lmdbPuts(state, 1000); }

// --- sizes ------------------------------------------------------------------------------

constexpr long kSizes[] = {1000L, 100000L, 1000000L};

// The writer's benchmarks: every size, in shared memory and in process memory.
void writerSizes(benchmark::internal::Benchmark* b) {
  for (long n : kSizes)
    for (long local : {0L, 1L}) b->Args({n, local});
  b->ArgNames({"n", "local"});
}
void mapSizes(benchmark::internal::Benchmark* b) {
  for (long n : kSizes) b->Arg(n);
  b->ArgNames({"n"});
}

}  // namespace

// Whole-table benchmarks measure only the operations (manual time) and keep
// their minimum time short: one 1e6 iteration is already a million operations.
BENCHMARK(BM_WriterInsert)->Apply(writerSizes)->UseManualTime()->MinTime(0.2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriterUpdate)->Apply(writerSizes)->MinTime(0.2);
BENCHMARK(BM_WriterRemove)->Apply(writerSizes)->UseManualTime()->MinTime(0.2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriterDirectUpdate)->Apply(writerSizes)->MinTime(0.2);
BENCHMARK(BM_AbslInsert)->Apply(mapSizes)->UseManualTime()->MinTime(0.2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LmdbPutPerCommit)->Apply(mapSizes)->UseManualTime()->MinTime(0.2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LmdbPut1000PerCommit)->Apply(mapSizes)->UseManualTime()->MinTime(0.2)->Unit(benchmark::kMillisecond);
