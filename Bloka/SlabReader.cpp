#include "VexaSwitchLib/Bloka/SlabReader.h"

namespace Bloka {

SlabReader::SlabReader(Quiv::DebugHandler* handler, std::string const& tableName, Mem::RootPath const& root,
                       U32 index, U32 maxPayload)
    : Slab(handler, fmt::format("SlabReader-{}-{}", tableName, index), index, maxPayload),
      region_(root, slabFileName(index), Mem::SharedMemWrapper::Mode::readOnly) {}

void SlabReader::attach(U32 fenix) {
  detach();
  void* base = nullptr;
  try {
    base = region_.attach(HEADER_SIZE);
  } catch (Quiv::Exception const&) {
    fmthrow(Quiv::CorruptionDetectedException, "{}::attach() cannot attach to shmem size:{}", name_, HEADER_SIZE);
  }
  if (!base) fmthrow(Quiv::CorruptionDetectedException, "{}::attach() no shared memory region", name_);
  header_ = static_cast<SlabHeader*>(base);
  SlabHeader h = snapshot();
  Quiv::String error;
  if (!h.validate(handler_, region_.fileSize(), fenix, error, entrySize_)) {
    detach();
    fmthrow(Quiv::CorruptionDetectedException, "{}::validate() failed: {}", name_, error);
  }
  fenix_ = fenix;
  mapped_ = 0;
  fmtrace(handler_, 5, "{}::attach() {} successfully attached", name_, region_.getFilename());
}

SlabHeader SlabReader::snapshot() const {
  SlabHeader h;
  for (U32 tries = 0;; ++tries) {
    // K1: acquire, pairs with the release store of the size word in
    // SlabWriter::resize; the copy is kept when no resize ran across it.
    U32 g = U32(Mem::load64(header_->sizeWord()));
    std::memcpy(&h, header_, sizeof h);
    Mem::fenceAcquire();
    if (U32(Mem::load64(header_->sizeWord())) == g || tries > 100) return h;
  }
}

void SlabReader::doResize() {
  // K1: acquire, pairs with SlabWriter::resize's release store: the
  // entries below a count seen are mapped in the writer's file.
  U32 n = U32(Mem::load64(header_->sizeWord()) >> 32);
  if (n == mapped_) return;
  U64 need;
  try {
    need = slabFileSize(n, entrySize_);
  } catch (Quiv::Exception const& e) {
    fmthrow(Quiv::CorruptionDetectedException, "{}::doResize() bad newNumEntries:{} message:{}", name_, n, e.msg());
  }
  U64 have = region_.fileSize();
  if (have < need) fmthrow(Quiv::CorruptionDetectedException, "{}::doResize() bad shmem size:{} wanted:{}", name_, have, need);
  fmtrace(handler_, 5, "{}::doResize() {} from {} entries to {}", name_, region_.getFilename(), mapped_, n);
  void* before = region_.base();
  try {
    region_.resize(need);
  } catch (Quiv::Exception const&) {
    fmthrow(Quiv::CorruptionDetectedException, "{}::doResize() failed to resize from {} to {} entries", name_, mapped_, n);
  }
  if (region_.base() != before)
    fmtrace(handler_, 5, "{}::doResize() changed base address mapping from {} to {}", name_, before, region_.base());
  header_ = static_cast<SlabHeader*>(region_.base());
  mapped_ = n;
}

void SlabReader::detach() {
  if (header_) Slab::detach();
  header_ = nullptr;
  mapped_ = 0;
  fenix_ = 0;
  region_.detach();
}

char const* SlabReader::lookup(U32 index, U32& size) {
  doResize();
  if (index >= mapped_) beyond(index, mapped_);
  char const* e = entryAt(index);
  // Plain copy: the word may be changing; the caller's seqlock check of
  // the slot drops what it read then (K2).
  U32 w = loadWord(e);
  if (w & FREE_BIT)
    fmthrow(Quiv::CorruptionDetectedException, "{}::lookup() entry at index: {} is marked unoccupied", name_, index);
  if (w > maxPayload_)
    fmthrow(Quiv::CorruptionDetectedException, "{}::lookup() encountered payloadSize: {}, but max payloadSize:{} at index: {}",
            name_, w, maxPayload_, index);
  size = w;
  return e + ENTRY_HEAD;
}

ReaderAllocator::ReaderAllocator(Quiv::DebugHandler* handler, std::string tableName, Mem::RootPath const& root,
                                 SizeClasses sizes)
    : handler_(handler), tableName_(std::move(tableName)), root_(root), sizes_(sizes) {}

char const* ReaderAllocator::lookup(Offset offset, U32 fenix, U32& size) {
  auto& r = slabs_[offset.slab()];
  if (!r) r = std::make_unique<SlabReader>(handler_, tableName_, root_, offset.slab(), sizes_.maxPayloadOf(offset.slab()));
  if (!r->attached() || r->fenix() != fenix) r->attach(fenix);
  return r->lookup(offset.index(), size);
}

void ReaderAllocator::detach() {
  for (auto& r : slabs_)
    if (r) r->detach();
}

}  // namespace Bloka
