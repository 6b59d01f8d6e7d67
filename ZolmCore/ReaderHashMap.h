#pragma once
// Lock-free walks of a table's bucket chains from a reader process.
//
// The writer changes links, slots and the bucket count while a reader
// walks them. Three rules make the answers sound:
//   - a slot copy counts only when its runtimeFlags were the same before
//     and after the copy (SlotReaderTable::read);
//   - a slot reached through a link counts only when that link word still
//     holds the version read when it was followed, and a slot's own link
//     is followed only when the slot's flags are still those of its copy.
//     Every way a slot leaves the chain changes its link word after its
//     flags (a removed slot's link threads the free list, a slot that a
//     shrink moved down has its version advanced), so a successor read
//     through a link that is still unchanged was in the chain;
//   - "not found" is answered only when the local bucket count still
//     equals the header's, so a lookup that raced a bucket resize is redone.
// A walk whose link or slot changed under it restarts from its bucket
// (counted as `restarts`); that repeats only while the writer keeps
// changing the same run.
//
// A walk throws nothing; it returns a ReadResult. `retry` and `corrupt`
// both mean that a check failed: `retry` when the writer has resized
// either file since the reader mapped it (the failure is what a walk
// meets in a table resized under it: remap and walk again), `corrupt`
// when nothing was resized, with reason() saying which check failed.
// The reader above decides when `corrupt` is final (ZolmReader.h: only
// after repeats in which the writer resized nothing). Slot indices from
// links are checked against the capacity the walk started with, so a
// walk never reads outside what is mapped.
//
// Contract. What the walks rely on, by the writer's labels: L1, L2 (a
// link word is read whole, and what it makes reachable was stored before
// it), W4 (a new entry is complete before it is linked), W5 and vacate in
// Zolm/SlotWriter.h (a slot leaves the chain by its predecessor's link,
// then its flags, then its own link), S3 (the seqlock copy), B1, B2 (the
// bucket count is one word and every bucket below it is mapped), B5..B7
// (a resize leaves a chain a walk under either count can follow). Thread:
// one thread per map (the reader's). Writes: none into the table.
// Why the re-checks hold, load by load:
//   - a link or bucket word is an acquire load (SlotLink::load semantics,
//     pairs with the release SlotLink::store that wrote it), so the slot
//     it names is read after it, complete (W4, L2);
//   - the re-check of a link after the slot's copy needs no more than the
//     copy's last flags load, an acquire: a slot that was unlinked and
//     taken again shows flags stored (release) after its unlink, so the
//     unlink is visible to the re-check (W5);
//   - the flags re-check after following a slot's own link is ordered
//     after that link's acquire load: a link that already threads the
//     free list (stored after OCCUPIED was cleared) shows the cleared flags;
//   - a marker is a release store after the bucket word it names is
//     filled and after the doubled count is published (B5): the bucket
//     word and bucketCountChanged's load of the count come after its
//     acquire load, so a marker past this map's count always reads as a
//     resize (retry), never as damage.
//
// ReaderHashMapBase (ReaderHashMap.cpp) holds what knows only bucket
// words: the bucket count and its sync with the writer's, the bit-reversed
// order checks, and the texts of failed checks. The typed ReaderHashMap
// keeps the walks (lookup, first, next) inline, since they copy values and
// compare keys, and forces them into the reader's reads (the inliner would
// keep them apart for the size of their failure paths, a call and a PLT
// hop per read); the failure paths themselves are out of line.
#include <algorithm>
#include <string>

#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/ZolmCore/SlotPrefix.h"
#include "VexaSwitchLib/runtime/VersionAnchor.h"
#include "VexaSwitchLib/ZolmCore/BucketFile.h"
#include "VexaSwitchLib/ZolmCore/SlotLink.h"

namespace ZolmCore {

enum class ReadResult : U8 {
  hit,      // `out` holds the entry found
  miss,     // no such entry (lookup), no further one (first, next)
  retry,    // a check failed while a resize is in sight: remap, walk again
  corrupt,  // a check failed and nothing was resized: see reason()
};
// An answer, as opposed to a failed check.
constexpr bool answered(ReadResult r) { return r <= ReadResult::miss; }

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
  [[gnu::always_inline]] bool bucketCountChanged() const {
    BucketHeader const* h = buckets_.header();
    if (!h) return false;
    // B1: acquire, pairs with the release store of the resize word in
    // WriterHashMap's growth and shrink (B5, B6). After a walk: the walk's
    // loads stay before it, so a walk that met a marker or a join stored
    // after a count change sees that change here.
    U64 word = Mem::load64(h->resizeWord());
    return U32(word >> 32) != numBuckets_ || U32(word) != local_.seq;
  }

