#pragma once
// The writer of one table: the only process that changes the table's
// files. It attaches to them (or re-formats them), inserts, updates and
// removes entries while readers in other processes read the same memory
// without locks, publishes a notification for every changed slot, and
// shrinks the slot table when it has become mostly empty. A local writer
// does the same in process memory, with no files and no lock.
//
// Contract (the files' own rules: S1..S7 and C1 in Zolm/SlotWriter.h, L1
// and L2 in ZolmCore/SlotLink.h, B1..B4 in ZolmCore/WriterHashMap.h and
// ZolmCore/BucketFile.h, Q1..Q5 in runtime/Nimbr.h):
//   W1  One writer per table: the owner file's kernel lock admits one
//       process, and in it one thread may write (the first that enters the
//       critical section; another is fatal, SlotWriterTable::checkThread).
//       Readers in other processes never write.
//   W2  Every operation is one CriticalSection scope (C1); a direct write
//       of a new key keeps it open until its commit.
//   W3  Every growth (slots, the queue's map, room for the bucket doubling)
//       happens before the first change a reader can see (reserveInsert),
//       so TableFullException and Quiv::MemoryResourceException leave
//       every shared byte as it was, apart from growths that completed.
//   W4  A new entry becomes reachable with one release store into its
//       predecessor's link (publish), after its slot is complete: rhash,
//       value, OCCUPIED and its own link (L2).
//   W5  A removed entry is unlinked first, then loses OCCUPIED, and only
//       then does its link become a free-list link: a reader standing on
//       it either still reaches its successor or sees its flags change
//       and restarts.
//   W6  Every change of a slot is followed by its notification, after the
//       change's last store (Q1 keeps one live record per slot). A shrink
//       notifies the moved-to slot before the moved-from one is tombstoned
//       and emptied.
//   W7  Keep or re-format is decided for the whole table before anything is
//       written; a re-format runs only under a new incarnation (S6), and
//       the fenix file is written after every file is laid out, the owner
//       file's wake-up socket last.
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/ZolmCore/WriterHashMap.h"
#include "VexaSwitchLib/Zolm/DynamicSlotAllocator.h"
#include "VexaSwitchLib/Zolm/SlotWriter.h"
#include "VexaSwitchLib/Zolm/ZolmInterface.h"
#include "VexaSwitchLib/runtime/Nimbr.h"
#include "VexaSwitchLib/runtime/Pokt.h"
#include "VexaSwitchLib/runtime/SharedMem.h"

namespace Zolm {

struct WriterConfig {
  bool local = false;
  U32 maxSlots = 100;          // the requested table size
  bool fixedSize = false;
  bool shrinkSlots = true;
  bool shrinkBuckets = true;
  bool criticalTaskCheck = false;
  Mem::RegionOptions memory{};  // of every file's memory: slots, buckets, queue, slabs
};

// Incarnations of writers in this process (the high half of new fenix ids).
U16 nextIncarnation();

// Left in a table's directory when corruption was reported, so that people
// and tools see it; the next writer that attaches soundly removes it.
// Readers, shadows and tools never write it by themselves, only when their
// caller asks (ZolmReaderBase::markCorruption).
inline constexpr std::string_view CORRUPTION_MARKER = "corruption-detected";
static_assert(Mem::RootPath::isTableFileName(CORRUPTION_MARKER), "listed in RootPath::TABLE_FILES");
// Writes the marker with the report's text (best effort: a report must not
// fail for want of a file); true when written.
bool markCorruptionDetected(Mem::RootPath const& root, std::string_view msg);

// Everything a writer does that does not depend on its key and value
// types, compiled once: the files' lifecycle, the critical section, slot
// allocation and release, notifications, shrinking, validation. The typed
// ZolmWriter below adds the lookups and writes, inline.
class ZolmWriterBase : public Nimbr::NimbrNotifiee {
 public:
  static constexpr U32 NO_SLOT = 0xFFFFFFFFu;
  using SlotTableT = SlotWriterTable;
  using HashMap = ZolmCore::WriterHashMap;

  ZolmWriterBase(Quiv::DebugHandler* handler, std::string_view tablePath, WriterConfig const& config,
                 KeyOps const& keyOps);
  ~ZolmWriterBase() override;
  ZolmWriterBase(ZolmWriterBase const&) = delete;
  ZolmWriterBase& operator=(ZolmWriterBase const&) = delete;

  bool initialize(std::string_view event = "none");

