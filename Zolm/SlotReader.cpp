#include "VexaSwitchLib/Zolm/SlotReader.h"

namespace Zolm {

SlotReaderBase::SlotReaderBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, U32 slotSize, U32& seed,
                               Reader::Counters& counters)
    : handler_(handler),
      region_(root, FILENAME, Mem::SharedMemWrapper::Mode::readOnly),
      slotSize_(slotSize),
      headerSize_(SlotTable::headerSize(slotSize)),
      seed_(seed),
      counters_(counters) {}

bool SlotReaderBase::attach() {
  detach();
  U64 have = region_.fileSize();
  if (have == 0) {
    fmtrace(handler_, 0, "no shared memory region");
    return false;
  }
  void* base = nullptr;
  if (have >= headerSize_) {
    try {
      base = region_.attach(headerSize_);
    } catch (Quiv::Exception const& e) {
      fmtrace(handler_, 0, "{}", e.msg());
    }
  }
  if (!base) {
    fmtrace(handler_, 0, "cannot attach to shmem size:{}", have);
    return false;
  }
  header_ = static_cast<SlotHeaderCommon const*>(base);
  slots_ = nullptr;
  numSlots_ = 0;
  SlotHeaderCommon h = snapshot();
  fmtrace(handler_, 3, "{}", h.toString());
  anchor_ = noneAnchor();
  local_ = Mem::VersionedRef<unsigned int>{};
  seed_ = h.hashSeed;
  return true;
}

void SlotReaderBase::detach() {
  region_.detach();
  header_ = nullptr;
  slots_ = nullptr;
  numSlots_ = 0;
  anchor_ = noneAnchor();
}

// A seqlock on resizeSeq (S1). The fields before 548 are constant under
// one fenix id (S6); runtimeFlags is the writer's own (S7); occupiedSlots,
// freeList, maxNumSlots and maxOccupiedSlots change between resizes, each
// one keeping the header check true against the numSlots of its moment
// (S2), so a copy needs only one numSlots throughout: the one resizeSeq
// names before and after the copy.
SlotHeaderCommon SlotReaderBase::snapshot() const {
  SlotHeaderCommon h;
  // S1: acquire, pairs with the release store in
  // SlotHeaderCommon::resizeWordIs: the copy sees every store before the
  // resize this sequence names (a shrink lowers the free list and the
  // occupied count before it, S2).
  U32 seq = Mem::load32(&header_->resizeSeq);
  for (;;) {
    // Plain: the seqlock's data race. The words that change between
    // resizes are then read again whole (relaxed), so none of them is a
    // mix of two stores, whatever the copy's width.
    std::memcpy(static_cast<void*>(&h), header_, sizeof h);
    h.runtimeFlags = Mem::loadRelaxed16(&header_->runtimeFlags);
    h.occupiedSlots = Mem::loadRelaxed32(&header_->occupiedSlots);
    h.freeList = Mem::loadRelaxed32(&header_->freeList);
    h.maxNumSlots = Mem::loadRelaxed32(&header_->maxNumSlots);
    h.maxOccupiedSlots = Mem::loadRelaxed32(&header_->maxOccupiedSlots);
    // Keeps the copy before the second load of resizeSeq. Pairs with the
    // writer's release stores after a resize: the free list of a grown
    // table (SlotWriterTable::grow) and the resize word itself. A copy
    // that read a word stored after a resize (the grown free list, at or
    // above the old count, or the new numSlots) sees that resize's
    // sequence below and is taken again.
    Mem::fenceAcquire();
    U32 again = Mem::load32(&header_->resizeSeq);
    if (again == seq) break;
    seq = again;
  }
  return h;
}

bool SlotReaderBase::remap() {
  // The count and sequence come from one snapshot (S1): the slots below
  // that count are in the file (S5), checked against its size below.
  SlotHeaderCommon h = snapshot();
  U32 n = h.numSlots;
  U64 want;
  try {
    want = SlotTable::fileSize(slotSize_, n);
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::CorruptionDetectedException, "bad newNumSlots:{} message:{}", n, e.msg());
  }
  U64 real = region_.fileSize();
  if (want > real)
    fmthrow(Quiv::CorruptionDetectedException,
            "requesting to map {} {} slots. Requested file resize to {} but real file size is {}",
            region_.getFilename(), n, want, real);
  fmtrace(handler_, 2, "{} from {} slots to {}", region_.getFilename(), numSlots_, n);
  void const* before = header_;
  void* base;
  try {
    base = region_.resize(want);
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::CorruptionDetectedException, "failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
            region_.getFilename(), numSlots_, n, want, e.msg());
  }
  if (base != before) {
    fmtrace(handler_, 5, "changed base address mapping from {} to {}", before, base);
    ++counters_.remaps;
  }
  header_ = static_cast<SlotHeaderCommon const*>(base);
  slots_ = static_cast<char const*>(base) + headerSize_;
  numSlots_ = n;
  local_ = Mem::VersionedRef<unsigned int>{h.resizeSeq, n};
  if (anchor_.offset < Mem::VersionAnchor::NONE) {
    if (anchor_.offset + 4 <= want) anchor_.base = base;
    else anchor_ = invalidatedAnchor();
  }
  ++counters_.resizes;
  fmtrace(handler_, 3, "onResize {}", h.toString());
  fmtrace(handler_, 5, "successful");
  return true;
}

bool SlotReaderBase::anchorCurrent(Mem::VersionAnchor const& a) const {
  if (a.offset >= Mem::VersionAnchor::NONE || a.base != header_ || !header_) return false;
  if (a.offset + 4 > headerSize_ + U64(numSlots_) * slotSize_) return false;
  U32 const* word = reinterpret_cast<U32 const*>(reinterpret_cast<char const*>(header_) + a.offset);
  // S3: a slot's runtimeFlags (read() set the anchor). Acquire, pairs with
  // the release stores of the flags in SlotWriterTable::rewrite and
  // clearOccupied: any change of the value read since changes this word.
  return Mem::load32(word) == a.version;
}

std::string SlotReaderBase::headerString() const {
  return header_ ? snapshot().toString() : std::string("SlotHeader (not attached)");
}

}  // namespace Zolm
