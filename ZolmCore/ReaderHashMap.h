#pragma once
// Lock-free walks of a table's bucket chains from a reader process.
//
// The writer changes links, slots and the bucket count while a reader
// walks them. Three rules make the answers sound:
//   - a slot copy counts only when its runtimeFlags were the same before
//     and after the copy (SlotReaderTable::read);
//   - a slot reached through a link counts only when that link word still
//     holds the version read when it was followed, and a slot's own link
//     is followed only when the slot's flags are still those of its copy
//     (a removed slot's link becomes a free-list link);
//   - "not found" is answered only when the local bucket count still
//     equals the header's, so a lookup that raced a bucket resize is redone.
// Integrity failures throw Quiv::CorruptionDetectedException; the reader
// remaps and repeats the operation, and passes the exception on only when
// nothing changed.
#include <string>

#include "ZolmCore/Ops.h"
#include "ZolmCore/SlotPrefix.h"
#include "runtime/VersionAnchor.h"
#include "ZolmCore/BucketFile.h"
#include "ZolmCore/SlotLink.h"

namespace ZolmCore {

// `SlotReaderT` reads one slot under the slot file's seqlock:
//   U32 read(U32 slot, U32& rhash, Value& out)  -> the runtimeFlags seen
//   U32 flagsOf(U32 slot), U64 linkOf(U32 slot), U64 const* linkPtr(U32 slot)
//   U32 capacity() const
template <class OpsT, class SlotReaderT>
class ReaderHashMap {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotReader = SlotReaderT;

  ReaderHashMap(Quiv::DebugHandler* handler, SlotReader& slots, BucketReader<Zolm::SlotLink>& buckets, Ops const& ops,
                Zolm::Reader::Counters& counters)
      : handler_(handler), slots_(slots), buckets_(buckets), ops_(ops), counters_(counters) {}

  U32 numBuckets() const { return numBuckets_; }
  void reset() {
    numBuckets_ = 0;
    log2_ = 0;
    local_ = Mem::VersionedRef<unsigned int>{};
  }

  // Follows a change of the writer's bucket count; true when anything
  // changed since the last sync (also a count that went and came back).
  bool syncBuckets() {
    BucketHeader const* h = buckets_.header();
    if (!h) return false;
    U64 word = Mem::load64(h->resizeWord());
    U32 n = U32(word >> 32);
    if (n == numBuckets_ && buckets_.mappedBuckets() == n && U32(word) == local_.seq) return false;
    buckets_.doResize();
    U32 mapped = buckets_.mappedBuckets();
    fmtrace(handler_, 2, "buckets from {} to {}", numBuckets_, mapped);
    numBuckets_ = mapped;
    log2_ = Zolm::log2Exact(mapped);
    // The sequence read before the remap: a resize after that read shows
    // as a mismatch at the next check.
    local_ = Mem::VersionedRef<unsigned int>{U32(word), mapped};
    ++counters_.bucketResizes;
    return true;
  }
  // Whether the writer resized the buckets since the last sync. The
  // sequence counts too: a walk during which the count doubled and halved
  // back may have met markers of the doubled table.
  bool bucketCountChanged() const {
    BucketHeader const* h = buckets_.header();
    if (!h) return false;
    U64 word = Mem::load64(h->resizeWord());
    return U32(word >> 32) != numBuckets_ || U32(word) != local_.seq;
  }

