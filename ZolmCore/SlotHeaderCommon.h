#pragma once
// The common header of a slot file: its first 600 bytes.
//
// Layout (little-endian; the engine's fields at 548..599 are fixed because
// readers in other processes address them directly):
//
//   offset width  field
//      0   u64   magic            "VXSLOTS1" (0x31544f4c53585856)
//      8   u32   formatVersion    1; a file of a later version is refused
//     12   u32   headerSize       600
//     16   u32   slotSize         bytes per slot (16 + value, multiple of 8)
//     20   u32   minSlots         initial slot count, never shrunk below
//     24   u32   maxSlots         requested table size
//     28   u32   valueSize        stored size of one value
//     32   u32   fenixId          writer incarnation that formatted the file
//     36   u32   creatorPid
//     40   u64   createTime       seconds since the epoch
//     48   char  typeName[128]    value type name, NUL-terminated
//    176   ...   reserved (zero) up to 547
//    548   u16   flags            bit 0 slab values, bit 1 notification queue
//    550   u16   runtimeFlags     bit 0: writer inside its critical section
//    552   u32   reserved
//    556   u32   occupiedSlots
//    560   u32   freeList         first free slot, 0xFFFFFFFF when none
//    564   u32   maxNumSlots      largest numSlots ever
//    568   u32   hashSeed
//    572   u32   reserved
//    576   u32   resizeSeq        ) one 64-bit word: stored together so
//    580   u32   numSlots         ) that no reader sees one without the other
//    584   u32   maxOccupiedSlots
//    588   ...   reserved (zero) up to 599
//
// Concurrency (the rules are in Zolm/SlotWriter.h, S1..S7): the writer
// stores the fields from flags on while readers in other processes read
// them. resizeSeq/numSlots is one word (S1); occupiedSlots, freeList,
// maxNumSlots and maxOccupiedSlots are stored whole, each with one 32-bit
// atomic store, and keep S2 at every store; runtimeFlags is the writer's
// own (S7). Readers copy the header between two equal reads of resizeSeq
// (SlotReaderBase::snapshot). The fields before 548 are written only
// while formatting (S6) and are constant afterwards.
#include <cstddef>
#include <string>
#include <string_view>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Zolm {

struct alignas(8) SlotHeaderCommon {
  static constexpr U64 MAGIC = 0x31544f4c53585856ULL;  // "VXSLOTS1"
  static constexpr U32 FORMAT_VERSION = 1;
  static constexpr U32 HEADER_SIZE = 600;
  static constexpr U32 TYPE_NAME_SIZE = 128;
  static constexpr U16 FLAG_SLAB = 1;
  static constexpr U16 FLAG_NOTIFY = 2;
  static constexpr U16 RUNTIME_CRITICAL = 1;

  U64 magic;
  U32 formatVersion;
  U32 headerSize;
  U32 slotSize;
  U32 minSlots;
  U32 maxSlots;
  U32 valueSize;
  U32 fenixId;
  U32 creatorPid;
  U64 createTime;
  char typeName[TYPE_NAME_SIZE];
  U8 reserved0[548 - 176];
  U16 flags;
  U16 runtimeFlags;
  U32 reserved1;
  U32 occupiedSlots;
  U32 freeList;
  U32 maxNumSlots;
  U32 hashSeed;
  U32 reserved2;
  U32 resizeSeq;
  U32 numSlots;
  U32 maxOccupiedSlots;
  U8 reserved3[12];

  // Fills a new header (everything else zero, the free list empty).
  void init(Quiv::DebugHandler* handler, U32 headerSize, U32 slotSize, U32 minSlots, U32 maxSlots, U16 flags,
            U32 fenixId, std::string_view typeName, U32 valueSize, U32 hashSeed);

  // Checks the header of a file of `fileSize` bytes: magic, version, header
  // size, geometry, the fenix id (when `fenixId` is not 0) and, when given,
  // the slot size, value size and type name the caller expects, so that a
  // file of another table type is refused. Sets `error` and traces it at
  // level 0 when a check fails.
  bool validate(Quiv::DebugHandler* handler, U32 headerSize, U64 fileSize, U32 fenixId, Quiv::String& error,
                U32 expectSlotSize = 0, U32 expectValueSize = 0, std::string_view expectTypeName = {}) const;
  std::string toString() const;
  std::string_view typeNameView() const;

  // (resizeSeq, numSlots) as one word: low half resizeSeq.
  U64* resizeWord() { return reinterpret_cast<U64*>(&resizeSeq); }
  U64 const* resizeWord() const { return reinterpret_cast<U64 const*>(&resizeSeq); }
  // S1: one release store; pairs with the acquire load of the word in
  // SlotReaderBase::doResize and the seqlock in SlotReaderBase::snapshot.
  void resizeWordIs(U32 seq, U32 slots) { Mem::store64(resizeWord(), U64(slots) << 32 | seq); }
};

static_assert(sizeof(SlotHeaderCommon) == 600);
static_assert(offsetof(SlotHeaderCommon, typeName) == 48);
static_assert(offsetof(SlotHeaderCommon, flags) == 548);
static_assert(offsetof(SlotHeaderCommon, runtimeFlags) == 550);
static_assert(offsetof(SlotHeaderCommon, occupiedSlots) == 556);
static_assert(offsetof(SlotHeaderCommon, freeList) == 560);
static_assert(offsetof(SlotHeaderCommon, maxNumSlots) == 564);
static_assert(offsetof(SlotHeaderCommon, hashSeed) == 568);
static_assert(offsetof(SlotHeaderCommon, resizeSeq) == 576);
static_assert(offsetof(SlotHeaderCommon, numSlots) == 580);
static_assert(offsetof(SlotHeaderCommon, maxOccupiedSlots) == 584);
// The words accessed atomically are naturally aligned (a mapping starts on
// a page, and the struct on its first byte).
static_assert(offsetof(SlotHeaderCommon, magic) % 8 == 0);
static_assert(offsetof(SlotHeaderCommon, runtimeFlags) % 2 == 0);
static_assert(offsetof(SlotHeaderCommon, occupiedSlots) % 4 == 0);
static_assert(offsetof(SlotHeaderCommon, freeList) % 4 == 0);
static_assert(offsetof(SlotHeaderCommon, maxNumSlots) % 4 == 0);
static_assert(offsetof(SlotHeaderCommon, maxOccupiedSlots) % 4 == 0);
static_assert(offsetof(SlotHeaderCommon, resizeSeq) % 8 == 0, "resizeWord is one aligned 64-bit word");
static_assert(offsetof(SlotHeaderCommon, numSlots) == offsetof(SlotHeaderCommon, resizeSeq) + 4);
static_assert(sizeof(SlotHeaderCommon) % 8 == 0, "the image and the slots after the header stay 8-aligned");

}  // namespace Zolm
