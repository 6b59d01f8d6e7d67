#include "VexaSwitchLib/tables/L2Types.h"

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/tables/VexaSwitchUtil.h"

namespace VexaSwitch {

L2HashTableIndex L2HashTableIndex::fromWayIndex(U32 way, U32 index, U32 maxWay, U32 maxEntries) {
  fmassert(way < maxWay, "L2Types", "way can not exceed {}", maxWay);
  fmassert(index < maxEntries, "L2Types", "index can not exceed {}", maxEntries);
  return L2HashTableIndex(way * maxEntries + index);  // range-checked: 12288 at most
}

L2HashTableControl L2HashTableControl::fromFields(U32 way, U32 index, bool writeOp, bool readOp,
                                                  bool lastSeenOveride, bool lastSeenRelative, U32 maxWay,
                                                  U32 maxEntries) {
  fmassert(way < maxWay, "L2Types", "way can not exceed {}", maxWay);
  fmassert(index < maxEntries, "L2Types", "index can not exceed {}", maxEntries);
  U32 v = (way << 12) | index;
  if (writeOp) v |= 1u << 15;
  if (readOp) v |= 1u << 14;
  if (lastSeenOveride) v |= 1u << 16;
  if (lastSeenRelative) v |= 1u << 17;
  return L2HashTableControl(v);
}

// qword0: 0..11 VLAN, 12..59 MAC (first octet most significant), 60..63 mask
// bits 0..3. qword1: mask bits 4..N from bit 0, mcast flags at N-3..N-1,
// then (with parity) the parity bit at N and the 8-bit timestamp at N+1, or
// (without) the timestamp from bit N; the dirty bit follows and is written 0.
L2HashTableHwEntry L2LogicalEntry::hwEntry(U8 numPorts, ProfileHwProperties const& hwProp) const {
  unsigned const n = numPorts;
  bool const parity = hwProp.parityEnabled;
  U64 mask = ingressPortMask_.value();
  if (n + 1 < 64) mask &= (U64(1) << (n + 1)) - 1;
  U64 q0 = (key_.mac().toU48() << 12) | (key_.vlanId().value() & 0xFFFu) | ((mask & 0xF) << 60);
  unsigned const s = parity ? n + 1 : n;
  U64 q1 = (mask >> 4) | (U64(mcastFlags_.value() & 7) << (n - 3)) | (U64(lastSeen_.timestamp()) << s);
  if (parity) q1 |= (parity64Bit(q0) ^ parity64Bit(q1)) << n;
  return {q0, q1};
}

L2LogicalEntry L2LogicalEntry::fromHwEntry(L2HashTableHwEntry const& hw, U8 numPorts,
                                           ProfileHwProperties const& hwProp) {
  unsigned const n = numPorts;
  unsigned const s = hwProp.parityEnabled ? n + 1 : n;
  U64 const q0 = hw.qword0(), q1 = hw.qword1();
  L2LogicalEntry e(Bridging::MacVlanPair(Bridging::EthAddr::fromU48((q0 >> 12) & 0xFFFFFFFFFFFFULL),
                                         Bridging::VlanId(static_cast<U16>(q0 & 0xFFF))));
  e.ingressPortMask_ = IngressPortMask(((q1 & ((U64(1) << (n - 3)) - 1)) << 4) | (q0 >> 60));
  e.mcastFlags_ = L2McastFlags(static_cast<U8>((q1 >> (n - 3)) & 7));
  e.lastSeen_ = L2HwLastSeen(static_cast<U16>((q1 >> s) & 0x1FF));
  return e;
}

}  // namespace VexaSwitch
