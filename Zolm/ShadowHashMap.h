#pragma once
// The local index of a shadow: the entries of a table copied into process
// memory, one local entry per shared slot index (the store's slot array is
// indexed like the shared slot table), chained into local buckets.
//
// Local bucket b holds the keys whose rhash has b as its top log2(n) bits,
// so ascending bucket index is ascending rhash, and every chain is ordered
// by (rhash, key): iterating buckets in index order gives the same order
// as a reader of the shared table. Doubling splits bucket i into 2i and
// 2i+1 where the next rhash bit turns 1; halving appends 2i+1's chain to
// 2i's. Both keep the order without comparing keys.
//
// Entry links (u32 each):
//   next  the next entry of the chain, NONE at its end
//   prev  the previous entry; HEAD - b when the entry heads bucket b; NONE
//         when the entry is not linked (a free entry has both NONE)
#include <cstring>
#include <string>
#include <vector>

#include "ZolmCore/Ops.h"
#include "runtime/Debug.h"
#include "runtime/Exception.h"
#include "runtime/Mem.h"
#include "ZolmCore/SlotLink.h"

namespace Zolm {

// Occupied slot indices grouped by power-of-two range: range 0 is index 0,
// range r > 0 holds [2^(r-1), 2^r). From it, the smallest count of slots
// that covers every occupied index.
class SlotCounters {
 public:
  explicit SlotCounters(U32 initialRange = 0) : initial_(initialRange) {}
  void insert(U32 slot) {
    U32 r = rangeOf(slot);
    if (count_[r]++ == 0) mask_ |= U64(1) << r;
  }
  void remove(U32 slot) {
    U32 r = rangeOf(slot);
    fmassert(count_[r] > 0, "SlotCounters", "removing slot:{} from an empty range:{}", slot, r);
    if (--count_[r] == 0) mask_ &= ~(U64(1) << r);
  }
  void move(U32 from, U32 to) {
    remove(from);
    insert(to);
  }
  // 0 when nothing is occupied; otherwise the bound of the highest
  // non-empty range, never below the initial range.
  U32 largestOccupied() const {
    if (!mask_) return 0;
    U32 top = 63 - U32(__builtin_clzll(mask_));
    U64 bound = top == 0 ? 1 : U64(1) << top;
    if (bound > 0xFFFFFFFFull) bound = 0xFFFFFFFFull;
    return std::max(U32(bound), initial_);
  }
  U64 mask() const { return mask_; }

 private:
  static U32 rangeOf(U32 slot) { return slot == 0 ? 0 : 32 - U32(__builtin_clz(slot)); }
  U32 initial_;
  U64 mask_ = 0;
  U32 count_[33] = {};
};

// `Entry` has u32 next, prev, rhash and key(); `Ops` gives hash and order.
template <class Ops, class Entry>
class ShadowHashMap {
 public:
  using Key = typename Ops::Key;
  static constexpr U32 NONE = 0xFFFFFFFFu;
  static constexpr U32 HEAD = 0xFFFFFFFEu;  // prev of the head of bucket b: HEAD - b

  struct Counters {
    U64 grows = 0, shrinks = 0, moves = 0, lookups = 0, slowPaths = 0;
  };

  ShadowHashMap(Quiv::DebugHandler* handler, Ops const& ops, SlotCounters& slotCounters)
      : handler_(handler), ops_(ops), slotCounters_(slotCounters) {
    reset();
  }

  // Back to two empty buckets and no entries (the slots are the store's).
  void reset() {
    resizeBuckets(2, "bucketsMem_.attachAs() failed");
    log2_ = 1;
    numBuckets_ = 2;
    buckets_[0] = buckets_[1] = NONE;
    count_ = 0;
  }
  U64 bucketsMappedSize() const { return bucketsMem_.memSize(); }

  // The store's slot array; it may move when the store resizes it.
  void slotsIs(Entry* slots, U32 numSlots) {
    slots_ = slots;
    numSlots_ = numSlots;
  }

  static void resetEntry(Entry& e) {
    e.next = NONE;
    e.prev = NONE;
  }
  static bool linked(Entry const& e) { return e.prev != NONE; }

