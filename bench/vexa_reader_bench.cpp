// What a lock-free reader costs per read beside other ways to read the same
// entries: lookups (hit and miss), full ordered iteration, a scan by slot
// index and reads by random slot index at 1e3, 1e5 and 1e6 entries, next to
// absl::flat_hash_map::find in process memory, LMDB's mdb_get on tmpfs (one
// long read transaction; a transaction per lookup, both by reset/renew of
// one handle and by begin/abort), and the memory-latency floor: one
// dependent random read of a 64-byte cell in a 1e6-cell array. Batched
// lookups (32 keys a call, reader and writer) and LMDB's ordered cursor
// walk and absl's iteration stand beside the single lookups and the
// reader's iteration.
// BM_MapLookupHit is BM_ReaderLookupHit through the facade (Zolm::ZolmMap).
//
// Same data everywhere: a random U64 key (the EntryKey) and the 48-byte
// NexthopEntryConfig that carries it. Keys are looked up in a shuffled
// order, so every lookup goes to a random place. Each benchmark reports
// items per second and `per_op` (the CPU time of one lookup, one entry
// iterated, one read). The reader lookups also report the table's shape
// (`load` = entries per bucket; `hitSlots`/`missSlots` = slots a lookup
// copies on average) and any restarts or retries, which a quiet table
// should never show. BM_RawWalk* and BM_ReaderLookupHitPrefetched split the
// reader's lookup cost into what the file layout costs and what the
// lock-free protocol adds (see the section "the layout without the protocol").
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lmdb.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "BenchCommon.h"
#include "VexaSwitchLib/tables/Collections.h"

namespace {

using VexaBench::benchRoot;
using VexaBench::keys;
using VexaBench::shuffled;

using VexaSwitch::EntryKey;
using VexaSwitch::NexthopEntryConfig;
using Ops = VexaSwitch::NexthopTableConfigOps;
using Writer = Zolm::ZolmWriter<Ops>;
using Reader = Zolm::ZolmReader<Ops>;

// Items per second for the run, and `per_op`: the CPU time of one item.
void perOp(benchmark::State& state, U64 items) {
  state.SetItemsProcessed(int64_t(items));
  state.counters["per_op"] =
      benchmark::Counter(double(items), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

NexthopEntryConfig entry(U64 key) {
  NexthopEntryConfig e{EntryKey(key)};
  e.weightIs(U32(key));
  return e;
}

// One table per size, filled once by a writer and read by a reader with
// its own read-only mapping.
//
// `hitSlots`/`missSlots`: the slots a lookup copies on average, counted
// from the keys' hashes and the reader's bucket count (a chain holds its
// bucket's keys in (rhash, key) order; a hit stops at its key, a miss at
// the first greater one or the end of the run).
struct Table {
  std::unique_ptr<Writer> writer;
  std::unique_ptr<Reader> reader;
  // The same table mounted through the facade, as a collection holds it.
  std::unique_ptr<Quiv::EventLoop> loop;
  std::unique_ptr<Zolm::ZolmMap<Ops>> map;
  std::vector<U64> hits, misses;
  double hitSlots = 0, missSlots = 0;
};

// (bucket, rhash, key) of a key under the reader's seed and bucket count.
std::tuple<U32, U32, U64> chainPos(Reader const& r, U64 key) {
  U32 h = r.ops().hash(EntryKey(key));
  return {h & (r.buckets() - 1), Zolm::reverseBits32(h), key};
}
void chainStats(Table& t) {
  std::vector<std::tuple<U32, U32, U64>> all;
  all.reserve(t.hits.size());
  for (U64 k : t.hits) all.push_back(chainPos(*t.reader, k));
  std::sort(all.begin(), all.end());
  double hit = 0, miss = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::size_t first = i;
    while (first > 0 && std::get<0>(all[first - 1]) == std::get<0>(all[i])) --first;
    hit += double(i - first + 1);
  }
  for (U64 k : t.misses) {
    auto p = chainPos(*t.reader, k);
    auto lo = std::lower_bound(all.begin(), all.end(), std::tuple<U32, U32, U64>{std::get<0>(p), 0, 0});
    auto at = std::lower_bound(lo, all.end(), p);
    bool greaterInRun = at != all.end() && std::get<0>(*at) == std::get<0>(p);
    miss += double(at - lo) + (greaterInRun ? 1 : 0);
  }
  t.hitSlots = hit / double(all.size());
  t.missSlots = miss / double(t.misses.size());
}

// What the reader counted besides lookups: nonzero means the loop was not
// the plain lock-free path (restarts, retries, remaps).
void readerHealth(benchmark::State& state, Reader const& r, Zolm::Reader::Counters const& before) {
  Zolm::Reader::Counters c = r.readerCounters();
  state.counters["restarts"] = double(c.restarts - before.restarts);
  state.counters["retries"] = double(c.retries - before.retries + c.remaps - before.remaps);
}
void tableShape(benchmark::State& state, Table const& t) {
  state.counters["load"] = double(t.reader->members()) / double(t.reader->buckets());
  state.counters["hitSlots"] = t.hitSlots;
  state.counters["missSlots"] = t.missSlots;
}
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
    t.loop = std::make_unique<Quiv::EventLoop>();
    t.map = std::make_unique<Zolm::ZolmMap<Ops>>(name, t.loop.get());
    Zolm::MapDescriptor d;
    d.type = Zolm::ZolmType::reader;
    t.map->init(d);
    if (t.map->form() != Zolm::ZolmMap<Ops>::Form::reader) throw std::runtime_error("map did not attach");
    t.hits = shuffled(k);
    t.misses = keys(n, 4242);
    chainStats(t);
  }
  return t;
}

