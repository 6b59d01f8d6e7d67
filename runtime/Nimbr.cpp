#include "VexaSwitchLib/runtime/Nimbr.h"

#include <cstring>

namespace Nimbr {

namespace {
U32 nextPow2(U32 v) {
  U32 p = 1;
  while (p < v && p < (1u << 30)) p <<= 1;
  return p;
}
constexpr U32 MIN_MAP = 64;
}  // namespace

bool Header::validate(U64 fileSize, U32 fenix, Quiv::String& error) const {
  if (fileSize < SIZE) {
    error = fmt::format("nimbr file too short: {} bytes", fileSize);
    return false;
  }
  if (magic != MAGIC) {
    error = fmt::format("not a nimbr file: bad magic {:#018x}", magic);
    return false;
  }
  if (formatVersion != FORMAT_VERSION) {
    error = fmt::format("nimbr format version {} not supported (this library reads version {})", formatVersion,
                        FORMAT_VERSION);
    return false;
  }
  if (fenix && fenixId != fenix) {
    error = fmt::format("nimbr fenixId mismatch: file {:#x} wanted:{:#x}", fenixId, fenix);
    return false;
  }
  if (capacity < 4 || (capacity & (capacity - 1)) || capacity > (1u << 31) || window != capacity - capacity / 4 ||
      mapSize == 0 || mapSize > capacity) {
    error = fmt::format("bad nimbr geometry: capacity:{} window:{} mapSize:{}", capacity, window, mapSize);
    return false;
  }
  if (fileSize < fileSizeFor(mapSize, capacity)) {
    error = fmt::format("bad nimbr file size:{} wanted:{}", fileSize, fileSizeFor(mapSize, capacity));
    return false;
  }
  return true;
}

std::string Header::toString() const {
  return fmt::format(
      "NimbrHeader magic:{:#018x} version:{} fenixId:{:#x} generation:{} capacity:{} window:{} mapSize:{} "
      "tailSeq:{} shrinkState:{} shrinkStartSeq:{} shrinkEndSeq:{}",
      magic, formatVersion, fenixId, generation, capacity, window, mapSize, tailSeq, shrinkState, shrinkStartSeq,
      shrinkEndSeq);
}

// --- writer -------------------------------------------------------------------

NimbrWriter::NimbrWriter(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local)
    : handler_(handler), region_(root, FILENAME, local) {}

bool NimbrWriter::keep(U32 fenixId, U32 numSlots) {
  detach();
  U64 have = region_.fileSize();
  if (have < Header::SIZE) return false;
  header_ = static_cast<Header*>(region_.attach(0));
  Quiv::String error;
  // The whole queue is checked, not just the header: notify() follows the
  // position map into the ring, so a garbled map would make it write
  // outside the mapping. (Whether map and ring agree with the slots is
  // the table validator's business.)
  if (header_ && header_->validate(have, fenixId, error) && validate(numSlots, error)) {
    fmtrace(handler_, 1, "attach() to existing {} {}", region_.name(), header_->toString());
    return true;
  }
  fmtrace(handler_, 1, "nimbr file {} not kept: {}", region_.name(), error);
  detach();
  return false;
}

void NimbrWriter::format(U32 fenixId, U32 numSlots) {
  U32 generation = 1;
  if (!header_ && region_.fileSize() >= Header::SIZE) header_ = static_cast<Header*>(region_.attach(0));
  if (header_ && header_->magic == Header::MAGIC) generation = header_->generation + 1;
  layout(fenixId, numSlots, generation);
}

void NimbrWriter::layout(U32 fenixId, U32 numSlots, U32 generation) {
  U32 mapSize = nextPow2(std::max(numSlots, MIN_MAP));
  U32 capacity = 2 * mapSize;
  U64 size = Header::fileSizeFor(mapSize, capacity);
  if (!header_) {
    header_ = static_cast<Header*>(region_.attach(size));
  } else {
    // Q5: room first: a queue that cannot grow stays as it was.
    header_ = static_cast<Header*>(region_.resize(std::max<U64>(size, region_.memSize())));
    // Q4: readers that still follow the old generation must see the new
    // generation before anything else changes: the release fence keeps
    // the layout's stores below behind this one. It pairs with the acquire
    // fence in NimbrReader::next (and resync) before the generation is
    // read again: a reader that read any store of the layout sees the new
    // generation there.
    if (header_) Mem::store32(&header_->generation, generation);
    Mem::fenceRelease();
  }
  if (!header_) fmthrow(Quiv::InvalidInitializeException, "cannot map nimbr file {}", region_.name());
  Mem::store64(&header_->magic, 0);
  Mem::store32(&header_->generation, generation);
  Mem::fenceRelease();  // Q4
  // Q4: behind the generation. The fields readers read between two
  // generation checks (the geometry, shrinkState, the position map and the
  // ring) are stored whole; the map and the ring are cleared with memset,
  // which readers meet only as a record whose seq is not the one they
  // expect (Q3) or a position they re-check against the generation
  // (NimbrReader::holds).
  header_->formatVersion = Header::FORMAT_VERSION;
  header_->fenixId = fenixId;
  Mem::storeRelaxed32(&header_->capacity, capacity);
  Mem::storeRelaxed32(&header_->window, capacity - capacity / 4);
  Mem::storeRelaxed32(&header_->mapSize, mapSize);
  Mem::storeRelaxed32(&header_->shrinkState, 0);
  header_->reserved = 0;
  Mem::storeRelaxed64(&header_->shrinkStartSeq, 0);
  Mem::storeRelaxed64(&header_->shrinkEndSeq, 0);
  std::memset(header_->reserved2, 0, sizeof(header_->reserved2));
  std::memset(static_cast<void*>(header_->slotPos()), 0xFF, U64(mapSize) * 4);
  std::memset(static_cast<void*>(header_->records()), 0, U64(capacity) * sizeof(Record));
  Mem::store64(&header_->tailSeq, 0);
  // Release: the layout is complete for a reader that sees the magic
  // (NimbrReader::resync checks it after its acquire fence).
  Mem::store64(&header_->magic, Header::MAGIC);
  fmtrace(handler_, 1, "attach() formatted {} {}", region_.name(), header_->toString());
}

void NimbrWriter::ensureCapacity(U32 numSlots) {
  if (!header_ || numSlots <= header_->mapSize) return;
  fmtrace(handler_, 2, "nimbr map of {} slots too small for {}: re-formatting", header_->mapSize, numSlots);
  layout(header_->fenixId, numSlots, header_->generation + 1);
}

void NimbrWriter::detach() {
  region_.detach();
  header_ = nullptr;
}

void NimbrWriter::cleanup() {
  header_ = nullptr;
  if (region_.remove()) fmtrace(handler_, 3, "removing file: {}", region_.name());
}

bool NimbrWriter::inLiveWindow(U64 seq) const {
  U64 tail = header_->tailSeq;
  return seq != 0 && seq <= tail && seq + header_->window > tail;
}

void NimbrWriter::tombstone(U32 pos) {
  Record* r = &header_->records()[pos];
  U32 slot = r->slot;
  // Q1. Release stores: NimbrReader::holds reads the positions with
  // acquire loads from other processes; the position is cleared after the
  // record's tombstone, so a reader that still finds the position finds
  // the tombstone or the live record, never a stale slot in between.
  Mem::store32(&r->slot, TOMBSTONE);
  if (slot < header_->mapSize && header_->slotPos()[slot] == pos) Mem::store32(&header_->slotPos()[slot], NONE);
}

void NimbrWriter::append(U32 slot, U32 info) {
  Header* h = header_;
  U32 const mask = h->capacity - 1;
  for (;;) {
    U64 q = h->tailSeq + 1;
    // The record about to fall out of the live window, if it is still its
    // slot's current record, moves to the tail first.
    U32 moving = NONE;
    if (q > h->window) {
      U64 leavingSeq = q - h->window;
      U32 lp = static_cast<U32>(leavingSeq & mask);
      Record const& lr = h->records()[lp];
      if (lr.seq == leavingSeq && lr.slot != TOMBSTONE && lr.slot < h->mapSize && h->slotPos()[lr.slot] == lp)
        moving = lr.slot;
    }
    U32 s = moving != NONE ? moving : slot;
    U32 p = static_cast<U32>(q & mask);
    Record* r = &h->records()[p];
    U32 old = h->slotPos()[s];
    if (old != NONE) Mem::store32(&h->records()[old].slot, TOMBSTONE);  // Q1
    // Q3: the record's seqlock. Seq 0 first, then a release fence that
    // keeps it before the new slot and info: pairs with the acquire fence
    // in NimbrReader::next between its copy and its second seq load, so a
    // reader that copied a new slot or info sees seq 0 (or later) there.
    Mem::store64(&r->seq, 0);
    Mem::fenceRelease();
    Mem::store32(&r->slot, s);
    // Relaxed: ordered by the fence above and the seq's release store below.
    Mem::storeRelaxed32(&r->info, moving != NONE ? 0 : info);
    // Release: slot and info are complete for a reader whose acquire load
    // of seq (NimbrReader::next) sees q.
    Mem::store64(&r->seq, q);
    Mem::store32(&h->slotPos()[s], p);  // Q1, after the record (see tombstone)
    // Q3, last: pairs with the acquire load of tailSeq in NimbrReader::next;
    // a reader that sees q finds record q published.
    Mem::store64(&h->tailSeq, q);
    if (moving == NONE) return;
    ++reappends_;
  }
}

U32 NimbrWriter::notify(U32 slot, U32 priority) {
  fmassert(header_, "Nimbr", "notify of slot {} on a detached queue", slot);
  if (slot >= header_->mapSize)
    fmthrow(Quiv::CorruptionDetectedException, "nimbr notify slot:{} beyond mapSize:{}", slot, header_->mapSize);
  append(slot, priority);
  fmtrace(handler_, 8, "notify slot:{} seq:{}", slot, header_->tailSeq);
  return header_->slotPos()[slot];
}

// The sequence marks are relaxed: they are ordered before the state by its
// release store, which pairs with the acquire load in NimbrReader::quiesced.
void NimbrWriter::markShrinkStart() {
  Mem::storeRelaxed64(&header_->shrinkStartSeq, header_->tailSeq);
  Mem::store32(&header_->shrinkState, 1);
}

void NimbrWriter::markShrinkEnd() {
  Mem::storeRelaxed64(&header_->shrinkEndSeq, header_->tailSeq);
  if (!holdShrinks_) Mem::store32(&header_->shrinkState, 0);
}

bool NimbrWriter::shrinkInProgress() const { return header_ && (header_->shrinkState & 1); }

void NimbrWriter::releaseShrink() {
  if (!header_) return;
  Mem::store32(&header_->shrinkState, 0);
  U32 pending = pendingShrink_;
  pendingShrink_ = 0;
  if (pending && notifiee_) notifiee_->shrink(pending);
}

bool NimbrWriter::validate(U32 maxNumSlots, Quiv::String& error) const {
  if (!header_) {
    error = "nimbr queue not attached";
    return false;
  }
  if (!header_->validate(region_.memSize(), 0, error)) return false;
  if (header_->mapSize < maxNumSlots) {
    error = fmt::format("nimbr mapSize:{} below maxNumSlots:{}", header_->mapSize, maxNumSlots);
    return false;
  }
  U32 const cap = header_->capacity;
  U64 const tail = header_->tailSeq;
  for (U32 p = 0; p < cap; ++p) {
    Record const& r = header_->records()[p];
    if (r.seq == 0) continue;
    if (r.seq > tail || (r.seq & (cap - 1)) != p) {
      error = fmt::format("nimbr pos:{} holds seq:{} (tailSeq:{} capacity:{})", p, r.seq, tail, cap);
      return false;
    }
    if (r.slot != TOMBSTONE && r.slot >= header_->mapSize) {
      error = fmt::format("nimbr pos:{} holds slot:{} beyond mapSize:{}", p, r.slot, header_->mapSize);
      return false;
    }
  }
  for (U32 s = 0; s < header_->mapSize; ++s) {
    U32 p = header_->slotPos()[s];
    if (p != NONE && p >= cap) {
      error = fmt::format("nimbr slot:{} position:{} beyond capacity:{}", s, p, cap);
      return false;
    }
  }
  return true;
}

std::string NimbrWriter::toString() const {
  return header_ ? header_->toString() : std::string("NimbrHeader (not attached)");
}

// --- reader -------------------------------------------------------------------

NimbrReader::NimbrReader(Quiv::DebugHandler* handler, Mem::RootPath const& root)
    : handler_(handler), region_(root, NimbrWriter::FILENAME, Mem::SharedMemWrapper::Mode::readOnly) {}

bool NimbrReader::attach(Quiv::String& error) {
  detach();
  header_ = static_cast<Header const*>(region_.attach(0));
  if (!header_) {
    error = "no nimbr file";
    return false;
  }
  if (!header_->validate(region_.memSize(), 0, error)) {
    detach();
    return false;
  }
  resync();
  return true;
}

void NimbrReader::detach() {
  region_.detach();
  header_ = nullptr;
}

bool NimbrReader::check(U32 fenixId, U32 maxNumSlots, Quiv::String& error) {
  if (!header_) {
    error = "nimbr queue not attached";
    return false;
  }
  if (!remapIfNeeded()) {
    error = "nimbr header no longer valid";
    return false;
  }
  if (!header_->validate(region_.memSize(), fenixId, error)) return false;
  // The geometry once, as in next(); the ring lies inside this mapping
  // (remapIfNeeded validated it against the mapped size).
  U32 const mapSize = Mem::loadRelaxed32(&header_->mapSize);
  U32 const cap = Mem::loadRelaxed32(&header_->capacity);
  if (Header::fileSizeFor(mapSize, cap) > region_.memSize()) {
    error = fmt::format("nimbr geometry changed: mapSize:{} capacity:{}", mapSize, cap);
    return false;
  }
  if (mapSize < maxNumSlots) {
    error = fmt::format("nimbr mapSize:{} below maxNumSlots:{}", mapSize, maxNumSlots);
    return false;
  }
  // Q3: the tail first (acquire), so a record past it was published after
  // this load: a race, said as damage, that the caller's second look at
  // tailSeq tells apart.
  U64 const tail = tailSeq();
  Record const* recs = recordsAt(mapSize);
  for (U32 p = 0; p < cap; ++p) {
    U64 seq = Mem::load64(&recs[p].seq);
    if (seq == 0) continue;
    U32 slot = Mem::loadRelaxed32(&recs[p].slot);
    if (seq > tail || (seq & (cap - 1)) != p) {
      error = fmt::format("nimbr pos:{} holds seq:{} (tailSeq:{} capacity:{})", p, seq, tail, cap);
      return false;
    }
    if (slot != NimbrWriter::TOMBSTONE && slot >= mapSize) {
      error = fmt::format("nimbr pos:{} holds slot:{} beyond mapSize:{}", p, slot, mapSize);
      return false;
    }
  }
  for (U32 s = 0; s < mapSize; ++s) {
    U32 p = Mem::loadRelaxed32(&header_->slotPos()[s]);
    if (p != NimbrWriter::NONE && p >= cap) {
      error = fmt::format("nimbr slot:{} position:{} beyond capacity:{}", s, p, cap);
      return false;
    }
  }
  return true;
}

bool NimbrReader::remapIfNeeded() {
  // The writer re-formats in place and may have grown the file.
  U64 have = region_.fileSize();
  if (have != region_.memSize()) header_ = static_cast<Header const*>(region_.resize(have));
  Quiv::String error;
  if (!header_ || !header_->validate(region_.memSize(), 0, error)) {
    fmtrace(handler_, 0, "nimbr reader: {}", error);
    return false;
  }
  return true;
}

NimbrReader::Held NimbrReader::holds(U32 slot) const {
  if (!header_ || Mem::load32(&header_->generation) != generation_) return Held::regenerated;
  // The geometry is read once and every address below comes from these
  // copies (see next()).
  U32 const mapSize = Mem::loadRelaxed32(&header_->mapSize);
  U32 const capacity = Mem::loadRelaxed32(&header_->capacity);
  // The ring must lie inside the mapping this reader has.
  if (Header::fileSizeFor(mapSize, capacity) > region_.memSize()) return Held::regenerated;
  if (slot >= mapSize) return Held::tombstoned;
  // Q1: acquire, pairs with the release store of the position in
  // NimbrWriter::append (after its record) and tombstone (after the
  // record's tombstone).
  U32 pos = Mem::load32(&header_->slotPos()[slot]);
  if (pos == NimbrWriter::NONE) return Held::tombstoned;
  // Q1: the position was stored (release) after its record's slot, and
  // read above with an acquire load, so this reads that slot or a later
  // store of it (a TOMBSTONE from tombstone or append). The fence below
  // keeps it before the generation re-check.
  U32 recSlot = pos < capacity ? Mem::load32(&recordsAt(mapSize)[pos].slot) : NimbrWriter::NONE;
  // Q4: a re-format may have run meanwhile (its cleared map and ring
  // would read as a stray position or as slot 0): the answer stands only
  // under the generation this reader follows. Pairs with the release
  // fence after the generation store in NimbrWriter::layout.
  Mem::fenceAcquire();
  if (Mem::load32(&header_->generation) != generation_) return Held::regenerated;
  if (pos >= capacity) fmthrow(Quiv::CorruptionDetectedException, "out-of-range index:{} max:{}", pos, capacity);
  return recSlot == slot ? Held::live : Held::tombstoned;
}

U64 NimbrReader::resync() {
  for (;;) {
    // Q4: generation, tail, then generation and magic again after an
    // acquire fence: a tail read under a re-format is not kept.
    U32 gen = Mem::load32(&header_->generation);
    Mem::fenceAcquire();
    if (!remapIfNeeded()) {
      nextSeq_ = 1;
      return 0;
    }
    U64 tail = Mem::load64(&header_->tailSeq);
    Mem::fenceAcquire();
    if (Mem::load32(&header_->generation) == gen && Mem::load64(&header_->magic) == Header::MAGIC) {
      generation_ = gen;
      nextSeq_ = tail + 1;
      return tail;
    }
  }
}

NimbrReader::Status NimbrReader::next(Record& out) {
  if (!header_) return Status::empty;
  // Q4: acquire, pairs with the release store of the generation in
  // NimbrWriter::layout; an early exit only (the check that guards the
  // copy is the one after the acquire fence below).
  if (Mem::load32(&header_->generation) != generation_) return Status::regenerated;
  // Q3: acquire, pairs with the release store of tailSeq in
  // NimbrWriter::append: records up to `tail` are published.
  U64 tail = Mem::load64(&header_->tailSeq);
  // The geometry is read once, whole, and every address below is computed
  // from these copies, so positions never leave the mapping even if the
  // header is garbled or re-formatted meanwhile (Q4): reading mapSize
  // again for the ring's offset could pair a new mapSize with an old
  // capacity and address past this reader's mapping. The generation check
  // after the copy drops a record read under a re-format.
  U32 cap = Mem::loadRelaxed32(&header_->capacity);
  U32 window = Mem::loadRelaxed32(&header_->window);
  U32 mapSize = Mem::loadRelaxed32(&header_->mapSize);
  U64 mapped = region_.memSize();
  if (cap == 0 || Header::fileSizeFor(mapSize, cap) > mapped) return Status::regenerated;
  if (nextSeq_ > tail) return Status::empty;
  if (tail >= window && nextSeq_ <= tail - window) {
    nextSeq_ = tail - window + 1;
    ++behind_;
    return Status::behind;
  }
  Record const* rec = &recordsAt(mapSize)[nextSeq_ & (cap - 1)];
  // Q3: the record's seqlock. The first seq load is an acquire (pairs with
  // the release store of seq in NimbrWriter::append); the acquire fence
  // keeps the copy of slot and info before the second seq load and pairs
  // with the release fence after the writer clears seq. Q4: the same fence
  // keeps the copy before the generation re-check below.
  U64 s1 = Mem::load64(&rec->seq);
  U32 slot = Mem::load32(&rec->slot);
  U32 info = Mem::loadRelaxed32(&rec->info);
  Mem::fenceAcquire();
  U64 s2 = Mem::load64(&rec->seq);
  if (Mem::load32(&header_->generation) != generation_) return Status::regenerated;
  if (s1 != nextSeq_ || s2 != nextSeq_) {
    // Overwritten under us: we were lapped while reading. Skip to the
    // window start on the next call.
    // Seq 0 is a record being rewritten for a later lap.
    if (s1 == 0 || s2 == 0 || s1 > nextSeq_ || s2 > nextSeq_) {
      ++behind_;
      U64 t = Mem::load64(&header_->tailSeq);
      nextSeq_ = t >= window ? t - window + 1 : 1;
      return Status::behind;
    }
    fmthrow(Quiv::CorruptionDetectedException, "nimbr record seq:{} where {} was published (tailSeq:{})", s1,
            nextSeq_, tail);
  }
  out = Record{nextSeq_, slot, info};
  ++nextSeq_;
  return Status::record;
}

}  // namespace Nimbr
