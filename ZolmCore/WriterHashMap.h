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
//
// Contract (with B1..B4 of the bucket file, BucketFile.h; L1, L2 of the
// link words, SlotLink.h): one writer thread changes the index (W1 in
// Zolm/ZolmWriter.h); readers in other processes walk it (ReaderHashMap.h)
// with either the old or the new bucket count while a resize runs.
//   B5  Doubling fills the upper half's bucket words first, then publishes
//       the doubled count (B1), then cuts each run with a marker to its
//       upper half. Each marker is a release store (L2), so a reader that
//       follows it to bucket i+n finds that word filled.
//   B6  Halving joins each lower run onto its upper half's first slot
//       (one release store of the marker's link word) before the halved
//       count is published and before the file is cut (B2); the upper
//       words are left as they are for readers still using the old count.
//   B7  Every single store leaves one chain in (rhash, key) order through
//       every occupied slot; a reader with the old or the new count meets
//       only markers to the bit-reversed successor under n, n/2 or 2n
//       buckets (ReaderHashMapBase::verifyNextBucket), and one past its
//       count sends it to resynchronise with the header (B1).
#include <string>

#include "VexaSwitchLib/ZolmCore/BucketFile.h"
#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/ZolmCore/SlotPrefix.h"

namespace ZolmCore {

// How the index reaches the keys of stored values. The walks below are
// written once over this: the typed view inlines them into the writer's
// lookups and writes; the erased view runs them through KeyOps for the
// compiled, type-independent code (shrink moves, the validator's walk).
//   Probe  what is looked for; Out  what a hit hands back
template <class OpsT>
struct TypedKeys {
  using Ops = OpsT;
  using Probe = typename Ops::Key;
  using Out = typename Ops::Value;
  Ops ops;
  Zolm::ValueSource src{};  // a slab-stored value's reader (Ops::dynamic)

  // A slab-stored value is read whole; a slot-stored one is addressed in
  // place.
  Out valueAt(Zolm::SlotPrefix const* s) const {
    Out v;
    src.load(src.ctx, Zolm::SlotSpan::valuePtr(s), &v);
    return v;
  }
  Probe keyAt(Zolm::SlotPrefix const* s) const {
    if constexpr (Ops::dynamic) return Ops::keyOf(valueAt(s));
    else return Ops::keyOf(Zolm::SlotSpan::valueRef<Out>(s));
  }
  U32 hashOf(Probe const& k) const { return ops.hash(k); }
  U32 hashAt(Zolm::SlotPrefix const* s) const { return ops.hash(keyAt(s)); }
  int compareAt(Zolm::SlotPrefix const* s, Probe const& k) const {
    Probe sk = keyAt(s);
    return Ops::less(sk, k) ? -1 : Ops::less(k, sk) ? 1 : 0;
  }
  bool outHasKey(Out const& v, Probe const& k) const { return Ops::equal(Ops::keyOf(v), k); }
  void load(Zolm::SlotPrefix const* s, Out& out) const {
    if constexpr (Ops::dynamic) out = valueAt(s);
    else out = Zolm::SlotSpan::valueOf<Out>(s);
  }
  Probe probeOf(Out const& v) const { return Ops::keyOf(v); }
  void clear(Out& out) const { out = Ops::defaultValue(); }
  std::string show(Probe const& k) const { return Zolm::show(k); }
};

// The erased view works on value bytes. A slab-stored value (src.load set)
// is first read into one of the buffers below: `at_` for the slot a walk
// compares against, two alternating ones for what load() hands back (the
// last answer is the next call's probe while the new one is loaded).
struct ErasedKeys {
  using Probe = void const*;  // a value whose key is looked for
  using Out = void const*;    // the value of the slot reached, in place
  static constexpr U32 MAX_RESOLVED = 256;
  Zolm::KeyOps const& keyOps;
  U32 seed;
  Zolm::ValueSource src{};
  struct Buf {
    alignas(8) unsigned char b[MAX_RESOLVED];
  };
  mutable Buf at_{}, out_[2]{}, probe_{};
  mutable unsigned flip_ = 0;

