#pragma once
// The writer of one table: the only process that changes the table's
// files. It attaches to them (or re-formats them), inserts, updates and
// removes entries while readers in other processes read the same memory
// without locks, publishes a notification for every changed slot, and
// shrinks the slot table when it has become mostly empty. A local writer
// does the same in process memory, with no files and no lock.
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "ZolmCore/WriterHashMap.h"
#include "ZolmCore/Ops.h"
#include "Zolm/SlotWriter.h"
#include "Zolm/Validator.h"
#include "Zolm/ZolmInterface.h"
#include "runtime/Nimbr.h"
#include "runtime/Pokt.h"
#include "runtime/SharedMem.h"
#include "runtime/Tasks.h"

namespace Zolm {

struct WriterConfig {
  bool local = false;
  U32 maxSlots = 100;          // the requested table size
  bool fixedSize = false;
  bool shrinkSlots = true;
  bool shrinkBuckets = true;
  bool criticalTaskCheck = false;
};

// Incarnations of writers in this process (the high half of new fenix ids).
U16 nextIncarnation();

// Left in a table's directory when corruption was reported, so that people
// and tools see it; the next writer that attaches soundly removes it.
inline constexpr std::string_view CORRUPTION_MARKER = "corruption-detected";
// Writes the marker with the report's text (best effort: a report must not
// fail for want of a file).
void markCorruptionDetected(Mem::RootPath const& root, std::string_view msg);

template <class OpsT>
class ZolmWriter : public ZolmInterface<OpsT>, public Nimbr::NimbrNotifiee {
 public:
  using Ops = OpsT;
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  using SlotTableT = SlotWriterTable<Ops>;
  using HashMap = ZolmCore::WriterHashMap<ZolmWriter>;
  static constexpr U32 NO_SLOT = 0xFFFFFFFFu;
  static constexpr bool kNimbr = (Ops::headerFlags & SlotHeaderCommon::FLAG_NOTIFY) != 0;

  ZolmWriter(Quiv::DebugHandler* handler, std::string_view tablePath, WriterConfig const& config)
      : handler_(handler),
        rootPath_(handler, tablePath),
        name_(tablePath),
        config_(config),
        slotTable_(handler, name_, &ops_, rootPath_, config.local, config.maxSlots, config.fixedSize,
                   config.shrinkSlots, &counters_),
        hashMap_(handler, rootPath_, config.local, *this, config.shrinkBuckets),
        nimbr_(handler, rootPath_, config.local),
        criticalTaskCheck_(config.criticalTaskCheck) {
    nimbr_.notifieeIs(this);
  }
  ~ZolmWriter() override {
    if (attached_) detach(true);
  }

  bool initialize(std::string_view event = "none") override {
    if (!config_.local && !Mem::Atomics::checkCpuSupport())
      fmthrow(Quiv::InvalidInitializeException, "Hardware does not support Atomics");
    if (!initialized_) {
      attach();
      initialized_ = true;
      this->initializedIs(true);
      fmtrace(handler_, 5, "initialized {}", event);
    }
    return true;
  }

