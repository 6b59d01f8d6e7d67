#pragma once
// The slab: where a table with variable-size values keeps the serialized
// values. A slot of such a table holds a 32-bit Offset (slab number, entry
// index); the bytes live in one of 32 slab files "slab0".."slab31" beside
// the slot file. Slab i holds payloads of up to min(3 * (i + 1), 88) bytes
// (LinearSizeConfig), each in an entry of that size plus 8.
//
// Slab file, all integers little-endian:
//
//   0   8  magic        "BLOKASLB"
//   8   u32 version     1
//  12   u32 fenix       the writer incarnation that formatted the file
//  16   u32 generation  0 when formatted, + 1 at every resize   ) one 64-bit
//  20   u32 numEntries  entries in the file                      ) word
//  24   u32 numOccupied entries in use
//  28   u32 entrySize   maximum payload + 8
//  32   u32 checksum    Kel::hashBytes(0, entrySize's 4 bytes)
//  36   u32 freeList    first free entry, 0xFFFFFFFF when none
//  40   entries, numEntries * entrySize bytes, nothing between them
//
// Entry (at 40 + index * entrySize; entries are not aligned, slab 0's are
// 11 bytes long, so its words are copied, never loaded in place):
//
//   0   u32 payloadSize  occupied: the payload length (bit 31 clear);
//                        free: 0x80000000 | next free index, or 0xFFFFFFFF
//                        at the end of the free list
//   4   u32 clientData   the slot whose offset names this entry
//   8   payload          entrySize - 8 bytes, payloadSize of them meaningful
//
// Contract (one writer, lock-free readers; the slot's rules are S1..S7 in
// Zolm/SlotWriter.h):
//   K1  (generation, numEntries) is one 64-bit word stored with one release
//       store; a reader snapshot of the header is kept only when generation
//       reads the same before and after the copy.
//   K2  An entry is filled completely before a slot's offset names it, and
//       freed only after the slot no longer names it (its runtimeFlags
//       changed), so a reader that copied a freed or reused entry always
//       sees the slot's flags change and drops the copy.
//   K3  The file never gets shorter while its writer lives: growth maps
//       more first and publishes numEntries after; a shrink publishes the
//       smaller numEntries first and then gives the tail's pages back with
//       the file's length kept (Mem::SharedMemWrapper), so a reader still
//       mapping the old size reads zeros there, never SIGBUS.
//   K4  A re-format happens only under a new fenix id (as S6): the magic is
//       cleared first and written last.
#include <bit>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Hash.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/Types.h"

static_assert(std::endian::native == std::endian::little, "the slab format is little-endian");

namespace Bloka {

inline constexpr U32 NUM_SLABS = 32;
inline constexpr U32 HEADER_SIZE = 40;
inline constexpr U32 ENTRY_HEAD = 8;  // payloadSize, clientData
inline constexpr U32 NONE = 0xFFFFFFFFu;
inline constexpr U32 FREE_BIT = 0x80000000u;
inline constexpr U32 VERSION = 1;
inline constexpr char MAGIC[8] = {'B', 'L', 'O', 'K', 'A', 'S', 'L', 'B'};

// Names an entry: bits 0..4 the slab, bits 5..31 the index in it.
struct Offset {
  U32 raw = NONE;
  constexpr Offset() = default;
  constexpr explicit Offset(U32 r) : raw(r) {}
  constexpr Offset(U32 slab, U32 index) : raw((index << 5) | (slab & 31)) {}
  constexpr U32 slab() const { return raw & 31; }
  constexpr U32 index() const { return raw >> 5; }
  friend constexpr bool operator==(Offset a, Offset b) { return a.raw == b.raw; }
};
static_assert(sizeof(Offset) == 4);

// Size classes: slab i takes payloads of ((i * 3) + 1 .. (i + 1) * 3)
// bytes, the last used one capped at Max.
template <U32 Max = 88>
struct LinearSizeConfig {
  static_assert(Max >= 1 && (Max - 1) / 3 < NUM_SLABS);
  static constexpr U32 MAX_PAYLOAD = Max;
  static U32 sizeToIndex(U32 size) {
    fmassert(size != 0, "Bloka", "doing an allocation of size 0 is forbidden");
    fmassert(size <= Max, "Bloka", "Unhandled allocation size: {}", size);
    return (size - 1) / 3;
  }
  static constexpr U32 maxPayloadOf(U32 slab) { return 3 * (slab + 1) < Max ? 3 * (slab + 1) : Max; }
};

// What the allocators need of a size configuration, without its type.
struct SizeClasses {
  U32 maxPayload;
  U32 (*sizeToIndex)(U32 size);
  U32 (*maxPayloadOf)(U32 slab);
  template <class Config>
  static SizeClasses of() {
    return SizeClasses{Config::MAX_PAYLOAD, &Config::sizeToIndex, &Config::maxPayloadOf};
  }
};

inline std::string slabFileName(U32 slab) { return fmt::format("slab{}", slab); }

// The header's checksum: the runtime hash of entrySize's four bytes.
inline U32 entrySizeChecksum(U32 entrySize) { return Kel::hashBytes(0, &entrySize, sizeof entrySize); }

struct SlabHeader {
  char magic[8];
  U32 version;
  U32 fenix;
  U32 generation;
  U32 numEntries;
  U32 numOccupied;
  U32 entrySize;
  U32 checksum;
  U32 freeList;

