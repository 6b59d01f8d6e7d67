#pragma once
// The writer's index over the slot table.
//
// All occupied slots form one chain sorted by (rhash, key), where rhash is
// the key's 32-bit hash with its bits reversed. The chain is cut into runs,
// one per bucket (bucket = hash mod numBuckets, i.e. the low bits of the
// hash, i.e. the top bits of rhash); a bucket word points at the first slot
// of its run and a run ends with a marker naming the next bucket in
// bit-reversed order (the last one with the end of the table). Because the
// order follows rhash, the run of bucket b under 2n buckets is the front
// part of b's run under n buckets: doubling cuts each run in two and
// halving joins two runs, each by replacing one link word, while readers
// in other processes keep walking.
#include <chrono>
#include <vector>

#include "ZolmCore/Ops.h"
#include "ZolmCore/SlotPrefix.h"
#include "ZolmCore/BucketFile.h"
#include "runtime/Tasks.h"

namespace ZolmCore {

template <class Writer>
class WriterHashMap {
 public:
  using Ops = typename Writer::Ops;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotLink = Zolm::SlotLink;
  using IterHint = Zolm::IterHint;

  WriterHashMap(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local, Writer& writer,
                bool shrinkBuckets)
      : handler_(handler), bucketWriter_(handler, root, local), writer_(writer), shrinkBuckets_(shrinkBuckets) {}

  // Keeps an existing bucket file that validates against `fenixId`, unless
  // `reformat`. Returns whether the file was kept.
  bool attach(U32 fenixId, bool reformat) {
    bool kept = bucketWriter_.attach(fenixId, reformat);
    numBuckets_ = bucketWriter_.header()->numBuckets;
    shrinkThreshold_ = numBuckets_ / 4;
    return kept;
  }
  void detach() {
    bucketWriter_.detach();
    numBuckets_ = 0;
  }

  U32 buckets() const { return numBuckets_; }
  U32 shrinkThreshold() const { return shrinkThreshold_; }
  bool shrinkBucketsEnabled() const { return shrinkBuckets_; }
  BucketWriter<SlotLink>& bucketWriter() { return bucketWriter_; }
  BucketWriter<SlotLink> const& bucketWriter() const { return bucketWriter_; }
  U64* bucketWord(U32 b) const { return &bucketWriter_.buckets()[b]; }
  U32 bucketOf(U32 hash) const { return hash & (numBuckets_ - 1); }
  static U32 rhashOf(U32 hash) { return Zolm::reverseBits32(hash); }

  // (slot rhash, slot key) compared with (rhash, key): <0, 0, >0.
  static int compare(U32 slotRhash, Key const& slotKey, U32 rhash, Key const& key) {
    if (slotRhash != rhash) return slotRhash < rhash ? -1 : 1;
    if (Ops::less(slotKey, key)) return -1;
    if (Ops::less(key, slotKey)) return 1;
    return 0;
  }

  // Where `key` is (found) or belongs (not found) in `bucket`'s run:
  // prevLink is the link that points at its slot, or after which it
  // belongs; currLink the link word of the slot where the walk stopped
  // (null when it stopped at a marker or the end).
  bool find(Key const& key, U32 bucket, U64*& prevLink, U64*& currLink, U32 hash) const {
    if (bucket >= numBuckets_)
      fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", bucket, numBuckets_);
    auto& st = writer_.slotTable();
    prevLink = currLink = bucketWord(bucket);
    U32 rhash = rhashOf(hash);
    U32 steps = 0;
    for (;;) {
      U32 t = SlotLink::target(*prevLink);
      if (!SlotLink::isSlot(t)) {
        currLink = nullptr;
        fmtrace(handler_, 9, "{} not found curr:{} next:{}", Zolm::show(key), bucket, t);
        return false;
      }
      countStep(steps);
      Zolm::SlotPrefix* s = st.slot(t);
      if (!(s->runtimeFlags & Zolm::SLOT_OCCUPIED))
        fmthrow(Quiv::CorruptionDetectedException, "slotId: {} not marked as occupied", t);
      // Slots passed on the way are checked through their stored rhash; the
      // slot where the walk stops also has its key re-hashed.
      if (bucketOf(Zolm::reverseBits32(s->rhash)) != bucket)
        fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slotId: {}", t);
      Key k = Ops::keyOf(st.valueRef(s));
      currLink = &s->link;
      int c = compare(s->rhash, k, rhash, key);
      if (c >= 0 && bucketOf(writer_.ops().hash(k)) != bucket)
        fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slotId: {}", t);
      if (c > 0) {
        fmtrace(handler_, 9, "{} not found curr:{} next:{}", Zolm::show(key), t, s->next());
        return false;
      }
      if (c == 0) {
        fmtrace(handler_, 9, "{} found curr:{} next:{}", Zolm::show(key), t, s->next());
        return true;
      }
      prevLink = &s->link;
      fmtrace(handler_, 9, "{} next curr:{}", Zolm::show(key), t);
    }
  }

