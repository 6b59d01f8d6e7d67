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
//
// ReaderHashMapBase (ReaderHashMap.cpp) holds what knows only bucket
// words: the bucket count and its sync with the writer's, the bit-reversed
// order checks, and the integrity failures as messages. The typed
// ReaderHashMap keeps the walks (lookup, first, next) inline, since they
// copy values and compare keys.
#include <string>

#include "ZolmCore/Ops.h"
#include "ZolmCore/SlotPrefix.h"
#include "runtime/VersionAnchor.h"
#include "ZolmCore/BucketFile.h"
#include "ZolmCore/SlotLink.h"

namespace ZolmCore {

class ReaderHashMapBase {
 public:
  ReaderHashMapBase(Quiv::DebugHandler* handler, BucketReader<Zolm::SlotLink>& buckets, Zolm::Reader::Counters& counters)
      : handler_(handler), buckets_(buckets), counters_(counters) {}

  U32 numBuckets() const { return numBuckets_; }
  void reset();

  // Follows a change of the writer's bucket count; true when anything
  // changed since the last sync (also a count that went and came back).
  bool syncBuckets();
  // Whether the writer resized the buckets since the last sync. The
  // sequence counts too: a walk during which the count doubled and halved
  // back may have met markers of the doubled table.
  bool bucketCountChanged() const {
    BucketHeader const* h = buckets_.header();
    if (!h) return false;
    U64 word = Mem::load64(h->resizeWord());
    return U32(word >> 32) != numBuckets_ || U32(word) != local_.seq;
  }

  // The successor of `bucket` must be `next` under the current bucket
  // count, or under half or double of it (a resize may be under way).
  void verifyNextBucket(U32 bucket, U32 next) const {
    if (numBuckets_ && Zolm::bitReversedSuccessor(bucket, log2_) % numBuckets_ == next) [[likely]]
      return;
    verifyNextBucketAfterResize(bucket, next);
  }

  // The key's bytes in hex, for messages about a key that may be garbage.
  static std::string hex(void const* bytes, std::size_t size);

 protected:
  U64 const* bucketPtr(U32 b) const { return buckets_.buckets() + b; }

  bool hashesTo(U32 h, U32 b) const {
    U64 n = numBuckets_;
    return (h & (n - 1)) == b || (n >= 2 && (h & (n / 2 - 1)) == b) || (U64(h) & (2 * n - 1)) == b;
  }
  void checkBucket(U32 b) const {
    if (b >= numBuckets_) [[unlikely]]
      outOfRange(b);
  }
  // A "not found" stands only when the buckets were not resized meanwhile.
  void checkMiss() const {
    if (bucketCountChanged()) [[unlikely]]
      bucketMismatch();
  }
  // The last bucket in bit-reversed order is the one whose successor is 0.
  void checkLast(U32 b) const {
    if (numBuckets_ == 1 || Zolm::bitReversedSuccessor(b, log2_) == 0) [[likely]]
      return;
    checkLastAfterResize(b);
  }

  void verifyNextBucketAfterResize(U32 bucket, U32 next) const;
  void checkLastAfterResize(U32 b) const;
  [[noreturn]] void outOfRange(U32 b) const;
  [[noreturn]] void bucketMismatch() const;
  [[noreturn]] static void bucketCycle(U32 skips, U32 numBuckets);
  [[noreturn]] static void chainCycle(U32 visited, U32 capacity);
  [[noreturn]] static void notOccupied(U32 slot, std::string const& keyHex);
  [[noreturn]] static void slowPathNotOccupied(U32 slot, std::string const& keyHex, U32 visited);
  [[noreturn]] static void corruptKey(std::string const& keyHex, U32 bucket);
  [[noreturn]] static void corruptKeyAtBucket(std::string const& keyHex, U32 bucket);
  [[noreturn]] static void slowPathCorruptKey(std::string const& keyHex, U32 bucket);
  [[noreturn]] static void corruptRhash(U32 slot, U32 stored, U32 computed);

  Quiv::DebugHandler* handler_;
  BucketReader<Zolm::SlotLink>& buckets_;
  Zolm::Reader::Counters& counters_;
  U32 numBuckets_ = 0;
  U32 log2_ = 0;
  Mem::VersionedRef<unsigned int> local_;
};

// `SlotReaderT` reads one slot under the slot file's seqlock:
//   U32 read(U32 slot, U32& rhash, Value& out)  -> the runtimeFlags seen
//   U32 flagsOf(U32 slot), U64 linkOf(U32 slot), U64 const* linkPtr(U32 slot)
//   U32 capacity() const
template <class OpsT, class SlotReaderT>
class ReaderHashMap : public ReaderHashMapBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotReader = SlotReaderT;

  ReaderHashMap(Quiv::DebugHandler* handler, SlotReader& slots, BucketReader<Zolm::SlotLink>& buckets, Ops const& ops,
                Zolm::Reader::Counters& counters)
      : ReaderHashMapBase(handler, buckets, counters), slots_(slots), ops_(ops) {}

