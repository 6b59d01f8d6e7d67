// Writer-side table operations: insert, in-place update with its
// notification, lookup and remove, at 1e3, 1e5 and 1e6 entries, in shared
// memory and in process memory, beside the same work on in-process hash
// maps (std::unordered_map, absl::flat_hash_map).
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "BenchCommon.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/tables/L3Types.h"

namespace {

using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;
using Ops = Zolm::Ops<EntryKey, NexthopEntryConfig>;
using Writer = Zolm::ZolmWriter<Ops>;

using VexaBench::benchRoot;
using VexaBench::keys;

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
  auto w = std::make_unique<Writer>(nullptr, "vexaswitch/tables/bench/t" + std::to_string(id), c);
  w->initialize();
  return w;
}

// A table of n entries kept between benchmarks of the same size and mode.
Writer& filled(bool local, std::size_t n) {
  static std::map<std::pair<bool, std::size_t>, std::unique_ptr<Writer>> tables;
  auto& w = tables[{local, n}];
  if (!w) {
    w = newWriter(local, n, int(n) * 2 + local + 1000);
    for (U64 k : keys(n)) w->write(entry(k));
  }
  return *w;
}

void BM_Insert(benchmark::State& state) {
  bool local = state.range(1);
  std::size_t n = state.range(0);
  auto ks = keys(n);
  int id = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto w = newWriter(local, n, id++);
    state.ResumeTiming();
    for (U64 k : ks) w->write(entry(k));
    state.PauseTiming();
    w->removeFiles();
    w.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_UpdateWithNotification(benchmark::State& state) {
  Writer& w = filled(state.range(1), state.range(0));
  auto ks = keys(state.range(0));
  std::size_t i = 0;
  U32 weight = 0;
  for (auto _ : state) {
    w.write(entry(ks[i], ++weight));
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Lookup(benchmark::State& state) {
  Writer& w = filled(state.range(1), state.range(0));
  auto ks = keys(state.range(0));
  std::mt19937 rng(1);
  NexthopEntryConfig v;
  for (auto _ : state) {
    benchmark::DoNotOptimize(w.lookup(EntryKey(ks[rng() % ks.size()]), v));
  }
  state.SetItemsProcessed(state.iterations());
}

// Remove then re-insert the same key, so the table size stays put.
void BM_RemoveInsert(benchmark::State& state) {
  Writer& w = filled(state.range(1), state.range(0));
  auto ks = keys(state.range(0));
  std::size_t i = 0;
  for (auto _ : state) {
    w.remove(EntryKey(ks[i]));
    w.write(entry(ks[i]));
    if (++i == ks.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

template <class Map>
void BM_MapInsert(benchmark::State& state) {
  std::size_t n = state.range(0);
  auto ks = keys(n);
  for (auto _ : state) {
    Map m;
    for (U64 k : ks) m.emplace(k, entry(k));
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

template <class Map>
void BM_MapLookup(benchmark::State& state) {
  std::size_t n = state.range(0);
  auto ks = keys(n);
  Map m;
  for (U64 k : ks) m.emplace(k, entry(k));
  std::mt19937 rng(1);
  for (auto _ : state) {
    auto it = m.find(ks[rng() % n]);
    benchmark::DoNotOptimize(it);
  }
  state.SetItemsProcessed(state.iterations());
}

using Absl = absl::flat_hash_map<U64, NexthopEntryConfig>;
using Std = std::unordered_map<U64, NexthopEntryConfig>;

void sizes(benchmark::internal::Benchmark* b) {
  for (long n : {1000L, 100000L, 1000000L})
    for (long local : {0L, 1L}) b->Args({n, local});
  b->ArgNames({"n", "local"});
}
void mapSizes(benchmark::internal::Benchmark* b) { b->Arg(1000)->Arg(100000)->Arg(1000000); }

}  // namespace

BENCHMARK(BM_Insert)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateWithNotification)->Apply(sizes);
BENCHMARK(BM_Lookup)->Apply(sizes);
BENCHMARK(BM_RemoveInsert)->Apply(sizes);
BENCHMARK_TEMPLATE(BM_MapInsert, Absl)->Apply(mapSizes)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_MapInsert, Std)->Apply(mapSizes)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_MapLookup, Absl)->Apply(mapSizes);
BENCHMARK_TEMPLATE(BM_MapLookup, Std)->Apply(mapSizes);