void BM_ReaderLookupHit(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.hits.size();
  NexthopEntryConfig v;
  bool found = false;
  U64 missed = 0;
  Zolm::Reader::Counters before = t.reader->readerCounters();
  for (auto _ : state) {
    t.reader->lookup(EntryKey(t.hits[i]), found, &v);
    benchmark::DoNotOptimize(v);
    missed += !found;
    if (++i == n) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
  tableShape(state, t);
  readerHealth(state, *t.reader, before);
}

// The same keys in groups of 32 through lookupBatch: hashes first, bucket
// words and slots prefetched, then the walks. `per_op` is per key.
void readerBatch(benchmark::State& state, std::vector<U64> const& order, bool hits) {
  Table& t = table(std::size_t(state.range(0)));
  constexpr U32 B = 32;
  std::size_t i = 0, n = order.size() / B * B;
  EntryKey ks[B];
  NexthopEntryConfig v[B];
  bool found[B];
  U64 wrong = 0;
  Zolm::Reader::Counters before = t.reader->readerCounters();
  for (auto _ : state) {
    for (U32 j = 0; j < B; ++j) ks[j] = EntryKey(order[i + j]);
    wrong += t.reader->lookupBatch(ks, B, v, found) != (hits ? B : 0);
    benchmark::DoNotOptimize(v);
    if ((i += B) == n) i = 0;
  }
  if (wrong) state.SkipWithError("a batch did not find what it should");
  perOp(state, state.iterations() * B);
  readerHealth(state, *t.reader, before);
}
void BM_ReaderLookupBatchHit(benchmark::State& state) {
  readerBatch(state, table(std::size_t(state.range(0))).hits, true);
}
void BM_ReaderLookupBatchMiss(benchmark::State& state) {
  readerBatch(state, table(std::size_t(state.range(0))).misses, false);
}
// The writer's own batched lookups of the same keys (its map is the one the
// reader follows).
void BM_WriterLookupBatchHit(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  constexpr U32 B = 32;
  std::size_t i = 0, n = t.hits.size() / B * B;
  EntryKey ks[B];
  NexthopEntryConfig v[B];
  bool found[B];
  U64 wrong = 0;
  for (auto _ : state) {
    for (U32 j = 0; j < B; ++j) ks[j] = EntryKey(t.hits[i + j]);
    wrong += t.writer->lookupBatch(ks, B, v, found) != B;
    benchmark::DoNotOptimize(v);
    if ((i += B) == n) i = 0;
  }
  if (wrong) state.SkipWithError("a batch did not find what it should");
  perOp(state, state.iterations() * B);
}

// The same lookups through the facade: one virtual call into the reader
// and the frame that catches corruption reports.
void BM_MapLookupHit(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.hits.size();
  NexthopEntryConfig v;
  Zolm::IterHint hint;
  U64 missed = 0;
  for (auto _ : state) {
    missed += !t.map->lookup(EntryKey(t.hits[i]), v, hint);
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
}

void BM_ReaderLookupMiss(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  std::size_t i = 0, n = t.misses.size();
  NexthopEntryConfig v;
  bool found = false;
  U64 hit = 0;
  Zolm::Reader::Counters before = t.reader->readerCounters();
  for (auto _ : state) {
    t.reader->lookup(EntryKey(t.misses[i]), found, &v);
    hit += found;
    if (++i == n) i = 0;
  }
  benchmark::DoNotOptimize(hit);
  perOp(state, state.iterations());
  tableShape(state, t);
  readerHealth(state, *t.reader, before);
}

void BM_ReaderIteratePerEntry(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  U64 entries = 0;
  Zolm::Reader::Counters before = t.reader->readerCounters();
  for (auto _ : state) {
    NexthopEntryConfig v;
    Zolm::IterHint hint;
    U64 walked = 0;
    for (bool more = t.reader->first(v, hint); more; more = t.reader->next(v.key(), v, hint)) {
      benchmark::DoNotOptimize(v);
      ++walked;
    }
    if (walked != t.hits.size()) state.SkipWithError("iteration did not see every entry once");
    entries += walked;
  }
  perOp(state, entries);
  Zolm::Reader::Counters c = t.reader->readerCounters();
  // Empty buckets passed per entry: each is one more random bucket word,
  // since buckets come in bit-reversed order.
  state.counters["skips_per_entry"] = double(c.bucketSkips - before.bucketSkips) / double(entries ? entries : 1);
  state.counters["slow_per_entry"] = double(c.slowPaths - before.slowPaths) / double(entries ? entries : 1);
  readerHealth(state, *t.reader, before);
}

// Every slot in index order through getValue: what a walk that needs no
// order costs, next to the ordered first/next walk above.
void BM_ReaderScanBySlot(benchmark::State& state) {
  Table& t = table(std::size_t(state.range(0)));
  U64 entries = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    U32 cap = t.reader->capacity();
    U64 seen = 0;
    for (U32 s = 0; s < cap; ++s) {
      if (t.reader->getValue(s, v)) ++seen;
      benchmark::DoNotOptimize(v);
    }
    if (seen != t.hits.size()) state.SkipWithError("scan did not see every entry once");
    entries += seen;
  }
  perOp(state, entries);
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
  perOp(state, state.iterations());
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
    i += 1 + (v.weight() & mask);
    if (i >= n) i = 0;
  }
  perOp(state, state.iterations());
}

