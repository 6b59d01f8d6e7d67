// Table values (L3 keys and entries and the other records): every type survives its text form with random
// contents; composite keys hash and order consistently. Every table's key and value is
// described by its field list: each field is exactly the bytes its offset names, and the image pins refuse
// a layout that drifts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <set>

#include "VexaSwitchLib/tables/AclTypes.h"
#include "VexaSwitchLib/tables/Collections.h"
#include "VexaSwitchLib/tables/L2Types.h"
#include "VexaSwitchLib/tables/L3Types.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/NatTypes.h"
#include "VexaSwitchLib/tables/VlanTypes.h"
#include "testutil/Expect.h"
#include "testutil/Values.h"

namespace vexa_values_test {

using namespace VexaSwitch;

namespace {

using VexaTest::randomRecord;
using VexaTest::randomValue;

template <class T>
class TableValues : public ::testing::Test {};
// The other parseable records of the table library ride along (an L2
// entry with any interface image, named or not, among them).
using AllTypes = ::testing::Types<LagGroupIdEntry, VlanMembershipEntryConfig, VlanMembershipNatConfig::NatPipeConfig,
                                  AclCounter, LpmKey, MrouteKey, VlanGroupKey, EntryStatusBase, LpmEntryConfig, LpmEntryStatus,
                                  LpmHitEntryStatus, NexthopEntryConfig, VlanGroupEntryConfig, VlanGroupEntryStatus,
                                  L3FloodEntryConfig, MrouteEntryConfig, MrouteEntryStatus, MrouteHitEntryStatus,
                                  NatSessionConfig, NatSessionStatus, L2LogicalEntry, L2HashTableHwEntry>;
TYPED_TEST_SUITE(TableValues, AllTypes);

TYPED_TEST(TableValues, RandomValuesRoundTripThroughText) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < 500; ++i) {
    TypeParam v = randomRecord<TypeParam>(rng);
    Quiv::String text = valueToStrep(v);
    ASSERT_EQ(Kel::strepToValue<TypeParam>(text), v) << text;
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
    auto const &a = keys[i], &b = keys[i + 1];
    ASSERT_FALSE(a < a);
    ASSERT_EQ(a == b, !(a < b) && !(b < a));
    ASSERT_FALSE(a < b && b < a);
  }
}

// Two prefixes of one address are two entries.
TEST(L3Entries, LpmEntryKeysDeriveFromThePrefix) {
  LpmKey a(1, 24, false, 0, 0x0A000000), b(1, 25, false, 0, 0x0A000000);
  EXPECT_EQ(LpmEntryConfig(a).key(), LpmEntryConfig::getEntryKey(a));
  EXPECT_EQ(LpmEntryStatus(a).key(), LpmEntryStatus::getEntryKey(a));
  EXPECT_NE(LpmEntryConfig::getEntryKey(a), LpmEntryConfig::getEntryKey(b));
}

// ---- field lists and image pins -----------------------------------------------

// Same members, one described fully and one whose field list forgets b.
template <bool Full>
class ProbeOf : public Kel::Record<ProbeOf<Full>> {
 public:
  using KelSelf = ProbeOf;
  static constexpr std::string_view kelTypeName = Full ? "Probe" : "ProbeMissingField";
  static constexpr auto kelFields() {
    if constexpr (Full) return std::make_tuple(KEL_FIELD(a), KEL_FIELD(b), KEL_FIELD(c));
    else return std::make_tuple(KEL_FIELD(a), KEL_FIELD(c));
  }

 private:
  U32 a_ = 0;
  U8 b_ = 0;
  U8 pad_[3] = {};
  Kel::Unsigned64 c_;
};
using Probe = ProbeOf<true>;
using ProbeMissingField = ProbeOf<false>;
static_assert(Kel::imageIs<Probe>(16, 3, {0, 4, 8}));
static_assert(!Kel::imageIs<Probe>(16, 3, {0, 4, 12}), "a moved field");
static_assert(!Kel::imageIs<Probe>(24, 3, {0, 4, 8}), "a grown image");
static_assert(!Kel::imageIs<Probe>(16, 0, {0, 4, 8}), "padding not declared");
static_assert(!Kel::imageIs<Probe>(16, 3, {0, 4}), "a field left unpinned");
static_assert(!Kel::imageIs<ProbeMissingField>(16, 3, {0, 8}), "a member the field list forgets");

