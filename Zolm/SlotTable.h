#pragma once
// The slot file "slots" of a table: a 600-byte common header, one slot
// image used while the writer changes an occupied slot in place (the
// critical-section image), then numSlots slots of S bytes:
//
//   file offset 0            SlotHeaderCommon (ZolmCore/SlotHeaderCommon.h)
//               600          critical-section image (one slot)
//               600+S+i*S    slot i
//
// A slot:
//   0  u32 linkVersion  ) one 64-bit link word (SlotLink.h): the chain link
//   4  u32 next         ) of an occupied slot, the free-list link of a free one
//   8  u32 runtimeFlags bit 0 OCCUPIED, bit 1 LOOKASIDE (the value is in the
//                       image), bits 2..31 a change counter
//  12  u32 rhash        bit-reversed key hash
//  16  value, then zero up to S
// S is a multiple of 8 (SlotHeaderCommon::validate) and the header 600
// bytes, so every slot's link word is 8-aligned and its flags and rhash
// 4-aligned, as their atomic accesses need. The concurrency contract of
// the file (S1..S7) is in SlotWriter.h.
#include <cstring>
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/ZolmCore/SlotPrefix.h"

namespace Zolm {


namespace SlotTable {
// The slot file's header check: the common part, then the geometry that
// numSlots needs. Traces the failure at level 0 and sets `error`.
bool validateHeader(Quiv::DebugHandler* handler, SlotHeaderCommon const& h, U64 fileSize, U32 fenixId,
                    U32 slotSize, U32 valueSize, std::string_view typeName, Quiv::String& error);
// Whole header: common part and image.
constexpr U64 headerSize(U32 slotSize) { return COMMON_HEADER_SIZE + U64(slotSize); }
// Bytes for `numSlots` slots; overflow throws Quiv::MemoryResourceException.
U64 fileSize(U32 slotSize, U64 numSlots);
// Slots that fit one page after the header, as a power of two (at least 1).
U32 pageSlots(U32 slotSize);
}  // namespace SlotTable

}  // namespace Zolm
