#pragma once
// L3 keys and entries: LPM routes, nexthops, hit bits, VLAN groups, L3
// flood lists, multicast routes and NAT sessions. All are fixed-size
// records copied bytewise into table slots: their sizes (pinned below) are
// part of the shared-memory format. 64-bit fields sit on 4-byte boundaries
// (Kel::Unsigned64, the split scalars), so no record needs packing.
#include <string_view>

#include "VexaSwitchLib/runtime/Bridging.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Lanx.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

// The key of the tables indexed by a 64-bit id.
class EntryKey : public Kel::Scalar<EntryKey, U64> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::EntryKey";
  using Scalar::Scalar;
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, value()); }
  friend bool operator<(EntryKey a, EntryKey b) { return a.value() < b.value(); }
};
static_assert(Kel::imageIs<EntryKey>(8, 0, {0}));

// A route prefix: VRF, length, family and the address (an IPv4 address in
// addrLow, or the upper 96 bits of an IPv6 prefix in addrHigh:addrLow).
class LpmKey : public Kel::Record<LpmKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmKey";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(vrfId), KEL_FIELD(prefixLen), KEL_FIELD(isV6), KEL_FIELD(addrHigh),
                           KEL_FIELD(addrLow));
  }
  LpmKey() = default;
  LpmKey(U16 vrf, U8 len, bool v6, U32 high, U64 low) : vrfId_(vrf), prefixLen_(len), isV6_(v6), addrHigh_(high), addrLow_(low) {}
  explicit LpmKey(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  U16 vrfId() const { return vrfId_; }
  U8 prefixLen() const { return prefixLen_; }
  bool isV6() const { return isV6_; }
  U32 addrHigh() const { return addrHigh_; }
  U64 addrLow() const { return addrLow_.value(); }
  U64 head() const { return (U64(vrfId_) << 48) | (U64(prefixLen_) << 40) | (U64(isV6_) << 32) | addrHigh_; }
  U32 hash(U32 seed) const { return Kel::hashCombine(Kel::hashSingleAttr(seed, head()), addrLow()); }
  friend bool operator<(LpmKey const& a, LpmKey const& b) {
    return a.head() != b.head() ? a.head() < b.head() : a.addrLow() < b.addrLow();
  }

 private:
  U16 vrfId_ = 0;
  U8 prefixLen_ = 0;
  bool isV6_ = false;
  U32 addrHigh_ = 0;
  Kel::Unsigned64 addrLow_;
};
static_assert(Kel::imageIs<LpmKey>(16, 0, {0, 2, 3, 4, 8}));

// A multicast route: VRF, group and source (IPv4).
class MrouteKey : public Kel::Record<MrouteKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MrouteKey";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(vrfId), KEL_FIELD(group), KEL_FIELD(source)); }
  MrouteKey() = default;
  MrouteKey(U16 vrf, U32 group, U32 source) : vrfId_(vrf), group_(group), source_(source) {}
  explicit MrouteKey(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  U16 vrfId() const { return vrfId_; }
  U32 group() const { return group_; }
  U32 source() const { return source_; }
  U32 hash(U32 seed) const { return Kel::hashCombine(Kel::hashSingleAttr(seed, U64(group_) << 32 | source_), vrfId_); }
  friend bool operator<(MrouteKey const& a, MrouteKey const& b) {
    if (a.vrfId_ != b.vrfId_) return a.vrfId_ < b.vrfId_;
    return (U64(a.group_) << 32 | a.source_) < (U64(b.group_) << 32 | b.source_);
  }

 private:
  U16 vrfId_ = 0;
  U16 pad_ = 0;
  U32 group_ = 0;
  U32 source_ = 0;
};
static_assert(Kel::imageIs<MrouteKey>(12, 2, {0, 4, 8}));

// A VLAN group: a VLAN and a group number; small, passed by value.
class VlanGroupKey : public Kel::Record<VlanGroupKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanGroupKey";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(vlanId), KEL_FIELD(groupId)); }
  VlanGroupKey() = default;
  VlanGroupKey(Bridging::VlanId v, U16 g) : vlanId_(v), groupId_(g) {}
  explicit VlanGroupKey(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  Bridging::VlanId vlanId() const { return vlanId_; }
  U16 groupId() const { return groupId_; }
  U32 packed() const { return U32(vlanId_.value()) << 16 | groupId_; }
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, packed()); }
  friend bool operator<(VlanGroupKey a, VlanGroupKey b) { return a.packed() < b.packed(); }

 private:
  Bridging::VlanId vlanId_;
  U16 groupId_ = 0;
};
static_assert(Kel::imageIs<VlanGroupKey>(4, 0, {0, 2}));

