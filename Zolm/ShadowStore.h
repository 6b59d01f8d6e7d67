#pragma once
// The local copy a shadow keeps of a table: one local entry per shared slot
// index (the slot array is indexed like the shared slot table, so a
// notification for slot s touches local entry s), chained into the local
// index. A value store keeps each value; a key store keeps only the keys
// and reads values from shared memory by slot index when asked.
//
// Why an entry per slot index and not per key: a notification names a
// slot, and the shadow must find what that slot held before to tell which
// key went away. A key the writer moved to another slot appears at the new
// index before the old index is cleared; the index re-links it in place
// (ShadowHashMap::write), so the key is never reported gone meanwhile.
//
// Both local regions (buckets, slots) are process memory that grows and
// shrinks with the table: slots to the shared capacity in one step when a
// notification names a slot past the local array, and down to the
// smallest power-of-two range that covers every occupied index when
// occupancy falls to a quarter.
#include <functional>
#include <new>
#include <string>

#include "Zolm/ShadowHashMap.h"
#include "Zolm/Syncer.h"
#include "Zolm/ZolmReader.h"
#include "runtime/Mem.h"
#include "runtime/Nimbr.h"

namespace Zolm {

inline constexpr U32 SHADOW_NONE = 0xFFFFFFFFu;

// A value-store entry: links, rhash, the whole value.
template <class Ops>
struct ValueShadowSlot {
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  U32 next = SHADOW_NONE;
  U32 prev = SHADOW_NONE;
  U32 rhash = 0;
  Value value{};
  Key key() const { return Ops::keyOf(value); }
  void contentsIs(Value const& v) { value = v; }
  bool sameContents(Value const& v) const { return value == v; }
  void clear() { *this = ValueShadowSlot{}; }
};

// A key-store entry: links, rhash, the key. It cannot tell an unchanged
// value from a changed one, so every notification of its slot counts as a
// change of its key.
template <class Ops>
struct KeyShadowSlot {
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  U32 next = SHADOW_NONE;
  U32 prev = SHADOW_NONE;
  U32 rhash = 0;
  Key k{};
  Key key() const { return k; }
  void contentsIs(Value const& v) { k = Ops::keyOf(v); }
  bool sameContents(Value const&) const { return false; }
  void clear() { *this = KeyShadowSlot{}; }
};

// What a store does for the shadow above it; see ShadowStore.
template <class Ops>
class ShadowStoreBase {
 public:
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using ChangeFn = std::function<void(Key const&)>;

  virtual ~ShadowStoreBase() = default;
  virtual void initialize() = 0;
  virtual bool doSlot(U32 slot, U64 seq, bool compare) = 0;
  virtual void doFlushSlot(U32 slot) = 0;
  virtual U64 shadowMappedSize() const = 0;
  virtual U64 fenixMappedSize() const { return 0; }
  virtual bool lookup(Key const& key, Value& out) = 0;
  virtual bool first(Value& out, IterHint& hint) = 0;
  virtual bool next(Key const& key, Value& out, IterHint& hint) = 0;
  virtual U32 numSlots() const = 0;
  virtual U32 entries() const = 0;
  virtual U32 numBuckets() const = 0;
  virtual bool validateVersionAnchor(Mem::VersionAnchor const& a) const = 0;
  virtual Mem::VersionAnchor getCacheVersionAnchor() const = 0;
  virtual void disable() = 0;
  virtual bool check(std::string& error) const = 0;
  virtual U64 lastSeq() const = 0;
  virtual void addCountersTo(Reader::Counters& c) const = 0;
};

template <class Ops, class Entry>
class ShadowStore : public ShadowStoreBase<Ops> {
 public:
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Map = ShadowHashMap<Ops, Entry>;
  using typename ShadowStoreBase<Ops>::ChangeFn;
  static constexpr bool kKeysOnly = std::is_same_v<Entry, KeyShadowSlot<Ops>>;

