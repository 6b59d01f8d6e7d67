#include "VexaSwitchLib/Zolm/SlotWriter.h"

#include <algorithm>
#include <cmath>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace Zolm {

namespace {
// A new table's hash seed, from the kernel's random source: the keys of
// some tables come from traffic (learned MAC addresses), and a seed that
// an outsider can guess lets them fill one bucket chain. Where the source
// is unavailable, a mix of clock and pid still differs between tables.
U32 drawSeed() {
  U32 seed = 0;
  ssize_t n;
  do {
    n = ::getrandom(&seed, sizeof seed, GRND_NONBLOCK);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof seed)) return seed;
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<U32>(ts.tv_nsec) ^ static_cast<U32>(ts.tv_sec) * 2654435761u ^
         static_cast<U32>(::getpid()) << 16;
}
}  // namespace

SlotWriterTable::SlotWriterTable(Quiv::DebugHandler* handler, std::string name, KeyOps const& keyOps, U32& seed,
                                 Mem::RootPath const& root, bool local, U32 maxSlots, bool fixedSize,
                                 bool shrinkEnabled, Writer::Counters* counters)
    : handler_(handler),
      name_(std::move(name)),
      keyOps_(keyOps),
      slotSize_(keyOps.slotSize),
      valueSize_(keyOps.valueSize),
      headerSize_(SlotTable::headerSize(keyOps.slotSize)),
      seed_(seed),
      region_(root, FILENAME, local),
      maxSlots_(std::max<U32>(1, std::min(maxSlots, MAX_SLOTS))),
      fixedSize_(fixedSize),
      shrinkEnabled_(shrinkEnabled),
      counters_(counters) {
  span_.slotSize = slotSize_;
  minSlots_ = fixedSize_ ? maxSlots_ : std::min(SlotTable::pageSlots(slotSize_), maxSlots_);
}

bool SlotWriterTable::keep(U32 fenixId) {
  detach();
  U64 have = region_.fileSize();
  if (have == 0) return false;
  void* base = region_.attach(0);
  rederive(base);
  Quiv::String error;
  if (header_ && SlotTable::validateHeader(handler_, *header_, have, fenixId, slotSize_, valueSize_, keyOps_.typeName,
                                           error)) {
    if (fixedSize_ && header_->numSlots != maxSlots_) {
      fmtrace(handler_, 1, "wanted capacity:{} for fixed-size table, but existing file has capacity:{}", maxSlots_,
              header_->numSlots);
    } else {
      seed_ = header_->hashSeed;
      U32 n = header_->numSlots;
      rederive(region_.resize(SlotTable::fileSize(slotSize_, n)));
      fmtrace(handler_, 1, "{}::attach() to existing {}", name_, region_.name());
      finishAttach();
      kept_ = true;
      return true;
    }
  } else {
    fmtrace(handler_, 1, "slot file {} not kept: {}", region_.name(), error);
  }
  detach();
  return false;
}

void SlotWriterTable::detach() {
  if (header_) fmtrace(handler_, 5, "detach");
  region_.detach();
  header_ = nullptr;
  span_.slots = nullptr;
  numSlotsIs(0);
  kept_ = false;
  threadSet_ = false;
}

void SlotWriterTable::secondThread() const {
  fmassert(false, "ZolmWriter", "{} entered from a second thread: a table has one writer thread", name_);
  std::abort();
}

CriticalSection::CriticalSection(SlotWriterTable& table, std::string const& name, Mode mode) : table_(&table) {
  if (table.enterCritical()) return;
  if (mode == adopt) return;
  table_ = nullptr;
  fmassert(mode == tryEnter, "ZolmWriter", "Zolm reentrancy detected: {}", name);
}

void SlotWriterTable::removeFile() {
  header_ = nullptr;
  span_.slots = nullptr;
  if (region_.remove()) fmtrace(handler_, 3, "removing file: {}", region_.name());
}

U32 SlotWriterTable::alloc() {
  fmassert(header_->freeList != SlotLink::END, "SlotWriter", "alloc without a free slot (reserve first) {}", name_);
  U32 id = header_->freeList;
  checkIndex(id);
  // Relaxed: readers only snapshot the head (S2: it stays below numSlots);
  // nothing they do depends on its order against the slot's stores.
  Mem::storeRelaxed32(&header_->freeList, slot(id)->next());
  return id;
}

void SlotWriterTable::full() const {
  fmthrow(TableFullException, "Zolm table full (occupancy:{} tableSize:{}) {}", header_->occupiedSlots, maxSlots_,
          name_);
}

U32 SlotWriterTable::nextCapacity() const {
  if (fixedSize_) return 0;
  U32 next = growTarget(span_.numSlots, maxSlots_);
  return next > span_.numSlots ? next : 0;
}