  bool lookup(Key const& key, Value& out, IterHint& hint) const {
    U32 h = writer_.ops().hash(key);
    U32 b = bucketOf(h);
    U64* prev;
    U64* curr;
    if (!find(key, b, prev, curr, h)) {
      fmtrace(handler_, 9, "{} not found bucket:{}", Zolm::show(key), b);
      return false;
    }
    U32 id = SlotLink::target(*prev);
    Zolm::SlotPrefix* s = writer_.slotTable().slot(id);
    out = writer_.slotTable().valueOf(s);
    if (!Ops::equal(Ops::keyOf(out), key))
      fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slot: {}", id);
    hint = IterHint{s->runtimeFlags, id, b};
    fmtrace(handler_, 9, "{} found bucket:{} slotId:{}", Zolm::show(key), b, id);
    return true;
  }

  bool first(Value& out, IterHint& hint) const { return firstFrom(0, out, hint); }

  bool next(Key const& key, Value& out, IterHint& hint) const {
    auto& st = writer_.slotTable();
    if (hint.valid() && hint.slot < st.capacity() && hint.bucket < numBuckets_) {
      try {
        Zolm::SlotPrefix* s = st.slot(hint.slot);
        if (s->runtimeFlags == hint.flags) {
          U32 t = s->next();
          if (SlotLink::isEnd(t)) {
            checkLast(hint.bucket);
            fmtrace(handler_, 9, "{} failed", Zolm::show(key));
            return false;
          }
          if (SlotLink::isMarker(t)) {
            U32 nb = checkSuccessor(hint.bucket, SlotLink::markerBucket(t));
            return firstFrom(nb, out, hint);
          }
          Zolm::SlotPrefix* n = st.slot(t);
          if (n->runtimeFlags & Zolm::SLOT_OCCUPIED) {
            Value v = st.valueOf(n);
            if (bucketOf(writer_.ops().hash(Ops::keyOf(v))) == hint.bucket) {
              fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", Zolm::show(key), Zolm::show(Ops::keyOf(v)), hint.slot, t);
              out = v;
              hint = IterHint{n->runtimeFlags, t, hint.bucket};
              return true;
            }
          }
        }
      } catch (Quiv::CorruptionDetectedException const& e) {
        fmtrace(handler_, 5, "saw exception in fast path: {}. This might be okay, dropping to slow path to find out",
                e.msg());
      }
    }
    // Slow path: the first entry after `key` in (rhash, key) order.
    U32 h = writer_.ops().hash(key);
    U32 b = bucketOf(h);
    U64* prev;
    U64* curr;
    bool found = find(key, b, prev, curr, h);
    U64 w = found ? *curr : *prev;
    U32 t = SlotLink::target(w);
    if (SlotLink::isSlot(t)) {
      Zolm::SlotPrefix* n = st.slot(t);
      if (!(n->runtimeFlags & Zolm::SLOT_OCCUPIED))
        fmthrow(Quiv::CorruptionDetectedException, "slotId: {} not marked as occupied", t);
      out = st.valueOf(n);
      hint = IterHint{n->runtimeFlags, t, b};
      fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", Zolm::show(key), Zolm::show(Ops::keyOf(out)), b, t);
      return true;
    }
    if (SlotLink::isEnd(t)) {
      checkLast(b);
      fmtrace(handler_, 9, "{} failed", Zolm::show(key));
      return false;
    }
    U32 nb = checkSuccessor(b, SlotLink::markerBucket(t));
    fmtrace(handler_, 9, "{} next bucket {}", Zolm::show(key), nb);
    return firstFrom(nb, out, hint);
  }

