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
#include <type_traits>
#include <vector>

#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/ZolmCore/SlotLink.h"

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

// The part of the local index that touches only entry links: the bucket
// array, its doubling and halving, unlinking and the bucket walk of
// iteration (ShadowHashMap.cpp). An entry is `entrySize` bytes whose first
// three u32 are next, prev and rhash; they are accessed as plain u32
// words, never through the entry's own type.
class ShadowHashMapBase {
 public:
  static constexpr U32 NONE = 0xFFFFFFFFu;
  static constexpr U32 HEAD = 0xFFFFFFFEu;  // prev of the head of bucket b: HEAD - b

  struct Counters {
    U64 grows = 0, shrinks = 0, moves = 0, lookups = 0, slowPaths = 0;
  };

  ShadowHashMapBase(Quiv::DebugHandler* handler, SlotCounters& slotCounters, U32 entrySize);
  ShadowHashMapBase(ShadowHashMapBase const&) = delete;
  ShadowHashMapBase& operator=(ShadowHashMapBase const&) = delete;

  // Back to two empty buckets and no entries (the slots are the store's).
  void reset();
  U64 bucketsMappedSize() const { return bucketsMem_.memSize(); }

  // The store's slot array; it may move when the store resizes it.
  void slotsIs(void* slots, U32 numSlots) {
    slots_ = static_cast<char*>(slots);
    numSlots_ = numSlots;
  }

  // Unlinks the entry at `slot`; false when it was not linked.
  bool remove(U32 slot);

  U32 first() const { return firstFrom(0); }
  U32 numBuckets() const { return numBuckets_; }
  U64 count() const { return count_; }
  Counters const& counters() const { return counters_; }

 protected:
  U32* word(U32 slot, U32 index) const {
    if (slot >= numSlots_) [[unlikely]]
      outOfRange(slot);
    return reinterpret_cast<U32*>(slots_ + U64(slot) * entrySize_) + index;
  }
  U32& nextOf(U32 slot) const { return *word(slot, 0); }
  U32& prevOf(U32 slot) const { return *word(slot, 1); }
  U32& rhashOf(U32 slot) const { return *word(slot, 2); }

  U32 bucketOf(U32 rhash) const { return log2_ ? rhash >> (32 - log2_) : 0; }
  void linkHead(U32 slot, U32 b, U32 next) {
    prevOf(slot) = HEAD - b;
    nextOf(slot) = next;
    if (next != NONE) prevOf(next) = slot;
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
  [[noreturn]] void outOfRange(U32 slot) const;

  Quiv::DebugHandler* handler_;
  SlotCounters& slotCounters_;
  U32 bucketFactor_ = 0;
  U32 log2_ = 1;
  U32 numBuckets_ = 2;
  U32* buckets_ = nullptr;
  char* slots_ = nullptr;
  U32 numSlots_ = 0;
  U64 count_ = 0;
  Counters counters_;

 private:
  void grow();
  void shrink();
  void resizeBuckets(U64 n, char const* initFailure);

  U32 entrySize_;
  Mem::Local bucketsMem_;  // u32 per bucket: head entry or NONE
};

// `Entry` starts with u32 next, prev, rhash and has key(); `Ops` gives hash
// and order.
template <class Ops, class Entry>
class ShadowHashMap : public ShadowHashMapBase {
 public:
  using Key = typename Ops::Key;

  ShadowHashMap(Quiv::DebugHandler* handler, Ops const& ops, SlotCounters& slotCounters)
      : ShadowHashMapBase(handler, slotCounters, sizeof(Entry)), ops_(ops) {
    static_assert(std::is_trivially_copyable_v<Entry>, "local entries are moved as bytes");
    static Entry const probe{};
    auto offset = [](U32 const& field) {
      return reinterpret_cast<char const*>(&field) - reinterpret_cast<char const*>(&probe);
    };
    fmassert(offset(probe.next) == 0 && offset(probe.prev) == 4 && offset(probe.rhash) == 8, "ShadowHashMap",
             "entry links must lead the entry");
  }

  void slotsIs(Entry* slots, U32 numSlots) { ShadowHashMapBase::slotsIs(slots, numSlots); }

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

  // Links every entry again under the current hash: a store kept across a
  // re-format follows a table whose new seed orders the keys differently,
  // and every rhash stored with an entry is the old seed's.
  void reindex() {
    std::vector<U32> linkedSlots;
    linkedSlots.reserve(count_);
    for (U32 b = 0; b < numBuckets_; ++b)
      for (U32 cur = buckets_[b]; cur != NONE; cur = at(cur).next) linkedSlots.push_back(cur);
    for (U32 slot : linkedSlots) {
      slotCounters_.remove(slot);
      resetEntry(at(slot));
    }
    reset();
    for (U32 slot : linkedSlots) write(slot, false, [](Entry const&) { return false; });
  }

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
    if (slot >= numSlots_) [[unlikely]]
      outOfRange(slot);
    return reinterpret_cast<Entry*>(slots_)[slot];
  }

  Ops const& ops_;
};

}  // namespace Zolm