// The entries below all follow one shape: the key first (named "key"),
// then the attributes, each a private member with a reader and a setter.
// 64-bit attributes are held as Kel::Unsigned64 and spoken as U64.

// Base of the configuration entries keyed by an EntryKey.
struct EntryConfigBase {};

// Status of an entry keyed by an EntryKey (the TableStatus value): where
// the chip holds it and whether it is programmed.
// Image (20 bytes): key 0, hwIndex 8, status 12, programmed 16, 17..19 pad.
class EntryStatusBase : public Kel::Record<EntryStatusBase> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::EntryStatusBase";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hwIndex), KEL_FIELD(status), KEL_FIELD(programmed));
  }
  EntryStatusBase() = default;
  explicit EntryStatusBase(EntryKey const& k) : key_(k) {}
  explicit EntryStatusBase(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  EntryKey const& key() const { return key_; }
  KEL_ATTR(U32, hwIndex)
  KEL_ATTR(U32, status)
  KEL_ATTR(bool, programmed)

 private:
  EntryKey key_;
  U32 hwIndex_ = 0;
  U32 status_ = 0;
  bool programmed_ = false;
  U8 pad_[3] = {};
};
static_assert(Kel::imageIs<EntryStatusBase>(20, 3, {0, 8, 12, 16}));

// Image (36 bytes): key 0, lpmKey 8, nexthop 24, flags 32.
class LpmEntryConfig : public Kel::Record<LpmEntryConfig>, public EntryConfigBase {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(lpmKey), KEL_FIELD(nexthop), KEL_FIELD(flags));
  }
  LpmEntryConfig() : LpmEntryConfig(LpmKey()) {}
  explicit LpmEntryConfig(LpmKey const& k) : key_(getEntryKey(k)), lpmKey_(k) {}
  explicit LpmEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  // The EntryKey of a route: its prefix packed into 64 bits and mixed, so
  // that equal prefixes always share a key.
  static EntryKey getEntryKey(LpmKey const& k) { return EntryKey((U64(k.hash(0)) << 32) | k.hash(0x9E3779B9u)); }
  EntryKey const& key() const { return key_; }
  LpmKey const& lpmKey() const { return lpmKey_; }
  KEL_ATTR(EntryKey, nexthop)
  KEL_ATTR(U32, flags)

 private:
  EntryKey key_;
  LpmKey lpmKey_;
  EntryKey nexthop_;
  U32 flags_ = 0;
};
static_assert(Kel::imageIs<LpmEntryConfig>(36, 0, {0, 8, 24, 32}));

// Image (28 bytes): key 0, lpmKey 8, hwIndex 24.
class LpmEntryStatus : public Kel::Record<LpmEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmEntryStatus";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key), KEL_FIELD(lpmKey), KEL_FIELD(hwIndex)); }
  LpmEntryStatus() : LpmEntryStatus(LpmKey()) {}
  explicit LpmEntryStatus(LpmKey const& k) : key_(getEntryKey(k)), lpmKey_(k) {}
  explicit LpmEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  static EntryKey getEntryKey(LpmKey const& k) { return LpmEntryConfig::getEntryKey(k); }
  EntryKey const& key() const { return key_; }
  LpmKey const& lpmKey() const { return lpmKey_; }
  KEL_ATTR(U32, hwIndex)

 private:
  EntryKey key_;
  LpmKey lpmKey_;
  U32 hwIndex_ = 0;
};
static_assert(Kel::imageIs<LpmEntryStatus>(28, 0, {0, 8, 24}));

// Image (20 bytes): key 0, hit 16, 17..19 pad.
class LpmHitEntryStatus : public Kel::Record<LpmHitEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmHitEntryStatus";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hit)); }
  LpmHitEntryStatus() = default;
  explicit LpmHitEntryStatus(LpmKey const& k) : key_(k) {}
  explicit LpmHitEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  LpmKey const& key() const { return key_; }
  KEL_ATTR(bool, hit)

 private:
  LpmKey key_;
  bool hit_ = false;
  U8 pad_[3] = {};
};
static_assert(Kel::imageIs<LpmHitEntryStatus>(20, 3, {0, 16}));

