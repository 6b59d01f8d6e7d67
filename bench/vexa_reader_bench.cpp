// What a lock-free reader costs per read beside other ways to read the same
// entries: lookups (hit and miss), full iteration and reads by slot index
// at 1e3, 1e5 and 1e6 entries, next to absl::flat_hash_map::find in process
// memory, LMDB's mdb_get (one long read transaction, and one transaction
// per lookup) on tmpfs, and the memory-latency floor: one dependent random
// read of a 64-byte cell in a 1e6-cell array.
//
// Same data everywhere: a random U64 key (the EntryKey) and the 48-byte
// NexthopEntryConfig that carries it. Keys are looked up in a shuffled
// order, so every lookup goes to a random place. Each benchmark reports
// `per_op` (one lookup, one entry iterated, one read).
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "Zolm/Instantiations.h"

namespace {

using VexaBench::benchRoot;
using VexaBench::keys;
using VexaBench::shuffled;

using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;
using Ops = Zolm::NexthopTableConfigOps;
using Writer = Zolm::ZolmWriter<Ops>;
using Reader = Zolm::ZolmReader<Ops>;

NexthopEntryConfig entry(U64 key) {
  NexthopEntryConfig e{EntryKey(key)};
  e.weight_ = U32(key);
  return e;
}

// One table per size, filled once by a writer and read by a reader with
// its own read-only mapping.
struct Table {
  std::unique_ptr<Writer> writer;
  std::unique_ptr<Reader> reader;
  std::vector<U64> hits, misses;
};
Table& table(std::size_t n) {
  static std::map<std::size_t, Table> tables;
  Table& t = tables[n];
  if (!t.reader) {
    benchRoot();
    Zolm::WriterConfig c;
    c.maxSlots = U32(std::max<std::size_t>(n, 1024));
    std::string name = "vexaswitch/tables/bench/reader" + std::to_string(n);
    t.writer = std::make_unique<Writer>(nullptr, name, c);
    t.writer->initialize();
    auto k = keys(n);
    for (U64 key : k) t.writer->write(entry(key), true);
    t.reader = std::make_unique<Reader>(nullptr, name);
    if (!t.reader->initialize("bench")) throw std::runtime_error("reader did not attach");
    t.hits = shuffled(k);
    t.misses = keys(n, 4242);
  }
  return t;
}

void BM_ReaderLookupHit(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.hits.size();
  NexthopEntryConfig v;
  bool found = false;
  for (auto _ : state) {
    t.reader->lookup(EntryKey(t.hits[i]), found, &v);
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  if (!found) state.SkipWithError("miss");
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void BM_ReaderLookupMiss(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.misses.size();
  NexthopEntryConfig v;
  bool found = false;
  for (auto _ : state) {
    t.reader->lookup(EntryKey(t.misses[i]), found, &v);
    benchmark::DoNotOptimize(found);
    if (++i == n) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void BM_ReaderIteratePerEntry(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  U64 entries = 0;
  for (auto _ : state) {
    NexthopEntryConfig v;
    Zolm::IterHint hint;
    for (bool more = t.reader->first(v, hint); more; more = t.reader->next(v.key(), v, hint)) {
      benchmark::DoNotOptimize(v);
      ++entries;
    }
  }
  state.counters["per_op"] =
      benchmark::Counter(double(entries), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReaderGetValue(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  U32 cap = t.reader->capacity();
  std::vector<U32> slots(1 << 16);
  std::mt19937 rng(3);
  for (auto& s : slots) s = rng() % cap;
  std::size_t i = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.reader->getValue(slots[i], v));
    i = (i + 1) & (slots.size() - 1);
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

// Latency rather than throughput: the next key depends on the value just
// read, so no lookup can overlap the one before (as when a caller acts on
// each answer before asking the next question).
void BM_ReaderLookupHitDependent(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.hits.size();
  NexthopEntryConfig v;
  bool found = false;
  U32 mask = 0;  // opaque zero: makes the next index depend on the value
  benchmark::DoNotOptimize(mask);
  for (auto _ : state) {
    t.reader->lookup(EntryKey(t.hits[i]), found, &v);
    i += 1 + (v.weight_ & mask);
    if (i >= n) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

// --- yardsticks ------------------------------------------------------------------

// The same entries in an absl map, and the keys in lookup order.
std::pair<absl::flat_hash_map<U64, NexthopEntryConfig>, std::vector<U64>>& abslMap(std::size_t n) {
  static std::map<std::size_t, std::pair<absl::flat_hash_map<U64, NexthopEntryConfig>, std::vector<U64>>> maps;
  auto& m = maps[n];
  if (m.first.empty()) {
    auto k = keys(n);
    m.first.reserve(n);
    for (U64 key : k) m.first.emplace(key, entry(key));
    m.second = shuffled(k);
  }
  return m;
}

void BM_AbslFindHit(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  auto& [map, order] = abslMap(n);
  std::size_t i = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    auto it = map.find(order[i]);
    v = it->second;
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void BM_AbslFindHitDependent(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  auto& [map, order] = abslMap(n);
  std::size_t i = 0;
  U32 mask = 0;
  benchmark::DoNotOptimize(mask);
  for (auto _ : state) {
    auto it = map.find(order[i]);
    i += 1 + (it->second.weight_ & mask);
    if (i >= n) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void lmdbCheck(int rc, char const* what) {
  if (rc != MDB_SUCCESS) throw std::runtime_error(std::string(what) + ": " + mdb_strerror(rc));
}
struct Lmdb {
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  std::vector<U64> order;
  explicit Lmdb(std::size_t n) {
    std::string dir = benchRoot().dir + "/lmdb" + std::to_string(n);
    std::filesystem::create_directories(dir);
    lmdbCheck(mdb_env_create(&env), "mdb_env_create");
    lmdbCheck(mdb_env_set_mapsize(env, std::size_t(2) << 30), "mdb_env_set_mapsize");
    lmdbCheck(mdb_env_open(env, dir.c_str(), MDB_NOSYNC | MDB_NOMETASYNC, 0600), "mdb_env_open");
    MDB_txn* txn;
    lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
    lmdbCheck(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
    auto k = keys(n);
    for (U64 key : k) {
      NexthopEntryConfig e = entry(key);
      MDB_val mk{sizeof key, &key}, mv{sizeof e, &e};
      lmdbCheck(mdb_put(txn, dbi, &mk, &mv, 0), "mdb_put");
    }
    lmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
    order = shuffled(k);
  }
};
Lmdb& lmdb(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<Lmdb>> envs;
  auto& p = envs[n];
  if (!p) p = std::make_unique<Lmdb>(n);
  return *p;
}

void BM_LmdbGetLongTxn(benchmark::State& state) {
  Lmdb& db = lmdb(std::size_t(state.range(0)));
  MDB_txn* txn;
  lmdbCheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  std::size_t i = 0, n = db.order.size();
  NexthopEntryConfig v;
  for (auto _ : state) {
    MDB_val mk{sizeof(U64), &db.order[i]}, mv;
    lmdbCheck(mdb_get(txn, db.dbi, &mk, &mv), "mdb_get");
    std::memcpy(static_cast<void*>(&v), mv.mv_data, sizeof v);  // a reader keeps a copy, as ours does
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  mdb_txn_abort(txn);
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

// A read-only transaction per lookup, reusing the handle with
// mdb_txn_reset/mdb_txn_renew (the cheapest way LMDB offers).
void BM_LmdbGetTxnPerLookup(benchmark::State& state) {
  Lmdb& db = lmdb(std::size_t(state.range(0)));
  MDB_txn* txn;
  lmdbCheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  mdb_txn_reset(txn);
  std::size_t i = 0, n = db.order.size();
  NexthopEntryConfig v;
  for (auto _ : state) {
    lmdbCheck(mdb_txn_renew(txn), "mdb_txn_renew");
    MDB_val mk{sizeof(U64), &db.order[i]}, mv;
    lmdbCheck(mdb_get(txn, db.dbi, &mk, &mv), "mdb_get");
    std::memcpy(static_cast<void*>(&v), mv.mv_data, sizeof v);
    mdb_txn_reset(txn);
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  mdb_txn_abort(txn);
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

// One dependent random read of a 64-byte cell: each cell names the next in
// a random cycle through the whole array, so no read can start before the
// previous one ended.
void BM_MemoryFloor64B(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  struct alignas(64) Cell {
    U64 next;
    U64 pad[7];
  };
  std::vector<Cell> cells(n);
  std::vector<U64> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(9));
  for (std::size_t i = 0; i < n; ++i) cells[order[i]].next = order[(i + 1) % n];
  U64 at = order[0];
  for (auto _ : state) {
    at = cells[at].next;
    benchmark::DoNotOptimize(at);
  }
  state.counters["per_op"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (long n : {1000L, 100000L, 1000000L}) b->Arg(n);
}

BENCHMARK(BM_ReaderLookupHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupMiss)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderIteratePerEntry)->Apply(sizes)->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderGetValue)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupHitDependent)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_AbslFindHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_AbslFindHitDependent)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_LmdbGetLongTxn)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_LmdbGetTxnPerLookup)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_MemoryFloor64B)->Arg(1000000)->MinTime(0.3);

}  // namespace
