#pragma once
// The writer's side of the slot file: creating, validating, re-formatting,
// growing and shrinking it, the free list, and the critical section under
// which an occupied slot changes in place while readers read it.
//
// Contract of the slot file (layout in SlotTable.h and SlotHeaderCommon.h).
// Who writes: one writer process, and in it one thread (the first that
// enters the critical section; another one is fatal, see checkThread). Who
// reads: readers in other processes, without locks, through a read-only
// mapping (Zolm/SlotReader.h); they never write. The writer may read its
// own shared words with plain loads: nobody else stores them.
//
// Readers may assume, at every moment (not only between operations):
//   S1  (resizeSeq, numSlots) is one 64-bit word, always stored together
//       with one release store (SlotHeaderCommon::resizeWordIs). It pairs
//       with the acquire load of the word in SlotReaderBase::doResize and
//       the resizeSeq seqlock of SlotReaderBase::snapshot: a reader that
//       sees a count sees the slots below it laid out.
//   S2  A header snapshot passes SlotHeaderCommon::validate:
//       occupiedSlots <= numSlots <= maxNumSlots and freeList < numSlots
//       (or none) hold after every single store, not only between
//       operations. So maxNumSlots is raised before numSlots, a grown
//       table's free list is published after its numSlots, and a shrinking
//       table's free list and occupied slots are below the new count before
//       numSlots is lowered.
//   S3  A slot's runtimeFlags are its seqlock: a reader accepts a copy only
//       when the flags read the same before and after it, with OCCUPIED
//       set. Every change of a slot that is OCCUPIED goes through the
//       in-place steps below. A slot whose OCCUPIED bit is clear (free, or
//       taken but not yet flagged) is written freely: no reader accepts a
//       copy of it, and none reaches it through a current link.
//   S4  The critical-section image serves one change at a time: its bytes
//       are rewritten only behind the previous change's step 5 (stageFence).
//   S5  The file never gets shorter and grows before numSlots is raised
//       (Mem::SharedMemWrapper), so every slot below a count a reader has
//       seen stays mapped; slots past the current count are free.
//   S6  A re-format happens only under a new fenix id, with the magic
//       cleared first and stored last (format). Readers of the previous id
//       may read anything meanwhile: their header checks and the fenix file
//       tell them to re-attach, so the re-format's plain stores are not
//       ordered against them.
// And what only the next writer (after this one died) reads:
//   S7  The header's critical bit is set before an operation's first
//       shared change and cleared after its last (CriticalSection). Readers
//       never read it.
//
// Store order of an in-place change (readers accept a copy only when the
// slot's runtimeFlags did not change while they copied, S3):
//   1. header runtimeFlags bit 0 set (the writer is inside, S7)
//   2. occupied slot: rhash and the new value copied into the image
//   3. slot runtimeFlags + 2 (LOOKASIDE on: readers read the image)
//   4. the new value written into the slot
//   5. slot runtimeFlags + 2 (LOOKASIDE off, change counter + 1), OCCUPIED
//   6. header runtimeFlags bit 0 cleared
#include <pthread.h>

#include <string>
#include <type_traits>

#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/ZolmCore/SlotPrefix.h"
#include "VexaSwitchLib/Zolm/SlotTable.h"
#include "VexaSwitchLib/runtime/Mem.h"

namespace Zolm {

class TableFullException : public Quiv::Exception {
  using Exception::Exception;
};

// One table's slot file as its writer sees it. The geometry (slot and
// value size, type name, default value, header flags) comes from the
// table's KeyOps; nothing here depends on the value type.
class SlotWriterTable {
 public:
  static constexpr char const* FILENAME = "slots";
  static_assert(Mem::RootPath::isTableFileName(FILENAME), "listed in RootPath::TABLE_FILES");
  static constexpr U32 MAX_SLOTS = 0x7FFFFFFFu;  // bit 31 marks buckets

