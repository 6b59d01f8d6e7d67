#include "VexaSwitchLib/Bloka/SlabWriter.h"

#include <algorithm>

namespace Bloka {

// --- SlabWriter ----------------------------------------------------------------

SlabWriter::SlabWriter(Quiv::DebugHandler* handler, WriterAllocator& owner, Mem::RootPath const& root, bool local,
                       U32 index, U32 maxPayload)
    : Slab(handler, fmt::format("SlabWriter-{}-{}", owner.tableName_, index), index, maxPayload),
      owner_(owner),
      region_(root, slabFileName(index), local) {}

SlabWriter::Attached SlabWriter::attach(U32 fenix) {
  detach();
  U64 have = region_.fileSize();
  U64 first = HEADER_SIZE + entrySize_;
  U64 size = std::max(have, first);
  try {
    region_.attach(size);
  } catch (Quiv::MemoryResourceException const& e) {
    fmthrow(Quiv::MemoryResourceException, "{}::attach() cannot attach to shmem {} size:{}: {}", name_,
            region_.name(), size, e.msg());
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::InvalidInitializeException, "{}::attach() cannot attach to shmem {} size:{}: {}", name_,
            region_.name(), size, e.msg());
  }
  header_ = mapped();
  if (have == 0) {
    format(fenix);
    fmtrace(handler_, 1, "{}::attach() to new file {}", name_, region_.name());
    return Attached::created;
  }
  SlabHeader h;
  std::memcpy(&h, header_, sizeof h);
  if (h.fenix != fenix) {
    format(fenix);
    fmtrace(handler_, 1, "{}::attach() re-formatted {}", name_, region_.name());
    return Attached::reformatted;
  }
  Quiv::String error;
  if (h.validate(handler_, have, fenix, error, entrySize_)) {
    region_.resize(slabFileSize(h.numEntries, entrySize_));
    header_ = mapped();
    U64 payload = 0;
    if (walk(error, payload)) {
      payloadBytes_ = payload;
      owner_.payloadBytes_ += payload;
      sufTraced_ = false;
      computeShrinkThreshold();
      fmtrace(handler_, 1, "{}::attach() to existing {}", name_, region_.name());
      return Attached::kept;
    }
  }
  lastError_ = error;
  fmtrace(handler_, 0, "{}::attach() {} failed its checks: {}", name_, region_.name(), error);
  format(fenix);
  fmtrace(handler_, 1, "{}::attach() re-formatted {}", name_, region_.name());
  return Attached::corrupt;
}

void SlabWriter::format(U32 fenix) {
  owner_.payloadBytes_ -= payloadBytes_;
  payloadBytes_ = 0;
  U32 n = entriesPerPage(entrySize_);
  // The file keeps its length (K3): a larger file of an earlier
  // incarnation gives its tail's pages back but is not cut short, since
  // readers of that incarnation may still map it.
  region_.resize(slabFileSize(n, entrySize_));
  header_ = mapped();
  // K4: under a new fenix id, with the magic cleared until the end.
  Mem::store64(reinterpret_cast<U64*>(header_->magic), 0);
  header_->version = VERSION;
  header_->fenix = fenix;
  Mem::store64(header_->sizeWord(), SlabHeader::sizeWordOf(0, n));
  header_->numOccupied = 0;
  header_->entrySize = entrySize_;
  header_->checksum = entrySizeChecksum(entrySize_);
  header_->freeList = NONE;
  addFreeEntries(0, n);
  Mem::store64(reinterpret_cast<U64*>(header_->magic), SlabHeader::wantedMagic());
  sufTraced_ = false;
  computeShrinkThreshold();
}