  // --- lifecycle ------------------------------------------------------------
  void attach();
  bool attachAndValidate(bool reformat);
  // Attaches slot table, buckets and queue. Without `reformat` the table
  // is kept only when every file is there and sound under the current
  // fenix id, and nothing is written otherwise (false); with it, every file
  // is laid out anew under the current id.
  bool attachParts(bool reformat);
  void detachParts();
  void detach(bool force = false);
  void cleanup();
  void removeFiles();
  bool validate(U32 fenixId, bool strict = false);
  bool validate() { return validate(fenixId_.value(), false); }
  // Checks every file's header against this writer's incarnation without
  // walking the chains: slots, buckets, queue, fenix and owner files.
  bool validateFiles();

  // Publishes the value filled in since directWrite/directUpdate.
  void directCommit();
  bool directOpen() const { return directSlot_ != NO_SLOT; }

  // Moves entries out of the upper part of the slot table and shrinks it,
  // when occupancy fell below half of `threshold` (0: nothing to do).
  void doMaybeShrinkSlots(U32 threshold);
  // From the queue: a postponed shrink may run now.
  void shrink(U32 threshold) override;
  void handleQuiesced(bool quiesced) override;
  void quiescedCallbackIs(std::function<void(bool)> cb) { quiescedCallback_ = std::move(cb); }

  std::string dumpHeaders() const;

  // --- accessors ----------------------------------------------------------------
  U32 members() const { return slotTable_.header() ? slotTable_.header()->occupiedSlots : 0; }
  U32 capacity() const { return slotTable_.capacity(); }
  U32 buckets() const { return hashMap_.buckets(); }
  U32 maxSize() const { return slotTable_.maxSlots(); }
  U32 minSize() const { return slotTable_.minSlots(); }
  SharedMem::FenixId fenixId() const { return fenixId_; }
  U64 sequence() const { return counters_.sequence; }
  Mem::MountStatus mountStatus() const { return writerInitialized_ ? Mem::mounted : Mem::notMounted; }
  bool quiesced() const { return !hasNimbr_ || nimbr_.quiesced(); }
  // The queue keeps no per-reader state, so a named reader is quiesced when
  // the queue is.
  bool clientQuiesced(std::string_view readerName) const { return !readerName.empty() && quiesced(); }
  Writer::Counters writerCounters() const { return counters_; }
  void notifyingIs(bool on) { pokt_.notifyingIs(on); }
  void yieldTimeIs(double seconds) { pokt_.yieldTimeIs(seconds); }
  bool connected() const { return pokt_.connections() > 0; }
  // Wake-ups of followers; give it the process's event loop so that arms
  // are answered while the writer is idle.
  Pokt::WriterPoktSm& pokt() { return pokt_; }
  Writer::Counters& counters() { return counters_; }
  Mem::RootPath const& rootPath() const { return rootPath_; }
  std::string const& zolmName() const { return name_; }
  bool criticalTaskCheck() const { return criticalTaskCheck_; }
  void criticalTaskCheckIs(bool v) { criticalTaskCheck_ = v; }
  U32 scratchpad() const { return scratchpad_; }
  void scratchpadIs(U32 v) { scratchpad_ = v; }
  // The writer is the only one changing its slots: an anchor taken from
  // one of them is current while the slot's runtimeFlags are unchanged.
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const;
  Quiv::String const& lastError() const { return lastError_; }

  SlotWriterTable& slotTable() { return slotTable_; }
  SlotWriterTable const& slotTable() const { return slotTable_; }
  HashMap& hashMap() { return hashMap_; }
  Nimbr::NimbrWriter& nimbr() { return nimbr_; }
  bool hasNimbr() const { return hasNimbr_; }
  // The slabs of a table with slab-stored values (null otherwise).
  Bloka::WriterAllocator* slabs() const { return slabs_.get(); }

