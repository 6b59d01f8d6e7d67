#pragma once
// Bridging-module value types used by the switch tables: VLAN ids, Ethernet
// addresses, the (MAC, VLAN) key of the L2 table and the L2 entry kind.
#include <array>
#include <compare>
#include <string_view>

#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace Bridging {

// A 12-bit VLAN id, 0..4095; attributes of this type default to 1.
class VlanId : public Kel::Scalar<VlanId, U16> {
 public:
  static constexpr std::string_view kelTypeName = "Bridging::VlanId";
  static constexpr std::string_view kelLowerName = "min";
  static constexpr std::string_view kelUpperName = "max";
  static constexpr U16 min = 0;
  static constexpr U16 max = 4095;
  static constexpr U16 kelUpper = max;
  static constexpr U16 kelDefault = 1;
  using Scalar::Scalar;
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, value()); }
};
static_assert(Kel::imageIs<VlanId>(2, 0, {0}));

// A 48-bit Ethernet address; text form "01:02:03:04:05:06" (lower-case hex).
class EthAddr {
 public:
  constexpr EthAddr() = default;
  constexpr explicit EthAddr(std::array<U8, 6> o) : octet_(o) {}
  explicit EthAddr(Kel::CharRange& r);
  // The address as a number, first octet most significant.
  static constexpr EthAddr fromU48(U64 v) {
    EthAddr a;
    for (int i = 5; i >= 0; --i, v >>= 8) a.octet_[static_cast<std::size_t>(i)] = static_cast<U8>(v);
    return a;
  }
  constexpr U64 toU48() const {
    U64 v = 0;
    for (U8 o : octet_) v = (v << 8) | o;
    return v;
  }
  constexpr U8 octet(unsigned i) const { return octet_[i]; }
  constexpr std::array<U8, 6> const& octets() const { return octet_; }
  friend constexpr bool operator==(EthAddr const&, EthAddr const&) = default;
  friend constexpr auto operator<=>(EthAddr const&, EthAddr const&) = default;
  explicit constexpr operator bool() const { return toU48() != 0; }

 private:
  std::array<U8, 6> octet_{};
};
static_assert(sizeof(EthAddr) == 6);
Quiv::String valueToStrep(EthAddr const& a);
std::ostream& operator<<(std::ostream& os, EthAddr const& a);

// The key of the L2 table. Image (12 bytes): MAC octets at 0..5, two zero
// bytes, the VLAN id at 8 as a 32-bit little-endian word (bytes 10..11 are
// kept zero).
class MacVlanPair : public Kel::Record<MacVlanPair> {
 public:
  static constexpr std::string_view kelTypeName = "Bridging::MacVlanPair";
  static constexpr auto kelFields() { return std::make_tuple(KEL_FIELD(mac), KEL_FIELD(vlanId)); }
  MacVlanPair() = default;
  MacVlanPair(EthAddr mac, VlanId vlan) : mac_(mac), vlanId_(vlan) {}
  explicit MacVlanPair(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  EthAddr const& mac() const { return mac_; }
  VlanId vlanId() const { return vlanId_; }
  // The 60-bit number (MAC48 << 12 | VLAN) that orders and hashes the key.
  U64 packed() const { return (mac_.toU48() << 12) | vlanId_.value(); }
  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, packed()); }
  friend bool operator<(MacVlanPair const& a, MacVlanPair const& b) { return a.packed() < b.packed(); }

 private:
  EthAddr mac_;
  U16 pad0_ = 0;
  VlanId vlanId_{0};
  U16 pad1_ = 0;
};
static_assert(Kel::imageIs<MacVlanPair>(12, 4, {0, 8}));

// The kind of an L2 entry: one byte. Text form is the enumerator's name.
enum class EntryType : U8 {
  invalidEntry = 0,
  learnedDynamicMac = 1,
  configuredStaticMac = 2,
  peerDynamicMac = 3,
  peerStaticMac = 4,
  routerMac = 5,
  evpnDynamicMac = 6,
  evpnStaticMac = 7,
};
constexpr U8 entryTypeCount = 8;
Quiv::String valueToStrep(EntryType t);
std::ostream& operator<<(std::ostream& os, EntryType t);
EntryType sequenceToValue(Kel::CharRange& r, EntryType const*);

KEL_VALUE_FUNCTIONS();

}  // namespace Bridging

template <>
struct Kel::AttrText<Bridging::EntryType> {
  static void append(std::string& out, Bridging::EntryType v) { out += valueToStrep(v).view(); }
  static Bridging::EntryType parse(CharRange& r, std::string_view name);
};
