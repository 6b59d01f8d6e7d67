#include "VexaSwitchLib/Zolm/ShadowStore.h"

#include <cstring>

namespace Zolm {

ShadowStoreCore::ShadowStoreCore(Quiv::DebugHandler* handler, ZolmReaderBase& reader, Nimbr::NimbrReader& queue,
                                 Reader::Counters& counters, KeyOps const& keyOps, U32 entrySize,
                                 void const* emptyEntry, bool keysOnly, bool notifyKeys)
    : handler_(handler),
      readerBase_(reader),
      queue_(queue),
      counters_(counters),
      slotCounters_(initialRange(keyOps.slotSize)),
      notifyKeys_(notifyKeys),
      entrySize_(entrySize),
      emptyEntry_(emptyEntry),
      keysOnly_(keysOnly) {}

ShadowStoreCore::~ShadowStoreCore() = default;

U32 ShadowStoreCore::initialRange(U32 slotSize) {
  U64 page = Mem::pageSize();
  U64 header = COMMON_HEADER_SIZE + slotSize;
  return page > header ? U32((page - header) / slotSize) : 0;
}

void ShadowStoreCore::initialize() {
  map_->reset();
  resizeSlots(0);
  enabled_ = true;
  anchor_ = {};
}

void ShadowStoreCore::disable() {
  enabled_ = false;
  map_->reset();
  resizeSlots(0);
}

void ShadowStoreCore::addCountersTo(Reader::Counters& c) const {
  auto const& m = map_->counters();
  c.localBucketGrows = m.grows;
  c.localBucketShrinks = m.shrinks;
  c.moves = m.moves;
  c.slowPaths += m.slowPaths;
  c.localSlotGrows = slotGrows_;
  c.localSlotShrinks = slotShrinks_;
}

bool ShadowStoreCore::reachSlot(U32 slot) {
  U32 shared = sharedSlots();
  if (slot < shared) {
    if (!growSlots(slot)) {
      fmtrace(handler_, 5, "discarding notification for slotIndex:{}", slot);
      return false;
    }
    return true;
  }
  fmtrace(handler_, 5,
          "skip growing of shadow table to accomodate slotIndex:{} because shared memory has shrunk to {} slots", slot,
          shared);
  return false;
}

void ShadowStoreCore::tryShrink() {
  if (!enabled_ || map_->count() * 4 > numSlots_) return;
  U32 target = slotCounters_.largestOccupied();
  if (target >= numSlots_) return;
  fmtrace(handler_, 5, "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
  U32 shared = sharedSlots();
  if (shared <= target || target == 0) {
    shrinkSlots(target);
  } else {
    fmtrace(handler_, 5, "skip shrinking of shadow table to {} slots because shared memory has grown to {} slots",
            target, shared);
  }
}

bool ShadowStoreCore::growSlots(U32 slot) {
  fmtrace(handler_, 5, "for slotIndex:{}", slot);
  readerBase_.remapFiles();
  U32 cap = readerBase_.slotCapacity();
  if (slot >= cap) {
    fmtrace(handler_, 5, "complete. Never learned of slotIndex:{} so it is safe to ignore.", slot);
    return false;
  }
  fmtrace(handler_, 2, "resize shadow slots from {} to {} due to out of range slot {}", numSlots_, cap, slot);
  U64 want = U64(cap) * entrySize_;
  resizeSlots(cap);
  fmtrace(handler_, 5, "Passed resize {} and got {} back.", want, slotsMem_.memSize());
  ++slotGrows_;
  fmtrace(handler_, 5, "complete.");
  return true;
}

void ShadowStoreCore::shrinkSlots(U32 n) {
  fmtrace(handler_, 5, "newNumSlots:{}", n);
  fmtrace(handler_, 5, "resize shadow slots from {} to {}", numSlots_, n);
  resizeSlots(n);
  ++slotShrinks_;
  fmtrace(handler_, 5, "complete.");
}

void ShadowStoreCore::resizeSlots(U32 n) {
  U32 old = numSlots_;
  try {
    slotsMem_.resize(Mem::multiplyOverflowCheck(n, entrySize_));
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::MemoryResourceException, "failed to resize {} from {} to {} slots - {}", keysOnly_ ? "LKT" : "LST",
            old, n, e.msg());
  }
  slotBytes_ = static_cast<char*>(slotsMem_.base());
  numSlots_ = n;
  for (U32 i = old; i < n; ++i) std::memcpy(slotBytes_ + U64(i) * entrySize_, emptyEntry_, entrySize_);
  map_->slotsIs(slotBytes_, numSlots_);
}

}  // namespace Zolm