  // `seed` is the writer's copy of the hash seed: set from the header on
  // attach, drawn anew on format.
  SlotWriterTable(Quiv::DebugHandler* handler, std::string name, KeyOps const& keyOps, U32& seed,
                  Mem::RootPath const& root, bool local, U32 maxSlots, bool fixedSize, bool shrinkEnabled,
                  Writer::Counters* counters);

  // Maps an existing file that passes the header check against `fenixId`
  // (and, for a fixed-size table, has its size) and keeps it. Otherwise
  // writes nothing, stays detached and returns false: whether the table is
  // kept is decided for all its files together before any is formatted.
  bool keep(U32 fenixId);
  // Lays out a new, empty table under `fenixId` (the file is created or
  // its contents replaced).
  void format(U32 fenixId);
  // Whether the file exists (and is not empty).
  bool fileExists() const { return region_.fileSize() > 0; }
  void detach();
  void removeFile();

  // Takes the first free slot. The caller made sure there is one (grow(),
  // or full() when it cannot) before changing anything: W3.
  U32 alloc();
  // The slot count the next growth reaches; 0 when the table cannot grow.
  U32 nextCapacity() const;
  // Raises TableFullException for this table.
  [[noreturn]] void full() const;
  bool grow();
  // Below the requested size the table doubles (capped at it); at or above
  // it grows by 10 %, computed in single precision as the format demands.
  static U32 growTarget(U32 n, U32 maxSlots);
  // Maps room for `newNumSlots` slots (the header's count is the caller's).
  void resize(U32 newNumSlots);
  void shrink(U32 newNumSlots);
  // Drops every free slot at or above `threshold` from the free list.
  void purgeFreeSlots(U32 threshold);
  // Copies occupied slot `from` into the free-list head (a lower slot).
  U32 move(U32 from);
  // Makes slots [start, end) empty and chains them as the free list.
  U32 initializeSlots(U32 start, U32 end);

