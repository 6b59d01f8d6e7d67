#pragma once
// Checks a writer's table for consistency: the bucket file, the slot
// header, the notification queue, every occupied slot reachable exactly
// once through the chains, every free slot exactly once on the free list,
// and every notification claimed by the slot it names. Never repairs.
#include <string>

#include "VexaSwitchLib/Bloka/SlabWriter.h"
#include "VexaSwitchLib/ZolmCore/WriterHashMap.h"
#include "VexaSwitchLib/Zolm/SlotWriter.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Nimbr.h"

namespace Zolm {

// What the validator checks: the writer's parts, and the key operations
// that tell where each key belongs. `nimbr` is null for a table without a
// notification queue.
struct ValidatorTarget {
  std::string_view name;
  SlotWriterTable& slotTable;
  ZolmCore::WriterHashMap& hashMap;
  Nimbr::NimbrWriter* nimbr;
  KeyOps const& keyOps;
  U32 seed;
  // A table with slab-stored values: its slabs and how a value is read.
  Bloka::WriterAllocator const* slabs = nullptr;
  ValueSource source{};
};

class Validator {
 public:
  Validator(Quiv::DebugHandler* handler, ValidatorTarget const& target) : handler_(handler), t_(target) {}

  // Never throws: a failure (or a corruption exception met on the way) is
  // traced and kept in error().
  bool validate(U32 fenixId);
  Quiv::String const& error() const { return error_; }

  bool doValidate(U32 fenixId);
  bool walkOccupiedSlots();
  void markOccupied(U32 slotId);
  bool walkFreeSlots();
  bool checkQueue();
  // Every occupied slot's entry names the slot back; the slabs hold no
  // other entries, and each passes its consistency walk.
  bool checkSlabs();

 private:
  Quiv::DebugHandler* handler_;
  ValidatorTarget t_;
  U32 occupiedCount_ = 0;
  U32 freeCount_ = 0;
  Lumo::Local<bool> slotMarks_;
  Lumo::Local<bool> posMarks_;
  Quiv::String error_;
};

}  // namespace Zolm
