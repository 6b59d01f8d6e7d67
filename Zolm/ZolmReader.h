#pragma once
// The reader form of a shared-memory table: maps the writer's slot and
// bucket files read-only and answers lookups, ordered iteration and reads
// by slot index without a lock and without a copy of the table.
//
// Every read runs under one rule. Its walk (ReaderHashMap.h) gives an
// answer (hit or miss) or reports a failed check: `retry` when the writer
// resized a file meanwhile, `corrupt` when nothing was resized. After an
// answer the reader looks whether the writer resized either file during
// the read; if so it remaps and runs the read again, since the answer may
// come from the geometry it replaced. After a failed check it remaps and
// runs the read again too. A failed check reaches the caller, as
// Quiv::CorruptionDetectedException with the check's text, only when
// MAX_STALLS repeats in a row failed and their remaps found nothing
// resized (counted as `stalls`); a resize in between starts the count
// anew. The answer of a read is therefore always one the table held at
// some moment during the call.
//
// Why that bound is sound: on a sound table a check fails only in a
// geometry that the writer has already published as changed (slots are
// linked after the grown count is stored, a shrink's moves change the
// link a reader stands on and its count is stored before pages are
// released, a bucket split or join stays within the half/double rules),
// so the remap after a failure sees a resize however fast the writer
// resizes. A busy writer can make a reader repeat, each repeat after a
// new resize, but never makes it report damage. A failure with nothing
// resized, repeated, is the table's own state: damaged files, or a writer
// that stopped in the middle of a change, hold still. The few repeats
// (with a yield of the processor before each) cover a writer caught in
// the middle of a change that it completes a moment later.
//
// The reader writes nothing into the table's directory, also when it
// refuses to attach or reports corruption; markCorruption() leaves the
// operators' marker only when its caller asks.
//
// Contract. Thread: one thread per reader object (the reads keep state:
// anchors, hints, the mapping). What it relies on, by the writer's labels:
// W1 (one writer), W7 and S6/B4 (a table is attached only when the fenix
// file, read after the writer laid out every file, and every header agree
// on one id; a re-format changes it), S1..S5 through SlotReader.h, L1, L2,
// W4, W5 and B1..B7 through ZolmCore/ReaderHashMap.h. The repeat rule
// above rests on C1/W3: a check fails on a sound table only in a
// geometry the writer has already published as changed, and settled()
// loads both resize words after the walk with acquire loads (S1, B1), so
// a walk that read anything a resize changed sees that resize there.
//
// ZolmReaderBase (ZolmReader.cpp) is the part that knows the table only
// through its KeyOps: attach, header validation against the fenix file,
// detach, remaps, counters and the repeat rule. The typed ZolmReader
// owns the slot reader and the bucket walks and keeps the reads inline.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <string_view>

#include "VexaSwitchLib/Zolm/SlotReader.h"
#include "VexaSwitchLib/Zolm/ZolmInterface.h"
#include "VexaSwitchLib/ZolmCore/ReaderHashMap.h"
#include "VexaSwitchLib/ZolmCore/BucketFile.h"
#include "VexaSwitchLib/runtime/SharedMem.h"

namespace Zolm {

class ZolmReaderBase {
 public:
  // Repeats of a read whose checks failed with nothing resized, before
  // the failure is reported as corruption.
  static constexpr U32 MAX_STALLS = 3;

  ZolmReaderBase(Quiv::DebugHandler* handler, std::string_view tablePath, KeyOps const& keyOps,
                 Reader::Counters* counters);
  virtual ~ZolmReaderBase();
  ZolmReaderBase(ZolmReaderBase const&) = delete;
  ZolmReaderBase& operator=(ZolmReaderBase const&) = delete;

  // Whether the form above is attached (its ZolmInterfaceBase state).
  virtual bool formInitialized() const = 0;
  // The form's initialize and detach.
  bool initializeReader(std::string_view event);
  void detachReader();

  // Follows the writer's resizes of both files; true when anything changed.
  bool remapFiles() {
    bool changed = slots_->doResize();
    if (map_->bucketCountChanged() || map_->numBuckets() == 0) changed = map_->syncBuckets() || changed;
    return changed;
  }
  // The headers of both files against the fenix file.
  bool checkFiles();
  // Leaves the marker "corruption-detected" with `report` in the table's
  // directory, for operators (ZolmWriter.h). Only on this explicit call:
  // a reader never writes into a table by itself. Best effort (the
  // directory may not be writable to a reader); true when written.
  bool markCorruption(std::string_view report) const;
  Quiv::String const& lastError() const { return lastError_; }
  std::string dumpHeaders() const;
  Reader::Counters countersNow() const;

