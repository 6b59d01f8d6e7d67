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
// doResize() then remaps to the new count. The slot accessors take an
// index below capacity(), the mapped count: the callers check (an index
// past it is the usual sign that the writer grew the table), so a read
// never leaves the mapping.
//
// SlotReaderBase (SlotReader.cpp) is everything that knows only the slot
// size: mapping, header snapshots, remaps and version anchors. The typed
// SlotReaderTable adds the seqlock copy of a value, which is on every
// read's path and stays inline with the slot size a constant.
//
// Contract (the writer's rules are S1..S7 in Zolm/SlotWriter.h, W4, W5 in
// Zolm/ZolmWriter.h, L1, L2 in ZolmCore/SlotLink.h). Thread: one thread
// per reader object; nothing here is shared between threads. Writes:
// none; the mapping is read-only.
// The reader relies on:
//   S1  (resizeSeq, numSlots) is one word stored with one release store:
//       doResize and resizePending load it whole, and a count seen is a
//       count whose slots are laid out (and mapped, S5).
//   S2  each header word the writer stores between resizes keeps the
//       header check true on its own, so a snapshot needs a seqlock only
//       against resizes (snapshot).
//   S3, S4  a slot's runtimeFlags are its seqlock, and the image is not
//       rewritten while a copy of it can still be accepted (read).
//   S5  every slot below a count once seen stays mapped: a read below
//       capacity() never faults, whatever the writer does meanwhile.
//   S6  a re-format happens only under a new fenix id; what a reader
//       copies meanwhile is refused by the header check or the fenix file.
// S7's critical bit is never read here.
#include <cstring>
#include <string>

#include "VexaSwitchLib/Zolm/DynamicSlotAllocator.h"
#include "VexaSwitchLib/Zolm/SlotTable.h"
#include "VexaSwitchLib/Zolm/ZolmInterface.h"
#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"

namespace Zolm {

class SlotReaderBase {
 public:
  static constexpr char const* FILENAME = "slots";
  static_assert(Mem::RootPath::isTableFileName(FILENAME), "listed in RootPath::TABLE_FILES");

  // `seed` receives the table's hash seed at every attach, and again from
  // the header the caller validated (seedFrom).
  SlotReaderBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, U32 slotSize, U32& seed,
                 Reader::Counters& counters);

  // Maps the header only; the slots are mapped by the first doResize().
  bool attach();
  void detach();

  // A consistent copy of the common header: copied between two equal
  // reads of resizeSeq.
  SlotHeaderCommon snapshot() const;

  // Takes the hash seed from a snapshot that passed the header check
  // under the fenix id read before it. attach() copies the header before
  // the fenix file is read, so its seed may be one of a format still under
  // way (S6); the seed the walks hash with must be the validated one.
  void seedFrom(SlotHeaderCommon const& h) { seed_ = h.hashSeed; }

  // Follows a change of the writer's slot count; true when it remapped.
  bool doResize() {
    if (!header_) return false;
    // S1: acquire, pairs with the release store of the word in
    // SlotHeaderCommon::resizeWordIs (grow, shrink): whatever the writer
    // stored before it (a grown file's slots, a shrink's moves) is seen
    // by the reads that follow the remap.
    U64 word = Mem::load64(header_->resizeWord());
    if (U32(word) == local_.seq) return false;
    return remap();
  }

  // Whether the writer resized the slot file since the last remap. S1:
  // acquire, pairs with the release store in resizeWordIs. Called after a
  // walk (ZolmReader::settled, ReaderHashMap::fail): the acquire keeps the
  // walk's loads before it, so a walk that read anything a resize changed
  // (a shrink's move, a slot linked past the old count) sees that
  // resize's sequence here; a relaxed load could be satisfied early.
  [[gnu::always_inline]] bool resizePending() const { return header_ && U32(Mem::load64(header_->resizeWord())) != local_.seq; }

  // The anchor of the last read; cleared after a miss.
  Mem::VersionAnchor const& anchor() const { return anchor_; }
  void anchorClear() { anchor_ = noneAnchor(); }
  // Whether the word an anchor names is still what was read.
  bool anchorCurrent(Mem::VersionAnchor const& a) const;

  SlotHeaderCommon const* header() const { return header_; }
  U32 capacity() const { return numSlots_; }
  U64 mappedSize() const { return region_.memSize(); }
  U64 fileSize() const { return region_.fileSize(); }
  Mem::Tracked<Mem::SharedMemWrapper> const& region() const { return region_; }
  std::string headerString() const;