  // n -> 2n buckets while readers walk.
  void growBuckets() {
    U32 n = numBuckets_;
    if (n >= BucketHeader::MAX_BUCKETS) return;
    fmtrace(handler_, 2, "growing from: {} to: {}", n, 2 * n);
    auto start = std::chrono::steady_clock::now();
    bucketWriter_.doResize(2 * n);
    Quiv::CriticalTaskTimer timer(writer_.criticalTaskCheck());
    auto& st = writer_.slotTable();
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
        Zolm::SlotPrefix* s = st.slot(t);
        // The stored rhash is the reversed hash: its bucket under 2n without
        // re-hashing the key.
        if ((Zolm::reverseBits32(s->rhash) & mask2) != i) break;
        countStep(steps);
        p = &s->link;
        at = t;
      }
      U64* upper = bucketWord(i + n);
      SlotLink::store(upper, SlotLink::next(*upper, SlotLink::target(*p)));
      cut[i] = at;
      timer.tick();
    }
    BucketHeader* hdr = bucketWriter_.header();
    Mem::store64(hdr->resizeWord(), U64(2 * n) << 32 | (hdr->resizeSeq + 1));
    for (U32 i = 0; i < n; ++i) {
      U64* p = cut[i] == SlotLink::END ? bucketWord(i) : &st.slot(cut[i])->link;
      SlotLink::store(p, SlotLink::next(*p, SlotLink::marker(i + n)));
      timer.tick();
    }
    numBuckets_ = 2 * n;
    shrinkThreshold_ = numBuckets_ / 4;
    recordTime(start, true);
  }

  // n -> n/2 buckets while readers walk.
  void shrinkBuckets() {
    U32 n = numBuckets_;
    U32 half = n / 2;
    if (half < bucketWriter_.header()->minBuckets) return;
    auto start = std::chrono::steady_clock::now();
    Quiv::CriticalTaskTimer timer(writer_.criticalTaskCheck());
    auto& st = writer_.slotTable();
    for (U32 i = 0; i < half; ++i) {
      U64* p = bucketWord(i);
      U32 steps = 0;
      for (;;) {
        U32 t = SlotLink::target(*p);
        if (!SlotLink::isSlot(t)) break;
        countStep(steps);
        p = &st.slot(t)->link;
      }
      if (SlotLink::target(*p) != SlotLink::marker(i + half))
        fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", i,
                SlotLink::target(*p) & ~SlotLink::MARKER_BIT, n);
      SlotLink::store(p, SlotLink::next(*p, SlotLink::target(*bucketWord(i + half))));
      timer.tick();
    }
    BucketHeader* hdr = bucketWriter_.header();
    Mem::store64(hdr->resizeWord(), U64(half) << 32 | (hdr->resizeSeq + 1));
    bucketWriter_.doResize(half);
    numBuckets_ = half;
    shrinkThreshold_ = n / 8;
    U64 ns = recordTime(start, false);
    fmtrace(handler_, 2, "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", n, half, shrinkBuckets_, ns);
  }

  // The bucket after `b` in bit-reversed order; 0 after the last.
  U32 successor(U32 b) const {
    if (numBuckets_ <= 1) return 0;
    return Zolm::bitReversedSuccessor(b, Zolm::log2Exact(numBuckets_));
  }

 private:
  // A chain longer than the slot table loops.
  void countStep(U32& steps) const {
    U32 capacity = writer_.slotTable().capacity();
    if (++steps > capacity)
      fmthrow(Quiv::CorruptionDetectedException, "hash chain cycle detected, slotCount:{} capacity:{}", steps,
              capacity);
  }
  void checkLast(U32 b) const {
    if (successor(b) != 0)
      fmthrow(Quiv::CorruptionDetectedException,
              "thinks we've reached the end of the table, but we're in bucket {} when there are numBuckets: {}", b,
              numBuckets_);
  }
  U32 checkSuccessor(U32 b, U32 next) const {
    if (next >= numBuckets_ || next != successor(b) || next == 0)
      fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", b, next,
              numBuckets_);
    return next;
  }

  bool firstFrom(U32 b, Value& out, IterHint& hint) const {
    if (b >= numBuckets_)
      fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", b, numBuckets_);
    auto& st = writer_.slotTable();
    U32 count = 0;
    for (;;) {
      U32 t = SlotLink::target(*bucketWord(b));
      if (SlotLink::isSlot(t)) {
        Zolm::SlotPrefix* s = st.slot(t);
        if (!(s->runtimeFlags & Zolm::SLOT_OCCUPIED))
          fmthrow(Quiv::CorruptionDetectedException, "slotId: {} from bucket: {} not marked as occupied", t, b);
        Value v = st.valueOf(s);
        U32 h = writer_.ops().hash(Ops::keyOf(v));
        if (bucketOf(h) != b) fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slotId: {}", t);
        if (s->rhash != rhashOf(h))
          fmthrow(Quiv::CorruptionDetectedException, "corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}",
                  t, s->rhash, rhashOf(h));
        out = v;
        hint = IterHint{s->runtimeFlags, t, b};
        fmtrace(handler_, 9, "{} found at bucket {}", Zolm::show(Ops::keyOf(v)), b);
        return true;
      }
      if (SlotLink::isEnd(t)) {
        checkLast(b);
        fmtrace(handler_, 8, "none found!");
        out = Ops::defaultValue();
        return false;
      }
      if (++count > numBuckets_)
        fmthrow(Quiv::CorruptionDetectedException, "has bucket cycle detected, bucketCount: {} numBuckets: {}", count,
                numBuckets_);
      b = checkSuccessor(b, SlotLink::markerBucket(t));
    }
  }

  U64 recordTime(std::chrono::steady_clock::time_point start, bool grew) {
    U64 ns = static_cast<U64>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    auto& c = writer_.counters();
    c.lastBucketResizeNs = ns;
    if (ns > c.maxBucketResizeNs) c.maxBucketResizeNs = ns;
    if (grew) ++c.bucketGrows;
    else ++c.bucketShrinks;
    return ns;
  }

  Quiv::DebugHandler* handler_;
  BucketWriter<SlotLink> bucketWriter_;
  U32 numBuckets_ = 0;
  U32 shrinkThreshold_ = 0;
  Writer& writer_;
  bool shrinkBuckets_;
};

}  // namespace ZolmCore
