// Table values (L3 keys and entries and the other records): every type survives its text form and its byte
// image with random contents; composite keys hash and order consistently.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "tables/AclTypes.h"

#include "tables/L3Types.h"
#include "tables/LagTypes.h"
#include "tables/NatTypes.h"
#include "tables/VlanTypes.h"

using namespace VexaSwitch;

namespace {

template <class M>
M randomValue(std::mt19937_64& rng);

template <class T>
T randomRecord(std::mt19937_64& rng) {
  T v;
  std::apply([&](auto const&... f) { (Kel::fieldSet(v, f, randomValue<typename std::remove_cvref_t<decltype(f)>::Type>(rng)), ...); },
             T::kelFields());
  return v;
}

template <class M>
M randomValue(std::mt19937_64& rng) {
  if constexpr (std::is_same_v<M, bool>) return rng() % 2;
  else if constexpr (std::is_unsigned_v<M>) return static_cast<M>(rng());
  else if constexpr (std::is_same_v<M, Bridging::VlanId>) return Bridging::VlanId(static_cast<U16>(rng() % 4096));
  else if constexpr (std::is_same_v<M, Bridging::EthAddr>) return Bridging::EthAddr::fromU48(rng() & 0xFFFFFFFFFFFFULL);
  else if constexpr (std::is_same_v<M, Lanx::IntfId>) {
    static char const* const names[] = {"", "Ethernet1", "Ethernet4/2", "Port-Channel7", "Vlan20", "Cpu"};
    return Lanx::IntfId(names[rng() % 6]);
  } else if constexpr (std::is_same_v<M, LagGroupId>) return LagGroupId(static_cast<U32>(rng() % 64));
  else if constexpr (Kel::ScalarType<M>) return M(static_cast<typename M::ValueType>(rng()));
  else return randomRecord<M>(rng);
}

template <class T>
class TableValues : public ::testing::Test {};
// The other parseable records of the table library ride along.
using AllTypes = ::testing::Types<LagGroupIdEntry, VlanMembershipEntryConfig, VlanMembershipNatConfig::NatPipeConfig,
                                  AclCounter, LpmKey, MrouteKey, VlanGroupKey, EntryStatusBase, LpmEntryConfig, LpmEntryStatus,
                                  LpmHitEntryStatus, NexthopEntryConfig, VlanGroupEntryConfig, VlanGroupEntryStatus,
                                  L3FloodEntryConfig, MrouteEntryConfig, MrouteEntryStatus, MrouteHitEntryStatus,
                                  NatSessionConfig, NatSessionStatus>;
TYPED_TEST_SUITE(TableValues, AllTypes);

TYPED_TEST(TableValues, RandomValuesRoundTripThroughTextAndImage) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < 500; ++i) {
    TypeParam v = randomRecord<TypeParam>(rng);
    Quiv::String text = valueToStrep(v);
    ASSERT_EQ(Kel::strepToValue<TypeParam>(text), v) << text;
    // The image another process reads is the bytes of the value.
    unsigned char img[sizeof(TypeParam)];
    std::memcpy(img, static_cast<void const*>(&v), sizeof img);
    TypeParam copy;
    std::memcpy(static_cast<void*>(&copy), img, sizeof img);
    ASSERT_EQ(copy, v);
  }
  Quiv::String text = valueToStrep(TypeParam());
  EXPECT_THROW(Kel::strepToValue<TypeParam>(text + " "), Kel::ParseException);
  EXPECT_THROW(Kel::strepToValue<TypeParam>(Quiv::String(text.view().substr(0, text.size() - 2))), Kel::ParseException);
}

template <class K>
class L3Keys : public ::testing::Test {};
using KeyTypes = ::testing::Types<LpmKey, MrouteKey, VlanGroupKey>;
TYPED_TEST_SUITE(L3Keys, KeyTypes);

TYPED_TEST(L3Keys, HashIsDeterministicSeededAndOrderIsConsistentWithEquality) {
  std::mt19937_64 rng(5);
  std::set<U32> hashes;
  std::vector<TypeParam> keys;
  for (int i = 0; i < 2000; ++i) keys.push_back(randomRecord<TypeParam>(rng));
  for (auto const& k : keys) {
    ASSERT_EQ(k.hash(7), TypeParam(k).hash(7));
    hashes.insert(k.hash(7));
  }
  EXPECT_GT(hashes.size(), 1990u);
  int seedSensitive = 0;
  for (auto const& k : keys) seedSensitive += k.hash(7) != k.hash(8);
  EXPECT_GT(seedSensitive, 1990);
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
    auto const& a = keys[i];
    auto const& b = keys[i + 1];
    ASSERT_FALSE(a < a);
    ASSERT_EQ(a == b, !(a < b) && !(b < a));
    if (a < b) {
      ASSERT_FALSE(b < a);
    }
  }
}

TEST(L3Entries, LpmEntryKeysDeriveFromThePrefix) {
  EXPECT_EQ(LpmEntryConfig().key(), LpmEntryConfig::getEntryKey(LpmKey()));
  EXPECT_EQ(LpmEntryStatus().key(), LpmEntryStatus::getEntryKey(LpmKey()));
  LpmKey a(1, 24, false, 0, 0x0A000000);
  LpmKey b(1, 25, false, 0, 0x0A000000);
  EXPECT_EQ(LpmEntryConfig(a).key(), LpmEntryConfig::getEntryKey(a));
  EXPECT_NE(LpmEntryConfig::getEntryKey(a), LpmEntryConfig::getEntryKey(b));
  EXPECT_EQ(VlanGroupEntryConfig(VlanGroupKey()).key(), VlanGroupKey());
  EXPECT_EQ(EntryKey(5).hash(3), Kel::hashSingleAttr(3u, U64(5)));
}

}  // namespace
