#pragma once
// The writer's side of the slot file: creating, validating, re-formatting,
// growing and shrinking it, the free list, and the critical section under
// which an occupied slot changes in place while readers read it.
//
// Store order of an in-place change (readers accept a copy only when the
// slot's runtimeFlags did not change while they copied):
//   1. header runtimeFlags bit 0 set (the writer is inside)
//   2. occupied slot: rhash and the new value copied into the image
//   3. slot runtimeFlags + 2 (LOOKASIDE on: readers read the image)
//   4. the new value written into the slot
//   5. slot runtimeFlags + 2 (LOOKASIDE off, change counter + 1), OCCUPIED
//   6. header runtimeFlags bit 0 cleared
// (resizeSeq, numSlots) is always stored as one 64-bit word.
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#include "ZolmCore/Ops.h"
#include "Zolm/SlotTable.h"
#include "runtime/Mem.h"

namespace Zolm {

class TableFullException : public Quiv::Exception {
  using Exception::Exception;
};

template <class OpsT>
class SlotWriterTable {
 public:
  using Ops = OpsT;
  using Value = typename Ops::Value;
  static constexpr U32 S = Ops::slotSize;
  static constexpr U64 HEADER_SIZE = SlotTable::headerSize(S);
  static constexpr char const* FILENAME = "slots";
  static constexpr U32 MAX_SLOTS = 0x7FFFFFFFu;  // bit 31 marks buckets

  SlotWriterTable(Quiv::DebugHandler* handler, std::string name, Ops* ops, Mem::RootPath const& root, bool local,
                  U32 maxSlots, bool fixedSize, bool shrinkEnabled, Writer::Counters* counters)
      : handler_(handler),
        name_(std::move(name)),
        ops_(ops),
        region_(root, FILENAME, local),
        maxSlots_(std::max<U32>(1, std::min(maxSlots, MAX_SLOTS))),
        fixedSize_(fixedSize),
        shrinkEnabled_(shrinkEnabled),
        counters_(counters) {
    minSlots_ = fixedSize_ ? maxSlots_ : std::min(SlotTable::pageSlots(S), maxSlots_);
  }

  // Maps the file, keeping an existing one that passes the header check
  // against `fenixId` unless `reformat`. Returns true (a mapped table).
  bool attach(U32 fenixId, bool reformat = false) {
    detach();
    U64 have = region_.fileSize();
    bool existed = have > 0;
    existed_ = existed;
    if (existed && !reformat) {
      void* base = region_.attach(0);
      rederive(base);
      Quiv::String error;
      if (header_ && SlotTable::validateHeader(handler_, *header_, have, fenixId, S, Ops::valueSize,
                                               Ops::typeName(), error)) {
        if (fixedSize_ && header_->numSlots != maxSlots_) {
          fmtrace(handler_, 1, "wanted capacity:{} for fixed-size table, but existing file has capacity:{}",
                  maxSlots_, header_->numSlots);
        } else {
          ops_->seed = header_->hashSeed;
          U32 n = header_->numSlots;
          rederive(region_.resize(SlotTable::fileSize(S, n)));
          fmtrace(handler_, 1, "{}::attach() to existing {}", name_, region_.name());
          finishAttach();
          kept_ = true;
          return true;
        }
      }
    }
    format(fenixId, existed);
    kept_ = false;
    return true;
  }

  void detach() {
    if (header_) fmtrace(handler_, 5, "detach");
    region_.detach();
    header_ = nullptr;
    slots_ = nullptr;
    numSlots_ = 0;
    maxIndex_ = 0;
  }
  void removeFile() {
    header_ = nullptr;
    slots_ = nullptr;
    if (region_.remove()) fmtrace(handler_, 3, "removing file: {}", region_.name());
  }

  // Takes the first free slot, growing the table when none is free.
  U32 alloc() {
    if (header_->freeList == SlotLink::END && !grow()) {
      leaveCritical();
      fmthrow(TableFullException, "Zolm table full (occupancy:{} tableSize:{}) {}", header_->occupiedSlots,
              maxSlots_, name_);
    }
    U32 id = header_->freeList;
    checkIndex(id);
    header_->freeList = slot(id)->next();
    return id;
  }