  U32 slotCapacity() const { return slots_->capacity(); }
  // A count for callers and for validate() on a quiet table: nothing is
  // read on its strength, so relaxed (whole, unordered; S2 keeps it at
  // most numSlots at every store).
  U32 occupied() const { return slots_->header() ? Mem::loadRelaxed32(&slots_->header()->occupiedSlots) : 0; }
  // Plain: constant under one fenix id (S6).
  U32 maxSlots() const { return slots_->header() ? slots_->header()->maxSlots : 0; }
  U32 bucketCount() const { return map_->numBuckets(); }
  SharedMem::FenixId const& fenix() const { return fenixId_; }
  Mem::RootPath const& root() const { return rootPath_; }
  std::string const& name() const { return name_; }
  SlotHeaderCommon header() const { return slots_->header() ? slots_->snapshot() : SlotHeaderCommon{}; }

 protected:
  // The typed form's slot reader and walks, members of the form.
  void partsAre(SlotReaderBase* slots, ZolmCore::ReaderHashMapBase* map) {
    slots_ = slots;
    map_ = map;
  }
  virtual void formInitializedIs(bool) = 0;

  // After a read that did not end at once (`r` failed a check, or is an
  // answer given while a resize was pending): remaps, and says whether to
  // run the read again (false: the answer `r` stands). Throws
  // Quiv::CorruptionDetectedException when a failed check makes more than
  // MAX_STALLS stalls in a row; `stalls` is the caller's count.
  bool again(ZolmCore::ReadResult r, U32& stalls);
  [[noreturn]] void notAttached() const;

  Quiv::DebugHandler* handler_;
  Mem::RootPath rootPath_;
  std::string name_;
  KeyOps const& keyOps_;
  Reader::Counters* ownCounters_;
  Reader::Counters& counters_;
  ZolmCore::BucketReader<SlotLink> buckets_;
  SharedMem::FenixId fenixId_;
  Quiv::String lastError_;

 private:
  SlotReaderBase* slots_ = nullptr;
  ZolmCore::ReaderHashMapBase* map_ = nullptr;
};

template <class OpsT>
class ZolmReader : public ZolmInterface<OpsT>, public ZolmReaderBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotReader = SlotReaderTable<Ops>;
  using HashMap = ZolmCore::ReaderHashMap<Ops, SlotReaderTable<Ops>>;

  ZolmReader(Quiv::DebugHandler* handler, std::string_view tablePath, Ops const& ops = {},
             Reader::Counters* counters = nullptr)
      : ZolmReaderBase(handler, tablePath, Ops::keyOps(), counters),
        ops_(ops),
        slots_(handler, rootPath_, ops_, counters_, &fenixId_, name_),
        hashMap_(handler, slots_, buckets_, ops_, counters_) {
    partsAre(&slots_, &hashMap_);
  }
  ~ZolmReader() override {
    if (this->initialized()) detachReader();
  }

  bool initialize(std::string_view event = "none") override { return initializeReader(event); }
  void detach(bool /*force*/ = false) override { detachReader(); }
  bool formInitialized() const override { return this->initialized(); }

  // --- reads ----------------------------------------------------------------------
  // On a hit copies the value to `out` (when given) and points at it; on a
  // miss points at the default value (also given to `out`).
  Value const* lookup(Key const& keyIn, bool& found, Value* out = nullptr) {
    Key const key = keyIn;  // the caller's key may live inside *out
    Value* dst = out ? out : &buffer_;
    checkAttached();
    ZolmCore::ReadResult r = hashMap_.lookup(key, *dst);
    if (!settled(r)) [[unlikely]]
      r = repeat([&] { return hashMap_.lookup(key, *dst); }, r, nullptr);
    found = r == ZolmCore::ReadResult::hit;
    if (!found) {
      slots_.anchorClear();
      return &Ops::defaultValue();
    }
    return dst;
  }
  bool lookup(Key const& key, Value& out, IterHint& /*hint*/) const override {
    bool found;
    self().lookup(key, found, &out);
    return found;
  }