void SlabWriter::validateUnattached(U32 fenix) {
  if (!region_.shared()) return;  // a local slab has no file of its own
  Mem::RootPath const& root = region_.shared()->rootPath();
  std::string file = slabFileName(index_);
  Mem::SharedMemWrapper ro(root, file, Mem::SharedMemWrapper::Mode::readOnly);
  U64 size = HEADER_SIZE + entrySize_;
  try {
    if (!ro.attach(size)) return;
  } catch (Quiv::Exception const& e) {
    fmtrace(handler_, 3, "{}::cleanup() removing file: {}", name_, region_.name());
    ro.detach();
    root.removeFile(file);
    fmthrow(Quiv::CorruptionDetectedException, "{}::validateUnattached() cannot attach to shmem {} size:{}: {}", name_,
            region_.name(), size, e.msg());
  }
  SlabHeader h;
  std::memcpy(&h, ro.base(), sizeof h);
  if (h.fenix != fenix) {
    fmtrace(handler_, 1, "{}::validateUnattached() wiping slab with old fenix:{} fenixId:{} and numOccupied:{}", name_,
            h.fenix, fenix, h.numOccupied);
    ro.detach();
    root.removeFile(file);
    return;
  }
  if (h.numOccupied != 0)
    fmthrow(Quiv::CorruptionDetectedException,
            "{}::validateUnattached() a slab with a matching fenixId is not empty, numOccupied: {}", name_,
            h.numOccupied);
  Quiv::String error;
  bool ok = h.validate(handler_, ro.fileSize(), fenix, error, entrySize_);
  if (ok) {
    ro.resize(slabFileSize(h.numEntries, entrySize_));
    // The walk reads through header_; this slab is not attached, so it is
    // borrowed for the walk only.
    header_ = static_cast<SlabHeader*>(ro.base());
    U64 payload = 0;
    ok = walk(error, payload);
    header_ = nullptr;
  }
  if (!ok)
    fmthrow(Quiv::CorruptionDetectedException, "{}::validateUnattached, validation failed on an empty slab, reason: {}",
            name_, error);
  fmtrace(handler_, 5, "{}::validateUnattached() keeping slab numOccupied:{}", name_, h.numOccupied);
}

void SlabWriter::detach() {
  if (header_) Slab::detach();
  header_ = nullptr;
  owner_.payloadBytes_ -= payloadBytes_;
  payloadBytes_ = 0;
  region_.detach();
}

bool SlabWriter::removeFile() {
  detach();
  return region_.remove();
}

char* SlabWriter::alloc(U32 size, U32& index) {
  fmassert(size <= maxPayload_, "Bloka", "{}::alloc() requested payloadSize:{}, but max payloadSize:{}", name_, size,
           maxPayload_);
  if (header_->freeList == NONE) grow();
  U32 i = header_->freeList;
  char* e = entry(i);
  U32 next = nextFree(i);
  // Readers read none of these words (K2): the entry is named by no slot
  // until the caller stores its offset, with a release store.
  header_->freeList = next;
  header_->numOccupied = header_->numOccupied + 1;
  storeWord(e, size);
  payloadBytes_ += size;
  owner_.payloadBytes_ += size;
  index = i;
  return e;
}

void SlabWriter::dealloc(U32 index) {
  fmtrace(handler_, 9, "{}::dealloc() index: {}", name_, index);
  char* e = entry(index);
  U32 w = loadWord(e);
  if (w & FREE_BIT)
    fmthrow(Quiv::CorruptionDetectedException, "{}::dealloc() entry at index: {} is already free", name_, index);
  payloadBytes_ -= w;
  owner_.payloadBytes_ -= w;
  storeWord(e, FREE_BIT | header_->freeList);
  header_->freeList = index;
  header_->numOccupied = header_->numOccupied - 1;
  if (shrinkThreshold_ && header_->numOccupied <= shrinkThreshold_) shrink();
}

void SlabWriter::grow() {
  U32 n = header_->numEntries;
  U64 newSize = 2 * slabFileSize(n, entrySize_);
  U32 to = entriesIn(newSize, entrySize_);
  fmtrace(handler_, 5, "{}::grow() from {} to {} entries", name_, n, to);
  resize(n, to);
  addFreeEntries(n, to);
  U64 capacity = U64(to) * maxPayload_;
  if (!sufTraced_ && payloadBytes_ * 2 < capacity) {
    sufTraced_ = true;
    fmtrace(handler_, 3, "{}::grow() SUF of {} for {} entries (PB:{} MTP:{})", name_,
            double(payloadBytes_) / double(capacity), to, payloadBytes_, capacity);
  }
}