  bool grow() {
    U32 old = numSlots_;
    if (header_->occupiedSlots != old)
      fmthrow(Quiv::CorruptionDetectedException,
              "the slot table is full but numSlots: {} and occupiedSlots: {} are not equal", old,
              header_->occupiedSlots);
    if (fixedSize_) return false;
    U32 next = growTarget(old, maxSlots_);
    if (next <= old) return false;
    resize(next);
    header_->freeList = initializeSlots(old, next);
    header_->maxNumSlots = std::max(header_->maxNumSlots, next);
    header_->resizeWordIs(header_->resizeSeq + 1, next);
    numSlots_ = next;
    maxIndex_ = next - 1;
    fmtrace(handler_, 2, "{} from {} slots to {}", name_, old, next);
    shrinkThreshold_ = computeShrinkThreshold();
    if (counters_) ++counters_->grows;
    return true;
  }

  // Below the requested size the table doubles (capped at it); at or above
  // it grows by 10 %, computed in single precision as the format demands.
  static U32 growTarget(U32 n, U32 maxSlots) {
    U64 next;
    if (n < maxSlots) {
      next = std::min<U64>(U64(n) * 2, maxSlots);
    } else {
      float product = static_cast<float>(n) * 1.1f;
      next = static_cast<U64>(std::ceil(product));
    }
    return static_cast<U32>(std::min<U64>(next, MAX_SLOTS));
  }

  // Maps room for `newNumSlots` slots (the header's count is the caller's).
  void resize(U32 newNumSlots) {
    U64 size = SlotTable::fileSize(S, newNumSlots);
    if (newNumSlots > maxSlots_) fmtrace(handler_, 5, "overflowing by {} slots", newNumSlots - maxSlots_);
    fmtrace(handler_, 5, "{} from {} to {} slots", name_, numSlots_, newNumSlots);
    void* before = region_.base();
    void* base;
    try {
      base = region_.resize(size);
    } catch (Quiv::Exception const& e) {
      fmthrow(Quiv::MemoryResourceException, "failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
              region_.name(), numSlots_, newNumSlots, size, e.msg());
    }
    if (base != before) {
      fmtrace(handler_, 5, "remap base address changed from {} to {}", before, base);
      if (counters_) ++counters_->remaps;
    }
    rederive(base);
    fmtrace(handler_, 5, "to {} successfully", newNumSlots);
  }

  void shrink(U32 newNumSlots) {
    U32 old = numSlots_;
    fmtrace(handler_, 5, "newNumSlots:{}", newNumSlots);
    header_->resizeWordIs(header_->resizeSeq + 1, newNumSlots);
    resize(newNumSlots);
    numSlots_ = newNumSlots;
    maxIndex_ = newNumSlots ? newNumSlots - 1 : 0;
    shrinkThreshold_ = computeShrinkThreshold();
    fmtrace(handler_, 5, "shrinkThreshold_:{}", shrinkThreshold_);
    if (counters_) ++counters_->shrinks;
    fmtrace(handler_, 2, "{} from {} slots to {}", name_, old, newNumSlots);
  }

  // Drops every free slot at or above `threshold` from the free list.
  void purgeFreeSlots(U32 threshold) {
    fmassert(threshold < numSlots_, "SlotWriter", "bad threshold: {} numSlots:{}", threshold, numSlots_);
    fmassert(header_->freeList != SlotLink::END, "SlotWriter", "free-list is empty");
    U32 walked = 0;
    U64* prevLink = nullptr;  // null: the predecessor is the header's freeList
    U32 id = header_->freeList;
    while (id != SlotLink::END) {
      checkIndex(id);
      if (++walked > numSlots_) break;
      SlotPrefix* s = slot(id);
      U32 succ = s->next();
      if (id >= threshold) {
        fmtrace(handler_, 7, "removing slot id {} from free-list", id);
        if (prevLink) SlotLink::store(prevLink, SlotLink::next(*prevLink, succ));
        else header_->freeList = succ;
      } else {
        prevLink = &s->link;
      }
      id = succ;
    }
    if (walked + header_->occupiedSlots != numSlots_)
      fmthrow(Quiv::CorruptionDetectedException,
              "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up to numSlots: {}", walked,
              header_->occupiedSlots, numSlots_);
  }

  // Copies occupied slot `from` into the free-list head (a lower slot).
  U32 move(U32 from) {
    U32 to = header_->freeList;
    fmassert(to != SlotLink::END, "SlotWriter", "not valid toSlotId:{}", to);
    fmassert(to < from, "SlotWriter", "should always move entries to lower section fromSlotId:{} toSlotId:{}", from,
             to);
    checkIndex(from);
    checkIndex(to);
    SlotPrefix* src = slot(from);
    SlotPrefix* dst = slot(to);
    dst->rhash = src->rhash;
    header_->freeList = dst->next();
    std::memcpy(valuePtr(dst), valuePtr(src), Ops::valueSize);
    Mem::store32(&dst->runtimeFlags, (dst->runtimeFlags + 4) | SLOT_OCCUPIED);
    SlotLink::store(&dst->link, SlotLink::next(dst->link, src->next()));
    fmtrace(handler_, 7, "fromSlotId:{} toSlotId:{}", from, to);
    return to;
  }