  // --- critical section (see CriticalSection below) --------------------------
  // S7: the bit is read by this writer and, after it died, by the next
  // one (which takes over through the kernel's owner lock, so sees every
  // store this process executed). No reader reads it, so no hardware order
  // is needed against readers; the acquire load and release stores are
  // kept as they were (a single load or store each).
  bool inCritical() const { return Mem::load16(&header_->runtimeFlags) & SlotHeaderCommon::RUNTIME_CRITICAL; }
  // False when already inside (reentrancy). Fatal from a second thread.
  bool enterCritical() {
    checkThread();
    if (inCritical()) return false;
    Mem::store16(&header_->runtimeFlags, header_->runtimeFlags | SlotHeaderCommon::RUNTIME_CRITICAL);
    // S7: a release store keeps earlier accesses before it, not later ones;
    // without this the compiler could move the operation's first change
    // ahead of the bit, and a writer killed between them would leave a
    // changed table that looks clean. Program order is all the next writer
    // needs (see Mem::fenceCompiler), so no instruction is spent on it.
    Mem::fenceCompiler();
    return true;
  }
  // S7: the release store keeps every change of the operation before the
  // bit is cleared.
  void leaveCritical() {
    Mem::store16(&header_->runtimeFlags, header_->runtimeFlags & ~SlotHeaderCommon::RUNTIME_CRITICAL);
  }
  // The first thread that enters the critical section is the table's
  // writer thread until detach; another one entering is a fatal misuse
  // (two threads writing one table would interleave their changes).
  void checkThread() {
    pthread_t self = pthread_self();
    if (!threadSet_) [[unlikely]] {
      thread_ = self;
      threadSet_ = true;
    } else if (!pthread_equal(thread_, self)) [[unlikely]] {
      secondThread();
    }
  }
  // Writes `value` into slot `id`: in place through the image when it is
  // occupied, directly (but with the same flag steps) when it is free. The
  // value's size is known at compile time, so the copies are inlined.
  template <class V>
  void writeValue(U32 id, V const& value) {
    static_assert(std::is_trivially_copyable_v<V> && !std::is_pointer_v<V>, "pass the value, not its address");
    SlotPrefix* s = slot(id);
    if (s->runtimeFlags & SLOT_OCCUPIED) {
      stageFence();
      std::memcpy(valuePtr(image()), &value, sizeof(V));
      commitStaged(s, sizeof(V));
      return;
    }
    rewrite(s, &value, sizeof(V));
  }
  // The value staged in the image (by a direct update) goes into its slot.
  void commitImage(U32 id) { commitStaged(slot(id), keyOps_.storedSize); }
  // S4. Before the image is written for a new change. A reader may still be
  // copying the image for the previous change, trusting it while that
  // slot's runtimeFlags read the same after its copy. A release store
  // (step 5 of the previous change) keeps earlier stores before it, not
  // later ones: without this fence a weakly ordered CPU may let the new
  // image bytes overtake it, and the reader would accept a mix. Pairs with
  // the acquire fence in SlotReaderTable::read between the copy and the
  // second load of the flags.
  static void stageFence() { Mem::fenceRelease(); }
  // S3: from here on no reader accepts a copy of the slot (its flags
  // change, OCCUPIED clear). A release store: every store before it (the
  // unlink of the slot, a move's copy elsewhere) is seen by a reader whose
  // acquire load of the flags (SlotReaderTable::read, flagsOf) sees the
  // cleared bit.
  void clearOccupied(U32 id) {
    SlotPrefix* s = slot(id);
    Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~SLOT_OCCUPIED);
  }
  // Frees slot `id` after move() copied its entry down: OCCUPIED cleared,
  // then the link's version advanced (same target). A reader that took the
  // link while the slot was still occupied finds it changed when it checks
  // it again after reading the successor; were the version kept, it could
  // read a successor moved away and freed meanwhile, with nothing changed
  // in sight (the smaller count is published only after the last move).
  // The other order would leave a reader that took the advanced link just
  // before the clear in the same place.
  void vacate(U32 id) {
    SlotPrefix* s = slot(id);
    Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~SLOT_OCCUPIED);
    SlotLink::store(&s->link, SlotLink::next(s->link, SlotLink::target(s->link)));
  }

  // --- access ----------------------------------------------------------------
  SlotPrefix* slot(U32 id) const { return span_.slot(id); }
  SlotPrefix* slotRaw(U32 id) const { return span_.raw(id); }
  SlotPrefix* image() const {
    return reinterpret_cast<SlotPrefix*>(reinterpret_cast<char*>(header_) + COMMON_HEADER_SIZE);
  }
  static char* valuePtr(SlotPrefix* s) { return SlotSpan::valuePtr(s); }
  template <class V>
  static V const& valueRef(SlotPrefix const* s) {
    return SlotSpan::valueRef<V>(s);
  }
  template <class V>
  static V valueOf(SlotPrefix const* s) {
    return SlotSpan::valueOf<V>(s);
  }
  void checkIndex(U32 id) const {
    if (id > span_.maxIndex || span_.numSlots == 0) span_.outOfRange(id);
  }
  // Byte offset of a link word from the mapping's base (survives a remap).
  U64 offsetOf(U64 const* link) const {
    return reinterpret_cast<char const*>(link) - reinterpret_cast<char const*>(header_);
  }
  U64* linkAt(U64 offset) const { return reinterpret_cast<U64*>(reinterpret_cast<char*>(header_) + offset); }

  SlotSpan const& span() const { return span_; }
  SlotHeaderCommon* header() const { return header_; }
  U32 capacity() const { return span_.numSlots; }
  U32 numSlots() const { return span_.numSlots; }
  U32 maxIndex() const { return span_.maxIndex; }
  U32 maxSlots() const { return maxSlots_; }
  U32 minSlots() const { return minSlots_; }
  U32 shrinkThreshold() const { return shrinkThreshold_; }
  bool fixedSize() const { return fixedSize_; }
  bool kept() const { return kept_; }
  bool attached() const { return header_ != nullptr; }
  U64 mappedSize() const { return region_.memSize(); }
  Mem::WriterRegion& region() { return region_; }
  std::string const& fileName() const { return region_.name(); }
  std::string headerString() const;
  U32 computeShrinkThreshold() const;

 private:
  void rederive(void* base);
  void numSlotsIs(U32 n) {
    span_.numSlots = n;
    span_.maxIndex = n ? n - 1 : 0;
  }
  // numSlots is set by now (rederive, or format).
  void finishAttach();
  // Steps 2 (rhash; the value is staged already) to 5 of the in-place
  // change (see the top of this file).
  void commitStaged(SlotPrefix* s, std::size_t n) {
    // Relaxed: behind stageFence (S4) and before step 3's release store,
    // which publishes it to a reader that sees LOOKASIDE.
    Mem::storeRelaxed32(&image()->rhash, s->rhash);
    rewrite(s, valuePtr(image()), n);
  }
  // Steps 3 to 5 of the in-place change. Inline, so that a size known to
  // the caller at compile time reaches the copy.
  void rewrite(SlotPrefix* s, void const* value, std::size_t n) {
    U32 flags = s->runtimeFlags;
    // Step 3, release: the image (step 2) is complete for a reader whose
    // acquire load of the flags in SlotReaderTable::read sees LOOKASIDE.
    Mem::store32(&s->runtimeFlags, flags + 2);
    // Keeps step 3 before the value bytes of step 4. Pairs with the
    // acquire fence in SlotReaderTable::read between its copy and its
    // second load of the flags: a reader that copied any new byte sees
    // flags + 2 (or later) there and drops the copy.
    Mem::fenceRelease();
    // Step 4, plain: the seqlock's well-known data race. A reader may copy
    // these bytes while they change; S3's flags check (the fences on both
    // sides) makes it throw such a copy away.
    std::memcpy(valuePtr(s), value, n);
    // Step 5, release: the value is complete for a reader whose first
    // (acquire) load of the flags sees this word.
    Mem::store32(&s->runtimeFlags, (flags + 4) | SLOT_OCCUPIED);
  }
  void writeEmpty(SlotPrefix* s);
  [[noreturn]] void secondThread() const;

  Quiv::DebugHandler* handler_;
  std::string name_;
  KeyOps const& keyOps_;
  U32 const slotSize_;
  U32 const valueSize_;
  U64 const headerSize_;
  U32& seed_;
  Mem::WriterRegion region_;
  SlotHeaderCommon* header_ = nullptr;
  SlotSpan span_;
  U32 maxSlots_;
  U32 minSlots_;
  bool fixedSize_;
  bool shrinkEnabled_;
  U32 shrinkThreshold_ = 0;
  Writer::Counters* counters_;
  bool kept_ = false;
  pthread_t thread_{};
  bool threadSet_ = false;
};

