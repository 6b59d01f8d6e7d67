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
//
// Contract: local memory is this shadow's thread's own. Shared memory is
// read through the ZolmReader (getValue, lookup) and the queue's holds();
// nothing shared is written. doSlot relies on W6 (a shrink notifies the
// moved-to slot, then tombstones the moved-from slot's record, then
// empties it): see the comment at holds() there.
#include <functional>
#include <new>
#include <string>

#include "VexaSwitchLib/Zolm/ShadowHashMap.h"
#include "VexaSwitchLib/Zolm/Syncer.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Nimbr.h"

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

// What a store does for the shadow above it, apart from the typed reads;
// see ShadowStore. The local slot array's growth and shrink bookkeeping
// lives here (ShadowStore.cpp): it knows entries only by their size and
// the bytes of an empty one.
class ShadowStoreCore {
 public:
  ShadowStoreCore(Quiv::DebugHandler* handler, ZolmReaderBase& reader, Nimbr::NimbrReader& queue,
                  Reader::Counters& counters, KeyOps const& keyOps, U32 entrySize, void const* emptyEntry,
                  bool keysOnly, bool notifyKeys);
  virtual ~ShadowStoreCore();
  ShadowStoreCore(ShadowStoreCore const&) = delete;
  ShadowStoreCore& operator=(ShadowStoreCore const&) = delete;

  virtual void initialize();
  // Called when the store is kept across a re-attach, after the reader
  // attached: re-indexes the local entries when the table's hash seed
  // changed (a re-format).
  virtual void followSeed() = 0;
  virtual bool doSlot(U32 slot, U64 seq, bool compare) = 0;
  virtual void doFlushSlot(U32 slot) = 0;
  virtual U64 fenixMappedSize() const { return 0; }
  virtual bool validateVersionAnchor(Mem::VersionAnchor const& a) const = 0;
  virtual bool check(std::string& error) const = 0;

  U64 shadowMappedSize() const { return slotsMem_.memSize() + map_->bucketsMappedSize(); }
  U32 numSlots() const { return numSlots_; }
  U32 entries() const { return U32(map_->count()); }
  U32 numBuckets() const { return map_->numBuckets(); }
  Mem::VersionAnchor getCacheVersionAnchor() const { return anchor_; }
  void disable();
  U64 lastSeq() const { return lastSeq_; }
  void addCountersTo(Reader::Counters& c) const;
  SlotCounters const& slotCounters() const { return slotCounters_; }

 protected:
  // The typed index over this store's slots, a member of the typed store.
  void mapIs(ShadowHashMapBase* map) { map_ = map; }
  // The writer's slot count (0 while nothing is mapped).
  U32 sharedSlots() const { return readerBase_.header().numSlots; }

  // A notification for a slot past the local array: grows the array to
  // the shared capacity when the slot is inside it. True when the slot
  // can be handled now.
  bool reachSlot(U32 slot);
  // Shrinks the local array when occupancy fell to a quarter.
  void tryShrink();

  Quiv::DebugHandler* handler_;
  ZolmReaderBase& readerBase_;
  Nimbr::NimbrReader& queue_;
  Reader::Counters& counters_;
  Mem::VersionAnchor anchor_{};
  SlotCounters slotCounters_;
  char* slotBytes_ = nullptr;
  U32 numSlots_ = 0;
  bool notifyKeys_;
  bool enabled_ = false;
  U64 lastSeq_ = 0;

 private:
  bool growSlots(U32 slot);
  void shrinkSlots(U32 n);
  // New entries start free, with the default contents.
  void resizeSlots(U32 n);
  // Slots that share the shared slot header's page: the local array is
  // never shrunk below them.
  static U32 initialRange(U32 slotSize);

  ShadowHashMapBase* map_ = nullptr;
  U32 entrySize_;
  void const* emptyEntry_;
  bool keysOnly_;
  Mem::Local slotsMem_;
  U64 slotGrows_ = 0, slotShrinks_ = 0;
};

template <class Ops>
class ShadowStoreBase : public ShadowStoreCore {
 public:
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using ChangeFn = std::function<void(Key const&)>;
  using ShadowStoreCore::ShadowStoreCore;

  virtual bool lookup(Key const& key, Value& out) = 0;
  virtual bool first(Value& out, IterHint& hint) = 0;
  virtual bool next(Key const& key, Value& out, IterHint& hint) = 0;
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
      : ShadowStoreBase<Ops>(handler, reader, queue, counters, Ops::keyOps(), sizeof(Entry), &emptyEntry(),
                             kKeysOnly, notifyKeys),
        reader_(reader),
        onChange_(std::move(onChange)),
        map_(handler, reader.ops(), this->slotCounters_) {
    this->mapIs(&map_);
  }

  void initialize() override {
    ShadowStoreCore::initialize();
    indexSeed_ = reader_.ops().seed;
  }