  void const* resolve(Zolm::SlotPrefix const* s, Buf& buf) const {
    if (!src.load) return Zolm::SlotSpan::valuePtr(s);
    src.load(src.ctx, Zolm::SlotSpan::valuePtr(s), buf.b);
    return buf.b;
  }
  // The value of slot `s` as a probe (kept until the next probeAt).
  Probe probeAt(Zolm::SlotPrefix const* s) const { return resolve(s, probe_); }
  U32 hashOf(Probe p) const { return keyOps.hashOfValue(seed, p); }
  U32 hashAt(Zolm::SlotPrefix const* s) const { return keyOps.hashOfValue(seed, resolve(s, at_)); }
  int compareAt(Zolm::SlotPrefix const* s, Probe p) const { return keyOps.compareValues(resolve(s, at_), p); }
  bool outHasKey(Out v, Probe p) const { return keyOps.compareValues(v, p) == 0; }
  void load(Zolm::SlotPrefix const* s, Out& out) const { out = resolve(s, out_[flip_ ^= 1]); }
  Probe probeOf(Out v) const { return v; }
  void clear(Out& out) const { out = keyOps.defaultValue; }
  std::string show(Probe p) const { return keyOps.showKeyOf(p); }
};

class WriterHashMap {
 public:
  using SlotLink = Zolm::SlotLink;
  using SlotPrefix = Zolm::SlotPrefix;
  using IterHint = Zolm::IterHint;

  // `slots`, `criticalTaskCheck` and `counters` belong to the writer and
  // outlive the map; `slots` is kept current by the writer's slot table.
  WriterHashMap(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local, Zolm::SlotSpan const& slots,
                bool shrinkBuckets, bool const& criticalTaskCheck, Zolm::Writer::Counters& counters);

  // Keeps an existing bucket file that validates against `fenixId`; false
  // (nothing written, detached) when there is none.
  bool keep(U32 fenixId);
  // A new, empty index under `fenixId`.
  void format(U32 fenixId);
  void detach();

  U32 buckets() const { return numBuckets_; }
  U32 shrinkThreshold() const { return shrinkThreshold_; }
  bool shrinkBucketsEnabled() const { return shrinkBuckets_; }
  BucketWriter<SlotLink>& bucketWriter() { return bucketWriter_; }
  BucketWriter<SlotLink> const& bucketWriter() const { return bucketWriter_; }
  U64* bucketWord(U32 b) const { return &bucketWriter_.buckets()[b]; }
  U32 bucketOf(U32 hash) const { return hash & (numBuckets_ - 1); }
  static U32 rhashOf(U32 hash) { return Zolm::reverseBits32(hash); }

  // Where `key` is (found) or belongs (not found) in `bucket`'s run:
  // prevLink is the link that points at its slot, or after which it
  // belongs; currLink the link word of the slot where the walk stopped
  // (null when it stopped at a marker or the end).
  template <class Keys>
  bool find(Keys const& keys, typename Keys::Probe const& key, U32 bucket, U64*& prevLink, U64*& currLink,
            U32 hash) const;
  template <class Keys>
  bool lookup(Keys const& keys, typename Keys::Probe const& key, typename Keys::Out& out, IterHint& hint) const {
    return lookupHashed(keys, key, keys.hashOf(key), out, hint);
  }
  template <class Keys>
  bool lookupHashed(Keys const& keys, typename Keys::Probe const& key, U32 hash, typename Keys::Out& out,
                    IterHint& hint) const;
  // Up to BATCH lookups at once, each what lookup() gives: the keys are
  // hashed first, their bucket words prefetched, then the first slot each
  // word names, and then the lookups run one after the other. A miss
  // leaves `outs[i]` as lookup() leaves it. Returns the hits.
  static constexpr U32 BATCH = 32;
  template <class Keys>
  U32 lookupBatch(Keys const& keys, typename Keys::Probe const* probes, U32 n, typename Keys::Out* outs,
                  bool* found) const {
    U32 hashes[BATCH];
    for (U32 i = 0; i < n; ++i) hashes[i] = keys.hashOf(probes[i]);
    if (numBuckets_ && slots_.numSlots) {  // else the lookups say what is wrong
      U32 const mask = numBuckets_ - 1;
      for (U32 i = 0; i < n; ++i) __builtin_prefetch(bucketWord(hashes[i] & mask));
      for (U32 i = 0; i < n; ++i) {
        U32 t = SlotLink::target(*bucketWord(hashes[i] & mask));
        if (t <= slots_.maxIndex) {  // a slot (a marker or the end has bit 31 set)
          char const* p = reinterpret_cast<char const*>(slots_.raw(t));
          __builtin_prefetch(p);
          __builtin_prefetch(p + slots_.slotSize - 1);
        }
      }
    }
    U32 hits = 0;
    for (U32 i = 0; i < n; ++i) {
      IterHint hint;
      hits += found[i] = lookupHashed(keys, probes[i], hashes[i], outs[i], hint);
    }
    return hits;
  }
  template <class Keys>
  bool first(Keys const& keys, typename Keys::Out& out, IterHint& hint) const {
    return firstFrom(keys, 0, out, hint);
  }
  // The entry after `key` in (rhash, key) order; `hint` (from the last
  // answer) makes the common step one link.
  template <class Keys>
  bool next(Keys const& keys, typename Keys::Probe const& key, typename Keys::Out& out, IterHint& hint) const;

