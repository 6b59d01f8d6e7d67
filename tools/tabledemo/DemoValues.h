#pragma once
// The keys and values of the table demo, and the checks a reader runs on
// every value it gets.
//
// Keys are numbered 1..space. Key `id` is MAC 02:00:00:00:00:00 | id on
// VLAN 1 + id % 4000, so a key tells its own number and a key made of two
// halves of different keys is recognised as foreign.
//
// A value written with version `v` (the writer's running write count,
// unique per write and so increasing per key) carries, besides the key:
//   offset 12 ingressPortMask  mix(key, v), 49 bits
//   offset 20 lastSeen         8 more bits of mix(key, v)
//   offset 28 timestamp        v
//   offset 40 intf             port 1 + id % 48 (constant per key)
//   offset 48 moveCount        32 bits of a second mix of (key, v)
// The checked fields sit at the start, middle and end of the 52-byte image,
// so a value assembled from two writes, from two keys, or from a slot
// being recycled fails at least one check.
#include <optional>
#include <vector>

#include "VexaSwitchLib/tables/Collections.h"

namespace TableDemo {

using Ops = VexaSwitch::L2TableConfigOps;
using Key = Bridging::MacVlanPair;
using Value = VexaSwitch::L2LogicalEntry;

inline constexpr U64 MAC_BASE = 0x020000000000ull;
inline constexpr U64 MAX_KEYS = U64(1) << 32;  // ids stay well inside the MAC's low bits
// Every PIN_EVERY-th key is pinned: inserted first, updated, never removed,
// so a lookup of it must hit and every full walk must meet it.
inline constexpr U64 PIN_EVERY = 64;

inline bool pinned(U64 id) { return id % PIN_EVERY == 0; }

inline Key keyOf(U64 id) {
  return Key(Bridging::EthAddr::fromU48(MAC_BASE | id), Bridging::VlanId(U16(1 + id % 4000)));
}

// The number of a demo key, or nothing for a key no demo writer makes.
inline std::optional<U64> idOf(Key const& k) {
  U64 mac = k.mac().toU48();
  if ((mac & ~(MAX_KEYS - 1)) != MAC_BASE) return std::nullopt;
  U64 id = mac & (MAX_KEYS - 1);
  if (id == 0 || k.vlanId().value() != 1 + id % 4000) return std::nullopt;
  return id;
}

inline U64 mix(U64 x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}
inline U64 check1(Key const& k, U64 version) { return mix(k.packed() ^ mix(version + 0x9e3779b97f4a7c15ull)); }
inline U32 check2(U64 c1) { return static_cast<U32>(mix(c1 ^ 0x5851f42d4c957f2dull) >> 17); }

inline Value valueOf(U64 id, U64 version) {
  Value v(keyOf(id));
  U64 c1 = check1(v.key(), version);
  v.ingressPortMaskIs(VexaSwitch::IngressPortMask(c1 & ((U64(1) << 49) - 1)));
  v.lastSeenIs(VexaSwitch::L2HwLastSeen(U16((c1 >> 49) & 0xFF)));
  v.timestampIs(version);
  v.intfIs(Lanx::IntfId::fromRaw(1 + id % 48));
  v.moveCountIs(Nox::Seqno32(check2(c1)));
  v.entryTypeIs(Bridging::EntryType::learnedDynamicMac);
  return v;
}

enum class Verdict {
  sound,
  torn,     // fields that do not belong together (a mix of writes or keys)
  foreign,  // self-consistent but not a value of the key asked for, or never written
};

// `published`: the writer's version count read after the value was read;
// a value may be at most one write ahead of it. `expected`: the key asked
// for, when there was one.
inline Verdict check(Value const& v, U64 published, Key const* expected = nullptr) {
  std::optional<U64> id = idOf(v.key());
  if (!id) return Verdict::foreign;
  U64 version = v.timestamp();
  U64 c1 = check1(v.key(), version);
  if (v.ingressPortMask().value() != (c1 & ((U64(1) << 49) - 1)) || v.lastSeen().value() != ((c1 >> 49) & 0xFF) ||
      v.moveCount().value() != check2(c1) || v.intf().raw() != 1 + *id % 48 ||
      v.entryType() != Bridging::EntryType::learnedDynamicMac)
    return Verdict::torn;
  if (version == 0 || version > published + 1) return Verdict::foreign;
  if (expected && !(v.key() == *expected)) return Verdict::foreign;
  return Verdict::sound;
}

// An order-independent digest of a set of values: two copies of a table
// agree on it when they hold the same keys with the same versions (and the
// fields derived from them), whatever order they were walked in.
struct TableDigest {
  U64 members = 0;
  U64 sum = 0;
  void add(Value const& v) {
    ++members;
    sum += mix(mix(v.key().packed() ^ mix(v.timestamp())) ^ v.ingressPortMask().value() ^
               (U64(v.moveCount().value()) << 17) ^ (U64(v.lastSeen().value()) << 56));
  }
  friend bool operator==(TableDigest const&, TableDigest const&) = default;
};

// The last version one reader saw of each key. Versions only grow per key
// (each write takes a new one), and a reader's reads are sequential, so a
// smaller one later is a stale read: a value older than one already seen.
class VersionLog {
 public:
  explicit VersionLog(U64 space) : seen_(space + 1, 0) {}
  // False for a stale read.
  bool note(U64 id, U64 version) {
    if (id >= seen_.size()) return true;
    U64& s = seen_[id];
    if (version < s) return false;
    s = version;
    return true;
  }

 private:
  std::vector<U64> seen_;
};

}  // namespace TableDemo