  // Links (or re-links) the entry at `slot`, whose key and value the caller
  // has written. Returns whether the table's content for the key changed:
  // `changed` when the entry was already linked here, true for a new key,
  // and for a key that moved from another slot whether `differs(old)` says
  // its value changed.
  template <class Differs>
  bool write(U32 slot, bool changed, Differs&& differs) {
    Entry& e = at(slot);
    Key key = e.key();
    U32 rh = reverseBits32(ops_.hash(key));
    if (linked(e)) {
      fmtrace(handler_, 9, "no index update needed");
      return changed;
    }
    e.rhash = rh;
    U32 b = bucketOf(rh);
    U32 cur = buckets_[b];
    if (cur == NONE) {
      linkHead(slot, b, NONE);
      fmtrace(handler_, 9, "value inserted in fresh bucket");
      added(slot);
      return true;
    }
    U32 prev = NONE;
    for (U32 steps = 0; cur != NONE; ++steps) {
      fmassert(steps <= numSlots_, "ShadowHashMap", "local chain cycle in bucket:{}", b);
      Entry& c = at(cur);
      if (c.rhash == rh && Ops::equal(c.key(), key)) {
        // The key moved to another slot: the new entry takes the old one's
        // place in the chain.
        e.next = c.next;
        e.prev = c.prev;
        if (c.next != NONE) at(c.next).prev = slot;
        if (prev == NONE) buckets_[b] = slot;
        else at(prev).next = slot;
        bool result = differs(c);
        c.clear();
        slotCounters_.move(cur, slot);
        ++counters_.moves;
        fmtrace(handler_, 9, "value updated");
        return result;
      }
      if (c.rhash > rh || (c.rhash == rh && Ops::less(key, c.key()))) break;
      prev = cur;
      cur = c.next;
    }
    if (prev == NONE) {
      linkHead(slot, b, buckets_[b]);
      fmtrace(handler_, 9, "value inserted");
    } else {
      Entry& p = at(prev);
      e.next = p.next;
      e.prev = prev;
      if (p.next != NONE) at(p.next).prev = slot;
      p.next = slot;
      fmtrace(handler_, 9, "{}", e.next == NONE ? "add slot to end of chain" : "value inserted");
    }
    added(slot);
    return true;
  }

  // Unlinks the entry at `slot`; false when it was not linked.
  bool remove(U32 slot) {
    Entry& e = at(slot);
    if (!linked(e)) {
      fmtrace(handler_, 9, "dead slot {}", slot);
      return false;
    }
    if (e.prev >= HEAD - (numBuckets_ - 1)) buckets_[HEAD - e.prev] = e.next;
    else at(e.prev).next = e.next;
    if (e.next != NONE) at(e.next).prev = e.prev;
    resetEntry(e);
    slotCounters_.remove(slot);
    --count_;
    if (count_ <= (U64(numBuckets_) << bucketFactor_) / 4 && log2_ > 1) shrink();
    return true;
  }

  // The slot holding `key`, or NONE.
  U32 lookup(Key const& key) {
    ++counters_.lookups;
    U32 rh = reverseBits32(ops_.hash(key));
    for (U32 cur = buckets_[bucketOf(rh)]; cur != NONE;) {
      Entry const& c = at(cur);
      if (c.rhash > rh || (c.rhash == rh && !Ops::less(c.key(), key)))
        return c.rhash == rh && Ops::equal(c.key(), key) ? cur : NONE;
      cur = c.next;
    }
    return NONE;
  }

  U32 first() const { return firstFrom(0); }
  // The entry after `key` (which `hint` held when it was returned).
  U32 next(Key const& key, U32 hint) {
    if (hint < numSlots_ && linked(at(hint)) && Ops::equal(at(hint).key(), key)) {
      Entry const& h = at(hint);
      if (h.next != NONE) return h.next;
      return firstFrom(bucketOf(h.rhash) + 1);
    }
    ++counters_.slowPaths;
    U32 rh = reverseBits32(ops_.hash(key));
    U32 b = bucketOf(rh);
    for (U32 cur = buckets_[b]; cur != NONE; cur = at(cur).next) {
      Entry const& c = at(cur);
      if (c.rhash > rh || (c.rhash == rh && Ops::less(key, c.key()))) return cur;
    }
    return firstFrom(b + 1);
  }

  U32 numBuckets() const { return numBuckets_; }
  U64 count() const { return count_; }
  Counters const& counters() const { return counters_; }