void SlabWriter::resize(U32 from, U32 to) {
  fmtrace(handler_, 5, "{}::resize() requesting resize from {} to {} entries", name_, from, to);
  U64 size = slabFileSize(to, entrySize_);
  void* before = region_.base();
  if (to > from) {
    try {
      region_.resize(size);
    } catch (Quiv::Exception const& e) {
      fmthrow(Quiv::MemoryResourceException,
              "{}::resize() failed shmem {} from {} to {} entries, existing size: {} desired size: {} bytes, reason: {}",
              name_, region_.name(), from, to, region_.memSize(), size, e.msg());
    }
    if (region_.base() != before)
      fmtrace(handler_, 5, "{}::resize() base address changed from {} to {}", name_, before, region_.base());
    header_ = mapped();
    // K1, K3: the entries are mapped before a reader can see their count.
    Mem::store64(header_->sizeWord(), SlabHeader::sizeWordOf(header_->generation + 1, to));
  } else {
    // K3: the smaller count first; then the tail's pages go back, the
    // file keeping its length. A failure there costs memory only.
    Mem::store64(header_->sizeWord(), SlabHeader::sizeWordOf(header_->generation + 1, to));
    try {
      region_.resize(size);
    } catch (Quiv::Exception const& e) {
      fmtrace(handler_, 1, "{}::resize() keeps {} bytes mapped: {}", name_, region_.memSize(), e.msg());
    }
    header_ = mapped();
  }
  computeShrinkThreshold();
  fmtrace(handler_, 5, "{}::resize() to {} successful", name_, to);
}

// Shrinking moves the occupied entries of the upper part into free ones
// below the new end, has each owning slot re-pointed (the moved-entry
// callback rewrites the slot's offset through its in-place change, so a
// reader that copied the old entry sees the slot's flags change, K2), and
// only then publishes the smaller count and gives the pages back. Those
// pages are released, not cut from the file: the file keeps its length
// (K3), so a reader still mapping the old size reads zeros there and never
// faults.
void SlabWriter::shrink() {
  U32 n = header_->numEntries;
  U32 k = header_->numOccupied;
  if (k >= n / 2) return;
  U32 target = entriesIn(Mem::roundUpToWholePage(slabFileSize(n / 2, entrySize_)), entrySize_);
  if (target >= n) return;
  fmtrace(handler_, 5, "{}::shrink() from {} to {} entries", name_, n, target);
  U32 head = header_->freeList;
  for (U32 i = target; i < n; ++i) {
    char* e = entryAt(i);
    U32 w = loadWord(e);
    if (w & FREE_BIT) continue;
    U32 to = popBelow(head, target);
    char* d = entryAt(to);
    std::memcpy(d + 4, e + 4, 4 + std::min(w, maxPayload_));
    storeWord(d, w);
    fmtrace(handler_, 8, "Moved entry from index: {} to index: {}", i, to);
    if (owner_.moved_) owner_.moved_(loadWord(d + 4), Offset(index_, to));
  }
  // The free entries below the new end, ascending.
  U32 next = NONE;
  for (U32 i = target; i-- > 0;) {
    char* e = entryAt(i);
    if (loadWord(e) & FREE_BIT) {
      storeWord(e, FREE_BIT | next);
      next = i;
    }
  }
  header_->freeList = next;
  resize(n, target);
}

U32 SlabWriter::nextFree(U32 index) const {
  U32 w = loadWord(entry(index));
  if (!(w & FREE_BIT))
    fmthrow(Quiv::CorruptionDetectedException, "{}::validate() found occupied entry with index: {} on free-list", name_,
            index);
  return w == NONE ? NONE : (w & ~FREE_BIT);
}

U32 SlabWriter::popBelow(U32& head, U32 target) {
  U32 steps = 0;
  while (head != NONE && head >= target) {
    fmtrace(handler_, 9, "Dropping slabEntry at index {}", head);
    if (++steps > header_->numEntries) head = NONE;  // a loop: nothing below
    else head = nextFree(head);
  }
  if (head == NONE) fmthrow(Quiv::CorruptionDetectedException, "{}::shrink() found empty head of free-list", name_);
  U32 i = head;
  head = nextFree(i);
  return i;
}