  // The check that failed in the last walk that returned `corrupt`.
  std::string const& reason() const { return reason_; }

  // The key's bytes in hex, for messages about a key that may be garbage.
  static std::string hex(void const* bytes, std::size_t size);

 protected:
  U64 const* bucketPtr(U32 b) const { return buckets_.buckets() + b; }

  bool hashesTo(U32 h, U32 b) const {
    U64 n = numBuckets_;
    return (h & (n - 1)) == b || (n >= 2 && (h & (n / 2 - 1)) == b) || (U64(h) & (2 * n - 1)) == b;
  }
  // The successor of `bucket` must be `next` under the current bucket
  // count, or under half or double of it (a resize may be under way).
  bool nextBucketOk(U32 bucket, U32 next) const {
    if (numBuckets_ && Zolm::bitReversedSuccessor(bucket, log2_) % numBuckets_ == next) [[likely]]
      return true;
    return nextBucketAfterResize(bucket, next);
  }
  // The last bucket in bit-reversed order is the one whose successor is 0.
  bool lastBucketOk(U32 b) const {
    if (numBuckets_ == 1 || Zolm::bitReversedSuccessor(b, log2_) == 0) [[likely]]
      return true;
    return lastAfterResize(b);
  }
  bool nextBucketAfterResize(U32 bucket, U32 next) const;
  bool lastAfterResize(U32 b) const;

  // Texts of the failed checks.
  std::string bucketOutOfRange(U32 b) const;
  std::string slotOutOfRange(U32 slot, U32 capacity) const;
  std::string wrongNextBucket(U32 bucket, U32 next) const;
  std::string notLastBucket(U32 b) const;
  static std::string bucketCycle(U32 skips, U32 numBuckets);
  static std::string chainCycle(U32 visited, U32 capacity);
  static std::string notOccupied(U32 slot, std::string const& keyHex);
  static std::string corruptKey(std::string const& keyHex, U32 bucket);
  static std::string corruptRhash(U32 slot, U32 stored, U32 computed);

  Quiv::DebugHandler* handler_;
  BucketReader<Zolm::SlotLink>& buckets_;
  Zolm::Reader::Counters& counters_;
  U32 numBuckets_ = 0;
  U32 log2_ = 0;
  Mem::VersionedRef<unsigned int> local_;
  std::string reason_;
};