  // Maps the room the next doubling needs, before the insert that will
  // trigger it changes anything (W3, B2): growBuckets itself then cannot
  // fail.
  // Throws Quiv::MemoryResourceException (nothing changed) when the file
  // cannot grow.
  void reserveGrowth();
  // n -> 2n buckets while readers walk.
  void growBuckets();
  // n -> n/2 buckets while readers walk.
  void shrinkBuckets();

  // The bucket after `b` in bit-reversed order; 0 after the last.
  U32 successor(U32 b) const {
    if (numBuckets_ <= 1) return 0;
    return Zolm::bitReversedSuccessor(b, Zolm::log2Exact(numBuckets_));
  }

 private:
  // A chain longer than the slot table loops.
  void countStep(U32& steps) const {
    if (++steps > slots_.numSlots) chainCycle(steps);
  }
  [[noreturn]] void chainCycle(U32 steps) const;
  [[noreturn]] void outOfRangeBucket(U32 b) const;
  [[noreturn]] void corruptKey(U32 slot) const;
  [[noreturn]] void notOccupied(U32 slot) const;
  void checkLast(U32 b) const;
  U32 checkSuccessor(U32 b, U32 next) const;
  template <class Keys>
  bool firstFrom(Keys const& keys, U32 b, typename Keys::Out& out, IterHint& hint) const;
  U64 recordTime(U64 startNs, bool grew);