  // K1: the (generation, numEntries) word.
  U64* sizeWord() { return reinterpret_cast<U64*>(&generation); }
  U64 const* sizeWord() const { return reinterpret_cast<U64 const*>(&generation); }
  static U64 sizeWordOf(U32 generation, U32 numEntries) { return U64(generation) | (U64(numEntries) << 32); }
  U64 magicWord() const {
    U64 m;
    std::memcpy(&m, magic, 8);
    return m;
  }
  static U64 wantedMagic() {
    U64 m;
    std::memcpy(&m, MAGIC, 8);
    return m;
  }
  // Checks a header copy against the mapped size (or the file's) and, when
  // `fenix` is not 0, the writer incarnation (and, when `entrySize` is
  // not 0, the slab's geometry); false with the reason in `error` (also
  // traced at level 0).
  bool validate(Quiv::DebugHandler* handler, U64 mappedSize, U32 fenix, Quiv::String& error,
                U32 entrySize = 0) const;
  std::string toString() const;
};
static_assert(sizeof(SlabHeader) == HEADER_SIZE);
static_assert(offsetof(SlabHeader, generation) == 16 && offsetof(SlabHeader, freeList) == 36);

// Bytes of a slab of `n` entries (overflow raises MemoryResourceException).
inline U64 slabFileSize(U32 n, U32 entrySize) { return Mem::multiplyOverflowCheck(n, entrySize, HEADER_SIZE); }
// Entries that fit in `bytes` of file.
inline U32 entriesIn(U64 bytes, U32 entrySize) {
  U64 n = bytes > HEADER_SIZE ? (bytes - HEADER_SIZE) / entrySize : 0;
  return n > 0x7FFFFFFu ? 0x7FFFFFFu : U32(n);
}
// Entries in one page after the header, at least 1.
inline U32 entriesPerPage(U32 entrySize) {
  U32 n = entriesIn(Mem::pageSize(), entrySize);
  return n ? n : 1;
}

// An entry's two head words, copied in and out (entries are unaligned).
inline U32 loadWord(char const* p) {
  U32 v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void storeWord(char* p, U32 v) { std::memcpy(p, &v, 4); }

// What a slab writer and a slab reader share: one slab's identity, its
// geometry and where its header is mapped.
class Slab {
 public:
  Slab(Quiv::DebugHandler* handler, std::string name, U32 index, U32 maxPayload)
      : handler_(handler), name_(std::move(name)), index_(index), maxPayload_(maxPayload),
        entrySize_(maxPayload + ENTRY_HEAD) {}
  std::string const& name() const { return name_; }
  U32 index() const { return index_; }
  U32 entrySize() const { return entrySize_; }
  U32 maxPayload() const { return maxPayload_; }
  SlabHeader const* header() const { return header_; }
  bool attached() const { return header_ != nullptr; }

 protected:
  void detach() {
    fmtrace(handler_, 5, "{}::detach() delegating to Slab::detach()", name_);
    header_ = nullptr;
  }
  char* entryAt(U32 i) const {
    return reinterpret_cast<char*>(header_) + HEADER_SIZE + U64(i) * entrySize_;
  }
  [[noreturn]] void beyond(U32 i, U32 n) const {
    fmthrow(Quiv::CorruptionDetectedException, "{}::getEntry() index: {} is beyond farthest possible index: {}", name_,
            i, n ? n - 1 : 0);
  }

  Quiv::DebugHandler* handler_;
  std::string name_;
  U32 index_;
  U32 maxPayload_;
  U32 entrySize_;
  SlabHeader* header_ = nullptr;
};

}  // namespace Bloka

template <>
struct fmt::formatter<Bloka::Offset> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(Bloka::Offset o, Ctx& ctx) const {
    return fmt::format_to(ctx.out(), "Offset{{ slab: {} index: {} }}", o.slab(), o.index());
  }
};