  // n lookups at once (ReaderHashMap::lookupBatch: memory fetched ahead,
  // walks as before): found[i] and outs[i] are what lookup(keys[i], ...)
  // gives, a miss leaving the default value, and each answer is one the
  // table held at some moment during the call. Settling is per group of
  // BATCH keys: the resize words are loaded once after the group's walks
  // (a resize during any of them shows there), and a group that saw a
  // resize runs each of its keys again as a single lookup. A failed check
  // goes through the same repeats as a single lookup. The version anchor
  // is cleared (it names one read). Returns the number of hits.
  U32 lookupBatch(Key const* keys, U32 n, Value* outs, bool* found) const override {
    ZolmReader& me = self();
    me.checkAttached();
    constexpr U32 B = HashMap::BATCH;
    U32 hits = 0;
    for (U32 at = 0; at < n; at += B) {
      U32 const m = std::min(B, n - at);
      Key ks[B];  // the caller's keys may live inside outs
      std::copy(keys + at, keys + at + m, ks);
      ZolmCore::ReadResult r[B];
      me.hashMap_.lookupBatch(ks, outs + at, r, m);
      bool const quiet = !me.slots_.resizePending() && !me.hashMap_.bucketCountChanged();
      for (U32 i = 0; i < m; ++i) {
        Value& out = outs[at + i];
        if (!quiet) [[unlikely]] {
          bool f;
          me.lookup(ks[i], f, &out);
          r[i] = f ? ZolmCore::ReadResult::hit : ZolmCore::ReadResult::miss;
        } else if (!ZolmCore::answered(r[i])) [[unlikely]] {
          Key const& k = ks[i];
          r[i] = me.repeat([&] { return me.hashMap_.lookup(k, out); }, r[i], nullptr);
        }
        found[at + i] = r[i] == ZolmCore::ReadResult::hit;
        if (!found[at + i]) out = Ops::defaultValue();
        hits += found[at + i];
      }
    }
    me.slots_.anchorClear();
    return hits;
  }
  using ZolmInterface<Ops>::lookup;

  bool first(Value& out, IterHint& hint) const override {
    ZolmReader& me = self();
    me.checkAttached();
    ZolmCore::ReadResult r = me.hashMap_.first(out, hint);
    if (!me.settled(r)) [[unlikely]]
      r = me.repeat([&] { return me.hashMap_.first(out, hint); }, r, &hint);
    if (r != ZolmCore::ReadResult::hit) me.slots_.anchorClear();
    return r == ZolmCore::ReadResult::hit;
  }
  bool next(Key const& keyIn, Value& out, IterHint& hint) const override {
    Key const key = keyIn;  // usually the key of `out` itself
    ZolmReader& me = self();
    me.checkAttached();
    ZolmCore::ReadResult r = me.hashMap_.next(key, out, hint);
    if (!me.settled(r)) [[unlikely]]
      r = me.repeat([&] { return me.hashMap_.next(key, out, hint); }, r, &hint);
    if (r != ZolmCore::ReadResult::hit) me.slots_.anchorClear();
    return r == ZolmCore::ReadResult::hit;
  }

  // Reads slot `slotIndex` directly (the shadows follow notifications by
  // slot index). False when the index is past the table or the slot is free.
  bool getValue(U32 slotIndex, Value& value, Value* out = nullptr) {
    auto read = [&] {
      if (slotIndex >= slots_.capacity()) return ZolmCore::ReadResult::miss;
      U32 rh;
      return slots_.read(slotIndex, rh, value) & SLOT_OCCUPIED ? ZolmCore::ReadResult::hit
                                                                : ZolmCore::ReadResult::miss;
    };
    checkAttached();
    ZolmCore::ReadResult r = read();
    if (!settled(r)) [[unlikely]]
      r = repeat(read, r, nullptr);
    if (r != ZolmCore::ReadResult::hit) {
      slots_.anchorClear();
      value = Ops::defaultValue();
      if (out) *out = value;
      return false;
    }
    if (out) *out = value;
    return true;
  }

  // --- version anchors -----------------------------------------------------------
  // Throws Mem::VersionMismatchException when the value last read is no
  // longer current.
  void validateVersionAnchor() const {
    Mem::VersionAnchor const& a = slots_.anchor();
    fmassert(a.offset != Mem::VersionAnchor::NONE, "ZolmReader",
             "should not be called on a default-constructed VersionAnchor");
    if (a.offset == Mem::VersionAnchor::INVALIDATED || !slots_.anchorCurrent(a))
      throw Mem::VersionMismatchException("");
  }
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override { return slots_.anchorCurrent(a); }
  Mem::VersionAnchor getCacheVersionAnchor() const override { return slots_.anchor(); }