// Image (48 bytes): key 0, mac 8, 14..15 pad, vlanId 16, 18..19 pad,
// intf 20, egressIndex 28, tunnelId 32, weight 40, flags 44.
class NexthopEntryConfig : public Kel::Record<NexthopEntryConfig>, public EntryConfigBase {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::NexthopEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(mac), KEL_FIELD(vlanId), KEL_FIELD(intf), KEL_FIELD(egressIndex),
                           KEL_FIELD(tunnelId), KEL_FIELD(weight), KEL_FIELD(flags));
  }
  NexthopEntryConfig() = default;
  explicit NexthopEntryConfig(EntryKey const& k) : key_(k) {}
  explicit NexthopEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  EntryKey const& key() const { return key_; }
  KEL_ATTR(Bridging::EthAddr, mac)
  KEL_ATTR(Bridging::VlanId, vlanId)
  KEL_ATTR(Lanx::IntfId, intf)
  KEL_ATTR(U32, egressIndex)
  KEL_ATTR(U64, tunnelId)
  KEL_ATTR(U32, weight)
  KEL_ATTR(U32, flags)

 private:
  EntryKey key_;
  Bridging::EthAddr mac_;
  U16 pad0_ = 0;
  Bridging::VlanId vlanId_;
  U16 pad1_ = 0;
  Lanx::IntfId intf_;
  U32 egressIndex_ = 0;
  Kel::Unsigned64 tunnelId_;
  U32 weight_ = 0;
  U32 flags_ = 0;
};
static_assert(Kel::imageIs<NexthopEntryConfig>(48, 4, {0, 8, 16, 20, 28, 32, 40, 44}));

// Image (32 bytes): key 0, memberMask 4, untaggedMask 12, floodIndex 20,
// mcastIndex 24, learn 28, 29..31 pad.
class VlanGroupEntryConfig : public Kel::Record<VlanGroupEntryConfig> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanGroupEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(memberMask), KEL_FIELD(untaggedMask), KEL_FIELD(floodIndex),
                           KEL_FIELD(mcastIndex), KEL_FIELD(learn));
  }
  VlanGroupEntryConfig() = default;
  explicit VlanGroupEntryConfig(VlanGroupKey const& k) : key_(k) {}
  explicit VlanGroupEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  VlanGroupKey const& key() const { return key_; }
  KEL_ATTR(U64, memberMask)
  KEL_ATTR(U64, untaggedMask)
  KEL_ATTR(U32, floodIndex)
  KEL_ATTR(U32, mcastIndex)
  KEL_ATTR(bool, learn)

 private:
  VlanGroupKey key_;
  Kel::Unsigned64 memberMask_;
  Kel::Unsigned64 untaggedMask_;
  U32 floodIndex_ = 0;
  U32 mcastIndex_ = 0;
  bool learn_ = true;
  U8 pad_[3] = {};
};
static_assert(Kel::imageIs<VlanGroupEntryConfig>(32, 3, {0, 4, 12, 20, 24, 28}));

// Image (16 bytes): key 0, hwIndex 4, programmedMask 8.
class VlanGroupEntryStatus : public Kel::Record<VlanGroupEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanGroupEntryStatus";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hwIndex), KEL_FIELD(programmedMask));
  }
  VlanGroupEntryStatus() = default;
  explicit VlanGroupEntryStatus(VlanGroupKey const& k) : key_(k) {}
  explicit VlanGroupEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  VlanGroupKey const& key() const { return key_; }
  KEL_ATTR(U32, hwIndex)
  KEL_ATTR(U64, programmedMask)

 private:
  VlanGroupKey key_;
  U32 hwIndex_ = 0;
  Kel::Unsigned64 programmedMask_;
};
static_assert(Kel::imageIs<VlanGroupEntryStatus>(16, 0, {0, 4, 8}));

// Image (16 bytes): key 0, floodListId 8, memberCount 12.
class L3FloodEntryConfig : public Kel::Record<L3FloodEntryConfig> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::L3FloodEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(floodListId), KEL_FIELD(memberCount));
  }
  L3FloodEntryConfig() = default;
  explicit L3FloodEntryConfig(Lanx::IntfId const& k) : key_(k) {}
  explicit L3FloodEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  Lanx::IntfId const& key() const { return key_; }
  KEL_ATTR(U32, floodListId)
  KEL_ATTR(U32, memberCount)

 private:
  Lanx::IntfId key_;
  U32 floodListId_ = 0;
  U32 memberCount_ = 0;
};
static_assert(Kel::imageIs<L3FloodEntryConfig>(16, 0, {0, 8, 12}));

