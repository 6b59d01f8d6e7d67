#pragma once
// The notification queue of a table: every change of a slot becomes a
// record (slot index, 64-bit sequence) that readers in other processes
// follow to learn which slots to re-read.
//
// File "nimbr" beside the slot file (little-endian):
//
//   offset width  field
//      0   u64   magic           "VXNIMBR1" (0x3152424d494e5856)
//      8   u32   formatVersion   1
//     12   u32   fenixId         writer incarnation that formatted the file
//     16   u32   generation      advanced at every (re-)format
//     20   u32   capacity        C, records in the ring (a power of two)
//     24   u32   window          W = C - C/4, length of the live window
//     28   u32   mapSize         M, slots covered by the position map
//     32   u64   tailSeq         sequence of the last published record
//     40   u32   shrinkState     bit 0: a slot-table shrink in progress
//     44   u32   reserved
//     48   u64   shrinkStartSeq  tailSeq when the last shrink started
//     56   u64   shrinkEndSeq    tailSeq when it ended
//     64   ...   reserved up to 127
//    128   u32   slotPos[M]      each slot's current ring position,
//                                0xFFFFFFFF when it has none
//   recs   Record[C]             recs = 128 + 4*M rounded up to 16
//
//   Record (16 bytes): u64 seq, u32 slot (0xFFFFFFFF: tombstone), u32 info
//   (the priority). Record seq q lives at position q mod C.
//
// Who writes: the table's one writer thread (W1 in Zolm/ZolmWriter.h);
// readers in other processes follow the queue read-only (NimbrReader).
// Invariants the writer keeps:
//   Q1  A slot has at most one live record: when a slot is notified again,
//       its previous record is tombstoned, so the number of live records
//       never exceeds the number of slots, whatever the write rate.
//   Q2  The live window is the last W sequences, (tailSeq - W, tailSeq].
//       No live record ever leaves it: before a record falls out, the
//       writer re-appends it at the tail (and tombstones the old copy). The
//       C - W positions behind the window (the corral) hold only dead
//       records, which the ring overwrites next. C = 2M and W >= 1.5M, so
//       this costs a few record copies per notification at most, on
//       average.
//   Q3  A record is its own seqlock: seq cleared (release), a release
//       fence, slot and info stored, then seq stored (release); slotPos
//       names it only after that, and tailSeq is stored last. A reader
//       accepts it only when it reads the expected seq before and after
//       the slot and info (NimbrReader::next).
//   Q4  A re-format stores the new generation (release, then a release
//       fence) before any other store of the layout, so a reader that
//       reads any of them sees the new generation at its next check. The
//       layout's other stores need no further order: until the reader
//       re-reads the generation it trusts none of them.
//   Q5  The file grows before a re-format changes anything; when it cannot
//       the queue is as it was (ensureCapacity, W3). It never gets shorter.
// Hence a reader that fell behind the window loses nothing: every change
// not yet superseded is inside the window, so it skips to the window's
// start (and is told that it did). A reader that sees the generation change
// (the writer re-formatted the queue, for example to cover a grown slot
// table) must resynchronise from the slots themselves.
//
#include <cstddef>
#include <string>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"

namespace Nimbr {

using BasicSlot = U32;

struct Record {
  U64 seq;
  U32 slot;
  U32 info;
};
static_assert(sizeof(Record) == 16);
static_assert(offsetof(Record, seq) % 8 == 0);
static_assert(offsetof(Record, slot) % 4 == 0);
static_assert(offsetof(Record, info) % 4 == 0);

struct alignas(8) Header {
  static constexpr U64 MAGIC = 0x3152424d494e5856ULL;  // "VXNIMBR1"
  static constexpr U32 FORMAT_VERSION = 1;
  static constexpr U32 SIZE = 128;
  U64 magic;
  U32 formatVersion;
  U32 fenixId;
  U32 generation;
  U32 capacity;
  U32 window;
  U32 mapSize;
  U64 tailSeq;
  U32 shrinkState;
  U32 reserved;
  U64 shrinkStartSeq;
  U64 shrinkEndSeq;
  U8 reserved2[64];