  Quiv::DebugHandler* handler_;
  BucketWriter<SlotLink> bucketWriter_;
  U32 numBuckets_ = 0;
  U32 shrinkThreshold_ = 0;
  Zolm::SlotSpan const& slots_;
  bool shrinkBuckets_;
  bool const& criticalTaskCheck_;
  Zolm::Writer::Counters& counters_;
};

// --- the walks ----------------------------------------------------------------

template <class Keys>
bool WriterHashMap::find(Keys const& keys, typename Keys::Probe const& key, U32 bucket, U64*& prevLink,
                         U64*& currLink, U32 hash) const {
  if (bucket >= numBuckets_) outOfRangeBucket(bucket);
  prevLink = currLink = bucketWord(bucket);
  U32 rhash = rhashOf(hash);
  U32 steps = 0;
  for (;;) {
    U32 t = SlotLink::target(*prevLink);
    if (!SlotLink::isSlot(t)) {
      currLink = nullptr;
      fmtrace(handler_, 9, "{} not found curr:{} next:{}", keys.show(key), bucket, t);
      return false;
    }
    countStep(steps);
    SlotPrefix* s = slots_.slot(t);
    if (!(s->runtimeFlags & Zolm::SLOT_OCCUPIED)) notOccupied(t);
    // Slots passed on the way are checked through their stored rhash; the
    // slot where the walk stops also has its key re-hashed.
    if (bucketOf(Zolm::reverseBits32(s->rhash)) != bucket) corruptKey(t);
    currLink = &s->link;
    int c = s->rhash != rhash ? (s->rhash < rhash ? -1 : 1) : keys.compareAt(s, key);
    if (c >= 0 && bucketOf(keys.hashAt(s)) != bucket) corruptKey(t);
    if (c > 0) {
      fmtrace(handler_, 9, "{} not found curr:{} next:{}", keys.show(key), t, s->next());
      return false;
    }
    if (c == 0) {
      fmtrace(handler_, 9, "{} found curr:{} next:{}", keys.show(key), t, s->next());
      return true;
    }
    prevLink = &s->link;
    fmtrace(handler_, 9, "{} next curr:{}", keys.show(key), t);
  }
}

template <class Keys>
bool WriterHashMap::lookupHashed(Keys const& keys, typename Keys::Probe const& key, U32 h, typename Keys::Out& out,
                                 IterHint& hint) const {
  U32 b = bucketOf(h);
  U64* prev;
  U64* curr;
  if (!find(keys, key, b, prev, curr, h)) {
    fmtrace(handler_, 9, "{} not found bucket:{}", keys.show(key), b);
    return false;
  }
  U32 id = SlotLink::target(*prev);
  SlotPrefix* s = slots_.slot(id);
  keys.load(s, out);
  if (!keys.outHasKey(out, key)) fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, slot: {}", id);
  hint = IterHint{s->runtimeFlags, id, b};
  fmtrace(handler_, 9, "{} found bucket:{} slotId:{}", keys.show(key), b, id);
  return true;
}

template <class Keys>
bool WriterHashMap::next(Keys const& keys, typename Keys::Probe const& key, typename Keys::Out& out,
                         IterHint& hint) const {
  if (hint.valid() && hint.slot < slots_.numSlots && hint.bucket < numBuckets_) {
    try {
      SlotPrefix* s = slots_.slot(hint.slot);
      if (s->runtimeFlags == hint.flags) {
        U32 t = s->next();
        if (SlotLink::isEnd(t)) {
          checkLast(hint.bucket);
          fmtrace(handler_, 9, "{} failed", keys.show(key));
          return false;
        }
        if (SlotLink::isMarker(t)) {
          U32 nb = checkSuccessor(hint.bucket, SlotLink::markerBucket(t));
          return firstFrom(keys, nb, out, hint);
        }
        SlotPrefix* n = slots_.slot(t);
        if ((n->runtimeFlags & Zolm::SLOT_OCCUPIED) && bucketOf(keys.hashAt(n)) == hint.bucket) {
          keys.load(n, out);
          fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", keys.show(key),
                  keys.show(keys.probeOf(out)), hint.slot, t);
          hint = IterHint{n->runtimeFlags, t, hint.bucket};
          return true;
        }
      }
    } catch (Quiv::CorruptionDetectedException const& e) {
      fmtrace(handler_, 5, "saw exception in fast path: {}. This might be okay, dropping to slow path to find out",
              e.msg());
    }
  }
  // Slow path: the first entry after `key` in (rhash, key) order.
  U32 h = keys.hashOf(key);
  U32 b = bucketOf(h);
  U64* prev;
  U64* curr;
  bool found = find(keys, key, b, prev, curr, h);
  U64 w = found ? *curr : *prev;
  U32 t = SlotLink::target(w);
  if (SlotLink::isSlot(t)) {
    SlotPrefix* n = slots_.slot(t);
    if (!(n->runtimeFlags & Zolm::SLOT_OCCUPIED)) notOccupied(t);
    keys.load(n, out);
    hint = IterHint{n->runtimeFlags, t, b};
    fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", keys.show(key),
            keys.show(keys.probeOf(out)), b, t);
    return true;
  }
  if (SlotLink::isEnd(t)) {
    checkLast(b);
    fmtrace(handler_, 9, "{} failed", keys.show(key));
    return false;
  }
  U32 nb = checkSuccessor(b, SlotLink::markerBucket(t));
  fmtrace(handler_, 9, "{} next bucket {}", keys.show(key), nb);
  return firstFrom(keys, nb, out, hint);
}

template <class Keys>
bool WriterHashMap::firstFrom(Keys const& keys, U32 b, typename Keys::Out& out, IterHint& hint) const {
  if (b >= numBuckets_) outOfRangeBucket(b);
  U32 count = 0;
  for (;;) {
    U32 t = SlotLink::target(*bucketWord(b));
    if (SlotLink::isSlot(t)) {
      SlotPrefix* s = slots_.slot(t);
      if (!(s->runtimeFlags & Zolm::SLOT_OCCUPIED))
        fmthrow(Quiv::CorruptionDetectedException, "slotId: {} from bucket: {} not marked as occupied", t, b);
      U32 h = keys.hashAt(s);
      if (bucketOf(h) != b) corruptKey(t);
      if (s->rhash != rhashOf(h))
        fmthrow(Quiv::CorruptionDetectedException, "corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}",
                t, s->rhash, rhashOf(h));
      keys.load(s, out);
      hint = IterHint{s->runtimeFlags, t, b};
      fmtrace(handler_, 9, "{} found at bucket {}", keys.show(keys.probeOf(out)), b);
      return true;
    }
    if (SlotLink::isEnd(t)) {
      checkLast(b);
      fmtrace(handler_, 8, "none found!");
      keys.clear(out);
      return false;
    }
    if (++count > numBuckets_)
      fmthrow(Quiv::CorruptionDetectedException, "has bucket cycle detected, bucketCount: {} numBuckets: {}", count,
              numBuckets_);
    b = checkSuccessor(b, SlotLink::markerBucket(t));
  }
}

}  // namespace ZolmCore