void SlabWriter::addFreeEntries(U32 start, U32 end) {
  fmassert(start < end, "Bloka", "{}::addFreeEntries() bad index range, start: {} end: {}", name_, start, end);
  fmassert(header_->freeList == NONE, "Bloka", "{}::addFreeEntries() free-list isn't empty", name_);
  for (U32 i = start; i < end; ++i) storeWord(entryAt(i), i + 1 < end ? FREE_BIT | (i + 1) : NONE);
  header_->freeList = start;
}

void SlabWriter::computeShrinkThreshold() {
  U32 n = header_->numEntries;
  U32 p = entriesPerPage(entrySize_);
  if (p >= n) shrinkThreshold_ = 0;
  else if (p < n / 2)
    shrinkThreshold_ = entriesIn(Mem::roundUpToWholePage(slabFileSize(n / 2, entrySize_)), entrySize_) / 2;
  else shrinkThreshold_ = p / 2;
}

bool SlabWriter::validate(Quiv::String& error) const {
  U64 payload = 0;
  return walk(error, payload);
}

bool SlabWriter::walk(Quiv::String& error, U64& payload) const {
  auto fail = [&](std::string msg) {
    fmtracestr(handler_, 0, msg);
    error = std::move(msg);
    return false;
  };
  U32 const n = header_->numEntries;
  U32 occupied = 0;
  payload = 0;
  for (U32 i = 0; i < n; ++i) {
    U32 w = loadWord(entryAt(i));
    if (w & FREE_BIT) continue;
    if (w > maxPayload_)
      return fail(fmt::format("{}::validate() found occupied entry with payloadSize:{}, but max payloadSize:{}", name_,
                              w, maxPayload_));
    ++occupied;
    payload += w;
  }
  Lumo::Local<bool> seen(n, false);
  U32 onList = 0;
  for (U32 i = header_->freeList; i != NONE;) {
    if (i >= n) return fail(fmt::format("{}::getEntry() index: {} is beyond farthest possible index: {}", name_, i, n ? n - 1 : 0));
    U32 w = loadWord(entryAt(i));
    if (!(w & FREE_BIT))
      return fail(fmt::format("{}::validate() found occupied entry with index: {} on free-list", name_, i));
    if (seen[i]) {
      ++onList;  // a loop: the list is longer than the free entries
      break;
    }
    seen[i] = true;
    ++onList;
    i = w == NONE ? NONE : (w & ~FREE_BIT);
  }
  if (U64(onList) + occupied != n)
    return fail(fmt::format("{}::validate() found {} entries on free-list and {} occupied entries, but header's "
                            "numEntries: {}",
                            name_, onList, occupied, n));
  if (occupied != header_->numOccupied)
    return fail(fmt::format("{}::validate() found {} occupied entries, but header's numOccupied: {}", name_, occupied,
                            header_->numOccupied));
  if (payload > U64(n) * maxPayload_)
    return fail(fmt::format("{}::validate() payloadBytes:{} exceeds total payload:{}", name_, payload,
                            U64(n) * maxPayload_));
  return true;
}

// --- WriterAllocator -----------------------------------------------------------

WriterAllocator::WriterAllocator(Quiv::DebugHandler* handler, std::string tableName, Mem::RootPath const& root,
                                 bool local, SizeClasses sizes)
    : handler_(handler), tableName_(std::move(tableName)), root_(root), local_(local), sizes_(sizes) {}

WriterAllocator::~WriterAllocator() { detach(); }

void WriterAllocator::regionOptionsIs(Mem::RegionOptions const& options) {
  regionOptions_ = options;
  for (auto& s : slabs_)
    if (s) s->regionOptionsIs(options);
}

SlabWriter& WriterAllocator::made(U32 i) {
  auto& p = slabs_[i];
  if (!p) {
    p = std::make_unique<SlabWriter>(handler_, *this, root_, local_, i, sizes_.maxPayloadOf(i));
    p->regionOptionsIs(regionOptions_);
  }
  return *p;
}