 protected:
  // A table with slab-stored values: its slabs, and how the compiled code
  // reads such a value (ValueSource). A shrink of a slab moves entries; the
  // slot that owns a moved entry gets its new offset in place.
  void slabsAre(std::unique_ptr<Bloka::WriterAllocator> slabs, ValueSource source);
  // Grows what an insert needs (a free slot, the queue's map, room for the
  // bucket doubling) before the insert changes anything readers can see.
  // Throws TableFullException or Quiv::MemoryResourceException with every
  // shared byte as it was, apart from growths that completed.
  void reserveInsert();
  // Takes a free slot for a new key (of `value`) and links nothing yet.
  // `prev` is re-derived when the slot file moved while growing. Throws
  // only from reserveInsert, before anything changed.
  U32 insertSlot(void const* value, U32 h, U32 b, U64*& prev);
  U32 queueCoverage() const;
  // Makes a new slot visible: one store into its predecessor's link.
  void publish(U32 id, U64* prev);
  // Unlinks and frees slot `id` (its predecessor link `prev`), notifies and
  // shrinks when due.
  void removeSlot(U32 id, U64* prev);
  void notify(U32 slot);
  // After the key's place was found inside the critical section: takes the
  // slot (a new one when !found) and returns where its value is filled.
  void* directWriteStart(void const* value, bool found, U32 h, U32 b, U64* prev);
  void* directUpdateStart(U32 id);
  void const* valueAt(U32 id) const { return SlotSpan::valuePtr(slotTable_.slot(id)); }
  // Where a direct operation's value is filled: the image for an entry that
  // readers can see, the slot itself for one they cannot yet.
  void* directTarget(U32 id);
  std::string directValueText() const;

  Quiv::DebugHandler* handler_;
  Mem::RootPath rootPath_;
  std::string name_;
  WriterConfig config_;
  KeyOps const& keyOps_;
  bool const hasNimbr_;
  SharedMem::FenixId fenixId_;
  U32 directSlot_ = NO_SLOT;
  bool directNew_ = false;
  U32 directPrevBucket_ = NO_SLOT;  // the new entry's predecessor: a bucket word
  U64 directPrevOff_ = 0;           // or a slot link at this offset
  Writer::Counters counters_;
  U32 seed_ = 0;
  bool criticalTaskCheck_;
  SlotWriterTable slotTable_;
  HashMap hashMap_;
  Nimbr::NimbrWriter nimbr_;
  std::optional<SharedMem::OwnerFile> owner_;
  bool writerInitialized_ = false;
  Pokt::WriterPoktSm pokt_{handler_};
  bool attached_ = false;
  U32 scratchpad_ = 0;
  std::function<void(bool)> quiescedCallback_;
  Quiv::String lastError_;
  std::unique_ptr<Bloka::WriterAllocator> slabs_;
  ValueSource source_{};

 private:
  void takeOwnerLock();
};

template <class OpsT>
class ZolmWriter : public ZolmInterface<OpsT>, public ZolmWriterBase {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using Keys = ZolmCore::TypedKeys<Ops>;
  using Dyn = std::conditional_t<Ops::dynamic, DynamicSlotAllocator<Key, Value>, void>;
  static constexpr bool kNimbr = (Ops::headerFlags & SlotHeaderCommon::FLAG_NOTIFY) != 0;

  ZolmWriter(Quiv::DebugHandler* handler, std::string_view tablePath, WriterConfig const& config)
      : ZolmWriterBase(handler, tablePath, config, Ops::keyOps()) {
    if constexpr (Ops::dynamic) {
      static_assert(sizeof(Value) <= ZolmCore::ErasedKeys::MAX_RESOLVED);
      slabsAre(Dyn::Writer::makeAllocator(slabs_, handler, name_, rootPath_, config.local),
               ValueSource{this, &loadStored});
    }
  }

  bool initialize(std::string_view event = "none") override {
    bool ok = ZolmWriterBase::initialize(event);
    this->initializedIs(writerInitialized_);
    return ok;
  }
  void detach(bool force = false) override {
    ZolmWriterBase::detach(force);
    this->initializedIs(false);
  }
  void cleanup() override {
    ZolmWriterBase::cleanup();
    this->initializedIs(false);
  }
  void removeFiles() {
    ZolmWriterBase::removeFiles();
    this->initializedIs(false);
  }
  using ZolmWriterBase::validate;
  bool validate() override { return ZolmWriterBase::validate(); }
  bool validateFiles() override { return ZolmWriterBase::validateFiles(); }

  // --- operations -------------------------------------------------------------
  // Inserts `value`, or updates its key's entry when `overwrite`. Returns
  // the stored value's place in the slot file (null for a slab-stored
  // value: the slot holds its offset).
  Value const* write(Value const& value, bool overwrite = true) override {
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when writing value:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(value));
    Keys keys = typedKeys();
    Key key = Ops::keyOf(value);
    U32 h = keys.hashOf(key);
    U32 b = hashMap_.bucketOf(h);
    CriticalSection cs(slotTable_, name_);
    U64* prev;
    U64* curr;
    if (hashMap_.find(keys, key, b, prev, curr, h)) {
      U32 id = SlotLink::target(*prev);
      fmtrace(handler_, 9, "existing {} bucket:{} slot:{} next:{}", Zolm::show(key), b, id,
              slotTable_.slot(id)->next());
      if (overwrite) {
        reserveValue(value);
        storeValue(id, value);
        ++counters_.updates;
        notify(id);
      }
      return storedAt(id);
    }
    // W3 and C1: a slab-stored value's entry is reserved (its slab
    // attached or grown) and the slot too (insertSlot) before the first
    // change a reader can see; storing then only fills memory already there.
    reserveValue(value);
    U32 id = insertSlot(&value, h, b, prev);
    storeValue(id, value);
    publish(id, prev);
    notify(id);
    return storedAt(id);
  }

