// The demo's verdicts are only worth something if the checks catch what
// they claim to: values spliced from two writes or two keys, foreign keys,
// values from the future, stale versions.
#include <gtest/gtest.h>

#include <cstring>

#include "DemoValues.h"

namespace vexa_demo_values_test {

using namespace TableDemo;

namespace {

// Bytes [0, cut) of `a` and [cut, end) of `b`: what a read racing a write
// of the same slot could assemble.
Value splice(Value const& a, Value const& b, std::size_t cut) {
  Value out;
  auto* o = reinterpret_cast<unsigned char*>(&out);
  std::memcpy(o, &a, cut);
  std::memcpy(o + cut, reinterpret_cast<unsigned char const*>(&b) + cut, sizeof(Value) - cut);
  return out;
}

}  // namespace

TEST(DemoKeys, NumbersRoundTripAndForeignKeysAreRecognised) {
  for (U64 id : {U64(1), U64(63), U64(64), U64(3999), U64(4000), U64(400000), MAX_KEYS - 1}) {
    ASSERT_EQ(idOf(keyOf(id)), id) << id;
  }
  // A MAC of one key with the VLAN of another.
  EXPECT_FALSE(idOf(Key(keyOf(5).mac(), keyOf(6).vlanId())));
  // Outside the demo's MAC block, and the unused id 0.
  EXPECT_FALSE(idOf(Key(Bridging::EthAddr::fromU48(0x0a0000000001ull), Bridging::VlanId(2))));
  EXPECT_FALSE(idOf(Key(Bridging::EthAddr::fromU48(MAC_BASE), Bridging::VlanId(1))));
  EXPECT_FALSE(idOf(Key{}));
}

TEST(DemoValues, WrittenValuesAreSoundAndVersionsBounded) {
  for (U64 id = 1; id < 300; ++id) {
    for (U64 version : {U64(1), id * 7919, U64(1) << 40}) {
      Value v = valueOf(id, version);
      Key k = keyOf(id);
      EXPECT_EQ(check(v, version - 1, &k), Verdict::sound);  // the write may be one ahead of the count
      EXPECT_EQ(check(v, version + 100), Verdict::sound);
      EXPECT_EQ(check(v, version - 2), Verdict::foreign) << "a version never published yet";
      Key other = keyOf(id + 1);
      EXPECT_EQ(check(v, version, &other), Verdict::foreign) << "answer for another key";
    }
  }
  EXPECT_EQ(check(Value{}, 100), Verdict::foreign) << "a free slot's zero image";
  EXPECT_NE(check(valueOf(9, 0), 100), Verdict::sound) << "version 0 is never written";
}

// Every splice of two writes of one key that mixes their value fields (past
// the 12-byte key) is torn; a splice of two keys' writes (a slot reused while
// read) is never sound for either key. A cut that gives one whole write back
// is skipped.
TEST(DemoValues, EverySpliceOfTwoWritesOrOfTwoKeysIsCaught) {
  auto splices = [](Value const& va, Value const& vb, auto&& caught) {
    U64 missed = 0;
    for (std::size_t cut = 1; cut < sizeof(Value); ++cut) {
      Value s = splice(va, vb, cut);
      if (std::memcmp(&s, &va, sizeof s) != 0 && std::memcmp(&s, &vb, sizeof s) != 0 && !caught(s)) ++missed;
    }
    return missed;
  };
  U64 missed = 0;
  for (U64 id = 1; id < 300; ++id) {
    for (U64 a = 1; id < 200 && a < 40; a += 3)
      missed += splices(valueOf(id, a), valueOf(id, a + 1 + id), [](Value const& s) { return check(s, 1u << 20) == Verdict::torn; });
    Key ka = keyOf(id), kb = keyOf(id * 31 + 7);
    missed += splices(valueOf(id, 10 + id), valueOf(id * 31 + 7, 10 + id), [&](Value const& s) {
      return check(s, 1u << 20, &ka) != Verdict::sound && check(s, 1u << 20, &kb) != Verdict::sound;
    });
  }
  EXPECT_EQ(missed, 0u);
}

// Each field is checked on its own: one changed alone is caught.
TEST(DemoValues, ASingleChangedFieldIsCaught) {
  for (auto change : {+[](Value& w) { w.intfIs(Lanx::IntfId::fromRaw(999)); },
                      +[](Value& w) { w.entryTypeIs(Bridging::EntryType::routerMac); },
                      +[](Value& w) { w.timestampIs(1235); }}) {
    Value w = valueOf(77, 1234);
    change(w);
    EXPECT_EQ(check(w, 2000), Verdict::torn);
  }
}

TEST(VersionLog, OlderVersionAfterNewerIsStale) {
  VersionLog log(100);
  EXPECT_TRUE(log.note(5, 10));
  EXPECT_TRUE(log.note(5, 10)) << "the same write read twice";
  EXPECT_TRUE(log.note(5, 11));
  EXPECT_FALSE(log.note(5, 9));
  EXPECT_TRUE(log.note(6, 1)) << "keys are independent";
  EXPECT_TRUE(log.note(1000, 1)) << "ids past the log are not tracked";
}

// The shadow's final check compares digests of its copy and of the
// writer's table: the same set in another order agrees, a missing entry, an
// older version of one key or one changed field does not.
TEST(TableDigest, SameSetInAnyOrderAgreesAndAnyDifferenceShows) {
  std::vector<Value> set;
  for (U64 id = 1; id <= 200; ++id) set.push_back(valueOf(id, id * 7));
  TableDigest forward, backward;
  for (Value const& v : set) forward.add(v);
  for (auto it = set.rbegin(); it != set.rend(); ++it) backward.add(*it);
  EXPECT_EQ(forward, backward);

  TableDigest missing, older, changed, swapped;
  for (std::size_t i = 1; i < set.size(); ++i) missing.add(set[i]);
  EXPECT_NE(missing, forward);
  for (Value v : set) {
    older.add(v.key() == keyOf(50) ? valueOf(50, 3) : v);
    // Two keys' values swapped between them: same multiset of versions.
    swapped.add(v.key() == keyOf(1) ? valueOf(1, 2 * 7) : v.key() == keyOf(2) ? valueOf(2, 1 * 7) : v);
    if (v.key() == keyOf(9)) v.moveCountIs(Nox::Seqno32(v.moveCount().value() ^ 1));
    changed.add(v);
  }
  EXPECT_EQ(older.members, forward.members);
  EXPECT_NE(older, forward);
  EXPECT_NE(changed, forward);
  EXPECT_NE(swapped, forward);
}

}  // namespace vexa_demo_values_test