bool WriterAllocator::keep(U32 fenix) {
  detach();
  lastError_ = Quiv::String();
  fenix_ = fenix;
  if (local_) return true;
  try {
    for (U32 i = 0; i < NUM_SLABS; ++i) {
      SlabWriter& s = made(i);
      if (!s.fileExists()) continue;
      // A slab holding entries of this incarnation is attached now (the
      // validator checks every slot's entry); the others are checked and
      // left for the first allocation.
      SlabHeader h{};
      {
        Mem::SharedMemWrapper ro(root_, slabFileName(i), Mem::SharedMemWrapper::Mode::readOnly);
        if (ro.fileSize() >= HEADER_SIZE && ro.attach(HEADER_SIZE)) std::memcpy(&h, ro.base(), sizeof h);
      }
      if (h.fenix == fenix && h.numOccupied > 0) {
        if (s.attach(fenix) != SlabWriter::Attached::kept) {
          lastError_ = s.lastError();
          fmtrace(handler_, 0, "{} not kept: {}", s.name(), lastError_);
          detach();
          return false;
        }
      } else {
        s.validateUnattached(fenix);
      }
    }
  } catch (Quiv::Exception const& e) {
    lastError_ = e.msg();
    fmtrace(handler_, 0, "slabs of {} not kept: {}", tableName_, e.msg());
    detach();
    return false;
  }
  return true;
}

void WriterAllocator::format(U32 fenix) {
  detach();
  fenix_ = fenix;
}

void WriterAllocator::detach() {
  for (auto& s : slabs_)
    if (s) s->detach();
  payloadBytes_ = 0;
}

void WriterAllocator::removeFiles() {
  detach();
  if (local_) return;
  for (U32 i = 0; i < NUM_SLABS; ++i) root_.removeFile(slabFileName(i));
}

SlabWriter& WriterAllocator::attached(U32 i) {
  SlabWriter* p = &made(i);
  if (!p->attached() && p->attach(fenix_) == SlabWriter::Attached::corrupt)
    fmthrow(Quiv::CorruptionDetectedException, "corrupted slab: {} was detected when lazily attaching", p->name());
  return *p;
}

void WriterAllocator::reserve(U32 size) { attached(sizes_.sizeToIndex(size)).reserve(); }

char* WriterAllocator::alloc(U32 size, Offset& offset) {
  U32 slab = sizes_.sizeToIndex(size);
  U32 index;
  char* e = attached(slab).alloc(size, index);
  offset = Offset(slab, index);
  return e;
}

void WriterAllocator::dealloc(Offset offset) {
  SlabWriter const* s = slab(offset.slab());
  if (!s)
    fmthrow(Quiv::CorruptionDetectedException, "{} dealloc of {}: slab not attached", tableName_, offset);
  slabs_[offset.slab()]->dealloc(offset.index());
}

char* WriterAllocator::entry(Offset offset) const {
  SlabWriter const* s = slab(offset.slab());
  if (!s) fmthrow(Quiv::CorruptionDetectedException, "{} {}: slab not attached", tableName_, offset);
  return s->entry(offset.index());
}

char const* WriterAllocator::payload(Offset offset, U32& size) const {
  SlabWriter const* s = slab(offset.slab());
  char const* e = entry(offset);
  U32 w = loadWord(e);
  if (w & FREE_BIT)
    fmthrow(Quiv::CorruptionDetectedException, "{}::lookup() entry at index: {} is marked unoccupied", s->name(),
            offset.index());
  if (w > s->maxPayload())
    fmthrow(Quiv::CorruptionDetectedException, "{}::lookup() encountered payloadSize: {}, but max payloadSize:{} at index: {}",
            s->name(), w, s->maxPayload(), offset.index());
  size = w;
  return e + ENTRY_HEAD;
}

bool WriterAllocator::validate(Quiv::String& error) const {
  for (auto const& s : slabs_)
    if (s && s->attached() && !s->validate(error)) return false;
  return true;
}

}  // namespace Bloka
