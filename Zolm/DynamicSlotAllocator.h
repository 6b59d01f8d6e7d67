#pragma once
// The glue between a table whose values have a variable-size serialized
// form and its slabs (Bloka/): the slot's value field holds the Offset of
// a slab entry, and the entry holds the owning slot's index (client data)
// and the serialized value.
//
// Store order of setValue (K2 in Bloka/Slab.h, S3 in Zolm/SlotWriter.h):
//   1. a new entry is taken and filled: client data, serialized value
//   2. the slot's offset changes through the in-place steps (an occupied
//      slot's rhash and new offset staged in the critical-section image,
//      flags + 2, the offset, flags + 2 with OCCUPIED)
//   3. only then is the old entry freed
// A reader that copied the old entry's bytes sees the slot's flags change
// and starts over; one that sees the new offset finds the entry complete.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "VexaSwitchLib/Bloka/SlabReader.h"
#include "VexaSwitchLib/Bloka/SlabWriter.h"
#include "VexaSwitchLib/ZolmCore/Ops.h"
#include "VexaSwitchLib/Zolm/SlotWriter.h"

namespace Zolm {

// The slot index a slab entry belongs to.
using DynZolmClientData = U32;

// Throws Quiv::CorruptionDetectedException for a stored form that does not
// decode: "<context> Corrupted serialized value detected at offset: ...".
[[noreturn]] void corruptedData(std::string_view context, Bloka::Offset offset, void const* bytes, U32 size);

template <class K, class V, class SizeConfig = Bloka::LinearSizeConfig<88>>
struct DynamicSlotAllocator {
  using M = ValuePolicy<V>;
  static_assert(M::dynamic, "values stored in the slot need no slab");
  static constexpr U32 MAX_PAYLOAD = SizeConfig::MAX_PAYLOAD;
  static Bloka::SizeClasses sizes() { return Bloka::SizeClasses::of<SizeConfig>(); }

  // A payload copied out of its entry into `buf` (MAX_PAYLOAD bytes, the
  // rest zero) is checked and decoded. The copy keeps a hostile size or
  // count from reading past the entry: decoding only ever sees `buf`.
  static void decode(std::string_view context, Bloka::Offset off, char const* buf, U32 size, V& out) {
    V v;
    if (M::deserializeLen(v, buf, size) == 0) corruptedData(context, off, buf, size);
    M::deserialize(v, buf, size);
    // The counts must account for exactly the stored bytes.
    if (M::serializeLen(v) != size) corruptedData(context, off, buf, size);
    out = v;
  }

  static Bloka::Offset offsetIn(SlotPrefix const* s) {
    U32 raw;
    std::memcpy(&raw, SlotSpan::valuePtr(s), sizeof raw);
    return Bloka::Offset(raw);
  }

  class Writer {
   public:
    Writer(Bloka::WriterAllocator& slabs, SlotWriterTable& table) : slabs_(slabs), table_(table) {}
    static std::unique_ptr<Bloka::WriterAllocator> makeAllocator(std::unique_ptr<Bloka::WriterAllocator> const& current,
                                                                 Quiv::DebugHandler* handler, std::string name,
                                                                 Mem::RootPath const& root, bool local) {
      fmassert(!current, "Zolm", "Unexpected non-null allocator when initializing DynamicSlotAllocator::Writer");
      return std::make_unique<Bloka::WriterAllocator>(handler, std::move(name), root, local, sizes());
    }

    // Everything setValue(v) may need to grow, before the operation's
    // first visible change (W3).
    void reserve(V const& v) { slabs_.reserve(M::serializeLen(v)); }
    // Stores `value` for slot `slotIndex` (see the top of this file);
    // returns the stored payload.
    char const* setValue(U32 slotIndex, V const& value) {
      SlotPrefix* slot = table_.slot(slotIndex);
      Bloka::Offset old = offsetIn(slot);
      bool wasOccupied = slot->runtimeFlags & SLOT_OCCUPIED;
      U32 len = M::serializeLen(value);
      Bloka::Offset off;
      char* e = slabs_.alloc(len, off);
      Bloka::storeWord(e + 4, slotIndex);
      M::serialize(value, e + Bloka::ENTRY_HEAD);
      table_.writeValue(slotIndex, off.raw);
      if (wasOccupied) slabs_.dealloc(old);
      return e + Bloka::ENTRY_HEAD;
    }
    V getValue(Bloka::Offset off) const {
      V v;
      copyOut("DynamicSlotAllocator::Writer::getValue()", off, v);
      return v;
    }
    void copyOutValue(Bloka::Offset off, V& out) const { copyOut("DynamicSlotAllocator::Writer::copyOutValue()", off, out); }
    // The slot's entry names the slot back and decodes.
    bool validateSlot(U32 slotIndex, Quiv::String& error) const {
      Bloka::Offset off = offsetIn(table_.slot(slotIndex));
      U32 client = slabs_.clientData(off);
      if (client != slotIndex) {
        error = fmt::format("Clientdata mismatch, slot {} contains offset: {} but slabEntry references slot: {}",
                            slotIndex, off, client);
        return false;
      }
      (void)getValue(off);
      return true;
    }

   private:
    void copyOut(std::string_view context, Bloka::Offset off, V& out) const {
      U32 size;
      char const* p = slabs_.payload(off, size);
      alignas(8) char buf[MAX_PAYLOAD] = {};
      std::memcpy(buf, p, size);
      decode(context, off, buf, size, out);
    }
    Bloka::WriterAllocator& slabs_;
    SlotWriterTable& table_;
  };

  class Reader {
   public:
    Reader(Quiv::DebugHandler* handler, std::string name, Mem::RootPath const& root)
        : slabs_(handler, std::move(name), root, sizes()) {}
    // Copies the payload `off` names into `buf` (MAX_PAYLOAD bytes, the
    // rest cleared); false, with the reason, when the slab refuses. The
    // caller trusts the copy only under the slot's seqlock.
    bool copy(Bloka::Offset off, U32 fenix, char* buf, U32& size, std::string& why) {
      try {
        char const* p = slabs_.lookup(off, fenix, size);
        std::memcpy(buf, p, size);
        std::memset(buf + size, 0, MAX_PAYLOAD - size);
        return true;
      } catch (Quiv::CorruptionDetectedException const& e) {
        why = e.msg();
        size = 0;
        return false;
      }
    }
    // A value from its offset, outside a seqlock (a quiet table, tools):
    // into `userBuf` when given.
    V retrieve(Bloka::Offset off, U32 fenix, char* userBuf = nullptr) {
      alignas(8) char own[MAX_PAYLOAD];
      char* buf = userBuf ? userBuf : own;
      U32 size;
      std::string why;
      if (!copy(off, fenix, buf, size, why)) fmthrow(Quiv::CorruptionDetectedException, "{}", why);
      V v;
      decode(userBuf ? "DynamicSlotAllocator::Reader::retrieve(userSuppliedBuf)" : "DynamicSlotAllocator::Reader::retrieve()",
             off, buf, size, v);
      return v;
    }
    Bloka::ReaderAllocator& slabs() { return slabs_; }

   private:
    Bloka::ReaderAllocator slabs_;
  };
};

}  // namespace Zolm