// Image (40 bytes): key 0, rpfIntf 12, oifMask 20, oifListId 28, flags 32,
// ttlThreshold 36, cpuCopy 37, 38..39 pad.
class MrouteEntryConfig : public Kel::Record<MrouteEntryConfig> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MrouteEntryConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(rpfIntf), KEL_FIELD(oifMask), KEL_FIELD(oifListId),
                           KEL_FIELD(flags), KEL_FIELD(ttlThreshold), KEL_FIELD(cpuCopy));
  }
  MrouteEntryConfig() = default;
  explicit MrouteEntryConfig(MrouteKey const& k) : key_(k) {}
  explicit MrouteEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  MrouteKey const& key() const { return key_; }
  KEL_ATTR(Lanx::IntfId, rpfIntf)
  KEL_ATTR(U64, oifMask)
  KEL_ATTR(U32, oifListId)
  KEL_ATTR(U32, flags)
  KEL_ATTR(U8, ttlThreshold)
  KEL_ATTR(bool, cpuCopy)

 private:
  MrouteKey key_;
  Lanx::IntfId rpfIntf_;
  Kel::Unsigned64 oifMask_;
  U32 oifListId_ = 0;
  U32 flags_ = 0;
  U8 ttlThreshold_ = 0;
  bool cpuCopy_ = false;
  U16 pad_ = 0;
};
static_assert(Kel::imageIs<MrouteEntryConfig>(40, 2, {0, 12, 20, 28, 32, 36, 37}));

// Image (40 bytes): key 0, hwIndex 12, packets 16, bytes 24, lastUsed 32.
class MrouteEntryStatus : public Kel::Record<MrouteEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MrouteEntryStatus";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hwIndex), KEL_FIELD(packets), KEL_FIELD(bytes),
                           KEL_FIELD(lastUsed));
  }
  MrouteEntryStatus() = default;
  explicit MrouteEntryStatus(MrouteKey const& k) : key_(k) {}
  explicit MrouteEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  MrouteKey const& key() const { return key_; }
  KEL_ATTR(U32, hwIndex)
  KEL_ATTR(U64, packets)
  KEL_ATTR(U64, bytes)
  KEL_ATTR(U64, lastUsed)

 private:
  MrouteKey key_;
  U32 hwIndex_ = 0;
  Kel::Unsigned64 packets_;
  Kel::Unsigned64 bytes_;
  Kel::Unsigned64 lastUsed_;
};
static_assert(Kel::imageIs<MrouteEntryStatus>(40, 0, {0, 12, 16, 24, 32}));

// Image (28 bytes): key 0, hit 12, 13..15 pad, lastHit 16, hitCount 24.
class MrouteHitEntryStatus : public Kel::Record<MrouteHitEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MrouteHitEntryStatus";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hit), KEL_FIELD(lastHit), KEL_FIELD(hitCount));
  }
  MrouteHitEntryStatus() = default;
  explicit MrouteHitEntryStatus(MrouteKey const& k) : key_(k) {}
  explicit MrouteHitEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  MrouteKey const& key() const { return key_; }
  KEL_ATTR(bool, hit)
  KEL_ATTR(U64, lastHit)
  KEL_ATTR(U32, hitCount)

 private:
  MrouteKey key_;
  bool hit_ = false;
  U8 pad_[3] = {};
  Kel::Unsigned64 lastHit_;
  U32 hitCount_ = 0;
};
static_assert(Kel::imageIs<MrouteHitEntryStatus>(28, 3, {0, 12, 16, 24}));

