// The L2 model: positions and control words, the worked hardware entry,
// codec round trips over every port count, the stored image, text forms.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "VexaSwitchLib/tables/L2Types.h"
#include "VexaSwitchLib/tables/VexaSwitchUtil.h"
#include "testutil/Expect.h"

namespace vexa_l2types_test {

using namespace VexaSwitch;
using VexaTest::thrownMessage;

namespace {

Bridging::MacVlanPair key123456(U16 vlan = 10) {
  return Bridging::MacVlanPair(Bridging::EthAddr({1, 2, 3, 4, 5, 6}), Bridging::VlanId(vlan));
}

ProfileHwProperties profile(bool parity) {
  ProfileHwProperties p;
  p.parityEnabled = parity;
  return p;
}

constexpr char kIndexMsg[] =
    "VexaSwitch::L2HashTableIndex::value < 0 or > VexaSwitch::L2HashTableIndex::invalid not allowed";

TEST(L2Positions, WayIndexBoundsInvalidMarkerAndRefusals) {
  EXPECT_EQ(L2HashTableIndex::fromWayIndex(2, 4095, 3, 4096).value(), 12287u);
  EXPECT_TRUE(L2HashTableIndex::fromWayIndex(0, 0, 3, 4096));
  EXPECT_FALSE(L2HashTableIndex());
  auto idx = L2HashTableIndex::fromWayIndex(2, 17, 3, 4096);
  EXPECT_EQ(std::pair(idx.way(), idx.index()), std::pair(2u, 17u));
  EXPECT_EQ(L2HashTableIndex::fromWayIndex(3, 0, 4, 4096).value(), 12288u);
  EXPECT_EQ(thrownMessage<Kel::RangeException>([] { L2HashTableIndex::fromWayIndex(3, 1, 4, 4096); }), kIndexMsg);
  EXPECT_EQ(Kel::strepToValue<L2HashTableIndex>("12288").value(), 12288u);
  EXPECT_THROW(Kel::strepToValue<L2HashTableIndex>("12289"), Kel::RangeException);
  // A decoded mask above its limit: with 55 ports the hardware field can
  // carry mask bits up to 2^52.
  EXPECT_EQ(thrownMessage<Kel::RangeException>(
                [] { L2LogicalEntry::fromHwEntry(L2HashTableHwEntry(0, U64(1) << 48), 55, profile(false)); }),
            "VexaSwitch::IngressPortMask::value < 0 or > VexaSwitch::IngressPortMask::invalid not allowed");
}

TEST(L2PositionsDeathTest, BrokenPreconditionsStopTheProcess) {
  EXPECT_DEATH(L2HashTableIndex::fromWayIndex(3, 0, 3, 4096), "way < maxWay.*L2Types.*way can not exceed 3");
  EXPECT_DEATH(L2HashTableIndex::fromWayIndex(0, 4096, 3, 4096),
               "index < maxEntries.*L2Types.*index can not exceed 4096");
  EXPECT_DEATH(L2HashTableControl::fromFields(5, 0, false, false, false, false, 3, 4096), "way < maxWay");
}

TEST(L2ControlWords, FieldsAndViews) {
  auto c = L2HashTableControl::fromFields(1, 5, true, false, false, true, 3, 4096);
  EXPECT_EQ(c.value(), 0x29005u);
  EXPECT_EQ(std::pair(c.way(), c.index()), std::pair(1u, 5u));
  EXPECT_TRUE(c.writeOp() && !c.readOp() && !c.lastSeenOverride() && c.lastSeenRelative());
  EXPECT_EQ(L2McastFlags::fromFields(true, false, true).value(), 5);
  auto hw = L2HashTableHwEntry::fromWords(1, 2, 3, 4);
  EXPECT_EQ(std::pair(hw.qword0(), hw.qword1()), std::pair(U64(0x0000000200000001), U64(0x0000000400000003)));
  EXPECT_EQ(hw.data0() + hw.data1() * 10 + hw.data2() * 100 + hw.data3() * 1000, 4321u);
  L2PortControl pc(6);
  EXPECT_FALSE(pc.isMlagPeer());
  EXPECT_TRUE(pc.learnOnly() && pc.learnDisable());
}

L2LogicalEntry workedEntry() {
  L2LogicalEntry e(key123456());
  e.ingressPortMaskIs(IngressPortMask(0x1F));
  e.mcastFlagsIs(L2McastFlags(5));
  e.lastSeenIs(L2HwLastSeen(0x2A));
  return e;
}

TEST(L2Codec, WorkedExampleWithAndWithoutParity) {
  L2LogicalEntry e = workedEntry();
  for (auto [parity, qword1] : {std::pair{true, 0x0055A00000000001ULL}, {false, 0x002AA00000000001ULL}}) {
    auto hw = e.hwEntry(48, profile(parity));
    EXPECT_EQ(hw.qword0(), 0xF01020304050600AULL) << parity;
    EXPECT_EQ(hw.qword1(), qword1) << parity;
    EXPECT_EQ(L2LogicalEntry::fromHwEntry(hw, 48, profile(parity)), e) << parity;
  }
  // The key alone: MAC in bits 12..59, VLAN in 0..11.
  auto k = L2LogicalEntry(key123456()).hwEntry(48, profile(false));
  EXPECT_EQ((k.qword0() >> 12) & 0xFFFFFFFFFFFFULL, 0x010203040506ULL);
  EXPECT_EQ(k.qword0() & 0xFFF, 10u);
}

L2LogicalEntry randomEntry(std::mt19937_64& rng) {
  L2LogicalEntry e(Bridging::MacVlanPair(Bridging::EthAddr::fromU48(rng() & 0xFFFFFFFFFFFFULL),
                                         Bridging::VlanId(static_cast<U16>(rng() % 4096))));
  e.ingressPortMaskIs(IngressPortMask(rng() & ((U64(1) << 49) - 1)));
  e.lastSeenIs(L2HwLastSeen(static_cast<U16>(rng() & 0x1FF)));
  e.mcastFlagsIs(L2McastFlags(static_cast<U8>(rng() & 7)));
  return e;
}

TEST(L2Codec, RoundTripsForEveryPortCount) {
  std::mt19937_64 rng(21);
  for (U8 n = 3; n <= 55; ++n) {
    for (bool parity : {false, true}) {
      for (int i = 0; i < 300; ++i) {
        L2LogicalEntry e = randomEntry(rng);
        e.timestampIs(rng());  // software-only: must come back at its default
        e.intfIs(Lanx::IntfId("Ethernet7"));
        auto hw = e.hwEntry(n, profile(parity));
        L2LogicalEntry back = L2LogicalEntry::fromHwEntry(hw, n, profile(parity));
        U64 keep = n + 1 < 64 ? (U64(1) << (n + 1)) - 1 : ~U64(0);
        ASSERT_EQ(back.key(), e.key());
        ASSERT_EQ(back.ingressPortMask().value(), e.ingressPortMask().value() & keep) << int(n);
        ASSERT_EQ(back.mcastFlags(), e.mcastFlags());
        ASSERT_EQ(back.lastSeen().value(), e.lastSeen().timestamp()) << "dirty comes back clear";
        ASSERT_EQ(back.timestamp(), 0u);
        ASSERT_TRUE(back.intf().empty());
        ASSERT_FALSE(back.tableIndex());
        if (parity) {
          ASSERT_EQ(parity64Bit(hw.qword0()) ^ parity64Bit(hw.qword1()), 0u);
          unsigned bit = static_cast<unsigned>(rng() % 128);
          U64 q0 = hw.qword0() ^ (bit < 64 ? U64(1) << bit : 0);
          U64 q1 = hw.qword1() ^ (bit >= 64 ? U64(1) << (bit - 64) : 0);
          ASSERT_EQ(parity64Bit(q0) ^ parity64Bit(q1), 1u);
        } else {
          ASSERT_EQ((hw.qword1() >> n) & 1, U64(e.lastSeen().timestamp() & 1));
        }
      }
    }
  }
}

TEST(L2LogicalEntry, StoredImageHoldsEveryFieldAtItsOffsetAndDefaultIsNull) {
  L2LogicalEntry e = workedEntry();
  e.tableIndexIs(L2HashTableIndex(777));
  e.timestampIs(0x1122334455667788ULL);
  e.mcastRoutingEnabledIs(true);
  e.entryTypeIs(Bridging::EntryType::configuredStaticMac);
  e.intfIs(Lanx::IntfId("Ethernet3/1"));
  e.moveCountIs(Nox::Seqno32(9));
  unsigned char img[52];
  std::memcpy(img, &e, sizeof img);
  auto u64at = [&](int off) { U64 v; std::memcpy(&v, img + off, 8); return v; };
  auto u32at = [&](int off) { U32 v; std::memcpy(&v, img + off, 4); return v; };
  EXPECT_EQ(std::vector<unsigned char>(img, img + 6), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(std::tuple(u32at(8), u64at(12), img[20], u32at(24), u64at(28)),
            std::tuple(10u, U64(0x1F), U8(0x2A), 777u, U64(0x1122334455667788ULL)));
  EXPECT_EQ(std::tuple(img[36], img[37], img[38], u64at(40), u32at(48)),
            std::tuple(U8(5), U8(1), U8(2), Lanx::IntfId("Ethernet3/1").raw(), 9u));
  // The default is null; any attribute makes it non-null (index 0 included).
  EXPECT_FALSE(L2LogicalEntry());
  L2LogicalEntry moved, placed;
  moved.moveCountIs(Nox::Seqno32(1));
  placed.tableIndexIs(L2HashTableIndex(0));
  EXPECT_TRUE(moved && placed);
}

// (Random entries through text: values_test.cpp.)
TEST(L2Text, MalformedTextIsRefused) {
  std::string good = valueToStrep(workedEntry()).str();
  EXPECT_THAT(good, ::testing::StartsWith("Value('VexaSwitch::L2LogicalEntry', ** {'key': Value('Bridging::MacVlanPair'"));
  for (std::size_t cut = 0; cut < good.size(); cut += 7)  // inside the nested key and every field
    EXPECT_THROW(Kel::strepToValue<L2LogicalEntry>(good.substr(0, cut)), Kel::ParseException) << cut;
  std::string wrongType = good, badIndex = good;
  wrongType.replace(good.find("L2LogicalEntry"), 14, "L2LogicalEntrx");
  EXPECT_THROW(Kel::strepToValue<L2LogicalEntry>(wrongType), Kel::ParseException);
  badIndex.replace(good.find("'tableIndex': 12288"), 19, "'tableIndex': 12289");
  EXPECT_EQ(thrownMessage<Kel::RangeException>([&] { Kel::strepToValue<L2LogicalEntry>(badIndex); }),
            std::string(kIndexMsg) + " (attribute 'tableIndex')");
}

}  // namespace

}  // namespace vexa_l2types_test
