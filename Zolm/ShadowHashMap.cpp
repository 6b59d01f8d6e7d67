#include "VexaSwitchLib/Zolm/ShadowHashMap.h"

namespace Zolm {

ShadowHashMapBase::ShadowHashMapBase(Quiv::DebugHandler* handler, SlotCounters& slotCounters, U32 entrySize)
    : handler_(handler), slotCounters_(slotCounters), entrySize_(entrySize) {
  reset();
}

void ShadowHashMapBase::reset() {
  resizeBuckets(2, "bucketsMem_.attachAs() failed");
  log2_ = 1;
  numBuckets_ = 2;
  buckets_[0] = buckets_[1] = NONE;
  count_ = 0;
}

bool ShadowHashMapBase::remove(U32 slot) {
  if (prevOf(slot) == NONE) {
    fmtrace(handler_, 9, "dead slot {}", slot);
    return false;
  }
  U32 prev = prevOf(slot), next = nextOf(slot);
  if (prev >= HEAD - (numBuckets_ - 1)) buckets_[HEAD - prev] = next;
  else nextOf(prev) = next;
  if (next != NONE) prevOf(next) = prev;
  nextOf(slot) = NONE;
  prevOf(slot) = NONE;
  slotCounters_.remove(slot);
  --count_;
  if (count_ <= (U64(numBuckets_) << bucketFactor_) / 4 && log2_ > 1) shrink();
  return true;
}

void ShadowHashMapBase::outOfRange(U32 slot) const {
  fmthrow(Quiv::CorruptionDetectedException, "out-of-range index:{} max:{}", slot, numSlots_);
}

void ShadowHashMapBase::grow() {
  U32 old = numBuckets_;
  fmtrace(handler_, 2, "buckets growing from:{} to:{}", old, old * 2);
  resizeBuckets(U64(old) * 2, nullptr);
  for (U32 i = old; i < 2 * old; ++i) buckets_[i] = NONE;
  ++log2_;
  numBuckets_ = old * 2;
  U32 bit = 32 - log2_;  // the rhash bit that now picks 2i or 2i+1
  for (U32 i = old; i-- > 0;) {
    fmtrace(handler_, 8, "splitting bucket {} to buckets {} and {}", i, 2 * i, 2 * i + 1);
    U32 head = buckets_[i];
    buckets_[i] = NONE;
    U32 lowHead = NONE, highHead = NONE, prev = NONE;
    for (U32 cur = head; cur != NONE; prev = cur, cur = nextOf(cur)) {
      if ((rhashOf(cur) >> bit) & 1) {
        highHead = cur;
        if (prev != NONE) nextOf(prev) = NONE;
        break;
      }
      if (lowHead == NONE) lowHead = cur;
    }
    buckets_[2 * i] = lowHead;
    buckets_[2 * i + 1] = highHead;
    if (lowHead != NONE) prevOf(lowHead) = HEAD - 2 * i;
    if (highHead != NONE) prevOf(highHead) = HEAD - (2 * i + 1);
  }
  ++counters_.grows;
}

void ShadowHashMapBase::shrink() {
  U32 half = numBuckets_ / 2;
  for (U32 i = 0; i < half; ++i) {
    U32 low = buckets_[2 * i], high = buckets_[2 * i + 1];
    if (low == NONE) {
      buckets_[i] = high;
      if (high != NONE) prevOf(high) = HEAD - i;
    } else {
      buckets_[i] = low;
      prevOf(low) = HEAD - i;
      U32 tail = low;
      while (nextOf(tail) != NONE) tail = nextOf(tail);
      nextOf(tail) = high;
      if (high != NONE) prevOf(high) = tail;
    }
  }
  numBuckets_ = half;
  resizeBuckets(half, nullptr);
  --log2_;
  ++counters_.shrinks;
  fmtrace(handler_, 2, "shrunk to numBuckets_:{} bucketFactor_:{}", numBuckets_, bucketFactor_);
}

void ShadowHashMapBase::resizeBuckets(U64 n, char const* initFailure) {
  void* before = bucketsMem_.base();
  try {
    bucketsMem_.resize(n * sizeof(U32));
  } catch (Quiv::Exception const& e) {
    if (initFailure) fmtrace(handler_, 0, "{}", initFailure);
    fmthrow(Quiv::MemoryResourceException, "failed to resize {} from {} to {} buckets : {}", "LBT", numBuckets_, n,
            e.msg());
  }
  buckets_ = static_cast<U32*>(bucketsMem_.base());
  if (before && before != bucketsMem_.base())
    fmtrace(handler_, 2, "base address moved from {} to {}", before, bucketsMem_.base());
}

}  // namespace Zolm
