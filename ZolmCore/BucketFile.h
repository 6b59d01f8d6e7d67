#pragma once
// The bucket file of a table: the bucket words of its hash index.
//
// Layout (little-endian):
//   offset width  field
//      0   u32   magic          "VXBK" (0x4b425856)
//      4   u16   formatVersion  1
//      6   u16   reserved
//      8   u32   fenixId        writer incarnation that formatted the file
//     12   u32   minBuckets     initial bucket count, never shrunk below
//     16   u32   resizeSeq      ) one 64-bit word, stored together
//     20   u32   numBuckets     ) (a power of two)
//     24   u64   bucket[numBuckets]   link words (SlotLink.h)
//
// A new file's buckets are all empty: each word is a marker to its
// bit-reversed successor, the last one the end of the table.
//
// Contract: one writer (W1 in Zolm/ZolmWriter.h) stores, readers in other
// processes read through a read-only mapping (BucketReaderBase and
// ZolmCore/ReaderHashMap.h).
//   B1  (resizeSeq, numBuckets) is one 64-bit word, always stored together
//       with one release store, after the bucket words it makes
//       addressable. Pairs with the acquire load of the word in
//       ReaderHashMapBase::syncBuckets and bucketCountChanged.
//   B2  The bucket file grows before numBuckets is raised and shrinks
//       after it was lowered (and never gets shorter, Mem::SharedMemWrapper),
//       so every bucket a reader may address is always mapped.
//   B3  Bucket words are link words (L1, L2 in SlotLink.h).
//   B4  A format runs only under a new fenix id (S6 in Zolm/SlotWriter.h):
//       the magic is cleared first and stored last, so its other stores
//       are plain.
#include <cstddef>
#include <string>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/ZolmCore/SlotLink.h"

namespace ZolmCore {

struct alignas(8) BucketHeader {
  static constexpr U32 MAGIC = 0x4b425856u;
  static constexpr U16 FORMAT_VERSION = 1;
  static constexpr U32 SIZE = 24;
  static constexpr U32 MAX_BUCKETS = 1u << 30;

  U32 magic;
  U16 formatVersion;
  U16 reserved;
  U32 fenixId;
  U32 minBuckets;
  U32 resizeSeq;
  U32 numBuckets;

  U64* resizeWord() { return reinterpret_cast<U64*>(&resizeSeq); }
  U64 const* resizeWord() const { return reinterpret_cast<U64 const*>(&resizeSeq); }
  U64* buckets() { return reinterpret_cast<U64*>(reinterpret_cast<char*>(this) + SIZE); }
  U64 const* buckets() const { return reinterpret_cast<U64 const*>(reinterpret_cast<char const*>(this) + SIZE); }
  // Checks a header read from a file of `fileSize` bytes; sets `error`.
  bool validate(U64 fileSize, U32 fenixId, Quiv::String& error) const;
  std::string toString() const;
  static U64 fileSizeFor(U32 numBuckets) { return Mem::multiplyOverflowCheck(numBuckets, 8, SIZE); }
};
static_assert(sizeof(BucketHeader) == 24);
static_assert(offsetof(BucketHeader, magic) % 4 == 0);
static_assert(offsetof(BucketHeader, resizeSeq) % 8 == 0, "resizeWord is one aligned 64-bit word");
static_assert(offsetof(BucketHeader, numBuckets) == offsetof(BucketHeader, resizeSeq) + 4);
static_assert(BucketHeader::SIZE % 8 == 0, "bucket words are 8-aligned");

class BucketWriterBase {
 public:
  static constexpr char const* FILENAME = "buckets";
  static_assert(Mem::RootPath::isTableFileName(FILENAME), "listed in RootPath::TABLE_FILES");
  static constexpr U32 DEFAULT_BUCKETS = 8;

  BucketWriterBase(Quiv::DebugHandler* handler, Mem::RootPath const& root, bool local);
  // Maps and keeps an existing file that validates against `fenixId`;
  // otherwise writes nothing, stays detached and returns false.
  bool keep(U32 fenixId);
  // Lays out an empty index of `initialBuckets` buckets under `fenixId`.
  void format(U32 fenixId, U32 initialBuckets = DEFAULT_BUCKETS);
  bool validate(U32 fenixId, Quiv::String& error) const;
  // Maps room for `numBuckets` buckets (the header's count is the
  // caller's to publish). Growing may throw Quiv::MemoryResourceException;
  // the mapping is as it was then.
  void doResize(U32 numBuckets);
  void detach();
  // Removes the file.
  void cleanup();
  BucketHeader* header() const { return header_; }
  U64* buckets() const { return header_ ? header_->buckets() : nullptr; }
  bool attached() const { return header_ != nullptr; }
  std::string toString() const;
  Mem::WriterRegion& region() { return region_; }

 private:
  Quiv::DebugHandler* handler_;
  Mem::WriterRegion region_;
  BucketHeader* header_ = nullptr;
};

// The read-only side: maps the file and follows the writer's resizes.
class BucketReaderBase {
 public:
  BucketReaderBase(Quiv::DebugHandler* handler, Mem::RootPath const& root);
  bool attach();
  bool validate(U32 fenixId, Quiv::String& error) const;
  // Remaps when the header's bucket count needs more (or less) of the file.
  // Returns whether the mapping changed.
  bool doResize();
  void detach();
  BucketHeader const* header() const { return header_; }
  U64 const* buckets() const { return header_ ? header_->buckets() : nullptr; }
  U32 mappedBuckets() const { return mappedBuckets_; }
  std::string toString() const;

 private:
  Quiv::DebugHandler* handler_;
  Mem::Tracked<Mem::SharedMemWrapper> region_;
  BucketHeader const* header_ = nullptr;
  U32 mappedBuckets_ = 0;
};

template <class Link>
class BucketWriter : public BucketWriterBase {
  static_assert(sizeof(Link) > 0);
 public:
  using BucketWriterBase::BucketWriterBase;
};

template <class Link>
class BucketReader : public BucketReaderBase {
 public:
  using BucketReaderBase::BucketReaderBase;
};

}  // namespace ZolmCore