  // --- lookup -------------------------------------------------------------------
  bool lookup(Key const& key, Value& out) {
    ++counters_.lookups;
    if (numBuckets_ == 0) {
      fmtrace(handler_, 5, "bucket table detached");
      out = Ops::defaultValue();
      return false;
    }
    return walk<false>(key, out, nullptr);
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
            if (!(f & Zolm::SLOT_OCCUPIED)) [[unlikely]]
              notOccupied(t, keyHex(Ops::keyOf(out)));
            Key sk = Ops::keyOf(out);
            if (!hashesTo(ops_.hash(sk), hint.bucket)) [[unlikely]]
              corruptKey(keyHex(sk), hint.bucket);
            fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", Zolm::show(key), t, hint.slot, t);
            hint.flags = f;
            hint.slot = t;
            return true;
          }
        }
      }
    }
    ++counters_.slowPaths;
    return walk<true>(key, out, &hint);
  }

 private:
  // The walk of the key's bucket run, shared by lookup (`Next` false: find
  // the key itself) and the slow path of next (`Next` true: find the first
  // entry after the key, going on into the following buckets).
  template <bool Next>
  bool walk(Key const& key, Value& out, Zolm::IterHint* hint) {
    U32 h = ops_.hash(key);
    U32 b = h & (numBuckets_ - 1);  // a power of two
    U32 rh = Zolm::reverseBits32(h);
    U32 const cap = slots_.capacity();
    for (;;) {
      if constexpr (!Next) checkBucket(b);
      U64 const* linkp = bucketPtr(b);
      U64 w = Mem::load64(linkp);
      U32 visited = 0;
      for (;;) {
        U32 t = Zolm::SlotLink::target(w);
        if constexpr (Next) {
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
            return firstFrom(nb, out, *hint);
          }
        } else {
          if (!Zolm::SlotLink::isSlot(t)) {
            if (Zolm::SlotLink::isMarker(t) && Zolm::SlotLink::markerBucket(t) >= numBuckets_) [[unlikely]]
              outOfRange(Zolm::SlotLink::markerBucket(t));
            return miss(out);
          }
        }
        if (++visited > cap) [[unlikely]]
          chainCycle(visited, cap);
        U32 srh;
        U32 f = slots_.read(t, srh, out);
        if constexpr (Next) fmtrace(handler_, 9, "{} comparing slot {} {}", Zolm::show(key), t, srh);
        if (Mem::load64(linkp) != w) break;  // restart
        if (!(f & Zolm::SLOT_OCCUPIED)) [[unlikely]] {
          if constexpr (Next) slowPathNotOccupied(t, keyHex(key), visited);
          else notOccupied(t, keyHex(key));
        }
        Key sk = Ops::keyOf(out);
        if constexpr (!Next) {
          if (srh == rh && Ops::equal(sk, key)) return true;
        }
        if (srh > rh || (srh == rh && Ops::less(key, sk))) {
          U32 sh = ops_.hash(sk);
          if constexpr (Next) {
            if (!hashesTo(sh, b)) [[unlikely]]
              slowPathCorruptKey(keyHex(sk), b);
            *hint = Zolm::IterHint{f, t, b};
            fmtrace(handler_, 9, "{} success {}, saving {}", Zolm::show(key), t, t);
            return true;
          } else {
            if (!hashesTo(sh, b)) [[unlikely]]
              corruptKey(keyHex(sk), b);
            // The hash is at hand: a damaged rhash would otherwise end walks
            // early and hide the keys behind it.
            if (srh != Zolm::reverseBits32(sh)) [[unlikely]]
              corruptRhash(t, srh, Zolm::reverseBits32(sh));
            return miss(out);
          }
        }
        linkp = slots_.linkPtr(t);
        w = Mem::load64(linkp);
        if (slots_.flagsOf(t) != f) break;  // restart
        if constexpr (Next) fmtrace(handler_, 9, "{} next slot {} success", Zolm::show(key), Zolm::SlotLink::target(w));
      }
      ++counters_.restarts;
    }
  }

  bool miss(Value& out) {
    checkMiss();
    out = Ops::defaultValue();
    return false;
  }

  bool firstFrom(U32 b, Value& out, Zolm::IterHint& hint) {
    checkBucket(b);
    U32 skips = 0;
    for (;;) {
      U64 w = Mem::load64(bucketPtr(b));
      U32 t = Zolm::SlotLink::target(w);
      while (Zolm::SlotLink::isMarker(t)) {
        ++counters_.bucketSkips;
        if (++skips >= numBuckets_) [[unlikely]]
          bucketCycle(skips, numBuckets_);
        U32 nb = Zolm::SlotLink::markerBucket(t);
        verifyNextBucket(b, nb);
        checkBucket(nb);
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
      if (!(f & Zolm::SLOT_OCCUPIED)) [[unlikely]]
        notOccupied(t, keyHex(Ops::keyOf(out)));
      if (!hashesTo(ops_.hash(Ops::keyOf(out)), b)) [[unlikely]]
        corruptKeyAtBucket(keyHex(Ops::keyOf(out)), b);
      hint = Zolm::IterHint{f, t, b};
      fmtrace(handler_, 9, "{} found at bucket {}, saving {}", Zolm::show(Ops::keyOf(out)), b, t);
      return true;
    }
  }

  static std::string keyHex(Key const& k) { return hex(&k, sizeof(Key)); }

  SlotReader& slots_;
  Ops const& ops_;
};

}  // namespace ZolmCore
