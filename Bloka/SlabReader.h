#pragma once
// The read-only side of the slabs (format and contract in Bloka/Slab.h).
// A reader maps a slab the first time an offset names it, checks a
// snapshot of its header against the table's incarnation, and follows the
// writer's resizes lazily: when the header's entry count differs from the
// one mapped, it remaps before it judges an index (K1, K3). It never
// writes. What it copies out is only trusted by its caller under the
// slot's seqlock (K2).
#include <array>
#include <memory>
#include <string>

#include "VexaSwitchLib/Bloka/Slab.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"

namespace Bloka {

class SlabReader : public Slab {
 public:
  SlabReader(Quiv::DebugHandler* handler, std::string const& tableName, Mem::RootPath const& root, U32 index,
             U32 maxPayload);

  // Maps the header read-only and validates a snapshot of it against
  // `fenix` (Quiv::CorruptionDetectedException when that fails).
  void attach(U32 fenix);
  // Follows a change of the header's entry count.
  void doResize();
  void detach();
  // The payload of entry `index` and its size, checked: a free entry, an
  // oversize payload and an index past the (re-mapped) count throw
  // Quiv::CorruptionDetectedException.
  char const* lookup(U32 index, U32& size);

  // A copy of the header between two equal reads of generation (K1).
  SlabHeader snapshot() const;
  U32 mappedEntries() const { return mapped_; }
  U32 fenix() const { return fenix_; }
  U64 remaps() const { return region_.remaps(); }

 private:
  Mem::Tracked<Mem::SharedMemWrapper> region_;
  U32 mapped_ = 0;
  U32 fenix_ = 0;
};

class ReaderAllocator {
 public:
  ReaderAllocator(Quiv::DebugHandler* handler, std::string tableName, Mem::RootPath const& root, SizeClasses sizes);
  // The payload `offset` names in a table of incarnation `fenix`; a slab
  // is (re-)attached when first named or when the incarnation changed.
  char const* lookup(Offset offset, U32 fenix, U32& size);
  void detach();
  SlabReader const* slab(U32 i) const { return slabs_[i] && slabs_[i]->attached() ? slabs_[i].get() : nullptr; }

 private:
  Quiv::DebugHandler* handler_;
  std::string tableName_;
  Mem::RootPath root_;
  SizeClasses sizes_;
  std::array<std::unique_ptr<SlabReader>, NUM_SLABS> slabs_;
};

}  // namespace Bloka
