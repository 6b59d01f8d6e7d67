// Value-type hot paths: the ACL binding's serialized form, table-name
// parsing, and text forms of small records.
#include <benchmark/benchmark.h>

#include <vector>

#include "VexaSwitchLib/tables/L3Types.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/VlanTypes.h"
#include "VexaSwitchLib/tables/ZolmTypes.h"

using namespace VexaSwitch;

namespace {

VlanMembershipAclEntryConfig fullBinding() {
  VlanMembershipAclEntryConfig c(Bridging::VlanId(100));
  for (U8 i = 0; i < 12; ++i) {
    c.aclIdIs(VlanMembershipTableAclIndex(i), PipeAclId(i));
    c.aclEnableIs(VlanMembershipTableAclIndex(i), PipeAclEnable(1));
    c.aclDefaultPermitIs(VlanMembershipTableAclIndex(i), PipeAclDefaultPermit(0));
  }
  return c;
}

void BM_AclSerialize(benchmark::State& state) {
  auto c = fullBinding();
  std::vector<unsigned char> buf(c.serializeLen());
  for (auto _ : state) {
    c.serialize(buf.data());
    benchmark::DoNotOptimize(buf.data());
  }
}
BENCHMARK(BM_AclSerialize);

void BM_AclDeserialize(benchmark::State& state) {
  auto c = fullBinding();
  std::vector<unsigned char> buf(c.serializeLen());
  c.serialize(buf.data());
  VlanMembershipAclEntryConfig out;
  for (auto _ : state) {
    out.deserialize(buf.data(), static_cast<U32>(buf.size()));
    benchmark::DoNotOptimize(&out);
  }
}
BENCHMARK(BM_AclDeserialize);

void BM_AclDeserializeLen(benchmark::State& state) {
  auto c = fullBinding();
  std::vector<unsigned char> buf(c.serializeLen());
  c.serialize(buf.data());
  for (auto _ : state) benchmark::DoNotOptimize(c.deserializeLen(buf.data(), static_cast<U32>(buf.size())));
}
BENCHMARK(BM_AclDeserializeLen);

void BM_FromTableName(benchmark::State& state) {
  Quiv::String name("vexaswitch/tables/l3/lpm-dev2-pipe11");
  for (auto _ : state) benchmark::DoNotOptimize(TableId::fromTableName(name));
}
BENCHMARK(BM_FromTableName);

void BM_TableName(benchmark::State& state) {
  TableId id = TableId::fromTableName("vexaswitch/tables/l3/lpm-dev2-pipe11");
  for (auto _ : state) benchmark::DoNotOptimize(id.tableName());
}
BENCHMARK(BM_TableName);

void BM_LagEntryTextRoundTrip(benchmark::State& state) {
  LagGroupIdEntry e(LagGroupId(5), Lanx::IntfId("Port-Channel17"));
  for (auto _ : state) benchmark::DoNotOptimize(Kel::strepToValue<LagGroupIdEntry>(valueToStrep(e)));
}
BENCHMARK(BM_LagEntryTextRoundTrip);

// Key hashing with a table seed, as the engine does on every lookup.
void BM_HashEntryKey(benchmark::State& state) {
  EntryKey k(0x123456789ULL);
  U32 seed = 0x5eed;
  for (auto _ : state) benchmark::DoNotOptimize(k.hash(seed++));
}
BENCHMARK(BM_HashEntryKey);

void BM_HashLpmKey(benchmark::State& state) {
  LpmKey k(1, 24, false, 0, 0x0A000000);
  U32 seed = 0x5eed;
  for (auto _ : state) benchmark::DoNotOptimize(k.hash(seed++));
}
BENCHMARK(BM_HashLpmKey);

void BM_HashMrouteKey(benchmark::State& state) {
  MrouteKey k(1, 0xE0000001, 0x0A000001);
  U32 seed = 0x5eed;
  for (auto _ : state) benchmark::DoNotOptimize(k.hash(seed++));
}
BENCHMARK(BM_HashMrouteKey);

void BM_HashVlanGroupKey(benchmark::State& state) {
  VlanGroupKey k(Bridging::VlanId(100), 7);
  U32 seed = 0x5eed;
  for (auto _ : state) benchmark::DoNotOptimize(k.hash(seed++));
}
BENCHMARK(BM_HashVlanGroupKey);

}  // namespace