  // Makes slots [start, end) empty and chains them as the free list.
  U32 initializeSlots(U32 start, U32 end) {
    fmassert(start < end, "SlotWriter", "bad index range, start: {} end: {}", start, end);
    fmassert(header_->freeList == SlotLink::END, "SlotWriter", "free-list is not empty");
    U32 head = SlotLink::END;
    for (U32 i = end; i-- > start;) {
      SlotPrefix* s = slotRaw(i);
      U64 link = s->link;
      writeEmpty(s);
      SlotLink::store(&s->link, SlotLink::next(link, head));
      head = i;
    }
    return start;
  }

  // --- critical section ------------------------------------------------------
  bool inCritical() const { return Mem::load16(&header_->runtimeFlags) & SlotHeaderCommon::RUNTIME_CRITICAL; }
  // False when already inside (reentrancy).
  bool enterCritical() {
    if (inCritical()) return false;
    Mem::store16(&header_->runtimeFlags, header_->runtimeFlags | SlotHeaderCommon::RUNTIME_CRITICAL);
    return true;
  }
  void leaveCritical() {
    Mem::store16(&header_->runtimeFlags, header_->runtimeFlags & ~SlotHeaderCommon::RUNTIME_CRITICAL);
  }
  // Writes `value` into slot `id`: in place through the image when it is
  // occupied, directly (but with the same flag steps) when it is free.
  void writeValue(U32 id, Value const& value) {
    SlotPrefix* s = slot(id);
    if (s->runtimeFlags & SLOT_OCCUPIED) {
      std::memcpy(valuePtr(image()), &value, Ops::valueSize);
      commitImage(id);
      return;
    }
    rewrite(s, &value);
  }
  // The value staged in the image (by writeValue or a direct update) goes
  // into its slot.
  void commitImage(U32 id) {
    SlotPrefix* s = slot(id);
    image()->rhash = s->rhash;
    rewrite(s, valuePtr(image()));
  }
  void clearOccupied(U32 id) {
    SlotPrefix* s = slot(id);
    Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~SLOT_OCCUPIED);
  }

  // --- access ----------------------------------------------------------------
  SlotPrefix* slot(U32 id) const {
    checkIndex(id);
    return slotRaw(id);
  }
  SlotPrefix* slotRaw(U32 id) const { return reinterpret_cast<SlotPrefix*>(slots_ + U64(id) * S); }
  SlotPrefix* image() const { return reinterpret_cast<SlotPrefix*>(reinterpret_cast<char*>(header_) + COMMON_HEADER_SIZE); }
  static char* valuePtr(SlotPrefix* s) { return reinterpret_cast<char*>(s) + sizeof(SlotPrefix); }
  // The writer is the only one changing its slots, so it may read a value
  // in place.
  static Value const& valueRef(SlotPrefix const* s) {
    return *std::launder(reinterpret_cast<Value const*>(reinterpret_cast<char const*>(s) + sizeof(SlotPrefix)));
  }
  static Value valueOf(SlotPrefix const* s) {
    Value v;
    std::memcpy(static_cast<void*>(&v), reinterpret_cast<char const*>(s) + sizeof(SlotPrefix), Ops::valueSize);
    return v;
  }
  void checkIndex(U32 id) const {
    if (id > maxIndex_ || numSlots_ == 0)
      fmthrow(Quiv::CorruptionDetectedException, "out-of-range index: {} max:{}", id, maxIndex_);
  }
  // Byte offset of a link word from the mapping's base (survives a remap).
  U64 offsetOf(U64 const* link) const { return reinterpret_cast<char const*>(link) - reinterpret_cast<char const*>(header_); }
  U64* linkAt(U64 offset) const { return reinterpret_cast<U64*>(reinterpret_cast<char*>(header_) + offset); }