  static Mem::VersionAnchor noneAnchor() { return Mem::VersionAnchor{0, Mem::VersionAnchor::NONE, nullptr}; }
  static Mem::VersionAnchor invalidatedAnchor() { return Mem::VersionAnchor{0, Mem::VersionAnchor::INVALIDATED, nullptr}; }

 protected:
  bool remap();

  Quiv::DebugHandler* handler_;
  Mem::Tracked<Mem::SharedMemWrapper> region_;
  U32 slotSize_;
  U64 headerSize_;  // common header and the critical-section image
  SlotHeaderCommon const* header_ = nullptr;
  Mem::VersionedRef<unsigned int> local_;
  char const* slots_ = nullptr;
  U32 numSlots_ = 0;
  U32& seed_;
  Mem::VersionAnchor anchor_ = noneAnchor();
  Reader::Counters& counters_;
};

// The slab side of a reader of slab-stored values (nothing for the others).
template <class Ops, bool = Ops::dynamic>
struct SlabReaderOf {
  using type = char;
};
template <class Ops>
struct SlabReaderOf<Ops, true> {
  using type = typename DynamicSlotAllocator<typename Ops::Key, typename Ops::Value>::Reader;
};

template <class OpsT>
class SlotReaderTable : public SlotReaderBase {
 public:
  using Ops = OpsT;
  using Value = typename Ops::Value;
  using SlabReader = typename SlabReaderOf<Ops>::type;
  static constexpr U32 S = Ops::slotSize;
  static constexpr U64 HEADER_SIZE = SlotTable::headerSize(S);

  // `fenix` (slab-stored values): the incarnation the reader attached to,
  // which the slabs' headers must carry.
  SlotReaderTable(Quiv::DebugHandler* handler, Mem::RootPath const& root, Ops& ops, Reader::Counters& counters,
                  SharedMem::FenixId const* fenix = nullptr, std::string_view name = {})
      : SlotReaderBase(handler, root, S, ops.seed, counters), fenix_(fenix) {
    if constexpr (Ops::dynamic) slabs_ = std::make_unique<SlabReader>(handler, std::string(name), root);
  }

  // Copies slot `i` (rhash and value) and returns the runtimeFlags that
  // were the same before and after the copy (S3).
  U32 read(U32 i, U32& rhash, Value& out) {
    if constexpr (Ops::dynamic) return readSlab(i, rhash, out);
    SlotPrefix const* s = slotAt(i);
    SlotPrefix const* image = imageSlot();
    // S3: acquire, pairs with the writer's release stores of the flags in
    // SlotWriterTable::rewrite: step 5 (the value in the slot is
    // complete) or step 3 (LOOKASIDE: the image is complete); also with
    // clearOccupied. Keeps the copy below after this load.
    U32 flags = Mem::load32(&s->runtimeFlags);
    for (;;) {
      SlotPrefix const* src = (flags & SLOT_LOOKASIDE) ? image : s;
      if (flags & SLOT_LOOKASIDE) ++counters_.criticalReads;
      // Relaxed and plain: the seqlock's data race. The words may change
      // while they are copied; the flags check below drops such a copy.
      rhash = Mem::loadRelaxed32(&src->rhash);
      std::memcpy(static_cast<void*>(&out), reinterpret_cast<char const*>(src) + sizeof(SlotPrefix), Ops::valueSize);
      // S3, S4: keeps the copy before the second load of the flags (an
      // acquire load alone would let the copy's loads sink below it).
      // Pairs with the release fence in SlotWriterTable::rewrite after
      // step 3 (a copy that read any new value byte sees flags + 2 or
      // later below) and with stageFence (a copy that read any byte of the
      // next change's image sees the previous change's step 5 below).
      Mem::fenceAcquire();
      U32 again = Mem::load32(&s->runtimeFlags);
      if (again == flags) break;
      flags = again;
    }
    anchor_ = Mem::VersionAnchor{flags, flagsOffset(i), header_};
    return flags;
  }

