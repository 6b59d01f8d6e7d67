// What keeping values in slabs costs: write (insert), replace (a new value
// of another size, so the entry moves to another slab) and lookup on a
// table of slab-stored per-VLAN ACL bindings, next to a table that keeps
// the same 88-byte value in its slots; and a slab entry's alloc + free.
//
// The ACL table's key is a VLAN id (at most 4096 entries), so the tables
// here key the same value by a 32-bit id: `Slabbed` has the value's
// serialized form (16 to 88 bytes, in slabs), `InSlot` the value itself
// (a 112-byte slot). At 1e3 entries the real ACL table is measured too.
//
// `per_op` is the time of one operation.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "VexaSwitchLib/Bloka/SlabWriter.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/tables/VlanZolm.h"

namespace {

using Acl = VexaSwitch::VlanMembershipAclEntryConfig;
using Index = VexaSwitch::VlanMembershipTableAclIndex;

// An ACL binding of `n` elements.
Acl aclOf(U16 vlan, U32 n) {
  Acl a{Bridging::VlanId(vlan)};
  for (U32 i = 0; i < n && i < 36; ++i) {
    if (i < 12) a.aclIdIs(Index(U8(i)), VexaSwitch::PipeAclId(U16(i + 1)));
    else if (i < 24) a.aclEnableIs(Index(U8(i - 12)), VexaSwitch::PipeAclEnable(U16(i)));
    else a.aclDefaultPermitIs(Index(U8(i - 24)), VexaSwitch::PipeAclDefaultPermit(U16(i)));
  }
  return a;
}

struct InSlot {
  static constexpr std::string_view kelTypeName = "Bench::InSlot";
  U32 id = 0;
  Acl acl;
  U32 key() const { return id; }
};
struct Slabbed : InSlot {
  static constexpr std::string_view kelTypeName = "Bench::Slabbed";
  U32 serializeLen() const { return 4 + acl.serializeLen(); }
  void serialize(void* buf) const {
    std::memcpy(buf, &id, 4);
    acl.serialize(static_cast<char*>(buf) + 4);
  }
  U32 deserializeLen(void const* buf, U32 len) const { return len < 4 ? 0 : acl.deserializeLen(static_cast<char const*>(buf) + 4, len - 4); }
  void deserialize(void const* buf, U32 len) {
    std::memcpy(&id, buf, 4);
    acl.deserialize(static_cast<char const*>(buf) + 4, len - 4);
  }
};
// 4 + 16 + 2 x 34 = 88, the largest payload: 34 elements at most.
template <class V>
V valueOf(U32 id, U32 version) {
  V v;
  v.id = id;
  v.acl = aclOf(U16(id & 0xFFF), (id + version) % 35);
  return v;
}
Acl realOf(U32 id, U32 version) { return aclOf(U16(id), 1 + (id + version) % 36); }

using SlabOps = Zolm::Ops<U32, Slabbed>;
using SlotOps = Zolm::Ops<U32, InSlot>;
using RealOps = VexaSwitch::VlanMembershipTableAclConfigOps;
static_assert(SlabOps::dynamic && !SlotOps::dynamic && SlabOps::slotSize == 24 && SlotOps::slotSize == 112);

template <class Ops>
auto makeValue(U32 id, U32 version) {
  if constexpr (std::is_same_v<Ops, RealOps>) return realOf(id, version);
  else return valueOf<typename Ops::Value>(id, version);
}
template <class Ops>
auto keyOf(U32 id) {
  if constexpr (std::is_same_v<Ops, RealOps>) return Bridging::VlanId(U16(id));
  else return id;
}

std::vector<U32> ids(std::size_t n, bool real) {
  std::vector<U32> v(n);
  std::vector<U64> random = VexaBench::keys(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = real ? U32(i + 1) : U32(random[i]);
  return v;
}

int tableNo = 0;

template <class Ops>
std::unique_ptr<Zolm::ZolmWriter<Ops>> newWriter(std::size_t n, std::string& name) {
  VexaBench::benchRoot();
  Zolm::WriterConfig c;
  c.maxSlots = U32(n);
  name = "vexaswitch/tables/sbench/t" + std::to_string(++tableNo);
  auto w = std::make_unique<Zolm::ZolmWriter<Ops>>(nullptr, name, c);
  w->initialize();
  return w;
}

template <class Ops>
void BM_Write(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  auto k = ids(n, std::is_same_v<Ops, RealOps>);
  std::vector<typename Ops::Value> values;
  for (U32 id : k) values.push_back(makeValue<Ops>(id, 0));
  for (auto _ : state) {
    state.PauseTiming();
    std::string name;
    auto w = newWriter<Ops>(n, name);
    state.ResumeTiming();
    for (auto const& v : values) w->write(v, true);
    state.PauseTiming();
    w->removeFiles();
    w.reset();
    state.ResumeTiming();
  }
  state.counters["per_op"] = benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate |
                                                              benchmark::Counter::kInvert);
}

template <class Ops>
void BM_Replace(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  auto k = ids(n, std::is_same_v<Ops, RealOps>);
  std::string name;
  auto w = newWriter<Ops>(n, name);
  for (U32 id : k) w->write(makeValue<Ops>(id, 0), true);
  // Versions 1..7: each replace changes the value's size.
  std::vector<typename Ops::Value> values;
  for (U32 ver = 1; ver <= 7; ++ver)
    for (U32 id : k) values.push_back(makeValue<Ops>(id, ver));
  std::size_t i = 0;
  for (auto _ : state) {
    w->write(values[i], true);
    if (++i == values.size()) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
  w->removeFiles();
}

template <class Ops>
void BM_Lookup(benchmark::State& state) {
  std::size_t n = std::size_t(state.range(0));
  std::vector<U32> in = ids(n, std::is_same_v<Ops, RealOps>);
  auto k = VexaBench::shuffled(std::vector<U64>(in.begin(), in.end()));
  std::string name;
  auto w = newWriter<Ops>(n, name);
  for (U64 id : k) w->write(makeValue<Ops>(U32(id), 0), true);
  Zolm::ZolmReader<Ops> r(nullptr, name);
  r.initialize();
  std::size_t i = 0;
  typename Ops::Value out;
  for (auto _ : state) {
    bool found;
    benchmark::DoNotOptimize(r.lookup(keyOf<Ops>(U32(k[i])), found, &out));
    if (++i == k.size()) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
  r.detach();
  w->removeFiles();
}

// One alloc and one free of an entry, in a slab that holds `range` entries
// (so that the free list, not growth, is what is measured).
void BM_SlabAllocFree(benchmark::State& state) {
  VexaBench::benchRoot();
  Mem::RootPath root(nullptr, "vexaswitch/tables/sbench/alloc" + std::to_string(++tableNo));
  Bloka::WriterAllocator a(nullptr, "alloc", root, false, Bloka::SizeClasses::of<Bloka::LinearSizeConfig<88>>());
  a.format(0x10001);
  std::vector<Bloka::Offset> held(std::size_t(state.range(0)));
  for (auto& o : held) a.alloc(40, o);
  std::size_t i = 0;
  for (auto _ : state) {
    Bloka::Offset o;
    a.dealloc(held[i]);
    benchmark::DoNotOptimize(a.alloc(40, o));
    held[i] = o;
    if (++i == held.size()) i = 0;
  }
  state.counters["per_op"] = benchmark::Counter(2, benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
  a.removeFiles();
}

BENCHMARK(BM_Write<SlabOps>)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write<SlotOps>)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write<RealOps>)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Replace<SlabOps>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_Replace<SlotOps>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_Replace<RealOps>)->Arg(1000);
BENCHMARK(BM_Lookup<SlabOps>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_Lookup<SlotOps>)->Arg(1000)->Arg(100000);
BENCHMARK(BM_Lookup<RealOps>)->Arg(1000);
BENCHMARK(BM_SlabAllocFree)->Arg(1000)->Arg(100000);

}  // namespace
