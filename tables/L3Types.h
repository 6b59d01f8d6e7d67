#pragma once
// L3 keys and entries: LPM routes, nexthops, hit bits, VLAN groups, L3
// flood lists, multicast routes and NAT sessions. All are fixed-size
// records copied bytewise into table slots: their sizes (pinned below) are
// part of the shared-memory format. 64-bit fields sit on 4-byte boundaries
// (Kel::Unsigned64, the split scalars), so no record needs packing.
#include <string_view>

#include "runtime/Bridging.h"
#include "runtime/Hash.h"
#include "runtime/Lanx.h"
#include "runtime/ValueType.h"

namespace VexaSwitch {

// The key of the tables indexed by a 64-bit id.
class EntryKey : public Kel::Scalar<EntryKey, U64> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::EntryKey";
  using Scalar::Scalar;
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, value()); }
  friend bool operator<(EntryKey a, EntryKey b) { return a.value() < b.value(); }
};
static_assert(sizeof(EntryKey) == 8);

// A route prefix: VRF, length, family and the address (an IPv4 address in
// addrLow, or the upper 96 bits of an IPv6 prefix in addrHigh:addrLow).
class LpmKey : public Kel::Record<LpmKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmKey";
  static constexpr auto kelFields() {
    return std::make_tuple(Kel::field("vrfId", &LpmKey::vrfId_), Kel::field("prefixLen", &LpmKey::prefixLen_),
                           Kel::field("isV6", &LpmKey::isV6_), Kel::field("addrHigh", &LpmKey::addrHigh_),
                           Kel::field("addrLow", &LpmKey::addrLow_));
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
static_assert(sizeof(LpmKey) == 16);

// A multicast route: VRF, group and source (IPv4).
class MrouteKey : public Kel::Record<MrouteKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::MrouteKey";
  static constexpr auto kelFields() {
    return std::make_tuple(Kel::field("vrfId", &MrouteKey::vrfId_), Kel::field("group", &MrouteKey::group_),
                           Kel::field("source", &MrouteKey::source_));
  }
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
static_assert(sizeof(MrouteKey) == 12);

// A VLAN group: a VLAN and a group number; small, passed by value.
class VlanGroupKey : public Kel::Record<VlanGroupKey> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::VlanGroupKey";
  static constexpr auto kelFields() {
    return std::make_tuple(Kel::field("vlanId", &VlanGroupKey::vlanId_), Kel::field("groupId", &VlanGroupKey::groupId_));
  }
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
static_assert(sizeof(VlanGroupKey) == 4);

// Declares a record's static description, its constructors and key();
// the field list follows as the macro's variadic part.
#define VEXA_L3_RECORD(Type, KeyType, ...)                                          \
  static constexpr std::string_view kelTypeName = "VexaSwitch::" #Type;             \
  static constexpr auto kelFields() {                                               \
    using T = Type;                                                                 \
    return std::make_tuple(__VA_ARGS__);                                            \
  }                                                                                 \
  Type() = default;                                                                 \
  explicit Type(KeyType const& k) : key_(k) {}                                      \
  explicit Type(Kel::CharRange& r) { Kel::parseRecord(*this, r); }                  \
  KeyType const& key() const { return key_; }                                       \
                                                                                    \
 private:                                                                           \
  KeyType key_;                                                                     \
                                                                                    \
 public:
#define VEXA_F(name) Kel::field(#name, &T::name##_)

// Base of the configuration entries keyed by an EntryKey.
struct EntryConfigBase {};

// Status of an entry keyed by an EntryKey (the TableStatus value): where
// the chip holds it and whether it is programmed. 20 bytes.
class EntryStatusBase : public Kel::Record<EntryStatusBase> {
 public:
  VEXA_L3_RECORD(EntryStatusBase, EntryKey, VEXA_F(key), VEXA_F(hwIndex), VEXA_F(status), VEXA_F(programmed))
  U32 hwIndex_ = 0;
  U32 status_ = 0;
  bool programmed_ = false;

  U8 pad_[3] = {};
};
static_assert(sizeof(EntryStatusBase) == 20);

class LpmEntryConfig : public Kel::Record<LpmEntryConfig>, public EntryConfigBase {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmEntryConfig";
  static constexpr auto kelFields() {
    using T = LpmEntryConfig;
    return std::make_tuple(VEXA_F(key), VEXA_F(lpmKey), VEXA_F(nexthop), VEXA_F(flags));
  }
  LpmEntryConfig() : LpmEntryConfig(LpmKey()) {}
  explicit LpmEntryConfig(LpmKey const& k) : key_(getEntryKey(k)), lpmKey_(k) {}
  explicit LpmEntryConfig(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  // The EntryKey of a route: its prefix packed into 64 bits and mixed, so
  // that equal prefixes always share a key.
  static EntryKey getEntryKey(LpmKey const& k) { return EntryKey((U64(k.hash(0)) << 32) | k.hash(0x9E3779B9u)); }
  EntryKey const& key() const { return key_; }
  LpmKey const& lpmKey() const { return lpmKey_; }

 private:
  EntryKey key_;
  LpmKey lpmKey_;

 public:
  EntryKey nexthop_;
  U32 flags_ = 0;
};
static_assert(sizeof(LpmEntryConfig) == 36);

class LpmEntryStatus : public Kel::Record<LpmEntryStatus> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::LpmEntryStatus";
  static constexpr auto kelFields() {
    using T = LpmEntryStatus;
    return std::make_tuple(VEXA_F(key), VEXA_F(lpmKey), VEXA_F(hwIndex));
  }
  LpmEntryStatus() : LpmEntryStatus(LpmKey()) {}
  explicit LpmEntryStatus(LpmKey const& k) : key_(getEntryKey(k)), lpmKey_(k) {}
  explicit LpmEntryStatus(Kel::CharRange& r) { Kel::parseRecord(*this, r); }
  static EntryKey getEntryKey(LpmKey const& k) { return LpmEntryConfig::getEntryKey(k); }
  EntryKey const& key() const { return key_; }
  LpmKey const& lpmKey() const { return lpmKey_; }

 private:
  EntryKey key_;
  LpmKey lpmKey_;

 public:
  U32 hwIndex_ = 0;
};
static_assert(sizeof(LpmEntryStatus) == 28);

class LpmHitEntryStatus : public Kel::Record<LpmHitEntryStatus> {
 public:
  VEXA_L3_RECORD(LpmHitEntryStatus, LpmKey, VEXA_F(key), VEXA_F(hit))
  bool hit_ = false;

  U8 pad_[3] = {};
};
static_assert(sizeof(LpmHitEntryStatus) == 20);

class NexthopEntryConfig : public Kel::Record<NexthopEntryConfig>, public EntryConfigBase {
 public:
  VEXA_L3_RECORD(NexthopEntryConfig, EntryKey, VEXA_F(key), VEXA_F(mac), VEXA_F(vlanId), VEXA_F(intf),
                 VEXA_F(egressIndex), VEXA_F(tunnelId), VEXA_F(weight), VEXA_F(flags))
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
static_assert(sizeof(NexthopEntryConfig) == 48);

class VlanGroupEntryConfig : public Kel::Record<VlanGroupEntryConfig> {
 public:
  VEXA_L3_RECORD(VlanGroupEntryConfig, VlanGroupKey, VEXA_F(key), VEXA_F(memberMask), VEXA_F(untaggedMask),
                 VEXA_F(floodIndex), VEXA_F(mcastIndex), VEXA_F(learn))
  Kel::Unsigned64 memberMask_;
  Kel::Unsigned64 untaggedMask_;
  U32 floodIndex_ = 0;
  U32 mcastIndex_ = 0;
  bool learn_ = true;

  U8 pad_[3] = {};
};
static_assert(sizeof(VlanGroupEntryConfig) == 32);

class VlanGroupEntryStatus : public Kel::Record<VlanGroupEntryStatus> {
 public:
  VEXA_L3_RECORD(VlanGroupEntryStatus, VlanGroupKey, VEXA_F(key), VEXA_F(hwIndex), VEXA_F(programmedMask))
  U32 hwIndex_ = 0;
  Kel::Unsigned64 programmedMask_;

};
static_assert(sizeof(VlanGroupEntryStatus) == 16);

class L3FloodEntryConfig : public Kel::Record<L3FloodEntryConfig> {
 public:
  VEXA_L3_RECORD(L3FloodEntryConfig, Lanx::IntfId, VEXA_F(key), VEXA_F(floodListId), VEXA_F(memberCount))
  U32 floodListId_ = 0;
  U32 memberCount_ = 0;

};
static_assert(sizeof(L3FloodEntryConfig) == 16);

class MrouteEntryConfig : public Kel::Record<MrouteEntryConfig> {
 public:
  VEXA_L3_RECORD(MrouteEntryConfig, MrouteKey, VEXA_F(key), VEXA_F(rpfIntf), VEXA_F(oifMask), VEXA_F(oifListId),
                 VEXA_F(flags), VEXA_F(ttlThreshold), VEXA_F(cpuCopy))
  Lanx::IntfId rpfIntf_;
  Kel::Unsigned64 oifMask_;
  U32 oifListId_ = 0;
  U32 flags_ = 0;
  U8 ttlThreshold_ = 0;
  bool cpuCopy_ = false;

  U16 pad_ = 0;
};
static_assert(sizeof(MrouteEntryConfig) == 40);

class MrouteEntryStatus : public Kel::Record<MrouteEntryStatus> {
 public:
  VEXA_L3_RECORD(MrouteEntryStatus, MrouteKey, VEXA_F(key), VEXA_F(hwIndex), VEXA_F(packets), VEXA_F(bytes),
                 VEXA_F(lastUsed))
  U32 hwIndex_ = 0;
  Kel::Unsigned64 packets_;
  Kel::Unsigned64 bytes_;
  Kel::Unsigned64 lastUsed_;

};
static_assert(sizeof(MrouteEntryStatus) == 40);

class MrouteHitEntryStatus : public Kel::Record<MrouteHitEntryStatus> {
 public:
  VEXA_L3_RECORD(MrouteHitEntryStatus, MrouteKey, VEXA_F(key), VEXA_F(hit), VEXA_F(lastHit), VEXA_F(hitCount))
  bool hit_ = false;
  U8 pad_[3] = {};
  Kel::Unsigned64 lastHit_;
  U32 hitCount_ = 0;
};
static_assert(sizeof(MrouteHitEntryStatus) == 28);

// A NAT session: the original and translated 5-tuples, IPv6-capable
// (addresses as two 64-bit halves), with its timers and counters.
class NatSessionConfig : public Kel::Record<NatSessionConfig>, public EntryConfigBase {
 public:
  VEXA_L3_RECORD(NatSessionConfig, EntryKey, VEXA_F(key), VEXA_F(origSrcHi), VEXA_F(origSrcLo), VEXA_F(origDstHi),
                 VEXA_F(origDstLo), VEXA_F(transSrcHi), VEXA_F(transSrcLo), VEXA_F(transDstHi), VEXA_F(transDstLo),
                 VEXA_F(origSrcPort), VEXA_F(origDstPort), VEXA_F(transSrcPort), VEXA_F(transDstPort),
                 VEXA_F(protocol), VEXA_F(isV6), VEXA_F(vrfId), VEXA_F(ingressIntf), VEXA_F(egressIntf),
                 VEXA_F(natId), VEXA_F(timeout), VEXA_F(createdAt), VEXA_F(packets), VEXA_F(bytes),
                 VEXA_F(flags), VEXA_F(lastSeen), VEXA_F(sessionId), VEXA_F(policyId))
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
static_assert(sizeof(NatSessionConfig) == 156);

class NatSessionStatus : public Kel::Record<NatSessionStatus> {
 public:
  VEXA_L3_RECORD(NatSessionStatus, EntryKey, VEXA_F(key), VEXA_F(hwIndex), VEXA_F(hits), VEXA_F(programmed))
  U32 hwIndex_ = 0;
  U32 hits_ = 0;
  bool programmed_ = false;

  U8 pad_[3] = {};
};
static_assert(sizeof(NatSessionStatus) == 20);

#undef VEXA_F
#undef VEXA_L3_RECORD

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