bool SlotWriterTable::grow() {
  U32 old = span_.numSlots;
  if (header_->occupiedSlots != old)
    fmthrow(Quiv::CorruptionDetectedException,
            "the slot table is full but numSlots: {} and occupiedSlots: {} are not equal", old,
            header_->occupiedSlots);
  if (fixedSize_) return false;
  U32 next = growTarget(old, maxSlots_);
  if (next <= old) return false;
  resize(next);  // S5: mapped (and reserved) before the count is raised
  U32 head = initializeSlots(old, next);
  // S2: maxNumSlots first; ordered before the count by its release store.
  Mem::storeRelaxed32(&header_->maxNumSlots, std::max(header_->maxNumSlots, next));
  header_->resizeWordIs(header_->resizeSeq + 1, next);  // S1
  // S2: the new free list (its head is `old`) only after the count that
  // covers it; a snapshot between would hold freeList == numSlots and
  // fail the readers' header check. Release, after the count: pairs with
  // the acquire fence in SlotReaderBase::snapshot, so a snapshot that
  // copied this head re-reads resizeSeq as the new one.
  Mem::store32(&header_->freeList, head);
  numSlotsIs(next);
  fmtrace(handler_, 2, "{} from {} slots to {}", name_, old, next);
  shrinkThreshold_ = computeShrinkThreshold();
  if (counters_) ++counters_->grows;
  return true;
}

U32 SlotWriterTable::growTarget(U32 n, U32 maxSlots) {
  U64 next;
  if (n < maxSlots) {
    next = std::min<U64>(U64(n) * 2, maxSlots);
  } else {
    float product = static_cast<float>(n) * 1.1f;
    next = static_cast<U64>(std::ceil(product));
  }
  return static_cast<U32>(std::min<U64>(next, MAX_SLOTS));
}

void SlotWriterTable::resize(U32 newNumSlots) {
  U64 size = SlotTable::fileSize(slotSize_, newNumSlots);
  if (newNumSlots > maxSlots_) fmtrace(handler_, 5, "overflowing by {} slots", newNumSlots - maxSlots_);
  fmtrace(handler_, 5, "{} from {} to {} slots", name_, span_.numSlots, newNumSlots);
  void* before = region_.base();
  void* base;
  try {
    base = region_.resize(size);
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::MemoryResourceException, "failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}",
            region_.name(), span_.numSlots, newNumSlots, size, e.msg());
  }
  if (base != before) {
    fmtrace(handler_, 5, "remap base address changed from {} to {}", before, base);
    if (counters_) ++counters_->remaps;
  }
  rederive(base);
  fmtrace(handler_, 5, "to {} successfully", newNumSlots);
}

void SlotWriterTable::shrink(U32 newNumSlots) {
  U32 old = span_.numSlots;
  fmtrace(handler_, 5, "newNumSlots:{}", newNumSlots);
  // S2: the caller emptied every slot at or above the new count and took
  // them off the free list. S1: the count is lowered before the memory
  // is given back; S5: the file keeps its size.
  header_->resizeWordIs(header_->resizeSeq + 1, newNumSlots);
  // Giving memory back cannot run out of space; should the remap fail
  // anyway, the larger mapping stays and still covers every slot.
  try {
    resize(newNumSlots);
  } catch (Quiv::MemoryResourceException const& e) {
    fmtrace(handler_, 0, "{} keeps its mapping after a failed shrink: {}", name_, e.msg());
  }
  numSlotsIs(newNumSlots);
  shrinkThreshold_ = computeShrinkThreshold();
  fmtrace(handler_, 5, "shrinkThreshold_:{}", shrinkThreshold_);
  if (counters_) ++counters_->shrinks;
  fmtrace(handler_, 2, "{} from {} slots to {}", name_, old, newNumSlots);
}

void SlotWriterTable::purgeFreeSlots(U32 threshold) {
  U32 const n = span_.numSlots;
  fmassert(threshold < n, "SlotWriter", "bad threshold: {} numSlots:{}", threshold, n);
  fmassert(header_->freeList != SlotLink::END, "SlotWriter", "free-list is empty");
  U32 walked = 0;
  U64* prevLink = nullptr;  // null: the predecessor is the header's freeList
  U32 id = header_->freeList;
  while (id != SlotLink::END) {
    checkIndex(id);
    if (++walked > n) break;
    SlotPrefix* s = slot(id);
    U32 succ = s->next();
    if (id >= threshold) {
      fmtrace(handler_, 7, "removing slot id {} from free-list", id);
      // Free-list links are never followed by readers; the stores are
      // whole (L1) because a reader's stale walk may read the word.
      if (prevLink) SlotLink::store(prevLink, SlotLink::next(*prevLink, succ));
      else Mem::storeRelaxed32(&header_->freeList, succ);  // S2: only lowers the head
    } else {
      prevLink = &s->link;
    }
    id = succ;
  }
  if (walked + header_->occupiedSlots != n)
    fmthrow(Quiv::CorruptionDetectedException,
            "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up to numSlots: {}", walked,
            header_->occupiedSlots, n);
}

