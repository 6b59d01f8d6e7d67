#pragma once
// Lanx::IntfId: an interface id. Its text form is the interface name:
//   ""                      the empty id (no interface)
//   Ethernet3, Ethernet3/1, Ethernet3/1/2
//   UnconnectedEthernet5    an Ethernet port with no front-panel connector
//   Port-Channel17          a LAG
//   Vlan100                 a VLAN (routed) interface
//   Loopback0, Management1
//   Cpu                     the CPU port
//   Unknown0x0000000000000006  any other image (a kind this build does not
//                           know, a component count or number no name
//                           spells), as its 16 hex digits
// Numbers are the image's 16-bit fields, 0..65535 for every kind: the
// parser reads back every text the printer makes, so any id that is
// stored can be named and looked up by its text.
//
// Image (8 bytes, little-endian U64, held as two 32-bit halves so that the
// id sits on 4-byte boundaries in stored images):
//   bits 56..63 kind, 48..55 number of components (1..3),
//   32..47 first number, 16..31 second, 0..15 third.
// The empty id is all-zero.
#include <ostream>
#include <string_view>

#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace Lanx {

enum class IntfKind : U8 {
  none = 0,
  ethernet = 1,
  unconnectedEthernet = 2,
  portChannel = 3,
  vlan = 4,
  cpu = 5,
  loopback = 6,
  management = 7,
};

class IntfId {
 public:
  constexpr IntfId() = default;
  // From a name; raises Kel::ParseException for an unknown name and
  // Kel::RangeException for a number above 65535.
  explicit IntfId(std::string_view name);
  explicit IntfId(Kel::CharRange& r);
  static IntfId ethernet(U16 a, U16 b = 0, U16 c = 0);
  static IntfId portChannel(U16 n);
  static IntfId vlan(U16 n);
  static IntfId cpu();
  static constexpr IntfId fromRaw(U64 raw) {
    IntfId i;
    i.lo_ = static_cast<U32>(raw);
    i.hi_ = static_cast<U32>(raw >> 32);
    return i;
  }

  constexpr U64 raw() const { return (U64(hi_) << 32) | lo_; }
  constexpr IntfKind kind() const { return static_cast<IntfKind>(raw() >> 56); }
  constexpr unsigned components() const { return static_cast<unsigned>((raw() >> 48) & 0xFF); }
  constexpr U16 number(unsigned i) const { return static_cast<U16>(raw() >> (32 - 16 * i)); }
  Quiv::String name() const;
  constexpr bool empty() const { return raw() == 0; }
  explicit constexpr operator bool() const { return raw() != 0; }

  U32 hash(U32 seed) const { return Kel::hashSingleAttr(seed, raw()); }
  friend constexpr bool operator==(IntfId a, IntfId b) { return a.raw() == b.raw(); }
  friend constexpr auto operator<=>(IntfId a, IntfId b) { return a.raw() <=> b.raw(); }

 private:
  U32 lo_ = 0;
  U32 hi_ = 0;
};
static_assert(alignof(IntfId) == 4);
static_assert(sizeof(IntfId) == 8);

Quiv::String valueToStrep(IntfId const& i);
std::ostream& operator<<(std::ostream& os, IntfId const& i);
// The interface-name parser: consumes the longest run of name characters
// (letters, digits, '/', '-', '.') and converts it.
IntfId sequenceToValue(Kel::CharRange& r, IntfId const*);

struct EthIntfId {
  static bool isEthIntfId(IntfId i) { return i.kind() == IntfKind::ethernet || i.kind() == IntfKind::unconnectedEthernet; }
  static bool isUnconnected(IntfId i) { return i.kind() == IntfKind::unconnectedEthernet; }
};
struct PortChannelIntfId {
  static bool isPortChannelIntfId(IntfId i) { return i.kind() == IntfKind::portChannel; }
};
struct CpuIntfId {
  static bool isCpuIntfId(IntfId i) { return i.kind() == IntfKind::cpu; }
};

}  // namespace Lanx

template <>
struct Kel::AttrText<Lanx::IntfId> {
  static void append(std::string& out, Lanx::IntfId v) { out += valueToStrep(v).view(); }
  static Lanx::IntfId parse(CharRange& r, std::string_view name) {
    try {
      return Lanx::sequenceToValue(r, nullptr);
    } catch (RangeException const&) {
      rethrowFromDeserializeAttr(name);
    }
  }
};
