// What the collection layer costs over the engine it forwards to: entryIs
// and lookups through a collection (VexaSwitch::NexthopTableConfig,
// mounted as writer under a directory through a mounter) beside the same
// operations on the engine map called directly (Zolm::ZolmMap::write and
// ::lookup on a writer of its own), at 1e3 and 1e6 entries. Same data as
// the reader benchmarks: a random U64 key (the EntryKey) and the 48-byte
// NexthopEntryConfig that carries it, written and looked up in a shuffled
// order.
//
// entryIs adds to a write: two counter increments, the key taken from the
// value, a virtual call into the current form, and the notification; with
// no observer registered the notification costs a test (the list holds
// only the zero-references notifiee, which is told nothing). The
// "Observed" variant has one observer, told each key (boxed in std::any).
// Each benchmark reports `per_op`, the CPU time of one operation.
#include <benchmark/benchmark.h>

#include <any>
#include <map>
#include <memory>
#include <vector>

#include "BenchCommon.h"
#include "VexaSwitchLib/tables/Collections.h"

namespace {

using VexaBench::benchRoot;
using VexaBench::keys;
using VexaBench::shuffled;
using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;
using Coll = VexaSwitch::NexthopTableConfig;
using Map = Zolm::ZolmMap<VexaSwitch::NexthopTableConfigOps>;

void perOp(benchmark::State& state) {
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["per_op"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

NexthopEntryConfig value(U64 k, U32 version = 0) {
  NexthopEntryConfig v{EntryKey(k)};
  v.weightIs(U32(k) ^ version);
  return v;
}

Zolm::MapDescriptor writer(std::size_t n) {
  Zolm::MapDescriptor d;
  d.size = U32(n);
  d.type = Zolm::ZolmType::writer;
  return d;
}

// Both writers on one event loop (a writer with a loop wakes its followers
// through it), never run: nobody follows these tables.
struct Tables {
  std::vector<U64> order;  // the keys, shuffled
  Quiv::EventLoop loop;
  std::unique_ptr<Map> engine;
  std::unique_ptr<KelSharedMem::Mounter> mounter;
  Kel::Ptr<Kel::Directory> dir;
  Kel::Ptr<Coll> coll;
};

Tables& tables(std::size_t n) {
  benchRoot();  // made first, so removed after the tables are let go
  static std::map<std::size_t, std::unique_ptr<Tables>> all;
  auto& t = all[n];
  if (t) return *t;
  t = std::make_unique<Tables>();
  std::vector<U64> k = keys(n);
  t->order = shuffled(k);
  t->engine = std::make_unique<Map>(fmt::format("vexaswitch/tables/bench/engine{}", n), &t->loop);
  t->engine->init(writer(n));
  t->mounter = std::make_unique<KelSharedMem::Mounter>(t->loop);
  t->dir = Kel::makePtr<Kel::Directory>("bench");
  t->coll = VexaSwitch::nexthopTableConfigFactory(fmt::format("nexthop{}", n));
  t->dir->entityIs(t->coll);
  t->mounter->mount(t->coll->entryControl(), writer(n), fmt::format("vexaswitch/tables/bench/coll{}", n));
  for (U64 x : k) {
    t->engine->write(value(x));
    t->coll->entryIs(value(x));
  }
  return *t;
}

struct Observer : Kel::Notifiee {
  U64 told = 0;
  void onAttr(U32, std::any const&) override { ++told; }
};

void BM_EngineWrite(benchmark::State& state) {
  Tables& t = tables(std::size_t(state.range(0)));
  std::size_t i = 0;
  U32 version = 0;
  for (auto _ : state) {
    t.engine->write(value(t.order[i], version));
    if (++i == t.order.size()) i = 0, ++version;
  }
  perOp(state);
}

void BM_CollectionEntryIs(benchmark::State& state) {
  Tables& t = tables(std::size_t(state.range(0)));
  std::size_t i = 0;
  U32 version = 0;
  for (auto _ : state) {
    t.coll->entryIs(value(t.order[i], version));
    if (++i == t.order.size()) i = 0, ++version;
  }
  perOp(state);
}

void BM_CollectionEntryIsObserved(benchmark::State& state) {
  Tables& t = tables(std::size_t(state.range(0)));
  Observer o;
  t.coll->notifieeList().newMember(&o);
  std::size_t i = 0;
  U32 version = 0;
  for (auto _ : state) {
    t.coll->entryIs(value(t.order[i], version));
    if (++i == t.order.size()) i = 0, ++version;
  }
  t.coll->notifieeList().deleteMember(&o);
  if (o.told != U64(state.iterations())) state.SkipWithError("an entryIs was not told");
  perOp(state);
}

void BM_EngineLookup(benchmark::State& state) {
  Tables& t = tables(std::size_t(state.range(0)));
  std::size_t i = 0;
  U64 missed = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    missed += !t.engine->lookup(EntryKey(t.order[i]), v);
    benchmark::DoNotOptimize(v);
    if (++i == t.order.size()) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state);
}

void BM_CollectionLookup(benchmark::State& state) {
  Tables& t = tables(std::size_t(state.range(0)));
  std::size_t i = 0;
  U64 missed = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    missed += !t.coll->entryFind(EntryKey(t.order[i]), v);
    benchmark::DoNotOptimize(v);
    if (++i == t.order.size()) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state);
}

}  // namespace

BENCHMARK(BM_EngineWrite)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_CollectionEntryIs)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_CollectionEntryIsObserved)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_EngineLookup)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_CollectionLookup)->Arg(1000)->Arg(1000000);