  // --- checks ---------------------------------------------------------------------
  // A read-only check of the whole table as this reader sees it: headers,
  // every entry found again by its key, (rhash, key) strictly ascending,
  // and as many entries as the header counts. Meant for a quiet table:
  // against a writer at work the count, and a key removed between its
  // walk and its lookup, fail it (see validateWalk).
  bool validate() override {
    U32 count = 0;
    if (!validateWalk(count)) return false;
    if (count != members()) {
      lastError_ = fmt::format("walked {} entries but the header counts {}", count, members());
      return false;
    }
    return true;
  }
  // validate() without the count, which it leaves in `count`: for a
  // caller that knows whether the writer changed the table meanwhile and
  // compares the count only when it did not.
  bool validateWalk(U32& count) {
    lastError_ = Quiv::String();
    count = 0;
    try {
      if (!validateFiles()) return false;
      Value v;
      IterHint hint;
      bool havePrev = false;
      U32 prevRh = 0;
      Key prevKey{};
      for (bool more = first(v, hint); more; more = next(Ops::keyOf(v), v, hint)) {
        Key k = Ops::keyOf(v);
        U32 rh = reverseBits32(ops_.hash(k));
        if (havePrev && (rh < prevRh || (rh == prevRh && !Ops::less(prevKey, k)))) {
          lastError_ = fmt::format("entry {} at slot {} out of order", show(k), hint.slot);
          return false;
        }
        Value again;
        bool found;
        lookup(k, found, &again);
        if (!found) {
          lastError_ = fmt::format("entry {} at slot {} is not found by its key", show(k), hint.slot);
          return false;
        }
        if (++count > capacity()) {
          lastError_ = fmt::format("walked {} entries in a table of {} slots", count, capacity());
          return false;
        }
        havePrev = true;
        prevRh = rh;
        prevKey = k;
      }
      return true;
    } catch (Quiv::Exception const& e) {
      lastError_ = e.msg();
      return false;
    }
  }
  bool validateFiles() override { return checkFiles(); }
  void cleanup() override { fmthrow(Quiv::NoPermissionException, "cleanup of read-only Zolm table"); }

  Reader::Counters readerCounters() const override { return countersNow(); }

  // --- accessors ------------------------------------------------------------------
  U32 capacity() const override { return slots_.capacity(); }
  U32 members() const override { return occupied(); }
  U32 maxSize() const override { return maxSlots(); }
  U32 minSize() const override { return 0; }
  U32 buckets() const override { return hashMap_.numBuckets(); }
  ZolmType type() const override { return ZolmType::reader; }
  SharedMem::FenixId fenixId() const override { return fenixId_; }
  Mem::MountStatus mountStatus() const override { return this->initialized() ? Mem::mounted : Mem::notMounted; }
  bool quiesced() const override { return this->initialized(); }
  U64 sequence() const override { return 0; }
  Mem::RootPath const& rootPath() const override { return rootPath_; }
  std::string const& zolmName() const override { return name_; }
  Ops const& ops() const { return ops_; }

 protected:
  void formInitializedIs(bool v) override { this->initializedIs(v); }

 private:
  ZolmReader& self() const { return const_cast<ZolmReader&>(*this); }

  // Every read runs its walk inline once and is done when settled(): an
  // answer, with nothing resized meanwhile. The rest of the rule at the
  // top of this file is repeat(), out of line, with the walk again as `op`.
  void checkAttached() const {
    if (!this->initialized()) [[unlikely]]
      notAttached();
  }
  // Both checks are acquire loads of the resize words (S1, B1), made
  // after the walk: see resizePending and bucketCountChanged.
  [[gnu::always_inline]] bool settled(ZolmCore::ReadResult r) const {
    return ZolmCore::answered(r) && !slots_.resizePending() && !hashMap_.bucketCountChanged();
  }
  template <class F>
  [[gnu::noinline]] ZolmCore::ReadResult repeat(F const& op, ZolmCore::ReadResult r, IterHint* hint) {
    for (U32 stalls = 0; again(r, stalls);) {
      if (hint) hint->bucket = 0xFFFFFFFFu;  // it may name a slot of the old geometry
      r = op();
    }
    return r;
  }

  Ops ops_;
  SlotReader slots_;
  HashMap hashMap_;
  Value buffer_{};
};

}  // namespace Zolm