  // `onChange` is called with each key whose content changed (never while
  // the store's own state is inconsistent); `notifyKeys`: whether a flush
  // reports keys.
  ShadowStore(Quiv::DebugHandler* handler, ZolmReader<Ops>& reader, Nimbr::NimbrReader& queue,
              Reader::Counters& counters, ChangeFn onChange, bool notifyKeys)
      : handler_(handler),
        reader_(reader),
        queue_(queue),
        counters_(counters),
        onChange_(std::move(onChange)),
        slotCounters_(initialRange()),
        map_(handler, reader.ops(), slotCounters_),
        notifyKeys_(notifyKeys) {}

  void initialize() override {
    map_.reset();
    resizeSlots(0);
    enabled_ = true;
    anchor_ = {};
  }

  // One notification (or a synchronisation read, seq NO_SEQ) for `slot`.
  // True when consumed; false when the queue no longer holds the record
  // for the slot, in which case a newer record will tell again and
  // nothing was changed.
  bool doSlot(U32 slot, U64 seq, bool compare) override {
    ++counters_.notifications;
    if (slot >= numSlots_) {
      // The writer's slot count (0 while nothing is mapped).
      U32 shared = reader_.header().numSlots;
      if (slot < shared) {
        if (!growSlots(slot)) {
          fmtrace(handler_, 5, "discarding notification for slotIndex:{}", slot);
          return true;
        }
      } else {
        fmtrace(handler_, 5,
                "skip growing of shadow table to accomodate slotIndex:{} because shared memory has shrunk to {} slots",
                slot, shared);
        return true;
      }
    }
    Entry& e = slots_[slot];
    bool wasFree = !Map::linked(e);
    anchor_ = {};
    Value v;
    bool occupied = reader_.getValue(slot, v);
    bool sameKey = occupied && !wasFree && Ops::equal(e.key(), Ops::keyOf(v));
    bool changed = !(compare && sameKey && e.sameContents(v));
    fmtrace(handler_, 9, "updated: {} compare: {} slotIndex:{}{}", changed, compare, slot,
            occupied ? " found" : " not found");
    if (occupied && (wasFree || sameKey)) {
      if (seq != SyncerClient::NO_SEQ) lastSeq_ = seq;
      if (changed) e.contentsIs(v);
      insert(slot, e, changed, v);
      return true;
    }
    if (wasFree && !occupied) return true;
    // The key the entry held has gone from this slot (freed, or reused by
    // another key).
    if (seq != SyncerClient::NO_SEQ) {
      if (queue_.holds(slot) != Nimbr::NimbrReader::Held::live) {
        fmtrace(handler_, 5, "failed because sequence:{} may have been tombstoned", seq);
        return false;
      }
      lastSeq_ = seq;
    }
    Key old = e.key();
    if (map_.remove(slot)) {
      inFlightDeleted_ = &old;
      report(old);
      inFlightDeleted_ = nullptr;
    }
    if (enabled_) e.clear();
    if (occupied) {
      e.contentsIs(v);
      insert(slot, e, true, v);
      return true;
    }
    tryShrink();
    return true;
  }

  void doFlushSlot(U32 slot) override {
    if (slot >= numSlots_ || !Map::linked(slots_[slot])) return;
    Key k = slots_[slot].key();
    fmtrace(handler_, 9, "slotIndex {} key:{}", slot, show(k));
    if (notifyKeys_) onChange_(k);
  }

  bool lookup(Key const& key, Value& out) override {
    ++counters_.lookups;
    if (inFlightDeleted_ || inFlightNew_) {
      // From inside the change callback: answer from the notification.
      if (inFlightDeleted_ && Ops::equal(*inFlightDeleted_, key)) {
        out = Ops::defaultValue();
        return false;
      }
      if (inFlightNew_ && Ops::equal(inFlightNew_->key(), key)) return valueOf(inFlightSlot_, *inFlightNew_, out);
    }
    U32 s = map_.lookup(key);
    if (s == SHADOW_NONE) {
      out = Ops::defaultValue();
      return false;
    }
    return valueOf(s, slots_[s], out);
  }

  bool first(Value& out, IterHint& hint) override { return settle(map_.first(), out, hint); }
  bool next(Key const& key, Value& out, IterHint& hint) override {
    return settle(map_.next(key, hint.slot), out, hint);
  }