  // --- lifecycle ------------------------------------------------------------
  void attach() {
    fmtrace(handler_, 1, "localMem_:{} rootPath:{}", config_.local, rootPath_.dirName());
    bool ownerValid = true;
    if (!config_.local) {
      takeOwnerLock();
      // Followers find the wake-up socket through the owner file.
      pokt_.listen(name_);
      SharedMem::FenixFile fenix(rootPath_);
      fenixId_ = fenix.read();
      if (fenixId_.isNull()) fenixId_ = SharedMem::FenixId(static_cast<U32>(::getpid()), nextIncarnation());
      Quiv::String error;
      if (!owner_->validate(error)) {
        fmtrace(handler_, 1, "owner file validation failed, dumping owner file string: {}", owner_->toString());
        ownerValid = false;
      }
      owner_->typeNameIs(Ops::typeName());
      owner_->shmTypeIs(1);
    } else {
      fenixId_ = SharedMem::FenixId(static_cast<U32>(::getpid()), 0);
    }
    if (!attachAndValidate(!ownerValid)) {
      bool ok = attachAndValidate(true);
      fmassert(ok, "ZolmWriter", "failed to attach to and validate new files");
    }
    if (!config_.local) {
      rootPath_.removeFile(CORRUPTION_MARKER);
      SharedMem::FenixFile(rootPath_).write(fenixId_);
      // Last: a follower that finds the socket finds the table complete,
      // under the fenix id it was formatted with.
      owner_->shocketInfoIs({Quiv::String(pokt_.socketName()), pokt_.tableId()});
      Quiv::String error;
      fmassert(owner_->validate(error), "ZolmWriter", "wrote to owner file but validation failed: {}", error);
    }
    fmtrace(handler_, 1, "success {} capacity:{} fenixId:{} mtime:{} shocketInfo:{}", rootPath_.dirName(), capacity(),
            fenixId_, config_.local ? 0 : SharedMem::FenixFile(rootPath_).mtime(),
            owner_ ? owner_->shocketInfo().toString() : std::string("none"));
  }

  bool attachAndValidate(bool reformat) {
    if (reformat) {
      fmtrace(handler_, 1, "all entries from {} will be lost", rootPath_.dirName());
      fenixId_ = fenixId_.incarnationInc();
      attachParts(true);
      if (!validate(fenixId_.value(), false)) fmthrow(Quiv::InvalidInitializeException, "failed validation");
    } else {
      if (!attachParts(false)) {
        fmtrace(handler_, 0, "failed to attach to existing files");
        fmtracestr(handler_, 0, dumpHeaders());
        return false;
      }
      if (!validate(fenixId_.value(), false)) {
        fmtrace(handler_, 0, "failed to validate existing files");
        fmtracestr(handler_, 0, dumpHeaders());
        return false;
      }
    }
    attached_ = true;
    if (reformat) fmtrace(handler_, 1, "re-formatted successfully");
    return true;
  }

  // Attaches slot table, buckets and queue. Without `reformat` each keeps
  // its existing file when that file is sound; a mix of kept and new files
  // cannot describe one table, so it counts as a failure.
  bool attachParts(bool reformat) {
    U32 fenix = fenixId_.value();
    bool slotsOk = slotTable_.attach(fenix, reformat);
    fmtrace(handler_, 5, "slotsAttached:{}", slotsOk);
    fmassert(slotsOk, "ZolmWriter", "Invalid slot attach");
    bool slotsKept = slotTable_.kept();
    // An existing slot file that could not be kept held entries: that is a
    // re-format, and it must be announced and start a new incarnation so
    // that readers drop what they knew. Only a missing file is a new table.
    if (!reformat && !slotsKept && slotTable_.existed()) return false;
    bool mapKept = hashMap_.attach(fenix, reformat || !slotsKept);
    fmtrace(handler_, 5, "mapAttached:{}", true);
    bool nimbrKept = true;
    // The queue's position map covers the requested size from the start,
    // so that a table growing up to it never re-formats its queue.
    U32 coverage = std::max(slotTable_.header()->maxNumSlots, slotTable_.maxSlots());
    if (kNimbr) nimbrKept = nimbr_.attach(fenix, coverage, reformat || !slotsKept);
    fmtrace(handler_, 5, "nimbrAttached:{}", true);
    if (reformat || !slotsKept) return true;
    return mapKept && nimbrKept;
  }

  void detach(bool force = false) override {
    (void)force;
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are properly paired!",
             directSlot_, directValueText());
    if (owner_ && Mem::WriterLock::ownerIsMe(*owner_)) {
      fmtrace(handler_, 5, "clearing shocketInfo");
      try {
        owner_->shocketInfoIs({});
      } catch (Quiv::Exception const& e) {
        fmtrace(handler_, 1, "ignoring owner file corruption:{}", e.msg());
      }
    }
    slotTable_.detach();
    hashMap_.detach();
    nimbr_.detach();
    pokt_.close();
    if (owner_) {
      Mem::WriterLock::releaseWriterLock(*owner_);
      owner_.reset();
    }
    initialized_ = false;
    this->initializedIs(false);
    attached_ = false;
    fmtrace(handler_, 1, "owner:{} localMem_:{} rootPath:{}", ::getpid(), config_.local, rootPath_.dirName());
  }