  static constexpr U64 recordsOffset(U32 mapSize) { return (SIZE + U64(mapSize) * 4 + 15) / 16 * 16; }
  static U64 fileSizeFor(U32 mapSize, U32 capacity) { return recordsOffset(mapSize) + U64(capacity) * 16; }
  U32* slotPos() { return reinterpret_cast<U32*>(reinterpret_cast<char*>(this) + SIZE); }
  U32 const* slotPos() const { return reinterpret_cast<U32 const*>(reinterpret_cast<char const*>(this) + SIZE); }
  Record* records() { return reinterpret_cast<Record*>(reinterpret_cast<char*>(this) + recordsOffset(mapSize)); }
  Record const* records() const {
    return reinterpret_cast<Record const*>(reinterpret_cast<char const*>(this) + recordsOffset(mapSize));
  }
  // Geometry and identity; sets `error`.
  bool validate(U64 fileSize, U32 fenixId, Quiv::String& error) const;
  std::string toString() const;
};
static_assert(sizeof(Header) == 128);
static_assert(offsetof(Header, magic) % 8 == 0);
static_assert(offsetof(Header, generation) % 4 == 0);
static_assert(offsetof(Header, capacity) % 4 == 0);
static_assert(offsetof(Header, mapSize) % 4 == 0);
static_assert(offsetof(Header, tailSeq) % 8 == 0);
static_assert(offsetof(Header, shrinkState) % 4 == 0);
static_assert(offsetof(Header, shrinkStartSeq) % 8 == 0);
static_assert(offsetof(Header, shrinkEndSeq) % 8 == 0);
static_assert(Header::SIZE % 4 == 0, "slotPos entries are 4-aligned");
static_assert(Header::recordsOffset(1) % 16 == 0, "records are 16-aligned");

// Told by the queue when a postponed slot-table shrink may run, and when
// the readers' quiesced state changes.
class NimbrNotifiee {
 public:
  virtual ~NimbrNotifiee() = default;
  virtual void shrink(U32 threshold) = 0;
  virtual void handleQuiesced(bool quiesced) = 0;
};

class NimbrWriter {
 public:
  static constexpr char const* FILENAME = "nimbr";
  static_assert(Mem::RootPath::isTableFileName(FILENAME), "listed in RootPath::TABLE_FILES");
  static constexpr U32 NONE = 0xFFFFFFFFu;
  static constexpr U32 TOMBSTONE = 0xFFFFFFFFu;

  NimbrWriter(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local);
  void notifieeIs(NimbrNotifiee* n) { notifiee_ = n; }
  Mem::WriterRegion& region() { return region_; }

  // Maps and keeps an existing queue that passes the header check against
  // `fenixId` and covers `numSlots` slots; otherwise writes nothing, stays
  // detached and returns false.
  bool keep(U32 fenixId, U32 numSlots);
  // Lays out an empty queue covering `numSlots` slots under `fenixId`, one
  // generation past the file's previous one (readers resynchronise).
  void format(U32 fenixId, U32 numSlots);
  // keep() unless `reformat`, else format(); returns whether it kept.
  bool attach(U32 fenixId, U32 numSlots, bool reformat) {
    if (!reformat && keep(fenixId, numSlots)) return true;
    format(fenixId, numSlots);
    return false;
  }
  // Re-formats when the position map no longer covers `numSlots` (the
  // table grows past it); readers see a new generation. The file grows
  // first: when it cannot (Quiv::MemoryResourceException) the queue is
  // as it was.
  void ensureCapacity(U32 numSlots);
  void detach();
  void cleanup();

  // Publishes a change of `slot`; returns its ring position.
  U32 notify(U32 slot, U32 priority = 0);
  // Turns the record at `pos` into a tombstone and forgets it as its
  // slot's current record.
  void tombstone(U32 pos);
  void markShrinkStart();
  void markShrinkEnd();
  bool shrinkInProgress() const;
  // While held, a shrink stays in progress after markShrinkEnd until
  // releaseShrink(); a shrink asked for meanwhile is remembered and handed
  // to the notifiee's shrink() at release.
  void holdShrinksIs(bool hold) { holdShrinks_ = hold; }
  void shrinkPendingIs(U32 threshold) { pendingShrink_ = threshold; }
  void releaseShrink();
  bool quiesced() const { return !shrinkInProgress(); }

