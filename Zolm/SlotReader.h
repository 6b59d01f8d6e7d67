#pragma once
// The read-only side of a table's slot file (layout in SlotTable.h).
//
// A reader maps the file read-only and never writes it. The writer, in
// another process, changes slots while the reader copies them, so every
// copy is optimistic: the slot's runtimeFlags are read before and after
// the copy and the copy is kept only when both reads agree. While the
// writer rewrites an occupied slot in place (LOOKASIDE set) the slot's
// current contents are in the header's critical-section image, and that
// is what is copied.
//
// The mapping follows the writer's resizes lazily: the header's
// (resizeSeq, numSlots) word says when the slot count changed, and
// doResize() then remaps to the new count. Every index is checked against
// the mapped count, so a read never leaves the mapping; an index past it
// is the usual sign that the writer grew the table.
#include <cstring>
#include <string>

#include "Zolm/SlotTable.h"
#include "Zolm/ZolmInterface.h"
#include "runtime/Debug.h"
#include "runtime/Mem.h"
#include "runtime/RootPath.h"

namespace Zolm {

template <class OpsT>
class SlotReaderTable {
 public:
  using Ops = OpsT;
  using Value = typename Ops::Value;
  static constexpr U32 S = Ops::slotSize;
  static constexpr U64 HEADER_SIZE = SlotTable::headerSize(S);
  static constexpr char const* FILENAME = "slots";

  SlotReaderTable(Quiv::DebugHandler* handler, Mem::RootPath const& root, Ops& ops, Reader::Counters& counters)
      : handler_(handler),
        region_(root, FILENAME, Mem::SharedMemWrapper::Mode::readOnly),
        ops_(ops),
        counters_(counters) {}

  // Maps the header only; the slots are mapped by the first doResize().
  bool attach() {
    detach();
    U64 have = region_.fileSize();
    if (have == 0) {
      fmtrace(handler_, 0, "no shared memory region");
      return false;
    }
    void* base = nullptr;
    if (have >= HEADER_SIZE) {
      try {
        base = region_.attach(HEADER_SIZE);
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
    ops_.seed = h.hashSeed;
    return true;
  }

  void detach() {
    region_.detach();
    header_ = nullptr;
    slots_ = nullptr;
    numSlots_ = 0;
    anchor_ = noneAnchor();
  }

  // A consistent copy of the common header: copied between two equal
  // reads of resizeSeq.
  SlotHeaderCommon snapshot() const {
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

  // Follows a change of the writer's slot count; true when it remapped.
  bool doResize() {
    if (!header_) return false;
    U64 word = Mem::load64(header_->resizeWord());
    if (U32(word) == local_.seq) return false;
    SlotHeaderCommon h = snapshot();
    U32 n = h.numSlots;
    U64 want;
    try {
      want = SlotTable::fileSize(S, n);
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
    slots_ = static_cast<char const*>(base) + HEADER_SIZE;
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

  // Copies slot `i` (rhash and value) and returns the runtimeFlags that
  // were the same before and after the copy.
  U32 read(U32 i, U32& rhash, Value& out) {
    checkIndex(i);
    SlotPrefix const* s = slotAt(i);
    SlotPrefix const* image = imageSlot();
    U32 flags = Mem::load32(&s->runtimeFlags);
    for (;;) {
      SlotPrefix const* src = (flags & SLOT_LOOKASIDE) ? image : s;
      if (flags & SLOT_LOOKASIDE) ++counters_.criticalReads;
      rhash = __atomic_load_n(&src->rhash, __ATOMIC_RELAXED);
      std::memcpy(static_cast<void*>(&out), reinterpret_cast<char const*>(src) + sizeof(SlotPrefix), Ops::valueSize);
      Mem::fenceAcquire();
      U32 again = Mem::load32(&s->runtimeFlags);
      if (again == flags) break;
      flags = again;
    }
    anchor_ = Mem::VersionAnchor{flags, flagsOffset(i), header_};
    return flags;
  }

  U32 flagsOf(U32 i) const {
    checkIndex(i);
    return Mem::load32(&slotAt(i)->runtimeFlags);
  }
  U64 linkOf(U32 i) const {
    checkIndex(i);
    return Mem::load64(&slotAt(i)->link);
  }
  U64 const* linkPtr(U32 i) const {
    checkIndex(i);
    return &slotAt(i)->link;
  }

  void checkIndex(U32 i) const {
    if (i >= numSlots_) fmthrow(Quiv::CorruptionDetectedException, "out-of-range index:{} numSlots:{}", i, numSlots_);
  }

  // The anchor of the last read; cleared after a miss.
  Mem::VersionAnchor const& anchor() const { return anchor_; }
  void anchorClear() { anchor_ = noneAnchor(); }
  // Whether the word an anchor names is still what was read.
  bool anchorCurrent(Mem::VersionAnchor const& a) const {
    if (a.offset >= Mem::VersionAnchor::NONE || a.base != header_ || !header_) return false;
    if (a.offset + 4 > HEADER_SIZE + U64(numSlots_) * S) return false;
    U32 const* word = reinterpret_cast<U32 const*>(reinterpret_cast<char const*>(header_) + a.offset);
    return Mem::load32(word) == a.version;
  }

  SlotHeaderCommon const* header() const { return header_; }
  U32 capacity() const { return numSlots_; }
  U64 mappedSize() const { return region_.memSize(); }
  U64 fileSize() const { return region_.fileSize(); }
  Mem::Tracked<Mem::SharedMemWrapper> const& region() const { return region_; }
  std::string headerString() const { return header_ ? snapshot().toString() : std::string("SlotHeader (not attached)"); }

  static Mem::VersionAnchor noneAnchor() { return Mem::VersionAnchor{0, Mem::VersionAnchor::NONE, nullptr}; }
  static Mem::VersionAnchor invalidatedAnchor() { return Mem::VersionAnchor{0, Mem::VersionAnchor::INVALIDATED, nullptr}; }

 private:
  SlotPrefix const* slotAt(U32 i) const { return reinterpret_cast<SlotPrefix const*>(slots_ + U64(i) * S); }
  SlotPrefix const* imageSlot() const {
    return reinterpret_cast<SlotPrefix const*>(reinterpret_cast<char const*>(header_) + COMMON_HEADER_SIZE);
  }
  static U64 flagsOffset(U32 i) { return HEADER_SIZE + U64(i) * S + 8; }

  Quiv::DebugHandler* handler_;
  Mem::Tracked<Mem::SharedMemWrapper> region_;
  SlotHeaderCommon const* header_ = nullptr;
  Mem::VersionedRef<unsigned int> local_;
  char const* slots_ = nullptr;
  U32 numSlots_ = 0;
  Mem::VersionAnchor anchor_ = noneAnchor();
  Ops& ops_;
  Reader::Counters& counters_;
};

}  // namespace Zolm