// `SlotReaderT` reads one slot under the slot file's seqlock; every index
// given to it is below capacity() (the walks check):
//   U32 read(U32 slot, U32& rhash, Value& out)  -> the runtimeFlags seen
//   U32 flagsOf(U32 slot), U64 linkOf(U32 slot), U64 const* linkPtr(U32 slot)
//   U32 capacity() const, bool resizePending() const
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
  [[gnu::always_inline]] ReadResult lookup(Key const& key, Value& out) {
    ++counters_.lookups;
    if (numBuckets_ == 0) [[unlikely]]
      return detached(out);
    return walk<false>(key, ops_.hash(key), out, nullptr);
  }

  // Up to BATCH lookups at once: results[i] and outs[i] are what
  // lookup(keys[i], outs[i]) gives, key after key in the same walk. Only
  // the memory comes earlier: every key is hashed first and its bucket
  // word prefetched, then the first slot each word names, then that
  // slot's successor when the key lies past it; by the time the walks
  // run, one after the other, their lines are on the way. The peeks that
  // steer these prefetches are relaxed loads whose values decide nothing
  // (a walk loads every word it follows again, under the rules above).
  static constexpr U32 BATCH = 32;
  [[gnu::always_inline]] void lookupBatch(Key const* keys, Value* outs, ReadResult* results, U32 n) {
    counters_.lookups += n;
    if (numBuckets_ == 0) [[unlikely]] {
      for (U32 i = 0; i < n; ++i) results[i] = detached(outs[i]);
      return;
    }
    U32 hashes[BATCH];
    U32 firsts[BATCH];
    U32 const mask = numBuckets_ - 1, cap = slots_.capacity();
    for (U32 i = 0; i < n; ++i) {
      hashes[i] = ops_.hash(keys[i]);
      __builtin_prefetch(bucketPtr(hashes[i] & mask));
    }
    for (U32 i = 0; i < n; ++i) {
      U32 t = Zolm::SlotLink::target(Mem::loadRelaxed64(bucketPtr(hashes[i] & mask)));
      firsts[i] = t;
      if (t < cap) slots_.prefetch(t);
    }
    for (U32 i = 0; i < n; ++i) {
      U32 t = firsts[i];
      if (t < cap && slots_.rhashPeek(t) < Zolm::reverseBits32(hashes[i])) {
        U32 t2 = Zolm::SlotLink::target(slots_.linkPeek(t));
        if (t2 < cap) slots_.prefetch(t2);
      }
    }
    for (U32 i = 0; i < n; ++i) results[i] = walk<false>(keys[i], hashes[i], outs[i], nullptr);
  }

  // --- iteration ----------------------------------------------------------------
  [[gnu::always_inline]] ReadResult first(Value& out, Zolm::IterHint& hint) {
    if (numBuckets_ == 0) [[unlikely]]
      return detached(out);
    return firstFrom(0, out, hint);
  }

  // The entry after `key`. With a hint from the last answer the step is
  // one link; a hint that no longer fits (its slot changed, or anything
  // the step meets looks wrong) sends it to the walk from the key's bucket.
  [[gnu::always_inline]] ReadResult next(Key const& key, Value& out, Zolm::IterHint& hint) {
    if (numBuckets_ == 0) [[unlikely]]
      return detached(out);
    if (hint.bucket < numBuckets_) fetchAhead(hint.bucket);
    U32 const cap = slots_.capacity();
    U32 const hs = hint.slot;
    if (hs < cap && hint.bucket < numBuckets_ && slots_.flagsOf(hs) == hint.flags) {
      // L2: acquire, so the flags re-check below is not read before it.
      U64 lw = slots_.linkOf(hs);
      // The link counts only while the hinted slot is unchanged: once it
      // is removed or moved its link word changes too (after its flags,
      // W5 / vacate, whose release stores the acquire flags load pairs with).
      if (slots_.flagsOf(hs) == hint.flags) {
        U32 t = Zolm::SlotLink::target(lw);
        if (Zolm::SlotLink::isEnd(t)) {
          if (lastBucketOk(hint.bucket)) {
            fmtrace(handler_, 9, "{} failed", Zolm::show(key));
            return ReadResult::miss;
          }
        } else if (Zolm::SlotLink::isMarker(t)) {
          U32 nb = Zolm::SlotLink::markerBucket(t);
          if (nextBucketOk(hint.bucket, nb)) {
            fmtrace(handler_, 9, "{} next bucket {} using {}", Zolm::show(key), nb, hint.slot);
            return firstFrom(nb, out, hint);
          }
        } else if (t < cap) {
          U32 srh;
          U32 f = slots_.read(t, srh, out);
          // The link re-check after the copy: read()'s last flags load is
          // an acquire, so an unlink stored before a reuse it saw is seen.
          // The step must also go forward in the (rhash, key) order: in a
          // damaged table two slots linked to each other hash to one bucket
          // and would otherwise hand an iteration back and forth for ever.
          // Anything else is the slow path's to judge.
          Key const nk = Ops::keyOf(out);
          U32 const sh = ops_.hash(nk);
          U32 const rs = Zolm::reverseBits32(sh), rk = Zolm::reverseBits32(ops_.hash(key));
          if (slots_.linkOf(hs) == lw && (f & Zolm::SLOT_OCCUPIED) && hashesTo(sh, hint.bucket) &&
              (rs > rk || (rs == rk && Ops::less(key, nk)))) [[likely]] {
            fmtrace(handler_, 9, "{} success {} using {}, saving new slot hint {}", Zolm::show(key), t, hint.slot, t);
            hint.flags = f;
            hint.slot = t;
            return ReadResult::hit;
          }
        }
      }
    }
    ++counters_.slowPaths;
    return walk<true>(key, ops_.hash(key), out, &hint);
  }

 private:
  // Iteration fetches ahead. Buckets come in bit-reversed order, which is
  // arithmetic, so the buckets of the next steps are known; their words
  // and the slots they lead to are fetched in windows of WINDOW ranks (a
  // rank is a bucket's place in the order). When a step enters window q:
  //   - the bucket words of window q + 3 are prefetched;
  //   - those of window q + 2 (prefetched a window ago) are read, and the
  //     first slot each names is prefetched;
  //   - the links of window q + 1's first slots (prefetched a window ago)
  //     are read and their successors prefetched;
  //   - and so, in window q, the third slots of the runs.
  // Each stage issues its window's loads together, so that their misses
  // overlap, and waits at most one memory latency per window. The ranks
  // of a window differ only in their low bits, which are the high bits of
  // the bucket index: its words lie numBuckets / WINDOW words apart, a
  // multiple of the caches' set stride in a large table, so their lines
  // compete for one cache set and leave the nearer caches before their
  // buckets are reached (prefetching the words further ahead, one by one,
  // loses them the same way). Hence the slot targets read are kept here,
  // and each step prefetches the words of the next NEAR ranks again, from
  // the outer cache, for the iteration's own loads.
  // As in lookupBatch the peeks are relaxed and steer prefetches only:
  // the iteration itself loads and checks every word as before, and every
  // peek stays inside what is mapped (ranks below the bucket count, slots
  // below capacity). A step back, a new pass, a jump of more than the
  // windows ahead or a new bucket count starts the windows again.
  static constexpr U32 WINDOW = 16, NEAR = 8, RING = 4 * WINDOW;
  U32 bucketAtRank(U32 rank) const { return Zolm::reverseBits32(rank << (32 - log2_)); }
  [[gnu::always_inline]] void fetchAhead(U32 bucket) {
    if (log2_ == 0) return;
    U32 const rank = Zolm::reverseBits32(bucket) >> (32 - log2_);
    if (ahead_.log2 == log2_ && rank == ahead_.last) [[likely]]
      return;  // another entry of the same bucket
    U32 const q = rank / WINDOW;
    if (ahead_.log2 != log2_ || rank < ahead_.last || q > ahead_.window + 3) [[unlikely]] {
      restartAhead(rank);
    } else {
      ahead_.last = rank;
      while (ahead_.window < q) enterWindow(++ahead_.window);
    }
    U32 const end = std::min(rank + 1 + NEAR, numBuckets_);
    for (ahead_.near = std::max(ahead_.near, rank + 1); ahead_.near < end; ++ahead_.near)
      __builtin_prefetch(bucketPtr(bucketAtRank(ahead_.near)));
  }
  [[gnu::noinline]] void restartAhead(U32 rank) {
    U32 const q = rank / WINDOW;
    ahead_.log2 = log2_;
    ahead_.last = rank;
    ahead_.window = q;
    ahead_.near = rank + 1;
    for (U32 w = q; w <= q + 3; ++w) fetchWords(w);
    for (U32 w = q; w <= q + 2; ++w) fetchFirsts(w);
    fetchSeconds(q);
    fetchSeconds(q + 1);
    fetchThirds(q);
  }
  void enterWindow(U32 q) {
    fetchWords(q + 3);
    fetchFirsts(q + 2);
    fetchSeconds(q + 1);
    fetchThirds(q);
  }
  // The ranks of window q that exist.
  U32 windowEnd(U32 q) const { return U32(std::min<U64>(U64(q + 1) * WINDOW, numBuckets_)); }
  void fetchWords(U32 q) {
    for (U32 r = q * WINDOW, e = windowEnd(q); r < e; ++r) __builtin_prefetch(bucketPtr(bucketAtRank(r)));
  }
  void fetchFirsts(U32 q) {
    U32 const cap = slots_.capacity();
    for (U32 r = q * WINDOW, e = windowEnd(q); r < e; ++r) {
      U32 t = Zolm::SlotLink::target(Mem::loadRelaxed64(bucketPtr(bucketAtRank(r))));
      ahead_.first[r % RING] = t;
      if (t < cap) slots_.prefetch(t);
    }
  }
  // The successor of each run's slot `from[rank]` (first or second),
  // recorded in `to` when given.
  void fetchNext(U32 q, U32 const* from, U32* to) {
    U32 const cap = slots_.capacity();
    for (U32 r = q * WINDOW, e = windowEnd(q); r < e; ++r) {
      U32 t = from[r % RING];
      if (t < cap) t = Zolm::SlotLink::target(slots_.linkPeek(t));
      else t = Zolm::SlotLink::END;
      if (to) to[r % RING] = t;
      if (t < cap) slots_.prefetch(t);
    }
  }
  void fetchSeconds(U32 q) { fetchNext(q, ahead_.first, ahead_.second); }
  void fetchThirds(U32 q) { fetchNext(q, ahead_.second, nullptr); }
  struct Ahead {
    U32 log2 = 0;    // the bucket count the windows are for
    U32 last = 0;    // the rank of the last step's bucket
    U32 window = 0;  // the window of that rank, whose stages have run
    U32 near = 0;    // the next rank whose word the steps prefetch
    U32 first[RING] = {}, second[RING] = {};  // by rank modulo RING: a run's first and second slot
  };
  Ahead ahead_;

  // The walk of the key's bucket run, shared by lookup (`Next` false: find
  // the key itself) and the slow path of next (`Next` true: find the first
  // entry after the key, going on into the following buckets). Inlined
  // into its callers whatever the inliner thinks of its cold branches.
  template <bool Next>
  [[gnu::always_inline]] ReadResult walk(Key const& key, U32 h, Value& out, Zolm::IterHint* hint) {
    U32 b = h & (numBuckets_ - 1);  // a power of two
    U32 rh = Zolm::reverseBits32(h);
    U32 const cap = slots_.capacity();
    for (;;) {
      U64 const* linkp = bucketPtr(b);
      // B3, L2: acquire, pairs with the release store of the bucket word
      // (WriterHashMap publish, split, join): the slot it names is
      // complete (W4) when read below.
      U64 w = Mem::load64(linkp);
      U32 visited = 0;
      for (;;) {
        U32 t = Zolm::SlotLink::target(w);
        if constexpr (Next) {
          if (Zolm::SlotLink::isEnd(t)) {
            if (!lastBucketOk(b)) [[unlikely]]
              return fail([&] { return notLastBucket(b); });
            fmtrace(handler_, 9, "{} failed", Zolm::show(key));
            out = Ops::defaultValue();
            return ReadResult::miss;
          }
          if (Zolm::SlotLink::isMarker(t)) {
            U32 nb = Zolm::SlotLink::markerBucket(t);
            if (!nextBucketOk(b, nb)) [[unlikely]]
              return fail([&] { return wrongNextBucket(b, nb); });
            fmtrace(handler_, 9, "{} next bucket {}", Zolm::show(key), nb);
            return firstFrom(nb, out, *hint);
          }
        } else {
          if (!Zolm::SlotLink::isSlot(t)) {
            if (Zolm::SlotLink::isMarker(t) && Zolm::SlotLink::markerBucket(t) >= numBuckets_) [[unlikely]]
              return fail([&] { return bucketOutOfRange(Zolm::SlotLink::markerBucket(t)); });
            return miss(out);
          }
        }
        if (t >= cap) [[unlikely]]
          return fail([&] { return slotOutOfRange(t, cap); });
        if (++visited > cap) [[unlikely]]
          return fail([&] { return chainCycle(visited, cap); });
        U32 srh;
        U32 f = slots_.read(t, srh, out);
        if constexpr (Next) fmtrace(handler_, 9, "{} comparing slot {} {}", Zolm::show(key), t, srh);
        // The word that led here, again (L1: a same word was not
        // re-stored). Ordered after the copy by read()'s acquire flags
        // load; a slot unlinked and reused meanwhile shows a changed word
        // (W5). A changed word restarts the walk.
        if (Mem::load64(linkp) != w) break;  // restart
        if (!(f & Zolm::SLOT_OCCUPIED)) [[unlikely]]
          return fail([&] { return notOccupied(t, keyHex(key)); });
        Key sk = Ops::keyOf(out);
        if constexpr (!Next) {
          if (srh == rh && Ops::equal(sk, key)) return ReadResult::hit;
        }
        if (srh > rh || (srh == rh && Ops::less(key, sk))) {
          U32 sh = ops_.hash(sk);
          if (!hashesTo(sh, b)) [[unlikely]]
            return fail([&] { return corruptKey(keyHex(sk), b); });
          if constexpr (Next) {
            *hint = Zolm::IterHint{f, t, b};
            fmtrace(handler_, 9, "{} success {}, saving {}", Zolm::show(key), t, t);
            return ReadResult::hit;
          } else {
            // The hash is at hand: a damaged rhash would otherwise end walks
            // early and hide the keys behind it.
            if (srh != Zolm::reverseBits32(sh)) [[unlikely]]
              return fail([&] { return corruptRhash(t, srh, Zolm::reverseBits32(sh)); });
            return miss(out);
          }
        }
        linkp = slots_.linkPtr(t);
        // L2: acquire, pairs with SlotLink::store of this slot's link; the
        // flags check after it sees OCCUPIED cleared when the link already
        // threads the free list or was advanced by vacate (W5).
        w = Mem::load64(linkp);
        if (slots_.flagsOf(t) != f) break;  // restart
        if constexpr (Next) fmtrace(handler_, 9, "{} next slot {} success", Zolm::show(key), Zolm::SlotLink::target(w));
      }
      ++counters_.restarts;
    }
  }

  ReadResult miss(Value& out) {
    if (bucketCountChanged()) [[unlikely]]
      return ReadResult::retry;
    out = Ops::defaultValue();
    return ReadResult::miss;
  }

  ReadResult firstFrom(U32 b, Value& out, Zolm::IterHint& hint) {
    if (b >= numBuckets_) [[unlikely]]
      return fail([&] { return bucketOutOfRange(b); });
    U32 const cap = slots_.capacity();
    U32 skips = 0;
    for (;;) {
      // B3, L2: acquire, pairs with the release store of the bucket word.
      U64 w = Mem::load64(bucketPtr(b));
      U32 t = Zolm::SlotLink::target(w);
      while (Zolm::SlotLink::isMarker(t)) {
        ++counters_.bucketSkips;
        if (++skips >= numBuckets_) [[unlikely]]
          return fail([&] { return bucketCycle(skips, numBuckets_); });
        U32 nb = Zolm::SlotLink::markerBucket(t);
        if (!nextBucketOk(b, nb)) [[unlikely]]
          return fail([&] { return wrongNextBucket(b, nb); });
        if (nb >= numBuckets_) [[unlikely]]
          return fail([&] { return bucketOutOfRange(nb); });
        b = nb;
        // B5: the marker's acquire load above keeps this load after it;
        // the marker was stored after bucket nb's word was filled.
        w = Mem::load64(bucketPtr(b));
        t = Zolm::SlotLink::target(w);
      }
      if (Zolm::SlotLink::isEnd(t)) {
        if (!lastBucketOk(b)) [[unlikely]]
          return fail([&] { return notLastBucket(b); });
        fmtrace(handler_, 8, "none found!");
        out = Ops::defaultValue();
        return ReadResult::miss;
      }
      if (t >= cap) [[unlikely]]
        return fail([&] { return slotOutOfRange(t, cap); });
      U32 srh;
      U32 f = slots_.read(t, srh, out);
      // As in walk: ordered after the copy by read()'s acquire flags load.
      if (Mem::load64(bucketPtr(b)) != w) {
        ++counters_.restarts;
        continue;
      }
      if (!(f & Zolm::SLOT_OCCUPIED)) [[unlikely]]
        return fail([&] { return notOccupied(t, keyHex(Ops::keyOf(out))); });
      if (!hashesTo(ops_.hash(Ops::keyOf(out)), b)) [[unlikely]]
        return fail([&] { return corruptKey(keyHex(Ops::keyOf(out)), b); });
      hint = Zolm::IterHint{f, t, b};
      fmtrace(handler_, 9, "{} found at bucket {}, saving {}", Zolm::show(Ops::keyOf(out)), b, t);
      return ReadResult::hit;
    }
  }

  // A failed check: what a walk meets in a table resized under it, when
  // either file was; otherwise reported, with the text `why` makes.
  template <class Why>
  [[gnu::cold, gnu::noinline]] ReadResult fail(Why const& why) {
    if (bucketCountChanged() || slots_.resizePending()) return ReadResult::retry;
    reason_ = why();
    return ReadResult::corrupt;
  }

  ReadResult detached(Value& out) {
    fmtrace(handler_, 5, "bucket table detached");
    out = Ops::defaultValue();
    return ReadResult::miss;
  }

  static std::string keyHex(Key const& k) { return hex(&k, sizeof(Key)); }

  SlotReader& slots_;
  Ops const& ops_;
};

}  // namespace ZolmCore