  bool validate(U32 maxNumSlots, Quiv::String& error) const;
  std::string toString() const;
  bool attached() const { return header_ != nullptr; }

  // For the validator and tests.
  U32 length() const { return header_ ? header_->capacity : 0; }
  Record entryAt(U32 pos) const { return header_->records()[pos]; }
  U32 slotPos(U32 slot) const { return header_ && slot < header_->mapSize ? header_->slotPos()[slot] : NONE; }
  bool inLiveWindow(U64 seq) const;
  U64 tailSeq() const { return header_ ? header_->tailSeq : 0; }
  U32 generation() const { return header_ ? header_->generation : 0; }
  Header const* header() const { return header_; }
  U64 reappends() const { return reappends_; }

 private:
  void layout(U32 fenixId, U32 numSlots, U32 generation);
  void append(U32 slot, U32 info);
  Quiv::DebugHandler* handler_;
  Mem::WriterRegion region_;
  Header* header_ = nullptr;
  NimbrNotifiee* notifiee_ = nullptr;
  bool holdShrinks_ = false;
  U32 pendingShrink_ = 0;
  U64 reappends_ = 0;
};

// Follows a table's queue read-only.
class NimbrReader {
 public:
  enum class Status {
    record,       // `out` holds the next record (its slot may be a tombstone)
    empty,        // nothing new
    behind,       // the reader fell out of the live window and skipped to
                  // its start (call next again); nothing still current
                  // was lost
    regenerated,  // the queue was re-formatted: resynchronise from the slots
  };
  NimbrReader(Quiv::DebugHandler* handler, Mem::RootPath const& root);
  // Maps the queue and starts after its current tail. False when absent or
  // invalid (`error` says why).
  bool attach(Quiv::String& error);
  void detach();
  Status next(Record& out);
  // Starts over at the current tail of the current generation; returns it.
  // A caller that then re-reads every slot has seen every change up to it.
  U64 resync();
  U64 position() const { return nextSeq_; }
  // The writer's checks of its queue (NimbrWriter::validate), read-only
  // from another process: the header against `fenixId`, a position map
  // covering `maxNumSlots`, every record at its sequence's position and
  // naming a mapped slot, every position inside the ring. A writer at
  // work can fail it (a record is stored before tailSeq names it): the
  // caller tells such a race from damage by tailSeq read around it.
  bool check(U32 fenixId, U32 maxNumSlots, Quiv::String& error);
  // Whether the queue still holds a live record for `slot`: `tombstoned`
  // when its record was superseded or dropped (a newer record, or a move
  // by a shrink, will tell the follower), `regenerated` when the queue is
  // not the generation this reader follows. A position outside the ring
  // throws Quiv::CorruptionDetectedException.
  enum class Held { live, tombstoned, regenerated };
  Held holds(U32 slot) const;
  U32 generation() const { return generation_; }
  U64 mappedSize() const { return region_.memSize(); }
  // The sequence of the last published record (0 when unmapped). Q3:
  // acquire, pairs with the release store of tailSeq in NimbrWriter::append.
  U64 tailSeq() const { return header_ ? Mem::load64(&header_->tailSeq) : 0; }
  bool attached() const { return header_ != nullptr; }
  U64 behindCount() const { return behind_; }
  // No slot-table shrink is in progress at the writer.
  // Acquire, pairs with the release stores in markShrinkStart/End.
  bool quiesced() const { return !header_ || !(Mem::load32(&header_->shrinkState) & 1); }
  std::string toString() const { return header_ ? header_->toString() : std::string("nimbr (not attached)"); }

 private:
  bool remapIfNeeded();
  // The ring under a mapSize this reader read once (never header_->records(),
  // which reads mapSize again).
  Record const* recordsAt(U32 mapSize) const {
    return reinterpret_cast<Record const*>(reinterpret_cast<char const*>(header_) + Header::recordsOffset(mapSize));
  }
  Quiv::DebugHandler* handler_;
  Mem::SharedMemWrapper region_;
  Header const* header_ = nullptr;
  U32 generation_ = 0;
  U64 nextSeq_ = 1;
  U64 behind_ = 0;
};

}  // namespace Nimbr
