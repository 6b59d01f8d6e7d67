#include "VexaSwitchLib/Zolm/Validator.h"

namespace Zolm {

bool Validator::validate(U32 fenixId) {
  bool ok = false;
  try {
    ok = doValidate(fenixId);
  } catch (Quiv::Exception const& e) {
    fmtrace(handler_, 0, "caught: {}", e.msg());
    if (error_.empty()) error_ = e.msg();
    ok = false;
  }
  if (!ok) fmtrace(handler_, 0, "Zolm {} validation failed: {}", t_.name, error_);
  return ok;
}

bool Validator::doValidate(U32 fenixId) {
  auto& st = t_.slotTable;
  SlotHeaderCommon const* h = st.header();
  if (!t_.hashMap.bucketWriter().validate(fenixId, error_)) return false;
  if (h->runtimeFlags & SlotHeaderCommon::RUNTIME_CRITICAL) {
    error_ = fmt::format("bad critical section runtimeFlags:{:x}", h->runtimeFlags);
    return false;
  }
  if (!SlotTable::validateHeader(handler_, *h, st.mappedSize(), fenixId, t_.keyOps.slotSize, t_.keyOps.valueSize,
                                 t_.keyOps.typeName, error_))
    return false;
  if ((t_.nimbr != nullptr) && !(*t_.nimbr).validate(h->maxNumSlots, error_)) return false;
  U32 qlen = (t_.nimbr != nullptr) ? (*t_.nimbr).length() : 0;
  posMarks_.resize(qlen, false);
  slotMarks_.resize(st.numSlots(), false);
  occupiedCount_ = freeCount_ = 0;
  if (!walkOccupiedSlots()) return false;
  if (!walkFreeSlots()) return false;
  if (occupiedCount_ + freeCount_ != st.numSlots()) {
    error_ = fmt::format("bad slotCount:{} occupiedSlots:{} freeSlots:{} capacity:{}", occupiedCount_ + freeCount_,
                         occupiedCount_, freeCount_, st.numSlots());
    return false;
  }
  if ((t_.nimbr != nullptr) && !checkQueue()) return false;
  if (t_.slabs && !checkSlabs()) return false;
  return true;
}

bool Validator::checkSlabs() {
  auto& st = t_.slotTable;
  U64 entries = 0;
  for (U32 i = 0; i < Bloka::NUM_SLABS; ++i)
    if (auto const* s = t_.slabs->slab(i)) entries += s->numOccupied();
  for (U32 id = 0; id < st.numSlots(); ++id) {
    SlotPrefix const* s = st.slotRaw(id);
    if (!(s->runtimeFlags & SLOT_OCCUPIED)) continue;
    U32 raw;
    std::memcpy(&raw, SlotSpan::valuePtr(s), sizeof raw);
    Bloka::Offset off(raw);
    U32 size;
    t_.slabs->payload(off, size);  // throws for a free entry or a bad offset
    U32 client = t_.slabs->clientData(off);
    if (client != id) {
      error_ = fmt::format("Clientdata mismatch, slot {} contains offset: {} but slabEntry references slot: {}", id, off,
                           client);
      return false;
    }
  }
  if (entries != occupiedCount_) {
    error_ = fmt::format("slab entries in use:{} but occupied slots:{}", entries, occupiedCount_);
    return false;
  }
  return t_.slabs->validate(error_);
}

bool Validator::walkOccupiedSlots() {
  fmtrace(handler_, 5, "starting");
  auto& st = t_.slotTable;
  auto& hm = t_.hashMap;
  U32 const occupied = st.header()->occupiedSlots;
  ZolmCore::ErasedKeys keys{t_.keyOps, t_.seed, t_.source};
  void const* v = nullptr;
  IterHint hint;
  U32 count = 0;
  for (bool more = hm.first(keys, v, hint); more; more = hm.next(keys, static_cast<void const*>(v), v, hint)) {
    if (++count > occupied) {
      error_ = fmt::format("walkedSlots:{} is greater than header->occupiedSlots:{}", count, occupied);
      return false;
    }
    markOccupied(hint.slot);
    // The walk follows links, so a slot whose key was damaged in place
    // is still reached; only its stored rhash betrays it. Such an entry
    // could never be found again by its key.
    U32 want = Zolm::reverseBits32(keys.hashOf(v));
    U32 stored = t_.slotTable.slotRaw(hint.slot)->rhash;
    if (stored != want) {
      error_ = fmt::format("corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}", hint.slot, stored, want);
      return false;
    }
  }
  if (count != occupied) {
    error_ = fmt::format("mismatch header->occupiedSlots:{} count:{}", occupied, count);
    return false;
  }
  occupiedCount_ = count;
  fmtrace(handler_, 5, "marked {} slots", count);
  return true;
}

void Validator::markOccupied(U32 slotId) {
  fmtrace(handler_, 9, "slotIndex: {}", slotId);
  auto& st = t_.slotTable;
  if (slotId < slotMarks_.size() && slotMarks_[slotId])
    fmthrow(Quiv::CorruptionDetectedException, "duplicate slot: {}", slotId);
  if (slotId > st.maxIndex()) fmthrow(Quiv::CorruptionDetectedException, "out-of-range index: {} max:{}", slotId, st.maxIndex());
  slotMarks_[slotId] = true;
  U32 flags = st.slotRaw(slotId)->runtimeFlags;
  if (!(flags & SLOT_OCCUPIED)) fmthrow(Quiv::CorruptionDetectedException, "missing OCCUPIED bit: {:#x}", flags);
  if (flags & SLOT_LOOKASIDE) fmthrow(Quiv::CorruptionDetectedException, "stuck LOOKASIDE bit: {:#x}", flags);
  if (!(t_.nimbr != nullptr)) return;
  auto& q = *t_.nimbr;
  U32 pos = q.slotPos(slotId);
  if (pos == Nimbr::NimbrWriter::NONE) {
    fmtrace(handler_, 9, "no notification in nimbr queue for occupied slotId:{}", slotId);
    return;
  }
  if (pos >= q.length())
    fmthrow(Quiv::CorruptionDetectedException, "slot:{} bad nimbr index:{} size:{}", slotId, pos, q.length());
  Nimbr::Record r = q.entryAt(pos);
  if (r.slot != slotId)
    fmthrow(Quiv::CorruptionDetectedException, "slot:{} bad notification:{} slot:{}", slotId, pos, r.slot);
  if (posMarks_[pos])
    fmthrow(Quiv::CorruptionDetectedException, "slot:{} duplicate nimbr position:{}", slotId, pos);
  posMarks_[pos] = true;
}

bool Validator::walkFreeSlots() {
  fmtrace(handler_, 5, "starting");
  auto& st = t_.slotTable;
  auto fail = [&](std::string msg) {
    error_ = std::move(msg);
    fmtracestr(handler_, 0, error_);
    return false;
  };
  U32 id = st.header()->freeList;
  while (id != SlotLink::END) {
    fmtrace(handler_, 9, "walking slotIndex: {}", id);
    if (id >= st.numSlots()) return fail(fmt::format("corrupted free slot detected with out of bound index: {}", id));
    if (slotMarks_[id]) return fail(fmt::format("duplicate freeSlot detected: {}", id));
    slotMarks_[id] = true;
    ++freeCount_;
    if ((t_.nimbr != nullptr)) {
      auto& q = *t_.nimbr;
      U32 pos = q.slotPos(id);
      if (pos != Nimbr::NimbrWriter::NONE) {
        if (pos >= q.length())
          return fail(fmt::format("slot index:{} has out of range nimbr slot: {}", id, pos));
        Nimbr::Record r = q.entryAt(pos);
        if (r.slot != id) return fail(fmt::format("slot index:{} has slot:{} with wrong nimbr slot:{}", id, r.slot, pos));
      }
    }
    SlotPrefix const* s = st.slotRaw(id);
    if (s->runtimeFlags & SLOT_OCCUPIED) return fail(fmt::format("corrupted free slot not marked as empty: {}", id));
    id = s->next();
  }
  fmtrace(handler_, 5, "marked {} free slots", freeCount_);
  return true;
}

bool Validator::checkQueue() {
  auto& st = t_.slotTable;
  auto& q = *t_.nimbr;
  for (U32 p = 0; p < q.length(); ++p) {
    Nimbr::Record r = q.entryAt(p);
    if (r.seq == 0) continue;  // never written
    if (r.slot == Nimbr::NimbrWriter::TOMBSTONE) {
      if (posMarks_[p]) {
        error_ = fmt::format("active tombstone pos:{}", p);
        return false;
      }
      continue;
    }
    if (!posMarks_[p] && r.slot < st.numSlots() && (st.slotRaw(r.slot)->runtimeFlags & SLOT_OCCUPIED)) {
      error_ = fmt::format("occupied slot:{} on deleted notification:{}", r.slot, p);
      return false;
    }
    bool live = q.inLiveWindow(r.seq);
    if (live && q.slotPos(r.slot) != p) {
      error_ = fmt::format("nimbr pos:{} has slot:{} seq:{} with wrong nimbrSlot:{}", p, r.slot, r.seq,
                           q.slotPos(r.slot));
      return false;
    }
    if (!live && q.slotPos(r.slot) == p) {
      error_ = fmt::format("corral pos:{} seq:{} slot:{} nimbrPos:{}", p, r.seq, r.slot, q.slotPos(r.slot));
      return false;
    }
  }
  return true;
}

}  // namespace Zolm
