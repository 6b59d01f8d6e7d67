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
//
// The writer stores link with one 64-bit release store (L1, L2 in
// SlotLink.h) and runtimeFlags with 32-bit release stores (the seqlock, S3
// in Zolm/SlotWriter.h); rhash with one 32-bit store, published by the
// flags store after it. Readers read all three whole, and the value under
// the flags check.
#include <cstddef>
#include <cstring>
#include <new>

#include "VexaSwitchLib/ZolmCore/SlotHeaderCommon.h"
#include "VexaSwitchLib/ZolmCore/SlotLink.h"

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
static_assert(offsetof(SlotPrefix, link) % 8 == 0);
static_assert(offsetof(SlotPrefix, runtimeFlags) % 4 == 0);
static_assert(offsetof(SlotPrefix, rhash) % 4 == 0);

// Where a writer's slots are mapped now. The slot table keeps it current
// across growth, shrink and remaps; the bucket index reads slots through it
// and never keeps a slot pointer across a call that may resize.
struct SlotSpan {
  char* slots = nullptr;  // slot 0
  U32 slotSize = 0;
  U32 numSlots = 0;
  U32 maxIndex = 0;

  // Slot `id`, checked against the mapped count (an index read from shared
  // memory may be anything).
  SlotPrefix* slot(U32 id) const {
    if (id > maxIndex || numSlots == 0) outOfRange(id);
    return raw(id);
  }
  SlotPrefix* raw(U32 id) const { return reinterpret_cast<SlotPrefix*>(slots + U64(id) * slotSize); }
  // Throws Quiv::CorruptionDetectedException "out-of-range index: {} max:{}".
  [[noreturn]] void outOfRange(U32 id) const;

  static char* valuePtr(SlotPrefix* s) { return reinterpret_cast<char*>(s) + sizeof(SlotPrefix); }
  static char const* valuePtr(SlotPrefix const* s) { return reinterpret_cast<char const*>(s) + sizeof(SlotPrefix); }
  // The writer is the only one changing its slots, so it may read a value
  // in place.
  template <class V>
  static V const& valueRef(SlotPrefix const* s) {
    return *std::launder(reinterpret_cast<V const*>(valuePtr(s)));
  }
  template <class V>
  static V valueOf(SlotPrefix const* s) {
    V v;
    std::memcpy(static_cast<void*>(&v), valuePtr(s), sizeof(V));
    return v;
  }
};

}  // namespace Zolm