// --- the layout without the protocol ----------------------------------------------
// The reader's own files, mapped again read-only and walked with plain
// loads and none of the reader's checks (no flag re-reads, no link
// re-validation, no retry wrapper): what the bucket-chain layout costs by
// itself, so that the reader's figures split into layout and protocol.
//   BM_RawWalk          the files as they are: slot i is at 600 + S + i*S,
//                       so with S = 64 every slot straddles two lines;
//   BM_RawWalkAligned   the same slots copied to start on a 64-byte line;
//   BM_RawWalkPipelined the files as they are, 8 lookups in flight: the
//                       bucket word is prefetched 16 keys ahead and the
//                       first slot 8 keys ahead (what a batched lookup could do).
constexpr U32 S = Ops::slotSize;

struct RawLayout {
  U64 const* buckets = nullptr;
  U32 mask = 0;
  char const* slots = nullptr;  // slot 0 in the shared mapping
  char* aligned = nullptr;      // slot 0 of the line-aligned copy
  std::vector<std::pair<void*, std::size_t>> maps;
  ~RawLayout() {
    for (auto& [p, len] : maps) ::munmap(p, len);
    std::free(aligned);
  }
};
void* mapReadOnly(std::string const& file, std::size_t& len) {
  int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + file);
  struct stat st {};
  ::fstat(fd, &st);
  len = std::size_t(st.st_size);
  void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) throw std::runtime_error("cannot map " + file);
  return p;
}
RawLayout& raw(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<RawLayout>> layouts;
  auto& l = layouts[n];
  if (!l) {
    Table& t = table(n);
    l = std::make_unique<RawLayout>();
    std::string dir = t.reader->rootPath().dirName();
    std::size_t blen, slen;
    void* b = mapReadOnly(dir + "/buckets", blen);
    void* sl = mapReadOnly(dir + "/slots", slen);
    l->maps = {{b, blen}, {sl, slen}};
    l->buckets = static_cast<ZolmCore::BucketHeader const*>(b)->buckets();
    l->mask = t.reader->buckets() - 1;
    l->slots = static_cast<char const*>(sl) + Zolm::SlotTable::headerSize(S);
    std::size_t bytes = std::size_t(t.reader->capacity()) * S;
    l->aligned = static_cast<char*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    std::memcpy(l->aligned, l->slots, bytes);
  }
  return *l;
}

