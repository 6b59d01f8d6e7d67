#pragma once
// Link words: the 64-bit words that thread the hash chains through the
// slots and that the bucket table holds.
//
//   bits  0..31  version, advanced by 4 at every store of the word
//   bits 32..63  target:
//                  bit 31 clear          a slot index
//                  0xFFFFFFFF            end of the table
//                  other, bit 31 set     bucket marker: the current
//                                        bucket's run ends, the walk goes on
//                                        at bucket (target & 0x7FFFFFFF)
//
// L1: a link word is always stored with one 64-bit store and read with
//     one 64-bit load, so a reader sees version and target from the same
//     store; a word that reads the same twice was not re-stored between
//     (the version moves at every store; it wraps only after 2^30 stores).
// L2: every store of a link word that readers may follow is a release
//     (SlotLink::store): whatever it makes reachable (a slot's value and
//     flags, its own link, a bucket word a marker names) was stored before
//     it. It pairs with the acquire load of the same word in the readers'
//     walks (SlotLink::load, ReaderHashMap::walk and firstFrom).
// Writer-side reads of link words may be plain: the one writer thread is
// the only one that stores them.
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Zolm {

struct SlotLink {
  static constexpr U32 END = 0xFFFFFFFFu;
  static constexpr U32 MARKER_BIT = 0x80000000u;

  static constexpr U32 version(U64 w) { return static_cast<U32>(w); }
  static constexpr U32 target(U64 w) { return static_cast<U32>(w >> 32); }
  static constexpr U64 make(U32 version, U32 target) { return U64(target) << 32 | version; }
  // The word that replaces `w` with a new target (version + 4).
  static constexpr U64 next(U64 w, U32 target) { return make(version(w) + 4, target); }
  static constexpr bool isSlot(U32 t) { return !(t & MARKER_BIT); }
  static constexpr bool isEnd(U32 t) { return t == END; }
  static constexpr bool isMarker(U32 t) { return (t & MARKER_BIT) && t != END; }
  static constexpr U32 marker(U32 bucket) { return bucket | MARKER_BIT; }
  static constexpr U32 markerBucket(U32 t) { return t & ~MARKER_BIT; }

  static U64 load(U64 const* p) { return Mem::load64(p); }  // L1, L2
  static void store(U64* p, U64 w) { Mem::store64(p, w); }   // L1, L2
};

constexpr U32 reverseBits32(U32 v) {
  v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
  v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
  v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
  v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
  return (v >> 16) | (v << 16);
}

constexpr U32 log2Exact(U32 powerOfTwo) { return powerOfTwo ? 31 - __builtin_clz(powerOfTwo) : 0; }
// The largest power of two not above v (v >= 1).
constexpr U32 largestPowerOfTwoAtMost(U64 v) {
  return v >= (U64(1) << 31) ? 1u << 31 : 1u << (63 - __builtin_clzll(v));
}

// The bucket that follows `bucket` in bit-reversed order among 2^bits
// buckets; 0 after the last one (the end). With bits outside 1..31 the
// answer is 0xFFFFFFFF (no such order).
constexpr U32 bitReversedSuccessor(U32 bucket, U32 bits) {
  if (bits < 1 || bits > 31) return 0xFFFFFFFFu;
  U32 shift = 32 - bits;
  U32 rev = reverseBits32(bucket) >> shift;
  U32 nextRev = rev + 1;
  if (nextRev >> bits) return 0;
  return reverseBits32(nextRev) >> shift;
}

}  // namespace Zolm
