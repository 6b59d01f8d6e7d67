#include "VexaSwitchLib/Zolm/ZolmWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "VexaSwitchLib/Zolm/Validator.h"
#include "VexaSwitchLib/runtime/Tasks.h"

namespace Zolm {

namespace {
Bloka::Offset DynOffset(SlotPrefix const* s) {
  U32 raw;
  std::memcpy(&raw, SlotSpan::valuePtr(s), sizeof raw);
  return Bloka::Offset(raw);
}
}  // namespace

U16 nextIncarnation() {
  static std::atomic<U16> counter{1};
  U16 v = counter.fetch_add(1);
  return v ? v : counter.fetch_add(1);
}

bool markCorruptionDetected(Mem::RootPath const& root, std::string_view msg) {
  try {
    std::string path = root.filePath(CORRUPTION_MARKER);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = std::fwrite(msg.data(), 1, msg.size(), f) == msg.size() && std::fputc('\n', f) != EOF;
    return std::fclose(f) == 0 && ok;
  } catch (Quiv::Exception const&) {
    return false;
  }
}


ZolmWriterBase::ZolmWriterBase(Quiv::DebugHandler* handler, std::string_view tablePath, WriterConfig const& config,
                               KeyOps const& keyOps)
    : handler_(handler),
      rootPath_(handler, tablePath),
      name_(tablePath),
      config_(config),
      keyOps_(keyOps),
      hasNimbr_((keyOps.headerFlags & SlotHeaderCommon::FLAG_NOTIFY) != 0),
      criticalTaskCheck_(config.criticalTaskCheck),
      slotTable_(handler, name_, keyOps, seed_, rootPath_, config.local, config.maxSlots, config.fixedSize,
                 config.shrinkSlots, &counters_),
      hashMap_(handler, rootPath_, config.local, slotTable_.span(), config.shrinkBuckets, criticalTaskCheck_,
               counters_),
      nimbr_(handler, rootPath_, config.local) {
  nimbr_.notifieeIs(this);
  slotTable_.region().optionsIs(config.memory);
  hashMap_.bucketWriter().region().optionsIs(config.memory);
  nimbr_.region().optionsIs(config.memory);
}

ZolmWriterBase::~ZolmWriterBase() {
  if (attached_) detach(true);
}

bool ZolmWriterBase::initialize(std::string_view event) {
  if (!config_.local && !Mem::Atomics::checkCpuSupport())
    fmthrow(Quiv::InvalidInitializeException, "Hardware does not support Atomics");
  if (!writerInitialized_) {
    attach();
    writerInitialized_ = true;
    fmtrace(handler_, 5, "initialized {}", event);
  }
  return true;
}

void ZolmWriterBase::attach() {
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
    owner_->typeNameIs(keyOps_.typeName);
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

bool ZolmWriterBase::attachAndValidate(bool reformat) {
  if (!reformat) {
    if (attachParts(false)) {
      if (validate(fenixId_.value(), false)) {
        attached_ = true;
        return true;
      }
      fmtrace(handler_, 0, "failed to validate existing files");
      fmtracestr(handler_, 0, dumpHeaders());
      detachParts();
      return false;
    }
    // A table that is not there at all is simply new: nothing is lost and
    // no reader knows an incarnation of it, so it is laid out under the
    // current id.
    bool isNew = !slotTable_.fileExists() && !hashMap_.bucketWriter().region().fileSize() &&
                 (config_.local || SharedMem::FenixFile(rootPath_).read().isNull());
    if (!isNew) {
      fmtrace(handler_, 0, "failed to attach to existing files");
      fmtracestr(handler_, 0, dumpHeaders());
      return false;
    }
  } else {
    // Everything is laid out anew under the next incarnation, never under
    // the one the files (and the fenix file) carry: until the new fenix id
    // is written, last, a reader sees files of an id the fenix file does
    // not name and refuses them, so none attaches to a half-made table.
    fmtrace(handler_, 1, "all entries from {} will be lost", rootPath_.dirName());
    fenixId_ = fenixId_.incarnationInc();
  }
  attachParts(true);
  if (!validate(fenixId_.value(), false)) fmthrow(Quiv::InvalidInitializeException, "failed validation");
  attached_ = true;
  if (reformat) {
    ++counters_.reformats;
    fmtrace(handler_, 1, "re-formatted successfully");
  }
  return true;
}

void ZolmWriterBase::slabsAre(std::unique_ptr<Bloka::WriterAllocator> slabs, ValueSource source) {
  slabs_ = std::move(slabs);
  slabs_->regionOptionsIs(config_.memory);
  source_ = source;
  slabs_->movedCallbackIs([this](U32 slot, Bloka::Offset to) {
    // Inside the operation whose free shrank the slab: the slot's offset
    // changes in place (S3), so a reader that copied the old entry starts
    // over. Its queue record is not renewed: the value did not change.
    if (slot >= slotTable_.numSlots() || !(slotTable_.slot(slot)->runtimeFlags & SLOT_OCCUPIED))
      fmthrow(Quiv::CorruptionDetectedException, "slab entry moved to {} names slot:{}, which is not occupied", to, slot);
    slotTable_.writeValue(slot, to.raw);
  });
}

bool ZolmWriterBase::attachParts(bool reformat) {
  U32 fenix = fenixId_.value();
  if (reformat) {
    // Slots first: the queue's generation and coverage follow from them.
    slotTable_.format(fenix);
    hashMap_.format(fenix);
    if (hasNimbr_) nimbr_.format(fenix, queueCoverage());
    // Slabs are laid out under the new id when first used (K4).
    if (slabs_) slabs_->format(fenix);
    return true;
  }
  // Keep or not is decided for the table as a whole before anything is
  // written: every file must be there and sound under the current id.
  if (!slotTable_.keep(fenix) || !hashMap_.keep(fenix) ||
      (hasNimbr_ && !nimbr_.keep(fenix, slotTable_.header()->maxNumSlots)) || (slabs_ && !slabs_->keep(fenix))) {
    detachParts();
    return false;
  }
  // A queue that covers the slots the table ever had but not the size
  // now requested grows, on its own: the entries stay.
  if (hasNimbr_) nimbr_.ensureCapacity(queueCoverage());
  return true;
}

U32 ZolmWriterBase::queueCoverage() const {
  // The queue's position map covers the requested size from the start, so
  // that a table growing up to it never re-formats its queue.
  return std::max(slotTable_.header()->maxNumSlots, slotTable_.maxSlots());
}

void ZolmWriterBase::detachParts() {
  if (slabs_) slabs_->detach();
  slotTable_.detach();
  hashMap_.detach();
  nimbr_.detach();
}

void ZolmWriterBase::detach(bool force) {
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
  detachParts();
  pokt_.close();
  if (owner_) {
    Mem::WriterLock::releaseWriterLock(*owner_);
    owner_.reset();
  }
  writerInitialized_ = false;
  attached_ = false;
  fmtrace(handler_, 1, "owner:{} localMem_:{} rootPath:{}", ::getpid(), config_.local, rootPath_.dirName());
}

void ZolmWriterBase::cleanup() {
  if (!config_.local && !owner_) {
    takeOwnerLock();
    Quiv::String error;
    if (!owner_->validate(error))
      fmtrace(handler_, 1, "owner file corruption detected but continuing with cleanup, dumped owner file: {}",
              owner_->toString());
  }
  removeFiles();
}

void ZolmWriterBase::removeFiles() {
  fmtrace(handler_, 3, "removing Zolm files in {}", rootPath_.dirName());
  if (!config_.local) rootPath_.removeFile(CORRUPTION_MARKER);
  nimbr_.cleanup();
  hashMap_.bucketWriter().cleanup();
  if (slabs_) slabs_->removeFiles();
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
  writerInitialized_ = false;
}

bool ZolmWriterBase::validate(U32 fenixId, bool strict) {
  (void)strict;
  Validator v(handler_, ValidatorTarget{name_, slotTable_, hashMap_, hasNimbr_ ? &nimbr_ : nullptr, keyOps_, seed_,
                                        slabs_.get(), source_});
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

bool ZolmWriterBase::validateFiles() {
  Quiv::String error;
  bool ok = attached_;
  if (!ok) error = "not attached";
  if (ok && !config_.local) {
    U32 fenix = fenixId_.value();
    ok = SlotTable::validateHeader(handler_, *slotTable_.header(), slotTable_.mappedSize(), fenix, keyOps_.slotSize,
                                   keyOps_.valueSize, keyOps_.typeName, error) &&
         hashMap_.bucketWriter().validate(fenix, error) &&
         (!hasNimbr_ || nimbr_.validate(slotTable_.header()->maxNumSlots, error)) &&
         SharedMem::FenixFile(rootPath_).validate(fenixId_, error) && (!owner_ || owner_->validate(error)) &&
         (!slabs_ || slabs_->validate(error));
  }
  if (!ok) {
    lastError_ = error;
    fmtrace(handler_, 0, "file validation failed for {}: {}", rootPath_.dirName(), error);
    return false;
  }
  if (!config_.local) rootPath_.removeFile(CORRUPTION_MARKER);
  return true;
}

void ZolmWriterBase::directCommit() {
  fmassert(directSlot_ != NO_SLOT, "ZolmWriter", "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
  U32 id = directSlot_;
  // A new key's direct write left the section open; an update's did not.
  CriticalSection cs(slotTable_, name_, CriticalSection::adopt);
  if (directNew_) {
    U64* prev = directPrevBucket_ != NO_SLOT ? hashMap_.bucketWord(directPrevBucket_) : slotTable_.linkAt(directPrevOff_);
    publish(id, prev);
  } else {
    slotTable_.commitImage(id);
  }
  ++counters_.directCommits;
  notify(id);
  directSlot_ = NO_SLOT;
  directNew_ = false;
}

void ZolmWriterBase::doMaybeShrinkSlots(U32 threshold) {
  if (threshold == 0) return;
  if (hasNimbr_ && nimbr_.shrinkInProgress()) {
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
  // S2: the free list and the occupied slots are below `target` before
  // SlotWriterTable::shrink lowers numSlots.
  slotTable_.purgeFreeSlots(target);
  if (hasNimbr_) nimbr_.markShrinkStart();
  Quiv::CriticalTaskTimer timer(criticalTaskCheck_);
  ZolmCore::ErasedKeys keys{keyOps_, seed_, source_};
  U32 n = slotTable_.numSlots();
  for (U32 from = target; from < n; ++from) {
    SlotPrefix* s = slotTable_.slot(from);
    if (!(s->runtimeFlags & SLOT_OCCUPIED)) {
      fmtrace(handler_, 9, "skipping not occupied slot:{}", from);
      continue;
    }
    void const* v = keys.probeAt(s);
    U32 h = keys.hashOf(v);
    U64* prev;
    U64* curr;
    if (!hashMap_.find(keys, v, hashMap_.bucketOf(h), prev, curr, h))
      fmthrow(Quiv::CorruptionDetectedException, "fromSlot:{} key not found", from);
    if (SlotLink::target(*prev) != from) fmthrow(Quiv::CorruptionDetectedException, "fromSlot:{} not referenced", from);
    // W6, W5: the copy is complete and OCCUPIED (move) before the
    // predecessor points at it (L2); `from` keeps its link to the
    // successor until it is emptied, so a reader standing on it goes on.
    U32 to = slotTable_.move(from);
    fmtrace(handler_, 7, "moving fromSlot:{} toSlot:{}", from, to);
    // A slab entry names its slot; nobody but the writer reads it.
    if (slabs_) slabs_->clientDataIs(DynOffset(slotTable_.slot(to)), to);
    SlotLink::store(prev, SlotLink::next(*prev, to));
    ++counters_.moves;
    notify(to);
    if (hasNimbr_) {
      U32 pos = nimbr_.slotPos(from);
      if (pos != Nimbr::NimbrWriter::NONE) nimbr_.tombstone(pos);
    }
    slotTable_.vacate(from);
    notify(from);
    timer.tick();
  }
  if (hasNimbr_) nimbr_.markShrinkEnd();
  slotTable_.shrink(target);
  fmtrace(handler_, 2, "at threshold:{} done", target);
}

void ZolmWriterBase::shrink(U32 threshold) {
  CriticalSection cs(slotTable_, name_, CriticalSection::tryEnter);
  if (!cs.held()) return;
  U32 st = slotTable_.shrinkThreshold();
  if (st && slotTable_.header()->occupiedSlots < st / 2) doMaybeShrinkSlots(threshold);
}

void ZolmWriterBase::handleQuiesced(bool quiesced) {
  fmassert(bool(quiescedCallback_), "ZolmWriter", "no quiesced callback for {}", name_);
  quiescedCallback_(quiesced);
}

std::string ZolmWriterBase::dumpHeaders() const {
  std::string s = fmt::format("Zolm table \"{}\"\n\n\n{}\n\n{}\n\n", rootPath_.dirName(), slotTable_.headerString(),
                              hashMap_.bucketWriter().toString());
  if (hasNimbr_) s += nimbr_.toString() + "\n\n";
  if (owner_) s += fmt::format("owner file: {}", owner_->toString());
  return s;
}

bool ZolmWriterBase::validateVersionAnchor(Mem::VersionAnchor const& a) const {
  if (!a.valid()) return true;
  if (a.base != slotTable_.header() || a.offset + 4 > slotTable_.mappedSize()) return false;
  U32 const* word = reinterpret_cast<U32 const*>(static_cast<char const*>(a.base) + a.offset);
  return Mem::load32(word) == a.version;
}

void ZolmWriterBase::takeOwnerLock() {
  owner_.emplace(rootPath_);
  owner_->lock();
  Mem::WriterLock::acquireWriterLock(*owner_, name_);
}

// W3: everything an insert may need to grow, before it changes anything.
void ZolmWriterBase::reserveInsert() {
  if (slotTable_.header()->freeList == SlotLink::END) {
    U32 next = slotTable_.nextCapacity();
    if (next == 0) slotTable_.full();
    // The queue first: a slot table that grew past its queue's map would
    // not validate; a queue that covers more than the slots is harmless.
    if (hasNimbr_) nimbr_.ensureCapacity(std::max(slotTable_.header()->maxNumSlots, next));
    slotTable_.grow();
  }
  if (slotTable_.header()->occupiedSlots + 1 > hashMap_.buckets()) hashMap_.reserveGrowth();
}

U32 ZolmWriterBase::insertSlot(void const* value, U32 h, U32 b, U64*& prev) {
  // Growing may move the slot and bucket mappings: `prev` is kept as a
  // bucket index or a link offset across it.
  bool prevIsBucket = prev == hashMap_.bucketWord(b);
  U64 prevOff = prevIsBucket ? 0 : slotTable_.offsetOf(prev);
  reserveInsert();
  // From here on nothing fails: the slot, the queue's map and the bucket
  // doubling all have their room.
  U32 id = slotTable_.alloc();
  prev = prevIsBucket ? hashMap_.bucketWord(b) : slotTable_.linkAt(prevOff);
  SlotPrefix* s = slotTable_.slot(id);
  // S3: the slot is free (OCCUPIED clear) and unlinked, so no reader
  // accepts what it reads here; the flags' release stores that make it
  // OCCUPIED publish the rhash.
  Mem::storeRelaxed32(&s->rhash, HashMap::rhashOf(h));
  SlotHeaderCommon* hdr = slotTable_.header();
  // S2: the slot was taken (and the table grown) first. Readers load the
  // count on its own (ZolmReader::occupied, the snapshot) and infer
  // nothing else from it; the release store is kept as it was.
  Mem::store32(&hdr->occupiedSlots, hdr->occupiedSlots + 1);
  Mem::storeRelaxed32(&hdr->maxOccupiedSlots, std::max(hdr->maxOccupiedSlots, hdr->occupiedSlots));
  ++counters_.inserts;
  // The new slot's own link before it is reachable (W4, L2).
  SlotLink::store(&s->link, SlotLink::next(s->link, SlotLink::target(*prev)));
  fmtrace(handler_, 9, "new {} bucket:{} slot:{} next:{}", keyOps_.showKeyOf(value), b, id, s->next());
  return id;
}

void ZolmWriterBase::publish(U32 id, U64* prev) {
  // W4: the one store that makes the entry reachable. Release: the slot's
  // rhash, value, flags and link stored before it are seen by a reader
  // whose acquire load of this link (ReaderHashMap::walk, firstFrom)
  // reaches the slot.
  SlotLink::store(prev, SlotLink::next(*prev, id));
  if (slotTable_.header()->occupiedSlots > hashMap_.buckets()) hashMap_.growBuckets();
}

void ZolmWriterBase::removeSlot(U32 id, U64* prev) {
  SlotPrefix* s = slotTable_.slot(id);
  Bloka::Offset entry = slabs_ ? DynOffset(s) : Bloka::Offset();
  // W5, in this order: unlink, clear OCCUPIED, then re-use the link word.
  // Each store is a release, so a reader whose acquire load of the slot's
  // link sees the free-list link also sees the cleared flags and restarts
  // (its flagsOf check in ReaderHashMap::walk).
  SlotLink::store(prev, SlotLink::next(*prev, s->next()));
  slotTable_.clearOccupied(id);
  SlotHeaderCommon* hdr = slotTable_.header();
  SlotLink::store(&s->link, SlotLink::next(s->link, hdr->freeList));
  Mem::storeRelaxed32(&hdr->freeList, id);  // S2: id < numSlots
  Mem::store32(&hdr->occupiedSlots, hdr->occupiedSlots - 1);
  // K2: the entry is freed only after no slot names it (OCCUPIED cleared
  // above); a shrink it triggers re-points other slots in place.
  if (slabs_) slabs_->dealloc(entry);
  ++counters_.removes;
  U32 st = slotTable_.shrinkThreshold();
  U32 hint = st && hdr->occupiedSlots < st / 2 ? st : 0;
  notify(id);
  doMaybeShrinkSlots(hint);
  if (hashMap_.shrinkBucketsEnabled() && slotTable_.header()->occupiedSlots < hashMap_.shrinkThreshold())
    hashMap_.shrinkBuckets();
}

void ZolmWriterBase::notify(U32 slot) {
  ++counters_.sequence;
  if (!hasNimbr_) return;
  nimbr_.notify(slot, 0);
  ++counters_.notifications;
  pokt_.notify(nimbr_.tailSeq());
}

void* ZolmWriterBase::directWriteStart(void const* value, bool found, U32 h, U32 b, U64* prev) {
  U32 id;
  if (found) {
    id = SlotLink::target(*prev);
  } else {
    id = insertSlot(value, h, b, prev);
    directPrevBucket_ = prev == hashMap_.bucketWord(b) ? b : NO_SLOT;
    directPrevOff_ = directPrevBucket_ == NO_SLOT ? slotTable_.offsetOf(prev) : 0;
  }
  fmtrace(handler_, 9, "{}{} bucket:{} slot:{} next:{}", found ? " existing " : " new ", keyOps_.showKeyOf(value), b,
          id, slotTable_.slot(id)->next());
  directSlot_ = id;
  directNew_ = !found;
  void* target = directTarget(id);
  // A new key's slot is not linked before the commit (W4) and an existing
  // one's target is the image (S4), so the copy is plain.
  std::memcpy(target, value, keyOps_.valueSize);
  if (!found) Mem::store32(&slotTable_.slot(id)->runtimeFlags, slotTable_.slot(id)->runtimeFlags | SLOT_OCCUPIED);
  return target;
}

void* ZolmWriterBase::directUpdateStart(U32 id) {
  directSlot_ = id;
  directNew_ = false;
  ++counters_.directUpdates;
  void* target = directTarget(id);
  void const* stored = SlotSpan::valuePtr(slotTable_.slot(id));
  if (target != stored) std::memcpy(target, stored, keyOps_.valueSize);
  // Nothing shared is inconsistent until the commit, so the caller leaves
  // the section now, and a crash before the commit leaves a sound table.
  return target;
}

void* ZolmWriterBase::directTarget(U32 id) {
  SlotPrefix* s = slotTable_.slot(id);
  if (!(s->runtimeFlags & SLOT_OCCUPIED)) return SlotWriterTable::valuePtr(s);
  SlotWriterTable::stageFence();
  return SlotWriterTable::valuePtr(slotTable_.image());
}

std::string ZolmWriterBase::directValueText() const {
  if (directSlot_ == NO_SLOT || !slotTable_.attached()) return "none";
  return keyOps_.showValue(valueAt(directSlot_));
}

}  // namespace Zolm