// A NAT session: the original and translated 5-tuples, IPv6-capable
// (addresses as two 64-bit halves), with its timers and counters.
// Image (156 bytes): key 0; the eight address halves at 8, 16, .. 64;
// the four ports at 72, 74, 76, 78; protocol 80, isV6 81, vrfId 82;
// ingressIntf 84, egressIntf 92; natId 100, timeout 104, createdAt 108,
// packets 116, bytes 124, flags 132, lastSeen 136, sessionId 144,
// policyId 152.
class NatSessionConfig : public Kel::Record<NatSessionConfig>, public EntryConfigBase {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::NatSessionConfig";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(origSrcHi), KEL_FIELD(origSrcLo), KEL_FIELD(origDstHi),
                           KEL_FIELD(origDstLo), KEL_FIELD(transSrcHi), KEL_FIELD(transSrcLo), KEL_FIELD(transDstHi),
                           KEL_FIELD(transDstLo), KEL_FIELD(origSrcPort), KEL_FIELD(origDstPort),
                           KEL_FIELD(transSrcPort), KEL_FIELD(transDstPort), KEL_FIELD(protocol), KEL_FIELD(isV6),
                           KEL_FIELD(vrfId), KEL_FIELD(ingressIntf), KEL_FIELD(egressIntf), KEL_FIELD(natId),
                           KEL_FIELD(timeout), KEL_FIELD(createdAt), KEL_FIELD(packets), KEL_FIELD(bytes),
                           KEL_FIELD(flags), KEL_FIELD(lastSeen), KEL_FIELD(sessionId), KEL_FIELD(policyId));
  }
  NatSessionConfig() = default;
  explicit NatSessionConfig(EntryKey const& k) : key_(k) {}
  explicit NatSessionConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  EntryKey const& key() const { return key_; }
  KEL_ATTR(U64, origSrcHi)
  KEL_ATTR(U64, origSrcLo)
  KEL_ATTR(U64, origDstHi)
  KEL_ATTR(U64, origDstLo)
  KEL_ATTR(U64, transSrcHi)
  KEL_ATTR(U64, transSrcLo)
  KEL_ATTR(U64, transDstHi)
  KEL_ATTR(U64, transDstLo)
  KEL_ATTR(U16, origSrcPort)
  KEL_ATTR(U16, origDstPort)
  KEL_ATTR(U16, transSrcPort)
  KEL_ATTR(U16, transDstPort)
  KEL_ATTR(U8, protocol)
  KEL_ATTR(bool, isV6)
  KEL_ATTR(U16, vrfId)
  KEL_ATTR(Lanx::IntfId, ingressIntf)
  KEL_ATTR(Lanx::IntfId, egressIntf)
  KEL_ATTR(U32, natId)
  KEL_ATTR(U32, timeout)
  KEL_ATTR(U64, createdAt)
  KEL_ATTR(U64, packets)
  KEL_ATTR(U64, bytes)
  KEL_ATTR(U32, flags)
  KEL_ATTR(U64, lastSeen)
  KEL_ATTR(U64, sessionId)
  KEL_ATTR(U32, policyId)

 private:
  EntryKey key_;
  Kel::Unsigned64 origSrcHi_, origSrcLo_, origDstHi_, origDstLo_;
  Kel::Unsigned64 transSrcHi_, transSrcLo_, transDstHi_, transDstLo_;
  U16 origSrcPort_ = 0, origDstPort_ = 0, transSrcPort_ = 0, transDstPort_ = 0;
  U8 protocol_ = 0;
  bool isV6_ = false;
  U16 vrfId_ = 0;
  Lanx::IntfId ingressIntf_;
  Lanx::IntfId egressIntf_;
  U32 natId_ = 0;
  U32 timeout_ = 0;
  Kel::Unsigned64 createdAt_;
  Kel::Unsigned64 packets_;
  Kel::Unsigned64 bytes_;
  U32 flags_ = 0;
  Kel::Unsigned64 lastSeen_;
  Kel::Unsigned64 sessionId_;
  U32 policyId_ = 0;
};
static_assert(Kel::imageIs<NatSessionConfig>(156, 0, {0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 74, 76, 78, 80, 81, 82,
                                                      84, 92, 100, 104, 108, 116, 124, 132, 136, 144, 152}));

// Image (20 bytes): key 0, hwIndex 8, hits 12, programmed 16, 17..19 pad.
class NatSessionStatus : public Kel::Record<NatSessionStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::NatSessionStatus";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(key), KEL_FIELD(hwIndex), KEL_FIELD(hits), KEL_FIELD(programmed));
  }
  NatSessionStatus() = default;
  explicit NatSessionStatus(EntryKey const& k) : key_(k) {}
  explicit NatSessionStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  EntryKey const& key() const { return key_; }
  KEL_ATTR(U32, hwIndex)
  KEL_ATTR(U32, hits)
  KEL_ATTR(bool, programmed)

 private:
  EntryKey key_;
  U32 hwIndex_ = 0;
  U32 hits_ = 0;
  bool programmed_ = false;
  U8 pad_[3] = {};
};
static_assert(Kel::imageIs<NatSessionStatus>(20, 3, {0, 8, 12, 16}));

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