U32 SlotWriterTable::move(U32 from) {
  U32 to = header_->freeList;
  fmassert(to != SlotLink::END, "SlotWriter", "not valid toSlotId:{}", to);
  fmassert(to < from, "SlotWriter", "should always move entries to lower section fromSlotId:{} toSlotId:{}", from,
           to);
  checkIndex(from);
  checkIndex(to);
  SlotPrefix* src = slot(from);
  SlotPrefix* dst = slot(to);
  // S3: `dst` is free, so its rhash and value are written without the
  // in-place steps; a reader's copy of it is refused until the release
  // store of its flags below, which publishes both (pairs with the acquire
  // load of the flags in SlotReaderTable::read). The value copy is plain
  // for that reason.
  Mem::storeRelaxed32(&dst->rhash, src->rhash);
  Mem::storeRelaxed32(&header_->freeList, dst->next());
  std::memcpy(valuePtr(dst), valuePtr(src), keyOps_.storedSize);
  Mem::store32(&dst->runtimeFlags, (dst->runtimeFlags + 4) | SLOT_OCCUPIED);
  // Reachable only once the caller re-points the predecessor at it (L2).
  SlotLink::store(&dst->link, SlotLink::next(dst->link, src->next()));
  fmtrace(handler_, 7, "fromSlotId:{} toSlotId:{}", from, to);
  return to;
}

U32 SlotWriterTable::initializeSlots(U32 start, U32 end) {
  fmassert(start < end, "SlotWriter", "bad index range, start: {} end: {}", start, end);
  fmassert(header_->freeList == SlotLink::END, "SlotWriter", "free-list is not empty");
  U32 head = SlotLink::END;
  // The slots are past the published count (grow) or the file is being
  // laid out (format, S6). A reader still mapping a larger count from
  // before a shrink may read them through a stale link: they were free
  // then and are free now (S3), so writeEmpty's plain stores are never
  // accepted; the link word itself is stored whole (L1).
  for (U32 i = end; i-- > start;) {
    SlotPrefix* s = slotRaw(i);
    U64 link = s->link;
    writeEmpty(s);
    SlotLink::store(&s->link, SlotLink::next(link, head));
    head = i;
  }
  return start;
}

std::string SlotWriterTable::headerString() const {
  return header_ ? header_->toString() : std::string("SlotHeader (not attached)");
}

U32 SlotWriterTable::computeShrinkThreshold() const {
  if (!shrinkEnabled_ || fixedSize_ || span_.numSlots <= minSlots_) return 0;
  return largestPowerOfTwoAtMost(span_.numSlots - 1);
}

void SlotWriterTable::rederive(void* base) {
  header_ = static_cast<SlotHeaderCommon*>(base);
  span_.slots = base ? static_cast<char*>(base) + headerSize_ : nullptr;
  if (header_ && region_.memSize() >= SlotTable::fileSize(slotSize_, header_->numSlots)) numSlotsIs(header_->numSlots);
}

void SlotWriterTable::finishAttach() {
  shrinkThreshold_ = computeShrinkThreshold();
  fmtrace(handler_, 1, "shrinkThreshold_:{}", shrinkThreshold_);
}

void SlotWriterTable::writeEmpty(SlotPrefix* s) {
  std::memset(static_cast<void*>(s), 0, slotSize_);
  s->link = SlotLink::make(0, SlotLink::END);
  std::memcpy(valuePtr(s), keyOps_.defaultStored, keyOps_.storedSize);
}

void SlotWriterTable::format(U32 fenixId) {
  bool existed = fileExists();
  kept_ = false;
  U64 size = SlotTable::fileSize(slotSize_, minSlots_);
  void* base;
  try {
    base = region_.base() ? region_.resize(size) : region_.attach(size);
  } catch (Quiv::MemoryResourceException const& e) {
    fmthrow(Quiv::MemoryResourceException, "failed to resize {} to size {} : {}", region_.name(), size, e.msg());
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::InvalidInitializeException, "cannot attach to shmem {} size:{}: {}", region_.name(), size, e.msg());
  }
  header_ = static_cast<SlotHeaderCommon*>(base);
  span_.slots = static_cast<char*>(base) + headerSize_;
  // S6: everything below is laid out under a new fenix id with the magic
  // cleared, so its plain stores need no order against readers.
  U32 seed = drawSeed();
  seed_ = seed;
  header_->init(handler_, COMMON_HEADER_SIZE, slotSize_, minSlots_, maxSlots_, keyOps_.headerFlags, fenixId,
                keyOps_.typeName, valueSize_, seed);
  Mem::store64(&header_->magic, 0);  // not valid until the slots are laid out
  writeEmpty(image());
  header_->resizeWordIs(0, minSlots_);
  header_->maxNumSlots = minSlots_;
  numSlotsIs(minSlots_);
  header_->freeList = initializeSlots(0, minSlots_);
  Mem::store64(&header_->magic, SlotHeaderCommon::MAGIC);
  if (existed) fmtrace(handler_, 1, "{}::attach() re-formatted {}", name_, region_.name());
  else fmtrace(handler_, 1, "{}::attach() to new file {}", name_, region_.name());
  finishAttach();
}

}  // namespace Zolm