  void followSeed() override {
    U32 seed = reader_.ops().seed;
    if (seed == indexSeed_) return;
    fmtrace(this->handler_, 1, "hash seed {:#x} -> {:#x}: re-indexing {} local entries", indexSeed_, seed,
            map_.count());
    indexSeed_ = seed;
    map_.reindex();
  }

  // One notification (or a synchronisation read, seq NO_SEQ) for `slot`.
  // True when consumed; false when the queue no longer holds the record
  // for the slot, in which case a newer record will tell again and
  // nothing was changed.
  bool doSlot(U32 slot, U64 seq, bool compare) override {
    ++this->counters_.notifications;
    if (slot >= this->numSlots_ && !this->reachSlot(slot)) return true;
    Entry& e = slots()[slot];
    bool wasFree = !Map::linked(e);
    this->anchor_ = {};
    Value v;
    bool occupied = reader_.getValue(slot, v);
    bool sameKey = occupied && !wasFree && Ops::equal(e.key(), Ops::keyOf(v));
    bool changed = !(compare && sameKey && e.sameContents(v));
    fmtrace(this->handler_, 9, "updated: {} compare: {} slotIndex:{}{}", changed, compare, slot,
            occupied ? " found" : " not found");
    if (occupied && (wasFree || sameKey)) {
      if (seq != SyncerClient::NO_SEQ) this->lastSeq_ = seq;
      if (changed) e.contentsIs(v);
      insert(slot, e, changed, v);
      return true;
    }
    if (wasFree && !occupied) return true;
    // The key the entry held has gone from this slot (freed, or reused by
    // another key).
    if (seq != SyncerClient::NO_SEQ) {
      // W6: a shrink tombstones this slot's record before it empties the
      // slot. getValue's acquire load of the flags saw the emptied slot
      // (vacate, a release store after the tombstone), so holds(), whose
      // loads come after it, sees the tombstone: the key moved, and the
      // moved-to slot's record tells it; nothing is reported gone.
      if (this->queue_.holds(slot) != Nimbr::NimbrReader::Held::live) {
        fmtrace(this->handler_, 5, "failed because sequence:{} may have been tombstoned", seq);
        return false;
      }
      this->lastSeq_ = seq;
    }
    Key old = e.key();
    if (map_.remove(slot)) {
      inFlightDeleted_ = &old;
      report(old);
      inFlightDeleted_ = nullptr;
    }
    if (this->enabled_) e.clear();
    if (occupied) {
      e.contentsIs(v);
      insert(slot, e, true, v);
      return true;
    }
    this->tryShrink();
    return true;
  }

  void doFlushSlot(U32 slot) override {
    if (slot >= this->numSlots_ || !Map::linked(slots()[slot])) return;
    Key k = slots()[slot].key();
    fmtrace(this->handler_, 9, "slotIndex {} key:{}", slot, show(k));
    if (this->notifyKeys_) onChange_(k);
  }

  bool lookup(Key const& key, Value& out) override {
    ++this->counters_.lookups;
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
    return valueOf(s, slots()[s], out);
  }

  bool first(Value& out, IterHint& hint) override { return settle(map_.first(), out, hint); }
  bool next(Key const& key, Value& out, IterHint& hint) override {
    return settle(map_.next(key, hint.slot), out, hint);
  }

  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    if constexpr (kKeysOnly) return reader_.validateVersionAnchor(a);
    // Values are local: a value read is current until a notification for
    // its slot changes it, which clears the anchor.
    return a.valid() && this->anchor_.valid() && a.base == this->anchor_.base && a.offset == this->anchor_.offset;
  }

  bool check(std::string& error) const override { return map_.check(error); }

 protected:
  Entry* slots() const { return reinterpret_cast<Entry*>(this->slotBytes_); }

  // The value held for the key at `slot`; false (default value) when it
  // is not there any more.
  virtual bool valueOf(U32 slot, Entry const& e, Value& out) {
    (void)slot;
    if constexpr (!kKeysOnly) {
      out = e.value;
      this->anchor_ = {0, U64(slot), this->slotBytes_};
      return true;
    } else {
      (void)e;
      out = Ops::defaultValue();
      return false;
    }
  }

  ZolmReader<Ops>& reader_;

 private:
  static Entry const& emptyEntry() {
    static Entry const e{};
    return e;
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
      fmassert(guard <= this->numSlots_, "ShadowStore", "local iteration does not end");
      if (valueOf(s, slots()[s], out)) {
        hint.slot = s;
        hint.bucket = 0;
        return true;
      }
      s = map_.next(slots()[s].key(), s);
    }
    hint = IterHint{};
    out = Ops::defaultValue();
    return false;
  }

  ChangeFn onChange_;
  Map map_;
  U32 indexSeed_ = 0;  // the hash seed every linked entry's rhash was computed with
  // The notification being delivered (set only around the change callback).
  Entry const* inFlightNew_ = nullptr;
  U32 inFlightSlot_ = 0;
  Key const* inFlightDeleted_ = nullptr;
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