  // Removes `key`; its value is copied to `previous`.
  bool remove(Key const& key, Value* previous = nullptr) override {
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when removing key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    Keys keys = typedKeys();
    U32 h = keys.hashOf(key);
    U32 b = hashMap_.bucketOf(h);
    CriticalSection cs(slotTable_, name_);
    U64* prev;
    U64* curr;
    if (!hashMap_.find(keys, key, b, prev, curr, h)) return false;
    U32 id = SlotLink::target(*prev);
    if (previous) *previous = valueIn(id);
    removeSlot(id, prev);
    return true;
  }

  bool lookup(Key const& key, Value& out) const {
    IterHint hint;
    return hashMap_.lookup(typedKeys(), key, out, hint);
  }
  bool lookup(Key const& key, Value& out, IterHint& hint) const override {
    return hashMap_.lookup(typedKeys(), key, out, hint);
  }
  // n lookups at once, each what lookup() gives (WriterHashMap::lookupBatch
  // fetches their lines ahead). A miss leaves the default value.
  U32 lookupBatch(Key const* keys, U32 n, Value* outs, bool* found) const override {
    constexpr U32 B = ZolmCore::WriterHashMap::BATCH;
    Keys const k = typedKeys();
    U32 hits = 0;
    for (U32 at = 0; at < n; at += B) {
      U32 const m = std::min(B, n - at);
      Key ks[B];  // the caller's keys may live inside outs
      std::copy(keys + at, keys + at + m, ks);
      hits += hashMap_.lookupBatch(k, ks, m, outs + at, found + at);
      for (U32 i = 0; i < m; ++i)
        if (!found[at + i]) outs[at + i] = Ops::defaultValue();
    }
    return hits;
  }
  bool first(Value& out, IterHint& hint) const override { return hashMap_.first(typedKeys(), out, hint); }
  bool next(Key const& key, Value& out, IterHint& hint) const override {
    return hashMap_.next(typedKeys(), key, out, hint);
  }

  // --- writing in place ---------------------------------------------------------
  // Between a direct operation and its commit the caller fills the value in
  // shared memory and nothing else may write: an occupied slot's new value
  // is staged in the header's critical-section image, which one change at a
  // time owns. A new key's slot is taken at once but linked only at commit,
  // so readers never reach a half-filled value.

  // Starts writing `value`'s entry in place; returns where its value lives
  // (initialised from `value`) until directCommit.
  Value* directWrite(Value const& value) override {
    if constexpr (Ops::dynamic) noDirect();
    Key key = Ops::keyOf(value);
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    Keys keys = typedKeys();
    U32 h = keys.hashOf(key);
    U32 b = hashMap_.bucketOf(h);
    CriticalSection cs(slotTable_, name_);
    U64* prev;
    U64* curr;
    bool found = hashMap_.find(keys, key, b, prev, curr, h);
    Value* v = std::launder(static_cast<Value*>(directWriteStart(&value, found, h, b, prev)));
    // A new key's slot is taken but not linked until the commit: the
    // section stays open so that a writer dying meanwhile leaves it set.
    if (!found) cs.keepOpen();
    return v;
  }

  // Starts changing `key`'s entry in place; null when the key is absent.
  // The returned value starts as the stored one.
  Value* directUpdate(Key const& key) override {
    if constexpr (Ops::dynamic) noDirect();
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    Keys keys = typedKeys();
    U32 h = keys.hashOf(key);
    U32 b = hashMap_.bucketOf(h);
    CriticalSection cs(slotTable_, name_);
    U64* prev;
    U64* curr;
    if (!hashMap_.find(keys, key, b, prev, curr, h)) return nullptr;
    return std::launder(static_cast<Value*>(directUpdateStart(SlotLink::target(*prev))));
  }
  void directCommit() override { ZolmWriterBase::directCommit(); }

