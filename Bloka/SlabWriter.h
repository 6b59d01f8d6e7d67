#pragma once
// The writer's side of the slabs (format and contract in Bloka/Slab.h):
// one SlabWriter per slab file, and the WriterAllocator over all 32 that
// hands out and takes back entries by Offset.
//
// Failure safety (C1 of Zolm/SlotWriter.h): everything here that can fail
// for want of memory (attaching or creating a slab, growing it) is reached
// through reserve() before the writer makes its first change a reader can
// see; alloc() on a reserved slab and dealloc() then change only memory
// already mapped. A shrink gives pages back after the smaller count is
// published, and a failure to do so is traced and leaves the mapping as it
// was (K3).
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "VexaSwitchLib/Bloka/Slab.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"

namespace Bloka {

class WriterAllocator;

class SlabWriter : public Slab {
 public:
  enum class Attached { created, reformatted, kept, corrupt };

  SlabWriter(Quiv::DebugHandler* handler, WriterAllocator& owner, Mem::RootPath const& root, bool local, U32 index,
             U32 maxPayload);

  // Maps the slab under `fenix`: a new file is formatted, one of another
  // incarnation re-formatted, one of this incarnation validated and kept
  // (or, when it fails its checks, re-formatted: `corrupt`).
  Attached attach(U32 fenix);
  // For a slab file this writer has not attached: wipes one of another
  // incarnation, and checks that one of this incarnation is empty and sound
  // (throws Quiv::CorruptionDetectedException otherwise).
  void validateUnattached(U32 fenix);
  void detach();
  bool removeFile();

  // Takes the free-list head, growing first when the list is empty.
  char* alloc(U32 size, U32& index);
  void dealloc(U32 index);
  // Grows when the free list is empty (the only step that can fail).
  void reserve() {
    if (header_->freeList == NONE) grow();
  }
  void grow();
  // Compacts into the lower half and gives the rest back, when due.
  void shrink();
  // Maps room for `to` entries and publishes the count (K1, K3).
  void resize(U32 from, U32 to);
  // The consistency walk: free list, every entry, the counts.
  bool validate(Quiv::String& error) const;

  // The entry at `index` (below numEntries, else CorruptionDetected).
  char* entry(U32 index) const {
    if (index >= header_->numEntries) beyond(index, header_->numEntries);
    return entryAt(index);
  }
  U32 shrinkThreshold() const { return shrinkThreshold_; }
  U32 numEntries() const { return header_ ? header_->numEntries : 0; }
  U32 numOccupied() const { return header_ ? header_->numOccupied : 0; }
  U64 payloadBytes() const { return payloadBytes_; }
  U64 mappedSize() const { return region_.memSize(); }
  std::string const& fileName() const { return region_.name(); }
  void regionOptionsIs(Mem::RegionOptions const& options) { region_.optionsIs(options); }
  bool fileExists() const { return region_.fileSize() > 0; }
  // Why the last attach did not keep an existing file of this incarnation.
  Quiv::String const& lastError() const { return lastError_; }
  // Free entries [start, end) become the free list (which must be empty).
  void addFreeEntries(U32 start, U32 end);

 private:
  SlabHeader* mapped() const { return static_cast<SlabHeader*>(region_.base()); }
  void format(U32 fenix);
  void computeShrinkThreshold();
  bool walk(Quiv::String& error, U64& payload) const;
  U32 nextFree(U32 index) const;
  U32 popBelow(U32& head, U32 target);

  WriterAllocator& owner_;
  Mem::WriterRegion region_;
  U32 shrinkThreshold_ = 0;
  U64 payloadBytes_ = 0;
  bool sufTraced_ = false;
  Quiv::String lastError_;
};

class WriterAllocator {
 public:
  // Called when a shrink moved an entry: its client data and new offset.
  using MovedFn = std::function<void(U32 clientData, Offset to)>;

  WriterAllocator(Quiv::DebugHandler* handler, std::string tableName, Mem::RootPath const& root, bool local,
                  SizeClasses sizes);
  ~WriterAllocator();
  // For every slab file, also those made later.
  void regionOptionsIs(Mem::RegionOptions const& options);

  // Keeps the slabs of an existing table under `fenix`: those holding
  // entries are attached and checked, the others go through
  // validateUnattached. False (everything detached) when any fails.
  bool keep(U32 fenix);
  // A table laid out anew under `fenix`: every slab is detached and will be
  // (re-)formatted when it is first used.
  void format(U32 fenix);
  void detach();
  void removeFiles();

  // Attaches and grows the slab of `size` so that alloc(size) cannot fail.
  void reserve(U32 size);
  // A new entry for `size` payload bytes (its payloadSize set); returns
  // the entry and its offset.
  char* alloc(U32 size, Offset& offset);
  void dealloc(Offset offset);
  // The entry an offset names, on an attached slab (CorruptionDetected
  // otherwise).
  char* entry(Offset offset) const;
  // The entry's payload and its size, checked (free entry, oversize).
  char const* payload(Offset offset, U32& size) const;
  U32 clientData(Offset offset) const { return loadWord(entry(offset) + 4); }
  void clientDataIs(Offset offset, U32 v) { storeWord(entry(offset) + 4, v); }

  void movedCallbackIs(MovedFn fn) { moved_ = std::move(fn); }
  U64 payloadBytes() const { return payloadBytes_; }
  // Why keep() refused the slabs.
  Quiv::String const& lastError() const { return lastError_; }
  SlabWriter const* slab(U32 i) const { return slabs_[i] && slabs_[i]->attached() ? slabs_[i].get() : nullptr; }
  U32 fenix() const { return fenix_; }
  // Every attached slab's consistency walk.
  bool validate(Quiv::String& error) const;

 private:
  friend class SlabWriter;
  SlabWriter& attached(U32 slab);

  Quiv::DebugHandler* handler_;
  std::string tableName_;
  Mem::RootPath root_;
  bool local_;
  SizeClasses sizes_;
  U32 fenix_ = 0;
  U64 payloadBytes_ = 0;
  MovedFn moved_;
  Quiv::String lastError_;
  std::array<std::unique_ptr<SlabWriter>, NUM_SLABS> slabs_;
  Mem::RegionOptions regionOptions_;
  SlabWriter& made(U32 i);  // made on first use
};

}  // namespace Bloka