// One writer operation's hold on the table's critical section.
//
// Entering sets the header's critical bit; a writer that dies inside
// leaves it set, and the next writer knows the table may be half-changed
// and re-formats it. Leaving clears it, also when the operation throws.
// C1 (the critical-section rule): a failure inside an operation leaves
// every shared byte as it was, or completes the operation with its
// notification.
// That is sound because every operation first does all that can fail
// (growing a file, a full fixed-size table) and only then makes its first
// change a reader can see; after that nothing throws but the corruption
// checks. So a failure leaves every shared byte as it was, or (a growth
// that completed) in a new state that is sound on its own.
//
// Entering twice (an operation called from inside another, e.g. from a
// callback) is fatal, as is entering from a second thread.
class CriticalSection {
 public:
  enum Mode {
    enter,      // fatal when the section is held already
    adopt,      // take over a section left open (a direct write), or enter
    tryEnter,   // do nothing when it is held (held() is false then)
  };
  CriticalSection(SlotWriterTable& table, std::string const& name, Mode mode = enter);
  ~CriticalSection() {
    if (table_) table_->leaveCritical();
  }
  CriticalSection(CriticalSection const&) = delete;
  CriticalSection& operator=(CriticalSection const&) = delete;
  bool held() const { return table_ != nullptr; }
  // Leaves the section open past this scope: a direct write keeps it until
  // its commit.
  void keepOpen() { table_ = nullptr; }

 private:
  SlotWriterTable* table_;
};

}  // namespace Zolm