  // Checks links, order and counts; for tests and validation.
  bool check(std::string& error) const {
    U64 seen = 0;
    bool havePrev = false;
    U32 prevRh = 0;
    Key prevKey{};
    for (U32 b = 0; b < numBuckets_; ++b) {
      U32 expectPrev = HEAD - b;
      for (U32 cur = buckets_[b]; cur != NONE; cur = at(cur).next) {
        Entry const& c = at(cur);
        if (c.prev != expectPrev) return (error = fmt::format("slot {} prev {} want {}", cur, c.prev, expectPrev), false);
        if (bucketOf(c.rhash) != b) return (error = fmt::format("slot {} in bucket {}", cur, b), false);
        if (havePrev && (c.rhash < prevRh || (c.rhash == prevRh && !Ops::less(prevKey, c.key()))))
          return (error = fmt::format("slot {} out of order", cur), false);
        if (++seen > count_) return (error = "more entries linked than counted", false);
        havePrev = true;
        prevRh = c.rhash;
        prevKey = c.key();
        expectPrev = cur;
      }
    }
    if (seen != count_) return (error = fmt::format("linked {} counted {}", seen, count_), false);
    return true;
  }

 private:
  Entry& at(U32 slot) const {
    if (slot >= numSlots_)
      fmthrow(Quiv::CorruptionDetectedException, "out-of-range index:{} max:{}", slot, numSlots_);
    return slots_[slot];
  }
  U32 bucketOf(U32 rhash) const { return log2_ ? rhash >> (32 - log2_) : 0; }
  void linkHead(U32 slot, U32 b, U32 next) {
    Entry& e = at(slot);
    e.prev = HEAD - b;
    e.next = next;
    if (next != NONE) at(next).prev = slot;
    buckets_[b] = slot;
  }
  void added(U32 slot) {
    slotCounters_.insert(slot);
    ++count_;
    if (count_ > (U64(numBuckets_) << bucketFactor_)) grow();
  }
  U32 firstFrom(U32 b) const {
    for (; b < numBuckets_; ++b)
      if (buckets_[b] != NONE) return buckets_[b];
    return NONE;
  }

  void grow() {
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
      for (U32 cur = head; cur != NONE; prev = cur, cur = at(cur).next) {
        if ((at(cur).rhash >> bit) & 1) {
          highHead = cur;
          if (prev != NONE) at(prev).next = NONE;
          break;
        }
        if (lowHead == NONE) lowHead = cur;
      }
      buckets_[2 * i] = lowHead;
      buckets_[2 * i + 1] = highHead;
      if (lowHead != NONE) at(lowHead).prev = HEAD - 2 * i;
      if (highHead != NONE) at(highHead).prev = HEAD - (2 * i + 1);
    }
    ++counters_.grows;
  }

  void shrink() {
    U32 half = numBuckets_ / 2;
    for (U32 i = 0; i < half; ++i) {
      U32 low = buckets_[2 * i], high = buckets_[2 * i + 1];
      if (low == NONE) {
        buckets_[i] = high;
        if (high != NONE) at(high).prev = HEAD - i;
      } else {
        buckets_[i] = low;
        at(low).prev = HEAD - i;
        U32 tail = low;
        while (at(tail).next != NONE) tail = at(tail).next;
        at(tail).next = high;
        if (high != NONE) at(high).prev = tail;
      }
    }
    numBuckets_ = half;
    resizeBuckets(half, nullptr);
    --log2_;
    ++counters_.shrinks;
    fmtrace(handler_, 2, "shrunk to numBuckets_:{} bucketFactor_:{}", numBuckets_, bucketFactor_);
  }

  void resizeBuckets(U64 n, char const* initFailure) {
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

  Quiv::DebugHandler* handler_;
  Ops const& ops_;
  SlotCounters& slotCounters_;
  U32 bucketFactor_ = 0;
  U32 log2_ = 1;
  U32 numBuckets_ = 2;
  Mem::Local bucketsMem_;  // u32 per bucket: head entry or NONE
  U32* buckets_ = nullptr;
  Entry* slots_ = nullptr;
  U32 numSlots_ = 0;
  U64 count_ = 0;
  Counters counters_;
};

}  // namespace Zolm