  // --- accessors ----------------------------------------------------------------
  U32 members() const override { return ZolmWriterBase::members(); }
  U32 capacity() const override { return ZolmWriterBase::capacity(); }
  U32 buckets() const override { return ZolmWriterBase::buckets(); }
  U32 maxSize() const override { return ZolmWriterBase::maxSize(); }
  U32 minSize() const override { return ZolmWriterBase::minSize(); }
  ZolmType type() const override { return ZolmType::writer; }
  SharedMem::FenixId fenixId() const override { return ZolmWriterBase::fenixId(); }
  U64 sequence() const override { return ZolmWriterBase::sequence(); }
  Mem::MountStatus mountStatus() const override { return ZolmWriterBase::mountStatus(); }
  bool quiesced() const override { return ZolmWriterBase::quiesced(); }
  bool clientQuiesced(std::string_view readerName) const override {
    return ZolmWriterBase::clientQuiesced(readerName);
  }
  Writer::Counters writerCounters() const override { return ZolmWriterBase::writerCounters(); }
  void notifyingIs(bool on) override { ZolmWriterBase::notifyingIs(on); }
  void yieldTimeIs(double seconds) override { ZolmWriterBase::yieldTimeIs(seconds); }
  bool connected() const override { return ZolmWriterBase::connected(); }
  Mem::RootPath const& rootPath() const override { return ZolmWriterBase::rootPath(); }
  std::string const& zolmName() const override { return ZolmWriterBase::zolmName(); }
  bool criticalTaskCheck() const override { return ZolmWriterBase::criticalTaskCheck(); }
  void criticalTaskCheckIs(bool v) override { ZolmWriterBase::criticalTaskCheckIs(v); }
  U32 scratchpad() const override { return ZolmWriterBase::scratchpad(); }
  void scratchpadIs(U32 v) override { ZolmWriterBase::scratchpadIs(v); }
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    return ZolmWriterBase::validateVersionAnchor(a);
  }
  // The key operations with this table's seed.
  Ops ops() const { return Ops{seed_}; }
  // The value stored in slot `id` (decoded from its slab entry when
  // slab-stored).
  Value valueIn(U32 id) const {
    if constexpr (Ops::dynamic) return dyn().getValue(Dyn::offsetIn(slotTable_.slot(id)));
    else return SlotSpan::valueOf<Value>(slotTable_.slot(id));
  }

 private:
  Keys typedKeys() const { return Keys{Ops{seed_}, source_}; }
  auto dyn() const
    requires Ops::dynamic
  {
    return typename Dyn::Writer(*slabs_, const_cast<SlotWriterTable&>(slotTable_));
  }
  static void loadStored(void const* ctx, void const* stored, void* out)
    requires Ops::dynamic
  {
    auto const* w = static_cast<ZolmWriter const*>(ctx);
    U32 raw;
    std::memcpy(&raw, stored, sizeof raw);
    Value v = w->dyn().getValue(Bloka::Offset(raw));
    std::memcpy(out, static_cast<void const*>(&v), sizeof v);
  }
  [[noreturn]] void noDirect() const {
    fmthrow(Quiv::NoPermissionException, "direct writes of {} are not supported: its values live in slabs", name_);
  }
  // Room for a slab-stored value in its slab; nothing for one stored in
  // the slot.
  void reserveValue(Value const& v) {
    if constexpr (Ops::dynamic) dyn().reserve(v);
  }
  void storeValue(U32 id, Value const& v) {
    if constexpr (Ops::dynamic) dyn().setValue(id, v);
    else slotTable_.writeValue(id, v);
  }
  // What write() returns: the value's place in the slot file, null when
  // the slot holds a slab offset.
  Value const* storedAt(U32 id) const {
    if constexpr (Ops::dynamic) return nullptr;
    else return valueAtT(id);
  }
  Value const* valueAtT(U32 id) const { return &SlotSpan::valueRef<Value>(slotTable_.slot(id)); }
};

// The private table a collection has before it is mounted: a local writer
// of requested size 100 tracing through the handler "ZolmTemp".
template <class Ops>
std::unique_ptr<ZolmInterface<Ops>> createDefaultLocalWriter(std::string_view name,
                                                             Quiv::DebugHandler* handler = nullptr) {
  if (!handler) handler = Quiv::Platform::getDebugHandler("ZolmTemp");
  fmtrace(handler, 1, "creating local ZolmWriter {}", name);
  WriterConfig config;
  config.local = true;
  config.maxSlots = 100;
  auto w = std::make_unique<ZolmWriter<Ops>>(handler, name, config);
  w->initialize("none");
  return w;
}

}  // namespace Zolm
