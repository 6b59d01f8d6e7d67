#pragma once
// The first 16 bytes of every slot of a slot file, which the bucket index
// and the readers address directly:
//
//   0  u32 linkVersion  ) one 64-bit link word (SlotLink.h): the chain link
//   4  u32 next         ) of an occupied slot, the free-list link of a free one
//   8  u32 runtimeFlags bit 0 OCCUPIED, bit 1 LOOKASIDE (the value is in the
//                       critical-section image), bits 2..31 a change counter
//  12  u32 rhash        bit-reversed key hash
//  16  value, then zero up to the slot size
#include "ZolmCore/SlotHeaderCommon.h"
#include "ZolmCore/SlotLink.h"

namespace Zolm {

constexpr U32 SLOT_OCCUPIED = 1;
constexpr U32 SLOT_LOOKASIDE = 2;
constexpr U32 COMMON_HEADER_SIZE = SlotHeaderCommon::HEADER_SIZE;

struct SlotPrefix {
  U64 link;
  U32 runtimeFlags;
  U32 rhash;
  U32 next() const { return SlotLink::target(link); }
  U32 linkVersion() const { return SlotLink::version(link); }
};
static_assert(sizeof(SlotPrefix) == 16);

}  // namespace Zolm