  U32 numSlots() const override { return numSlots_; }
  U32 entries() const override { return U32(map_.count()); }
  U32 numBuckets() const override { return map_.numBuckets(); }
  U64 shadowMappedSize() const override { return slotsMem_.memSize() + map_.bucketsMappedSize(); }
  U64 lastSeq() const override { return lastSeq_; }

  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    if constexpr (kKeysOnly) return reader_.validateVersionAnchor(a);
    // Values are local: a value read is current until a notification for
    // its slot changes it, which clears the anchor.
    return a.valid() && anchor_.valid() && a.base == anchor_.base && a.offset == anchor_.offset;
  }
  Mem::VersionAnchor getCacheVersionAnchor() const override { return anchor_; }

  void disable() override {
    enabled_ = false;
    map_.reset();
    resizeSlots(0);
  }

  bool check(std::string& error) const override { return map_.check(error); }

  void addCountersTo(Reader::Counters& c) const override {
    auto const& m = map_.counters();
    c.localBucketGrows = m.grows;
    c.localBucketShrinks = m.shrinks;
    c.moves = m.moves;
    c.slowPaths += m.slowPaths;
    c.localSlotGrows = slotGrows_;
    c.localSlotShrinks = slotShrinks_;
  }

  SlotCounters const& slotCounters() const { return slotCounters_; }

 protected:
  // The value held for the key at `slot`; false (default value) when it
  // is not there any more.
  virtual bool valueOf(U32 slot, Entry const& e, Value& out) {
    (void)slot;
    if constexpr (!kKeysOnly) {
      out = e.value;
      anchor_ = {0, U64(slot), slots_};
      return true;
    } else {
      (void)e;
      out = Ops::defaultValue();
      return false;
    }
  }

  Quiv::DebugHandler* handler_;
  ZolmReader<Ops>& reader_;
  Nimbr::NimbrReader& queue_;
  Reader::Counters& counters_;
  Mem::VersionAnchor anchor_{};

 private:
  // Slots that share the shared slot header's page: the local array is
  // never shrunk below them.
  static U32 initialRange() {
    U64 page = Mem::pageSize();
    U64 header = COMMON_HEADER_SIZE + Ops::slotSize;
    return page > header ? U32((page - header) / Ops::slotSize) : 0;
  }

  void report(Key const& k) {
    if (onChange_) onChange_(k);
  }

  void insert(U32 slot, Entry& e, bool changed, Value const& v) {
    bool reported = map_.write(slot, changed, [&](Entry const& old) { return !old.sameContents(v); });
    if (!reported) return;
    inFlightNew_ = &e;
    inFlightSlot_ = slot;
    report(e.key());
    inFlightNew_ = nullptr;
  }

  // Skips entries whose value is gone (a key store whose slot was freed
  // under it) so that iteration only returns what is there.
  bool settle(U32 s, Value& out, IterHint& hint) {
    for (U32 guard = 0; s != SHADOW_NONE; ++guard) {
      fmassert(guard <= numSlots_, "ShadowStore", "local iteration does not end");
      if (valueOf(s, slots_[s], out)) {
        hint.slot = s;
        hint.bucket = 0;
        return true;
      }
      s = map_.next(slots_[s].key(), s);
    }
    hint = IterHint{};
    out = Ops::defaultValue();
    return false;
  }