  // --- lookup -------------------------------------------------------------------
  bool lookup(Key const& key, Value& out) {
    ++counters_.lookups;
    if (numBuckets_ == 0) {
      fmtrace(handler_, 5, "bucket table detached");
      out = Ops::defaultValue();
      return false;
    }
    U32 h = ops_.hash(key);
    U32 b = h & (numBuckets_ - 1);  // a power of two
    U32 rh = Zolm::reverseBits32(h);
    U32 const cap = slots_.capacity();
    for (;;) {
      if (b >= numBuckets_) fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", b, numBuckets_);
      U64 const* linkp = bucketPtr(b);
      U64 w = Mem::load64(linkp);
      U32 visited = 0;
      bool restart = false;
      for (;;) {
        U32 t = Zolm::SlotLink::target(w);
        if (!Zolm::SlotLink::isSlot(t)) {
          if (Zolm::SlotLink::isMarker(t) && Zolm::SlotLink::markerBucket(t) >= numBuckets_)
            fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}",
                    Zolm::SlotLink::markerBucket(t), numBuckets_);
          return miss(out);
        }
        if (++visited > cap)
          fmthrow(Quiv::CorruptionDetectedException, "hash chain cycle detected, slotCount:{} capacity:{}", visited, cap);
        U32 srh;
        U32 f = slots_.read(t, srh, out);
        if (Mem::load64(linkp) != w) {
          restart = true;
          break;
        }
        if (!(f & Zolm::SLOT_OCCUPIED))
          fmthrow(Quiv::CorruptionDetectedException, "slot:{} not marked as occupied key:{}", t, keyHex(key));
        Key sk = Ops::keyOf(out);
        if (srh == rh && Ops::equal(sk, key)) return true;
        if (srh > rh || (srh == rh && Ops::less(key, sk))) {
          U32 sh = ops_.hash(sk);
          if (!hashesTo(sh, b))
            fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected. key:{} bucketIndex:{}", keyHex(sk), b);
          // The hash is at hand: a damaged rhash would otherwise end walks
          // early and hide the keys behind it.
          if (srh != Zolm::reverseBits32(sh))
            fmthrow(Quiv::CorruptionDetectedException, "corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}",
                    t, srh, Zolm::reverseBits32(sh));
          return miss(out);
        }
        linkp = slots_.linkPtr(t);
        w = Mem::load64(linkp);
        if (slots_.flagsOf(t) != f) {
          restart = true;
          break;
        }
      }
      if (restart) ++counters_.restarts;
    }
  }

  // --- iteration ----------------------------------------------------------------
  bool first(Value& out, Zolm::IterHint& hint) {
    if (numBuckets_ == 0) {
      out = Ops::defaultValue();
      return false;
    }
    return firstFrom(0, out, hint);
  }

  bool next(Key const& key, Value& out, Zolm::IterHint& hint) {
    if (numBuckets_ == 0) {
      out = Ops::defaultValue();
      return false;
    }
    U32 const cap = slots_.capacity();
    if (hint.slot < cap && hint.bucket < numBuckets_) {
      U32 hs = hint.slot;
      if (slots_.flagsOf(hs) == hint.flags) {
        U64 lw = slots_.linkOf(hs);
        // The link counts only while the hinted slot is unchanged: once it
        // is removed its link word threads the free list.
        if (slots_.flagsOf(hs) == hint.flags) {
          U32 t = Zolm::SlotLink::target(lw);
          if (Zolm::SlotLink::isEnd(t)) {
            checkLast(hint.bucket);
            fmtrace(handler_, 9, "{} failed", Zolm::show(key));
            return false;
          }
          if (Zolm::SlotLink::isMarker(t)) {
            U32 nb = Zolm::SlotLink::markerBucket(t);
            verifyNextBucket(hint.bucket, nb);
            fmtrace(handler_, 9, "{} next bucket {} using {}", Zolm::show(key), nb, hint.slot);
            return firstFrom(nb, out, hint);
          }
          U32 srh;
          U32 f = slots_.read(t, srh, out);
          if (slots_.linkOf(hs) == lw) {
            if (!(f & Zolm::SLOT_OCCUPIED))
              fmthrow(Quiv::CorruptionDetectedException, "slot:{} not marked as occupied key:{}", t,
                      keyHex(Ops::keyOf(out)));
            checkKeyBucket(Ops::keyOf(out), hint.bucket, "corrupt key detected. key:{} bucketIndex:{}");
            fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", Zolm::show(key), t, hint.slot, t);
            hint.flags = f;
            hint.slot = t;
            return true;
          }
        }
      }
    }
    return slowNext(key, out, hint);
  }

  // The successor of `bucket` must be `next` under the current bucket
  // count, or under half or double of it (a resize may be under way).
  void verifyNextBucket(U32 bucket, U32 next) const {
    U32 k = log2_;
    if (numBuckets_ && Zolm::bitReversedSuccessor(bucket, k) % numBuckets_ == next) return;
    if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(bucket, k - 1) % (numBuckets_ / 2) == next) return;
    if (numBuckets_ && numBuckets_ < (1u << 31) &&
        Zolm::bitReversedSuccessor(bucket, k + 1) % (numBuckets_ * 2) == next)
      return;
    fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", bucket, next,
            numBuckets_);
  }

 private:
  bool miss(Value& out) {
    if (bucketCountChanged())
      fmthrow(Quiv::CorruptionDetectedException, "found mismatch, local numBuckets:{} header numBuckets:{}",
              numBuckets_, Mem::load32(&buckets_.header()->numBuckets));
    out = Ops::defaultValue();
    return false;
  }

  U64 const* bucketPtr(U32 b) const { return buckets_.buckets() + b; }

  bool hashesTo(U32 h, U32 b) const {
    U64 n = numBuckets_;
    return (h & (n - 1)) == b || (n >= 2 && (h & (n / 2 - 1)) == b) || (U64(h) & (2 * n - 1)) == b;
  }
  void checkKeyBucket(Key const& k, U32 b, char const* /*what*/) const {
    if (!hashesTo(ops_.hash(k), b))
      fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected. key:{} bucketIndex:{}", keyHex(k), b);
  }

  // The last bucket in bit-reversed order is the one whose successor is 0.
  void checkLast(U32 b) const {
    if (numBuckets_ == 1 || Zolm::bitReversedSuccessor(b, log2_) == 0) return;
    if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(b, log2_ - 1) == 0) return;
    if (Zolm::bitReversedSuccessor(b, log2_ + 1) == 0) return;
    fmthrow(Quiv::CorruptionDetectedException,
            "thinks we've reached the end of the table, but we're in bucket {} when there are numBuckets: {}", b,
            numBuckets_);
  }

  bool firstFrom(U32 b, Value& out, Zolm::IterHint& hint) {
    if (b >= numBuckets_) fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", b, numBuckets_);
    U32 skips = 0;
    for (;;) {
      U64 w = Mem::load64(bucketPtr(b));
      U32 t = Zolm::SlotLink::target(w);
      while (Zolm::SlotLink::isMarker(t)) {
        ++counters_.bucketSkips;
        if (++skips >= numBuckets_)
          fmthrow(Quiv::CorruptionDetectedException, "has bucket cycle detected, bucketCount: {} numBuckets: {}", skips,
                  numBuckets_);
        U32 nb = Zolm::SlotLink::markerBucket(t);
        verifyNextBucket(b, nb);
        if (nb >= numBuckets_)
          fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", nb, numBuckets_);
        b = nb;
        w = Mem::load64(bucketPtr(b));
        t = Zolm::SlotLink::target(w);
      }
      if (Zolm::SlotLink::isEnd(t)) {
        checkLast(b);
        fmtrace(handler_, 8, "none found!");
        out = Ops::defaultValue();
        return false;
      }
      U32 srh;
      U32 f = slots_.read(t, srh, out);
      if (Mem::load64(bucketPtr(b)) != w) {
        ++counters_.restarts;
        continue;
      }
      if (!(f & Zolm::SLOT_OCCUPIED))
        fmthrow(Quiv::CorruptionDetectedException, "slot:{} not marked as occupied key:{}", t,
                keyHex(Ops::keyOf(out)));
      if (!hashesTo(ops_.hash(Ops::keyOf(out)), b))
        fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, key:{} bucket:{}", keyHex(Ops::keyOf(out)),
                b);
      hint = Zolm::IterHint{f, t, b};
      fmtrace(handler_, 9, "{} found at bucket {}, saving {}", Zolm::show(Ops::keyOf(out)), b, t);
      return true;
    }
  }

  bool slowNext(Key const& key, Value& out, Zolm::IterHint& hint) {
    ++counters_.slowPaths;
    U32 h = ops_.hash(key);
    U32 b = h & (numBuckets_ - 1);  // a power of two
    U32 rh = Zolm::reverseBits32(h);
    U32 const cap = slots_.capacity();
    for (;;) {
      U64 const* linkp = bucketPtr(b);
      U64 w = Mem::load64(linkp);
      U32 visited = 0;
      bool restart = false;
      for (;;) {
        U32 t = Zolm::SlotLink::target(w);
        if (Zolm::SlotLink::isEnd(t)) {
          checkLast(b);
          fmtrace(handler_, 9, "{} failed", Zolm::show(key));
          out = Ops::defaultValue();
          return false;
        }
        if (Zolm::SlotLink::isMarker(t)) {
          U32 nb = Zolm::SlotLink::markerBucket(t);
          verifyNextBucket(b, nb);
          fmtrace(handler_, 9, "{} next bucket {}", Zolm::show(key), nb);
          return firstFrom(nb, out, hint);
        }
        if (++visited > cap)
          fmthrow(Quiv::CorruptionDetectedException, "hash chain cycle detected, slotCount:{} capacity:{}", visited, cap);
        U32 srh;
        U32 f = slots_.read(t, srh, out);
        fmtrace(handler_, 9, "{} comparing slot {} {}", Zolm::show(key), t, srh);
        if (Mem::load64(linkp) != w) {
          restart = true;
          break;
        }
        if (!(f & Zolm::SLOT_OCCUPIED))
          fmthrow(Quiv::CorruptionDetectedException, "slow-path slot:{} not marked as occupied key:{} slotCount:{}", t,
                  keyHex(key), visited);
        Key sk = Ops::keyOf(out);
        if (srh > rh || (srh == rh && Ops::less(key, sk))) {
          if (!hashesTo(ops_.hash(sk), b))
            fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected. key:{} bucketIndex {}", keyHex(sk), b);
          hint = Zolm::IterHint{f, t, b};
          fmtrace(handler_, 9, "{} success {}, saving {}", Zolm::show(key), t, t);
          return true;
        }
        linkp = slots_.linkPtr(t);
        w = Mem::load64(linkp);
        if (slots_.flagsOf(t) != f) {
          restart = true;
          break;
        }
        fmtrace(handler_, 9, "{} next slot {} success", Zolm::show(key), Zolm::SlotLink::target(w));
      }
      if (restart) ++counters_.restarts;
    }
  }

  // The key's bytes in hex, for messages about a key that may be garbage.
  static std::string keyHex(Key const& k) {
    unsigned char const* p = reinterpret_cast<unsigned char const*>(&k);
    std::string s;
    for (std::size_t i = 0; i < sizeof(Key); ++i) s += fmt::format("{:02x}", p[i]);
    return s;
  }

  Quiv::DebugHandler* handler_;
  SlotReader& slots_;
  BucketReader<Zolm::SlotLink>& buckets_;
  Ops const& ops_;
  Zolm::Reader::Counters& counters_;
  U32 numBuckets_ = 0;
  U32 log2_ = 0;
  Mem::VersionedRef<unsigned int> local_;
};

}  // namespace ZolmCore