  void cleanup() override {
    if (!config_.local && !owner_) {
      takeOwnerLock();
      Quiv::String error;
      if (!owner_->validate(error))
        fmtrace(handler_, 1, "owner file corruption detected but continuing with cleanup, dumped owner file: {}",
                owner_->toString());
    }
    removeFiles();
  }

  void removeFiles() {
    fmtrace(handler_, 3, "removing Zolm files in {}", rootPath_.dirName());
    if (!config_.local) rootPath_.removeFile(CORRUPTION_MARKER);
    nimbr_.cleanup();
    hashMap_.bucketWriter().cleanup();
    slotTable_.removeFile();
    if (!config_.local) {
      rootPath_.removeFile(SharedMem::FenixFile::FENIX_NAME);
      rootPath_.removeFile("clone-control");
      rootPath_.removeFile(SharedMem::OwnerFile::FILENAME);
    }
    if (owner_) {
      Mem::WriterLock::releaseWriterLock(*owner_);
      owner_.reset();
    }
    attached_ = false;
    initialized_ = false;
    this->initializedIs(false);
  }

  bool validate(U32 fenixId, bool strict = false) {
    (void)strict;
    Validator<ZolmWriter> v(handler_, *this);
    if (!v.validate(fenixId)) {
      lastError_ = v.error();
      fmtrace(handler_, 0, "SlotTable::Header {}", slotTable_.headerString());
      return false;
    }
    if (owner_) {
      Quiv::String error;
      if (!owner_->validate(error)) {
        lastError_ = error;
        return false;
      }
    }
    lastError_ = Quiv::String();
    return true;
  }
  bool validate() override { return validate(fenixId_.value(), false); }

  // Checks every file's header against this writer's incarnation without
  // walking the chains: slots, buckets, queue, fenix and owner files.
  bool validateFiles() override {
    Quiv::String error;
    bool ok = attached_;
    if (!ok) error = "not attached";
    if (ok && !config_.local) {
      U32 fenix = fenixId_.value();
      ok = SlotTable::validateHeader(handler_, *slotTable_.header(), slotTable_.mappedSize(), fenix, Ops::slotSize,
                                     Ops::valueSize, Ops::typeName(), error) &&
           hashMap_.bucketWriter().validate(fenix, error) &&
           (!kNimbr || nimbr_.validate(slotTable_.header()->maxNumSlots, error)) &&
           SharedMem::FenixFile(rootPath_).validate(fenixId_, error) && (!owner_ || owner_->validate(error));
    }
    if (!ok) {
      lastError_ = error;
      fmtrace(handler_, 0, "file validation failed for {}: {}", rootPath_.dirName(), error);
      return false;
    }
    if (!config_.local) rootPath_.removeFile(CORRUPTION_MARKER);
    return true;
  }