  void tryShrink() {
    if (!enabled_ || map_.count() * 4 > numSlots_) return;
    U32 target = slotCounters_.largestOccupied();
    if (target >= numSlots_) return;
    fmtrace(handler_, 5, "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
    U32 shared = reader_.header().numSlots;
    if (shared <= target || target == 0) {
      shrinkSlots(target);
    } else {
      fmtrace(handler_, 5, "skip shrinking of shadow table to {} slots because shared memory has grown to {} slots",
              target, shared);
    }
  }

  bool growSlots(U32 slot) {
    fmtrace(handler_, 5, "for slotIndex:{}", slot);
    reader_.doResize();
    U32 cap = reader_.capacity();
    if (slot >= cap) {
      fmtrace(handler_, 5, "complete. Never learned of slotIndex:{} so it is safe to ignore.", slot);
      return false;
    }
    fmtrace(handler_, 2, "resize shadow slots from {} to {} due to out of range slot {}", numSlots_, cap, slot);
    U64 want = U64(cap) * sizeof(Entry);
    resizeSlots(cap);
    fmtrace(handler_, 5, "Passed resize {} and got {} back.", want, slotsMem_.memSize());
    ++slotGrows_;
    fmtrace(handler_, 5, "complete.");
    return true;
  }

  void shrinkSlots(U32 n) {
    fmtrace(handler_, 5, "newNumSlots:{}", n);
    fmtrace(handler_, 5, "resize shadow slots from {} to {}", numSlots_, n);
    resizeSlots(n);
    ++slotShrinks_;
    fmtrace(handler_, 5, "complete.");
  }

  // New entries start free, with the default contents.
  void resizeSlots(U32 n) {
    U32 old = numSlots_;
    try {
      slotsMem_.resize(Mem::multiplyOverflowCheck(n, sizeof(Entry)));
    } catch (Quiv::Exception const& e) {
      fmthrow(Quiv::MemoryResourceException, "failed to resize {} from {} to {} slots - {}", kKeysOnly ? "LKT" : "LST",
              old, n, e.msg());
    }
    slots_ = static_cast<Entry*>(slotsMem_.base());
    numSlots_ = n;
    for (U32 i = old; i < n; ++i) new (&slots_[i]) Entry{};
    map_.slotsIs(slots_, numSlots_);
  }

  ChangeFn onChange_;
  SlotCounters slotCounters_;
  Map map_;
  Mem::Local slotsMem_;
  Entry* slots_ = nullptr;
  U32 numSlots_ = 0;
  // The notification being delivered (set only around the change callback).
  Entry const* inFlightNew_ = nullptr;
  U32 inFlightSlot_ = 0;
  Key const* inFlightDeleted_ = nullptr;
  bool notifyKeys_;
  bool enabled_ = false;
  U64 lastSeq_ = 0;
  U64 slotGrows_ = 0, slotShrinks_ = 0;
};

// Keys only; values come from shared memory by slot index.
template <class Ops>
class KeyShadowStore : public ShadowStore<Ops, KeyShadowSlot<Ops>> {
  using Base = ShadowStore<Ops, KeyShadowSlot<Ops>>;

 public:
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Base::Base;

  void initialize() override {
    // The fenix file names the incarnation whose slot indices the keys
    // refer to; keep it mapped for as long as the keys are.
    fenix_.detach();
    if (!fenix_.attach(0)) fmthrow(Quiv::InvalidInitializeException, "failed to map fenix: {}", fenix_.getFilename());
    Base::initialize();
  }
  U64 fenixMappedSize() const override { return fenix_.memSize(); }

 protected:
  bool valueOf(U32 slot, KeyShadowSlot<Ops> const& e, Value& out) override {
    U32 shared = this->reader_.header().numSlots;
    if (!this->reader_.initialized() || slot >= shared) {
      fmtrace(this->handler_, 5, "slotIndex:{} shmemCapacity:{}, returning not found", slot, shared);
      return notFound(out);
    }
    bool occupied;
    try {
      occupied = this->reader_.getValue(slot, out);
      if (occupied && Ops::equal(Ops::keyOf(out), e.k)) {
        this->anchor_ = this->reader_.getCacheVersionAnchor();
        return true;
      }
      // The slot was reused, or freed by a move the queue has not told
      // yet: the shared table still knows where the key is.
      ++this->counters_.keyReuses;
      bool found;
      this->reader_.lookup(e.k, found, &out);
      if (found) {
        this->anchor_ = this->reader_.getCacheVersionAnchor();
        return true;
      }
    } catch (Quiv::CorruptionDetectedException const&) {
      fmtrace(this->handler_, 5, "unable to retrieve slotIndex:{}, returning not found", slot);
    }
    return notFound(out);
  }

 private:
  bool notFound(Value& out) {
    this->anchor_ = {};
    out = Ops::defaultValue();
    return false;
  }
  Mem::SharedMemWrapper fenix_{this->reader_.rootPath(), "fenix", Mem::SharedMemWrapper::Mode::readOnly};
};

}  // namespace Zolm
