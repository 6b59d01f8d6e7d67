#include "Zolm/SlotReader.h"

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

SlotHeaderCommon SlotReaderBase::snapshot() const {
  SlotHeaderCommon h;
  U32 seq = Mem::load32(&header_->resizeSeq);
  for (;;) {
    std::memcpy(static_cast<void*>(&h), header_, sizeof h);
    Mem::fenceAcquire();
    U32 again = Mem::load32(&header_->resizeSeq);
    if (again == seq) break;
    seq = again;
  }
  return h;
}

bool SlotReaderBase::remap() {
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
  return Mem::load32(word) == a.version;
}

std::string SlotReaderBase::headerString() const {
  return header_ ? snapshot().toString() : std::string("SlotHeader (not attached)");
}

}  // namespace Zolm
