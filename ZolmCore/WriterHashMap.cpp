#include "VexaSwitchLib/ZolmCore/WriterHashMap.h"

#include <chrono>
#include <vector>

#include "VexaSwitchLib/runtime/Tasks.h"

namespace ZolmCore {

namespace {
U64 nowNs() {
  return static_cast<U64>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}
}  // namespace

WriterHashMap::WriterHashMap(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local,
                             Zolm::SlotSpan const& slots, bool shrinkBuckets, bool const& criticalTaskCheck,
                             Zolm::Writer::Counters& counters)
    : handler_(handler),
      bucketWriter_(handler, root, local),
      slots_(slots),
      shrinkBuckets_(shrinkBuckets),
      criticalTaskCheck_(criticalTaskCheck),
      counters_(counters) {}

bool WriterHashMap::keep(U32 fenixId) {
  if (!bucketWriter_.keep(fenixId)) return false;
  numBuckets_ = bucketWriter_.header()->numBuckets;
  shrinkThreshold_ = numBuckets_ / 4;
  return true;
}

void WriterHashMap::format(U32 fenixId) {
  bucketWriter_.format(fenixId);
  numBuckets_ = bucketWriter_.header()->numBuckets;
  shrinkThreshold_ = numBuckets_ / 4;
}

void WriterHashMap::reserveGrowth() {
  if (numBuckets_ >= BucketHeader::MAX_BUCKETS) return;
  bucketWriter_.doResize(2 * numBuckets_);
}

void WriterHashMap::detach() {
  bucketWriter_.detach();
  numBuckets_ = 0;
}

void WriterHashMap::growBuckets() {
  U32 n = numBuckets_;
  if (n >= BucketHeader::MAX_BUCKETS) return;
  fmtrace(handler_, 2, "growing from: {} to: {}", n, 2 * n);
  U64 start = nowNs();
  bucketWriter_.doResize(2 * n);  // B2, W3: mapped already by reserveGrowth (no-op)
  Quiv::CriticalTaskTimer timer(criticalTaskCheck_);
  U32 const mask2 = 2 * n - 1;
  // Link that points at bucket i+n's first slot or closes i's run. Bucket
  // words are kept as bucket indices, slot links as slot indices, so the
  // list is independent of where the files are mapped.
  std::vector<U32> cut(n);
  for (U32 i = 0; i < n; ++i) {
    U64* p = bucketWord(i);
    U32 at = SlotLink::END;  // END: the bucket word itself
    U32 steps = 0;
    for (;;) {
      U32 t = SlotLink::target(*p);
      if (!SlotLink::isSlot(t)) break;
      SlotPrefix* s = slots_.slot(t);
      // The stored rhash is the reversed hash: its bucket under 2n without
      // re-hashing the key.
      if ((Zolm::reverseBits32(s->rhash) & mask2) != i) break;
      countStep(steps);
      p = &s->link;
      at = t;
    }
    // B5: beyond the published count, no reader reads it yet.
    U64* upper = bucketWord(i + n);
    SlotLink::store(upper, SlotLink::next(*upper, SlotLink::target(*p)));
    cut[i] = at;
    timer.tick();
  }
  BucketHeader* hdr = bucketWriter_.header();
  // B1, B5: release, after the upper words; pairs with the acquire load of
  // the word in ReaderHashMapBase::syncBuckets.
  Mem::store64(hdr->resizeWord(), U64(2 * n) << 32 | (hdr->resizeSeq + 1));
  // B5: each cut is a release store (L2) after the upper word it names.
  for (U32 i = 0; i < n; ++i) {
    U64* p = cut[i] == SlotLink::END ? bucketWord(i) : &slots_.slot(cut[i])->link;
    SlotLink::store(p, SlotLink::next(*p, SlotLink::marker(i + n)));
    timer.tick();
  }
  numBuckets_ = 2 * n;
  shrinkThreshold_ = numBuckets_ / 4;
  recordTime(start, true);
}

void WriterHashMap::shrinkBuckets() {
  U32 n = numBuckets_;
  U32 half = n / 2;
  if (half < bucketWriter_.header()->minBuckets) return;
  U64 start = nowNs();
  Quiv::CriticalTaskTimer timer(criticalTaskCheck_);
  for (U32 i = 0; i < half; ++i) {
    U64* p = bucketWord(i);
    U32 steps = 0;
    for (;;) {
      U32 t = SlotLink::target(*p);
      if (!SlotLink::isSlot(t)) break;
      countStep(steps);
      p = &slots_.slot(t)->link;
    }
    if (SlotLink::target(*p) != SlotLink::marker(i + half))
      fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", i,
              SlotLink::target(*p) & ~SlotLink::MARKER_BIT, n);
    SlotLink::store(p, SlotLink::next(*p, SlotLink::target(*bucketWord(i + half))));  // B6, L2
    timer.tick();
  }
  BucketHeader* hdr = bucketWriter_.header();
  // B1, B6: release, after the joins; pairs with the acquire load of the
  // word in ReaderHashMapBase::syncBuckets and bucketCountChanged.
  Mem::store64(hdr->resizeWord(), U64(half) << 32 | (hdr->resizeSeq + 1));
  bucketWriter_.doResize(half);  // B2: after the count was lowered
  numBuckets_ = half;
  shrinkThreshold_ = n / 8;
  U64 ns = recordTime(start, false);
  fmtrace(handler_, 2, "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", n, half, shrinkBuckets_, ns);
}

void WriterHashMap::chainCycle(U32 steps) const {
  fmthrow(Quiv::CorruptionDetectedException, "hash chain cycle detected, slotCount:{} capacity:{}", steps,
          slots_.numSlots);
}

void WriterHashMap::outOfRangeBucket(U32 b) const {
  fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", b, numBuckets_);
}

void WriterHashMap::corruptKey(U32 slot) const {
  fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slotId: {}", slot);
}

void WriterHashMap::notOccupied(U32 slot) const {
  fmthrow(Quiv::CorruptionDetectedException, "slotId: {} not marked as occupied", slot);
}

void WriterHashMap::checkLast(U32 b) const {
  if (successor(b) != 0)
    fmthrow(Quiv::CorruptionDetectedException,
            "thinks we've reached the end of the table, but we're in bucket {} when there are numBuckets: {}", b,
            numBuckets_);
}

U32 WriterHashMap::checkSuccessor(U32 b, U32 next) const {
  if (next >= numBuckets_ || next != successor(b) || next == 0)
    fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", b, next,
            numBuckets_);
  return next;
}

U64 WriterHashMap::recordTime(U64 startNs, bool grew) {
  U64 ns = nowNs() - startNs;
  counters_.lastBucketResizeNs = ns;
  if (ns > counters_.maxBucketResizeNs) counters_.maxBucketResizeNs = ns;
  if (grew) ++counters_.bucketGrows;
  else ++counters_.bucketShrinks;
  return ns;
}

}  // namespace ZolmCore
