// L2 hot paths: the hardware codec, parity and CRCs, and the entry's text form.
#include <benchmark/benchmark.h>

#include <VexaSwitchValues.h>

#include "testutil/CrcReference.h"

using namespace VexaSwitch;

namespace {

L2LogicalEntry entry() {
  L2LogicalEntry e(Bridging::MacVlanPair(Bridging::EthAddr({1, 2, 3, 4, 5, 6}), Bridging::VlanId(10)));
  e.ingressPortMaskIs(IngressPortMask(0x1F));
  e.mcastFlagsIs(L2McastFlags(5));
  e.lastSeenIs(L2HwLastSeen(0x2A));
  e.intfIs(Lanx::IntfId("Ethernet3/1"));
  return e;
}

void BM_HwEntry(benchmark::State& state) {
  ProfileHwProperties p;
  p.parityEnabled = state.range(0);
  auto e = entry();
  for (auto _ : state) benchmark::DoNotOptimize(e.hwEntry(48, p));
}
BENCHMARK(BM_HwEntry)->Arg(0)->Arg(1);

void BM_FromHwEntry(benchmark::State& state) {
  ProfileHwProperties p;
  p.parityEnabled = state.range(0);
  auto hw = entry().hwEntry(48, p);
  for (auto _ : state) benchmark::DoNotOptimize(L2LogicalEntry::fromHwEntry(hw, 48, p));
}
BENCHMARK(BM_FromHwEntry)->Arg(0)->Arg(1);

void BM_Parity64(benchmark::State& state) {
  U64 w = 0x0123456789ABCDEFULL;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parity64Bit(w));
    ++w;
  }
}
BENCHMARK(BM_Parity64);

void BM_ParityU32Array4(benchmark::State& state) {
  U32 words[4] = {1, 2, 3, 4};
  for (auto _ : state) {
    benchmark::DoNotOptimize(parityU32Array(words, 4));
    ++words[0];
  }
}
BENCHMARK(BM_ParityU32Array4);

template <U32 (*Crc)(U8*, U8, U8)>
void BM_Crc(benchmark::State& state) {
  U8 buf[40] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  U8 bits = static_cast<U8>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc(buf, 0, bits));
    ++buf[0];
  }
}
BENCHMARK(BM_Crc<crc10Hash>)->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<crc11Hash>)->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<crc12Hash>)->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<crc13Hash>)->Arg(48)->Arg(60)->Arg(255);

// The yardstick of the table-driven hashes above: the bit-at-a-time forms
// they replaced (the tests' reference), polynomial 0 of each width.
template <unsigned W, U32 Poly>
U32 augmentedByBit(U8* data, U8, U8 dataBits) {
  return VexaTest::augmentedByBit<W>(data, Poly, dataBits);
}
U32 crc11ByBit(U8* data, U8, U8 dataBits) { return VexaTest::crc11ByBit(data, 0xE7, dataBits); }
BENCHMARK(BM_Crc<augmentedByBit<10, 0x97>>)->Name("BM_CrcBitwise<crc10>")->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<crc11ByBit>)->Name("BM_CrcBitwise<crc11>")->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<augmentedByBit<12, 0x53>>)->Name("BM_CrcBitwise<crc12>")->Arg(48)->Arg(60)->Arg(255);
BENCHMARK(BM_Crc<augmentedByBit<13, 0x55>>)->Name("BM_CrcBitwise<crc13>")->Arg(48)->Arg(60)->Arg(255);

void BM_L2EntryToText(benchmark::State& state) {
  auto e = entry();
  for (auto _ : state) benchmark::DoNotOptimize(valueToStrep(e));
}
BENCHMARK(BM_L2EntryToText);

void BM_L2EntryFromText(benchmark::State& state) {
  Quiv::String text = valueToStrep(entry());
  for (auto _ : state) benchmark::DoNotOptimize(Kel::strepToValue<L2LogicalEntry>(text));
}
BENCHMARK(BM_L2EntryFromText);

}  // namespace