inline bool rawLookup(RawLayout const& l, char const* slots, EntryKey key, U32 h, NexthopEntryConfig& out) {
  U32 rh = Zolm::reverseBits32(h);
  U64 w = l.buckets[h & l.mask];
  for (;;) {
    U32 t = Zolm::SlotLink::target(w);
    if (!Zolm::SlotLink::isSlot(t)) return false;
    char const* slot = slots + U64(t) * S;
    auto const* p = reinterpret_cast<Zolm::SlotPrefix const*>(slot);
    U32 srh = p->rhash;
    if (srh >= rh) {
      std::memcpy(static_cast<void*>(&out), slot + sizeof(Zolm::SlotPrefix), sizeof out);
      if (srh == rh && out.key() == key) return true;
      if (srh > rh || key < out.key()) return false;
    }
    w = p->link;
  }
}

void rawWalk(benchmark::State& state, bool aligned) {
  std::size_t n = std::size_t(state.range(0));
  Table& t = table(n);
  RawLayout& l = raw(n);
  char const* slots = aligned ? l.aligned : l.slots;
  Ops const& ops = t.reader->ops();
  std::size_t i = 0;
  NexthopEntryConfig v;
  U64 missed = 0;
  for (auto _ : state) {
    EntryKey k(t.hits[i]);
    missed += !rawLookup(l, slots, k, ops.hash(k), v);
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
}
void BM_RawWalk(benchmark::State& state) { rawWalk(state, false); }

// The raw walk followed by 180 no-ops: as many instructions as the reader
// spends per lookup beyond the raw walk. The no-ops do nothing but hold
// places in the core's reorder window, so what this costs over BM_RawWalk
// at 1e6 is overlap between lookups lost to a longer instruction path.
void BM_RawWalkPadded(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  Table& t = table(n);
  RawLayout& l = raw(n);
  Ops const& ops = t.reader->ops();
  std::size_t i = 0;
  NexthopEntryConfig v;
  U64 missed = 0;
  for (auto _ : state) {
    EntryKey k(t.hits[i]);
    missed += !rawLookup(l, l.slots, k, ops.hash(k), v);
    asm volatile(".rept 180\n\tnop\n\t.endr" ::: "memory");
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
}
// Latency: as BM_ReaderLookupHitDependent, the next key waits for this value.
void BM_RawWalkDependent(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  Table& t = table(n);
  RawLayout& l = raw(n);
  Ops const& ops = t.reader->ops();
  std::size_t i = 0;
  NexthopEntryConfig v;
  U32 mask = 0;
  benchmark::DoNotOptimize(mask);
  for (auto _ : state) {
    EntryKey k(t.hits[i]);
    rawLookup(l, l.slots, k, ops.hash(k), v);
    i += 1 + (v.weight() & mask);
    if (i >= n) i = 0;
  }
  perOp(state, state.iterations());
}
void BM_RawWalkAligned(benchmark::State& state) { rawWalk(state, true); }

void BM_RawWalkPipelined(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  Table& t = table(n);
  RawLayout& l = raw(n);
  Ops const& ops = t.reader->ops();
  U32 ring[32];  // hashes of the keys in flight, by lookup number
  for (std::size_t c = 0; c < 16; ++c) ring[c] = ops.hash(EntryKey(t.hits[c]));
  std::size_t i = 0, i16 = 16;
  U64 c = 0, missed = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    U32 h16 = ops.hash(EntryKey(t.hits[i16]));
    ring[(c + 16) & 31] = h16;
    __builtin_prefetch(&l.buckets[h16 & l.mask]);
    U32 t8 = Zolm::SlotLink::target(l.buckets[ring[(c + 8) & 31] & l.mask]);
    if (Zolm::SlotLink::isSlot(t8)) {
      char const* slot = l.slots + U64(t8) * S;
      __builtin_prefetch(slot);
      __builtin_prefetch(slot + S - 1);
    }
    missed += !rawLookup(l, l.slots, EntryKey(t.hits[i]), ring[c & 31], v);
    benchmark::DoNotOptimize(v);
    ++c;
    if (++i == n) i = 0;
    if (++i16 == n) i16 = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
}

// The reader's own lookups with the lines they will need prefetched ahead
// through the second mapping (same pages): bucket words 16 keys ahead,
// first slots 8 keys ahead. What a batched reader lookup would gain.
void BM_ReaderLookupHitPrefetched(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  Table& t = table(n);
  RawLayout& l = raw(n);
  Ops const& ops = t.reader->ops();
  U32 ring[32];
  for (std::size_t c = 0; c < 16; ++c) ring[c] = ops.hash(EntryKey(t.hits[c]));
  std::size_t i = 0, i16 = 16;
  U64 c = 0, missed = 0;
  NexthopEntryConfig v;
  bool found = false;
  for (auto _ : state) {
    U32 h16 = ops.hash(EntryKey(t.hits[i16]));
    ring[(c + 16) & 31] = h16;
    __builtin_prefetch(&l.buckets[h16 & l.mask]);
    U32 t8 = Zolm::SlotLink::target(l.buckets[ring[(c + 8) & 31] & l.mask]);
    if (Zolm::SlotLink::isSlot(t8)) {
      char const* slot = l.slots + U64(t8) * S;
      __builtin_prefetch(slot);
      __builtin_prefetch(slot + S - 1);
    }
    t.reader->lookup(EntryKey(t.hits[i]), found, &v);
    missed += !found;
    benchmark::DoNotOptimize(v);
    ++c;
    if (++i == n) i = 0;
    if (++i16 == n) i16 = 0;
  }
  if (missed) state.SkipWithError("a present key was not found");
  perOp(state, state.iterations());
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
  perOp(state, state.iterations());
}

void BM_AbslFindHitDependent(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  auto& [map, order] = abslMap(n);
  std::size_t i = 0;
  U32 mask = 0;
  benchmark::DoNotOptimize(mask);
  for (auto _ : state) {
    auto it = map.find(order[i]);
    i += 1 + (it->second.weight() & mask);
    if (i >= n) i = 0;
  }
  perOp(state, state.iterations());
}

// The whole absl map in its own (unordered) order, a copy of each value:
// the in-process floor beside BM_ReaderIteratePerEntry.
void BM_AbslIteratePerEntry(benchmark::State& state) {
  auto& m = abslMap(std::size_t(state.range(0))).first;
  U64 entries = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    for (auto const& kv : m) {
      v = kv.second;
      benchmark::DoNotOptimize(v);
    }
    entries += m.size();
  }
  perOp(state, entries);
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
  perOp(state, state.iterations());
}

// The whole table in key order through one cursor in one read transaction:
// LMDB's ordered walk, beside BM_ReaderIteratePerEntry.
void BM_LmdbCursorWalkPerEntry(benchmark::State& state) {
  Lmdb& db = lmdb(std::size_t(state.range(0)));
  MDB_txn* txn;
  lmdbCheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  U64 entries = 0;
  NexthopEntryConfig v;
  for (auto _ : state) {
    MDB_cursor* cur;
    lmdbCheck(mdb_cursor_open(txn, db.dbi, &cur), "mdb_cursor_open");
    MDB_val mk, mv;
    U64 walked = 0;
    for (int rc = mdb_cursor_get(cur, &mk, &mv, MDB_FIRST); rc == MDB_SUCCESS;
         rc = mdb_cursor_get(cur, &mk, &mv, MDB_NEXT)) {
      std::memcpy(static_cast<void*>(&v), mv.mv_data, sizeof v);
      benchmark::DoNotOptimize(v);
      ++walked;
    }
    mdb_cursor_close(cur);
    if (walked != db.order.size()) state.SkipWithError("the cursor did not see every entry once");
    entries += walked;
  }
  mdb_txn_abort(txn);
  perOp(state, entries);
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
  perOp(state, state.iterations());
}

// A read-only transaction per lookup opened and closed outright
// (mdb_txn_begin MDB_RDONLY / mdb_get / mdb_txn_abort): what a caller pays
// that keeps no transaction handle between lookups.
void BM_LmdbGetTxnBeginAbort(benchmark::State& state) {
  Lmdb& db = lmdb(std::size_t(state.range(0)));
  std::size_t i = 0, n = db.order.size();
  NexthopEntryConfig v;
  for (auto _ : state) {
    MDB_txn* txn;
    lmdbCheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
    MDB_val mk{sizeof(U64), &db.order[i]}, mv;
    lmdbCheck(mdb_get(txn, db.dbi, &mk, &mv), "mdb_get");
    std::memcpy(static_cast<void*>(&v), mv.mv_data, sizeof v);
    mdb_txn_abort(txn);
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
  perOp(state, state.iterations());
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
  perOp(state, state.iterations());
}

// The same chase over cells that start 24 bytes into a line, as the slots
// of a 64-byte-slot table do, with both halves of each cell read: what a
// slot copy pays for straddling two lines.
void BM_MemoryFloor64BStraddled(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  constexpr std::size_t CELL = 64, OFFSET = 24;
  char* mem = static_cast<char*>(std::aligned_alloc(64, n * CELL + 64));
  char* cells = mem + OFFSET;
  std::vector<U64> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(9));
  for (std::size_t i = 0; i < n; ++i) {
    std::memset(cells + order[i] * CELL, 0, CELL);
    std::memcpy(cells + order[i] * CELL, &order[(i + 1) % n], 8);
  }
  U64 at = order[0];
  for (auto _ : state) {
    char const* c = cells + at * CELL;
    U64 next, tail;
    std::memcpy(&next, c, 8);
    std::memcpy(&tail, c + CELL - 8, 8);  // zero: the next read waits for both lines
    at = next + tail;
    benchmark::DoNotOptimize(at);
  }
  std::free(mem);
  perOp(state, state.iterations());
}

void sizes(benchmark::internal::Benchmark* b) {
  for (long n : {1000L, 100000L, 1000000L}) b->Arg(n);
}

BENCHMARK(BM_ReaderLookupHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupBatchHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupBatchMiss)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_WriterLookupBatchHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_MapLookupHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupMiss)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderIteratePerEntry)->Apply(sizes)->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderScanBySlot)->Apply(sizes)->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderGetValue)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_ReaderLookupHitDependent)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_RawWalk)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_RawWalkPadded)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_RawWalkDependent)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_RawWalkAligned)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_RawWalkPipelined)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_ReaderLookupHitPrefetched)->Apply(sizes)->MinTime(0.2);
BENCHMARK(BM_AbslFindHit)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_AbslFindHitDependent)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_AbslIteratePerEntry)->Apply(sizes)->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LmdbGetLongTxn)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_LmdbCursorWalkPerEntry)->Apply(sizes)->MinTime(0.3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LmdbGetTxnPerLookup)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_LmdbGetTxnBeginAbort)->Apply(sizes)->MinTime(0.3);
BENCHMARK(BM_MemoryFloor64B)->Arg(1000000)->MinTime(0.3);
BENCHMARK(BM_MemoryFloor64BStraddled)->Arg(1000000)->MinTime(0.3);

}  // namespace