  SlotHeaderCommon* header() const { return header_; }
  U32 capacity() const { return numSlots_; }
  U32 numSlots() const { return numSlots_; }
  U32 maxIndex() const { return maxIndex_; }
  U32 maxSlots() const { return maxSlots_; }
  U32 minSlots() const { return minSlots_; }
  U32 shrinkThreshold() const { return shrinkThreshold_; }
  bool fixedSize() const { return fixedSize_; }
  bool kept() const { return kept_; }
  // Whether the last attach found a file there (kept or re-formatted).
  bool existed() const { return existed_; }
  bool attached() const { return header_ != nullptr; }
  U64 mappedSize() const { return region_.memSize(); }
  Mem::WriterRegion& region() { return region_; }
  std::string const& fileName() const { return region_.name(); }
  std::string headerString() const { return header_ ? header_->toString() : std::string("SlotHeader (not attached)"); }

  U32 computeShrinkThreshold() const {
    if (!shrinkEnabled_ || fixedSize_ || numSlots_ <= minSlots_) return 0;
    return largestPowerOfTwoAtMost(numSlots_ - 1);
  }

 private:
  void rederive(void* base) {
    header_ = static_cast<SlotHeaderCommon*>(base);
    slots_ = base ? static_cast<char*>(base) + HEADER_SIZE : nullptr;
    if (header_ && region_.memSize() >= SlotTable::fileSize(S, header_->numSlots)) {
      numSlots_ = header_->numSlots;
      maxIndex_ = numSlots_ ? numSlots_ - 1 : 0;
    }
  }
  // numSlots_ and maxIndex_ are set by now (rederive, or format).
  void finishAttach() {
    shrinkThreshold_ = computeShrinkThreshold();
    fmtrace(handler_, 1, "shrinkThreshold_:{}", shrinkThreshold_);
  }
  // Steps 3 to 5 of the in-place change (see the top of this file).
  void rewrite(SlotPrefix* s, void const* value) {
    U32 flags = s->runtimeFlags;
    Mem::store32(&s->runtimeFlags, flags + 2);
    Mem::fenceRelease();
    std::memcpy(valuePtr(s), value, Ops::valueSize);
    Mem::store32(&s->runtimeFlags, (flags + 4) | SLOT_OCCUPIED);
  }
  void writeEmpty(SlotPrefix* s) {
    std::memset(static_cast<void*>(s), 0, S);
    s->link = SlotLink::make(0, SlotLink::END);
    std::memcpy(valuePtr(s), &Ops::defaultValue(), Ops::valueSize);
  }
  void format(U32 fenixId, bool existed) {
    U64 size = SlotTable::fileSize(S, minSlots_);
    void* base;
    try {
      base = region_.base() ? region_.resize(size) : region_.attach(size);
    } catch (Quiv::MemoryResourceException const& e) {
      fmthrow(Quiv::MemoryResourceException, "failed to resize {} to size {} : {}", region_.name(), size, e.msg());
    } catch (Quiv::Exception const& e) {
      fmthrow(Quiv::InvalidInitializeException, "cannot attach to shmem {} size:{}: {}", region_.name(), size,
              e.msg());
    }
    header_ = static_cast<SlotHeaderCommon*>(base);
    slots_ = static_cast<char*>(base) + HEADER_SIZE;
    U32 seed = static_cast<U32>(std::rand());
    ops_->seed = seed;
    header_->init(handler_, COMMON_HEADER_SIZE, S, minSlots_, maxSlots_, Ops::headerFlags, fenixId,
                  Ops::typeName(), Ops::valueSize, seed);
    Mem::store64(&header_->magic, 0);  // not valid until the slots are laid out
    writeEmpty(image());
    header_->resizeWordIs(0, minSlots_);
    header_->maxNumSlots = minSlots_;
    numSlots_ = minSlots_;
    maxIndex_ = minSlots_ - 1;
    header_->freeList = initializeSlots(0, minSlots_);
    Mem::store64(&header_->magic, SlotHeaderCommon::MAGIC);
    if (existed) fmtrace(handler_, 1, "{}::attach() re-formatted {}", name_, region_.name());
    else fmtrace(handler_, 1, "{}::attach() to new file {}", name_, region_.name());
    finishAttach();
  }

  Quiv::DebugHandler* handler_;
  std::string name_;
  Ops* ops_;
  Mem::WriterRegion region_;
  SlotHeaderCommon* header_ = nullptr;
  U32 numSlots_ = 0;
  U32 maxSlots_;
  U32 minSlots_;
  char* slots_ = nullptr;
  U32 maxIndex_ = 0;
  bool fixedSize_;
  bool shrinkEnabled_;
  U32 shrinkThreshold_ = 0;
  Writer::Counters* counters_;
  bool kept_ = false;
  bool existed_ = false;
};

}  // namespace Zolm