  // S3: acquire, pairs with the writer's release stores of the flags
  // (rewrite step 5, clearOccupied, vacate). The walks compare it with a
  // copy's flags after loading the slot's link (ReaderHashMap.h).
  U32 flagsOf(U32 i) const { return Mem::load32(&slotAt(i)->runtimeFlags); }
  // L1, L2: one acquire load, pairs with SlotLink::store in the writer
  // (publish, unlink, free, vacate); loads after it (the flags re-check,
  // the successor's copy) are not hoisted above it.
  U64 linkOf(U32 i) const { return Mem::load64(&slotAt(i)->link); }
  U64 const* linkPtr(U32 i) const { return &slotAt(i)->link; }
  // For prefetching only: both lines a slot may span, and relaxed peeks at
  // its rhash and link whose values steer prefetches and decide nothing.
  void prefetch(U32 i) const {
    char const* p = reinterpret_cast<char const*>(slotAt(i));
    __builtin_prefetch(p);
    __builtin_prefetch(p + S - 1);
  }
  U32 rhashPeek(U32 i) const { return Mem::loadRelaxed32(&slotAt(i)->rhash); }
  U64 linkPeek(U32 i) const { return Mem::loadRelaxed64(&slotAt(i)->link); }
  SlabReader* slabs() const { return slabs_.get(); }

 private:
  // A slab-stored value: the slot's offset (from the image under
  // LOOKASIDE) and the entry's payload are copied under the slot's
  // seqlock (S3, K2). Only a copy whose flags held still is checked and
  // decoded; a slab that refused a stale offset is asked again with the
  // flags changed, and a refusal with the flags unchanged is reported
  // after one more try (its lookup re-mapped the slab first).
  //
  // Flags that held still prove the copy only while the slot file kept its
  // geometry: a slot emptied by a shrink and laid out again by a growth
  // starts its flags from 0 and may reach the value read first. The copy of
  // an entry takes long enough (a slab lookup, maybe a remap) for that to
  // happen under it, so a copy that does not decode while the slot file
  // was resized is reported as a free slot: the caller's repeat rule
  // (ZolmReader.h) remaps and reads again.
  U32 readSlab(U32 i, U32& rhash, Value& out) {
    using Dyn = DynamicSlotAllocator<typename Ops::Key, Value>;
    SlotPrefix const* s = slotAt(i);
    SlotPrefix const* image = imageSlot();
    alignas(8) char buf[Dyn::MAX_PAYLOAD];
    std::string why;
    // S3: acquire, as in read().
    U32 flags = Mem::load32(&s->runtimeFlags);
    for (U32 refusals = 0;;) {
      SlotPrefix const* src = (flags & SLOT_LOOKASIDE) ? image : s;
      if (flags & SLOT_LOOKASIDE) ++counters_.criticalReads;
      rhash = Mem::loadRelaxed32(&src->rhash);
      Bloka::Offset off(Mem::loadRelaxed32(reinterpret_cast<U32 const*>(SlotSpan::valuePtr(src))));
      U32 size = 0;
      bool ok = !(flags & SLOT_OCCUPIED) || slabs_->copy(off, fenix_ ? fenix_->value() : 0, buf, size, why);
      // S3, K2: the copies before the second load of the flags (as in read()).
      Mem::fenceAcquire();
      U32 again = Mem::load32(&s->runtimeFlags);
      if (again != flags) {
        flags = again;
        continue;
      }
      if (!(flags & SLOT_OCCUPIED)) {
        out = Ops::defaultValue();
        break;
      }
      if (ok && Dyn::decodes(buf, size, out)) break;
      if (resizePending()) {
        out = Ops::defaultValue();
        flags &= ~SLOT_OCCUPIED;
        break;
      }
      if (!ok) {
        if (++refusals < 2) continue;
        fmthrow(Quiv::CorruptionDetectedException, "{}", why);
      }
      Dyn::decode("DynamicSlotAllocator::Reader::retrieve()", off, buf, size, out);
      break;
    }
    anchor_ = Mem::VersionAnchor{flags, flagsOffset(i), header_};
    return flags;
  }

  SlotPrefix const* slotAt(U32 i) const { return reinterpret_cast<SlotPrefix const*>(slots_ + U64(i) * S); }
  SlotPrefix const* imageSlot() const {
    return reinterpret_cast<SlotPrefix const*>(reinterpret_cast<char const*>(header_) + COMMON_HEADER_SIZE);
  }
  static U64 flagsOffset(U32 i) { return HEADER_SIZE + U64(i) * S + 8; }

  SharedMem::FenixId const* fenix_;
  std::unique_ptr<SlabReader> slabs_;
};

}  // namespace Zolm