// Every table's key and value type, from the list of instantiated tables.
template <class L>
struct StoredTypesOf;
template <class... Ops>
struct StoredTypesOf<TableOpsList<Ops...>> {
  using type = ::testing::Types<typename Ops::Key..., typename Ops::Value...>;
};

template <class T>
class StoredValues : public ::testing::Test {};
TYPED_TEST_SUITE(StoredValues, StoredTypesOf<AllTableOps>::type);

// What a generic client relies on: writing a field changes only the bytes
// [offset, offset + size) of the image, and reading it back gives the value.
template <class T, class F>
void checkFieldBytes(F const& f, std::mt19937_64& rng) {
  using M = typename F::Type;
  auto image = [](T const& v) {
    std::array<unsigned char, sizeof(T)> b;
    std::memcpy(b.data(), static_cast<void const*>(&v), sizeof(T));
    return b;
  };
  T const base;
  auto const before = image(base);
  bool reached = false;
  for (int i = 0; i < 20 && !reached; ++i) {
    T v = base;
    M x = randomValue<M>(rng);
    Kel::fieldSet(v, f, x);
    ASSERT_TRUE(Kel::fieldGet(v, f) == x) << f.name;
    auto const after = image(v);
    for (std::size_t b = 0; b < sizeof(T); ++b) {
      if (after[b] == before[b]) continue;
      ASSERT_GE(b, f.offset) << f.name;
      ASSERT_LT(b, f.offset + f.size) << f.name;
      reached = true;
    }
  }
  EXPECT_TRUE(reached) << f.name << " never changed its bytes";
}

TYPED_TEST(StoredValues, EachFieldIsTheBytesItsOffsetNames) {
  using T = TypeParam;
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (requires { T::kelFields(); }) {
    std::mt19937_64 rng(17);
    std::apply([&](auto const&... f) { (checkFieldBytes<T>(f, rng), ...); }, T::kelFields());
  } else {
    // The one leaf attribute type used as a key: its text is the interface name.
    static_assert(std::is_same_v<T, Lanx::IntfId>, "a stored type without a field list");
  }
}

TEST(ValueDeclaration, SingleAttributeEntryIsWrittenAsItsAttribute) {
  MlagIntfEntry m(Lanx::IntfId("Port-Channel3"));
  EXPECT_EQ(valueToStrep(m).view(), "Port-Channel3");
  EXPECT_EQ(fmt::format("{}", m), "Port-Channel3");
  EXPECT_EQ(valueToStrep(MlagIntfEntry()).view(), "");
  EXPECT_EQ(Kel::strepToValue<MlagIntfEntry>(Quiv::String("")), MlagIntfEntry());
  EXPECT_THAT(VexaTest::thrownMessage<Kel::RangeException>(
                  [] { Kel::strepToValue<MlagIntfEntry>(Quiv::String("Port-Channel99999")); }),
              ::testing::HasSubstr("attribute 'key"));
}

// 64-bit attributes sit on 4-byte boundaries (split or packed): the setter
// must leave the little-endian U64 at the pinned offset (the L2 entry's
// timestamp: l2types_test.cpp).
TEST(ValueDeclaration, SixtyFourBitAttributesKeepTheLittleEndianImage) {
  U64 const x = 0x0123456789ABCDEFull;
  auto check = [&](void const* v, U64 got, std::size_t at) {
    U64 r;
    std::memcpy(&r, static_cast<unsigned char const*>(v) + at, 8);
    EXPECT_EQ(std::pair(got, r), std::pair(x, x)) << at;
  };
  NexthopEntryConfig n;
  n.tunnelIdIs(x);
  check(&n, n.tunnelId(), 32);
  VlanMembershipEntryConfig c;
  c.permitMaskIs(x);
  check(&c, c.permitMask(), 4);
  NatSessionConfig s;
  s.sessionIdIs(x);
  check(&s, s.sessionId(), 144);
}

}  // namespace

}  // namespace vexa_values_test
