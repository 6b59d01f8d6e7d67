#pragma once
// What a reader keeps to know whether something it read is still current:
// the mount status of a table, version anchors of slot reads, and local
// copies of (resizeSeq, count) words.
#include "VexaSwitchLib/runtime/Types.h"

namespace Mem {

// What a table's mount looks like to its client: 0 not mounted, 1 mounted,
// 2 mounted and synchronised, 3 detaching while notifications are still
// being flushed.
using MountStatus = U32;
inline constexpr MountStatus notMounted = 0;
inline constexpr MountStatus mounted = 1;
inline constexpr MountStatus synced = 2;
inline constexpr MountStatus flushing = 3;

// Recorded with a value read from a slot: the slot's runtimeFlags at the
// time, where that word lives, and the mapping it was read through. The
// value is still current while the word is unchanged.
struct VersionAnchor {
  static constexpr U64 NONE = 0xFFFFFFFEu;         // nothing was read
  static constexpr U64 INVALIDATED = 0xFFFFFFFFu;  // dropped by a remap
  U32 version = 0;
  U64 offset = 0;
  void const* base = nullptr;
  bool valid() const { return base != nullptr; }
};

// The (version, offset) half of an anchor, for callers that keep it.
struct CacheVersionAnchor {
  U32 version = 0;
  U64 offset = 0;
};

// A local copy of a (resizeSeq, count) pair read from a header.
template <class T>
struct VersionedRef {
  U32 seq = 0xFFFFFFFFu;
  T value{};
};

}  // namespace Mem