  // --- operations -------------------------------------------------------------
  // Inserts `value`, or updates its key's entry when `overwrite`. Returns
  // the stored value's place in the slot file.
  Value const* write(Value const& value, bool overwrite = true) override {
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when writing value:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(value));
    Key key = Ops::keyOf(value);
    U32 h = ops_.hash(key);
    U32 b = hashMap_.bucketOf(h);
    enterCritical();
    U64* prev;
    U64* curr;
    if (hashMap_.find(key, b, prev, curr, h)) {
      U32 id = SlotLink::target(*prev);
      fmtrace(handler_, 9, "existing {} bucket:{} slot:{} next:{}", Zolm::show(key), b, id, slotTable_.slot(id)->next());
      if (overwrite) {
        slotTable_.writeValue(id, value);
        ++counters_.updates;
        notify(id);
      }
      leaveCritical();
      return valueAt(id);
    }
    U32 id = insertSlot(key, h, b, prev);
    slotTable_.writeValue(id, value);
    publish(id, prev);
    notify(id);
    leaveCritical();
    return valueAt(id);
  }

  // Removes `key`; its value is copied to `previous`.
  bool remove(Key const& key, Value* previous = nullptr) override {
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when removing key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    U32 h = ops_.hash(key);
    U32 b = hashMap_.bucketOf(h);
    enterCritical();
    U64* prev;
    U64* curr;
    if (!hashMap_.find(key, b, prev, curr, h)) {
      leaveCritical();
      return false;
    }
    U32 id = SlotLink::target(*prev);
    SlotPrefix* s = slotTable_.slot(id);
    if (previous) *previous = slotTable_.valueOf(s);
    SlotLink::store(prev, SlotLink::next(*prev, s->next()));
    slotTable_.clearOccupied(id);
    SlotHeaderCommon* hdr = slotTable_.header();
    SlotLink::store(&s->link, SlotLink::next(s->link, hdr->freeList));
    hdr->freeList = id;
    Mem::store32(&hdr->occupiedSlots, hdr->occupiedSlots - 1);
    ++counters_.removes;
    U32 st = slotTable_.shrinkThreshold();
    U32 hint = st && hdr->occupiedSlots < st / 2 ? st : 0;
    notify(id);
    doMaybeShrinkSlots(hint);
    if (hashMap_.shrinkBucketsEnabled() && slotTable_.header()->occupiedSlots < hashMap_.shrinkThreshold())
      hashMap_.shrinkBuckets();
    leaveCritical();
    return true;
  }

  bool lookup(Key const& key, Value& out) const {
    IterHint hint;
    return hashMap_.lookup(key, out, hint);
  }
  bool lookup(Key const& key, Value& out, IterHint& hint) const override { return hashMap_.lookup(key, out, hint); }
  bool first(Value& out, IterHint& hint) const override { return hashMap_.first(out, hint); }
  bool next(Key const& key, Value& out, IterHint& hint) const override { return hashMap_.next(key, out, hint); }

  // --- writing in place ---------------------------------------------------------
  // Between a direct operation and its commit the caller fills the value in
  // shared memory and nothing else may write: an occupied slot's new value
  // is staged in the header's critical-section image, which one change at a
  // time owns. A new key's slot is taken at once but linked only at commit,
  // so readers never reach a half-filled value.

  // Starts writing `value`'s entry in place; returns where its value lives
  // (initialised from `value`) until directCommit.
  Value* directWrite(Value const& value) override {
    Key key = Ops::keyOf(value);
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    U32 h = ops_.hash(key);
    U32 b = hashMap_.bucketOf(h);
    enterCritical();
    U64* prev;
    U64* curr;
    bool found = hashMap_.find(key, b, prev, curr, h);
    U32 id;
    if (found) {
      id = SlotLink::target(*prev);
    } else {
      id = insertSlot(key, h, b, prev);
      directPrevBucket_ = prev == hashMap_.bucketWord(b) ? b : NO_SLOT;
      directPrevOff_ = directPrevBucket_ == NO_SLOT ? slotTable_.offsetOf(prev) : 0;
    }
    fmtrace(handler_, 9, "{}{} bucket:{} slot:{} next:{}", found ? " existing " : " new ", Zolm::show(key), b, id,
            slotTable_.slot(id)->next());
    directSlot_ = id;
    directNew_ = !found;
    Value* target = directTarget(id);
    std::memcpy(static_cast<void*>(target), &value, Ops::valueSize);
    if (!found) Mem::store32(&slotTable_.slot(id)->runtimeFlags, slotTable_.slot(id)->runtimeFlags | SLOT_OCCUPIED);
    return target;
  }

  // Starts changing `key`'s entry in place; null when the key is absent.
  // The returned value starts as the stored one.
  Value* directUpdate(Key const& key) override {
    fmassert(directSlot_ == NO_SLOT, "ZolmWriter",
             "unbalanced directSlot:{} containing value:{} when modifying key:{} - Make sure the DirectIs/Commit are "
             "properly paired!",
             directSlot_, directValueText(), Zolm::show(key));
    U32 h = ops_.hash(key);
    U32 b = hashMap_.bucketOf(h);
    enterCritical();
    U64* prev;
    U64* curr;
    if (!hashMap_.find(key, b, prev, curr, h)) {
      leaveCritical();
      return nullptr;
    }
    U32 id = SlotLink::target(*prev);
    directSlot_ = id;
    directNew_ = false;
    ++counters_.directUpdates;
    Value* target = directTarget(id);
    if (target != &slotTable_.valueRef(slotTable_.slot(id)))
      std::memcpy(static_cast<void*>(target), &slotTable_.valueRef(slotTable_.slot(id)), Ops::valueSize);
    // Nothing shared is inconsistent until the commit, so a crash here
    // leaves a sound table.
    leaveCritical();
    return target;
  }

  // Publishes the value filled in since directWrite/directUpdate.
  void directCommit() override {
    fmassert(directSlot_ != NO_SLOT, "ZolmWriter",
             "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    U32 id = directSlot_;
    enterCriticalIfOutside();
    if (directNew_) {
      U64* prev = directPrevBucket_ != NO_SLOT ? hashMap_.bucketWord(directPrevBucket_) : slotTable_.linkAt(directPrevOff_);
      publish(id, prev);
    } else {
      slotTable_.commitImage(id);
    }
    ++counters_.directCommits;
    notify(id);
    leaveCritical();
    directSlot_ = NO_SLOT;
    directNew_ = false;
  }
  bool directOpen() const { return directSlot_ != NO_SLOT; }

  // Moves entries out of the upper part of the slot table and shrinks it,
  // when occupancy fell below half of `threshold` (0: nothing to do).
  void doMaybeShrinkSlots(U32 threshold) {
    if (threshold == 0) return;
    if (kNimbr && nimbr_.shrinkInProgress()) {
      fmtrace(handler_, 2, "shrink started, ignoring shrinkThreshold:{}", threshold);
      nimbr_.shrinkPendingIs(threshold);
      return;
    }
    SlotHeaderCommon* hdr = slotTable_.header();
    U32 occ = hdr->occupiedSlots;
    U32 target = std::max(occ ? 4 * largestPowerOfTwoAtMost(occ) : 0u, slotTable_.minSlots());
    fmtrace(handler_, 2, "threshold:{} shrinkThreshold:{}{}", target, threshold,
            target < threshold ? " SUPER SHRINK!" : "");
    if (target >= slotTable_.numSlots()) return;
    slotTable_.purgeFreeSlots(target);
    if (kNimbr) nimbr_.markShrinkStart();
    Quiv::CriticalTaskTimer timer(criticalTaskCheck_);
    U32 n = slotTable_.numSlots();
    for (U32 from = target; from < n; ++from) {
      SlotPrefix* s = slotTable_.slot(from);
      if (!(s->runtimeFlags & SLOT_OCCUPIED)) {
        fmtrace(handler_, 9, "skipping not occupied slot:{}", from);
        continue;
      }
      Key key = Ops::keyOf(slotTable_.valueRef(s));
      U32 h = ops_.hash(key);
      U64* prev;
      U64* curr;
      if (!hashMap_.find(key, hashMap_.bucketOf(h), prev, curr, h))
        fmthrow(Quiv::CorruptionDetectedException, "fromSlot:{} key not found", from);
      if (SlotLink::target(*prev) != from) fmthrow(Quiv::CorruptionDetectedException, "fromSlot:{} not referenced", from);
      U32 to = slotTable_.move(from);
      fmtrace(handler_, 7, "moving fromSlot:{} toSlot:{}", from, to);
      SlotLink::store(prev, SlotLink::next(*prev, to));
      ++counters_.moves;
      notify(to);
      if (kNimbr) {
        U32 pos = nimbr_.slotPos(from);
        if (pos != Nimbr::NimbrWriter::NONE) nimbr_.tombstone(pos);
      }
      slotTable_.clearOccupied(from);
      notify(from);
      timer.tick();
    }
    if (kNimbr) nimbr_.markShrinkEnd();
    slotTable_.shrink(target);
    fmtrace(handler_, 2, "at threshold:{} done", target);
  }

  // From the queue: a postponed shrink may run now.
  void shrink(U32 threshold) override {
    if (!enterCriticalIfOutside()) return;
    U32 st = slotTable_.shrinkThreshold();
    if (st && slotTable_.header()->occupiedSlots < st / 2) doMaybeShrinkSlots(threshold);
    leaveCritical();
  }
  void handleQuiesced(bool quiesced) override {
    fmassert(bool(quiescedCallback_), "ZolmWriter", "no quiesced callback for {}", name_);
    quiescedCallback_(quiesced);
  }
  void quiescedCallbackIs(std::function<void(bool)> cb) { quiescedCallback_ = std::move(cb); }

  std::string dumpHeaders() const {
    std::string s = fmt::format("Zolm table \"{}\"\n\n\n{}\n\n{}\n\n", rootPath_.dirName(), slotTable_.headerString(),
                                hashMap_.bucketWriter().toString());
    if (kNimbr) s += nimbr_.toString() + "\n\n";
    if (owner_) s += fmt::format("owner file: {}", owner_->toString());
    return s;
  }

  // --- accessors ----------------------------------------------------------------
  U32 members() const override { return slotTable_.header() ? slotTable_.header()->occupiedSlots : 0; }
  U32 capacity() const override { return slotTable_.capacity(); }
  U32 buckets() const override { return hashMap_.buckets(); }
  U32 maxSize() const override { return slotTable_.maxSlots(); }
  U32 minSize() const override { return slotTable_.minSlots(); }
  ZolmType type() const override { return ZolmType::writer; }
  SharedMem::FenixId fenixId() const override { return fenixId_; }
  U64 sequence() const override { return counters_.sequence; }
  Mem::MountStatus mountStatus() const override { return initialized_ ? Mem::mounted : Mem::notMounted; }
  bool quiesced() const override { return !kNimbr || nimbr_.quiesced(); }
  // The queue keeps no per-reader state, so a named reader is quiesced when
  // the queue is.
  bool clientQuiesced(std::string_view readerName) const override { return !readerName.empty() && quiesced(); }
  Writer::Counters writerCounters() const override { return counters_; }
  void notifyingIs(bool on) override { pokt_.notifyingIs(on); }
  void yieldTimeIs(double seconds) override { pokt_.yieldTimeIs(seconds); }
  bool connected() const override { return pokt_.connections() > 0; }
  // Wake-ups of followers; give it the process's event loop so that arms
  // are answered while the writer is idle.
  Pokt::WriterPoktSm& pokt() { return pokt_; }
  Writer::Counters& counters() { return counters_; }
  Mem::RootPath const& rootPath() const override { return rootPath_; }
  std::string const& zolmName() const override { return name_; }
  bool criticalTaskCheck() const override { return criticalTaskCheck_; }
  void criticalTaskCheckIs(bool v) override { criticalTaskCheck_ = v; }
  U32 scratchpad() const override { return scratchpad_; }
  void scratchpadIs(U32 v) override { scratchpad_ = v; }
  // The writer is the only one changing its slots: an anchor taken from
  // one of them is current while the slot's runtimeFlags are unchanged.
  bool validateVersionAnchor(Mem::VersionAnchor const& a) const override {
    if (!a.valid()) return true;
    if (a.base != slotTable_.header() || a.offset + 4 > slotTable_.mappedSize()) return false;
    U32 const* word = reinterpret_cast<U32 const*>(static_cast<char const*>(a.base) + a.offset);
    return Mem::load32(word) == a.version;
  }
  Quiv::String const& lastError() const { return lastError_; }

  SlotTableT& slotTable() { return slotTable_; }
  SlotTableT const& slotTable() const { return slotTable_; }
  HashMap& hashMap() { return hashMap_; }
  Nimbr::NimbrWriter& nimbr() { return nimbr_; }
  bool hasNimbr() const { return kNimbr; }
  Ops& ops() { return ops_; }
  Ops const& ops() const { return ops_; }

 private:
  void enterCritical() {
    fmassert(slotTable_.enterCritical(), "ZolmWriter", "Zolm reentrancy detected: {}", name_);
  }
  bool enterCriticalIfOutside() { return slotTable_.enterCritical(); }
  void takeOwnerLock() {
    owner_.emplace(rootPath_);
    owner_->lock();
    Mem::WriterLock::acquireWriterLock(*owner_, name_);
  }
  void leaveCritical() { slotTable_.leaveCritical(); }

  // Takes a free slot for a new key and links nothing yet. `prev` is
  // re-derived when the slot file moved while growing.
  U32 insertSlot(Key const& key, U32 h, U32 b, U64*& prev) {
    bool prevIsBucket = prev == hashMap_.bucketWord(b);
    U64 prevOff = prevIsBucket ? 0 : slotTable_.offsetOf(prev);
    U32 before = slotTable_.capacity();
    U32 id;
    try {
      id = slotTable_.alloc();
    } catch (Quiv::MemoryResourceException const&) {
      // Nothing shared changed yet: the table stays as it was.
      leaveCritical();
      throw;
    }
    if (kNimbr && slotTable_.capacity() != before) nimbr_.ensureCapacity(slotTable_.header()->maxNumSlots);
    prev = prevIsBucket ? hashMap_.bucketWord(b) : slotTable_.linkAt(prevOff);
    SlotPrefix* s = slotTable_.slot(id);
    s->rhash = HashMap::rhashOf(h);
    SlotHeaderCommon* hdr = slotTable_.header();
    Mem::store32(&hdr->occupiedSlots, hdr->occupiedSlots + 1);
    hdr->maxOccupiedSlots = std::max(hdr->maxOccupiedSlots, hdr->occupiedSlots);
    ++counters_.inserts;
    SlotLink::store(&s->link, SlotLink::next(s->link, SlotLink::target(*prev)));
    fmtrace(handler_, 9, "new {} bucket:{} slot:{} next:{}", Zolm::show(key), b, id, s->next());
    return id;
  }
  // Makes a new slot visible: one store into its predecessor's link.
  void publish(U32 id, U64* prev) {
    SlotLink::store(prev, SlotLink::next(*prev, id));
    if (slotTable_.header()->occupiedSlots > hashMap_.buckets()) hashMap_.growBuckets();
  }
  void notify(U32 slot) {
    ++counters_.sequence;
    if (!kNimbr) return;
    nimbr_.notify(slot, 0);
    ++counters_.notifications;
    pokt_.notify(nimbr_.tailSeq());
  }
  Value const* valueAt(U32 id) const { return &slotTable_.valueRef(slotTable_.slot(id)); }
  // Where a direct operation's value is filled: the image for an entry that
  // readers can see, the slot itself for one they cannot yet.
  Value* directTarget(U32 id) {
    SlotPrefix* s = slotTable_.slot(id);
    SlotPrefix* where = (s->runtimeFlags & SLOT_OCCUPIED) ? slotTable_.image() : s;
    return std::launder(reinterpret_cast<Value*>(SlotTableT::valuePtr(where)));
  }
  std::string directValueText() const {
    if (directSlot_ == NO_SLOT || !slotTable_.attached()) return "none";
    return Zolm::show(*valueAt(directSlot_));
  }

  Quiv::DebugHandler* handler_;
  Mem::RootPath rootPath_;
  std::string name_;
  WriterConfig config_;
  SharedMem::FenixId fenixId_;
  U32 directSlot_ = NO_SLOT;
  bool directNew_ = false;
  U32 directPrevBucket_ = NO_SLOT;  // the new entry's predecessor: a bucket word
  U64 directPrevOff_ = 0;           // or a slot link at this offset
  Writer::Counters counters_;
  Ops ops_;
  SlotTableT slotTable_;
  HashMap hashMap_;
  Nimbr::NimbrWriter nimbr_;
  std::optional<SharedMem::OwnerFile> owner_;
  bool initialized_ = false;
  Pokt::WriterPoktSm pokt_{handler_};
  bool attached_ = false;
  bool criticalTaskCheck_;
  U32 scratchpad_ = 0;
  std::function<void(bool)> quiescedCallback_;
  Quiv::String lastError_;
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
