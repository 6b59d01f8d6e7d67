#pragma once
// Memory regions for the table engine.
//
// A region is a contiguous byte range whose base may move when it is
// resized. Two kinds:
//   Mem::SharedMemWrapper  a file under a table's root path (Mem::RootPath),
//                          mapped shared, writable (the writer) or read-only
//                          (readers); Mem::Tracked adds remap bookkeeping for
//                          readers that follow a writer's resizes.
//   Mem::Local             process-private memory for local (unmounted)
//                          tables: an anonymous mapping, or the heap.
//
// Failures to map, grow or reserve memory raise Quiv::MemoryResourceException
// and leave the region as it was.
#include <string>
#include <string_view>

#include "runtime/Debug.h"
#include "runtime/Exception.h"
#include "runtime/Types.h"

namespace Mem {

// header + count * elementSize, raising Quiv::MemoryResourceException on
// overflow of 64 bits.
U64 multiplyOverflowCheck(U64 count, U64 elementSize, U64 headerSize = 0);
// `size` rounded up to a whole number of pages (never 0 for size 0: one page).
U64 roundUpToWholePage(U64 size);
U64 pageSize();

class Region {
 public:
  virtual ~Region() = default;
  // Base address, or null when nothing is mapped.
  virtual void* base() const = 0;
  // Bytes usable from base(); 0 when nothing is mapped.
  virtual U64 memSize() const = 0;
  // Changes the usable size to newSize bytes (new bytes read zero). The base
  // may move. Returns the new base. Raises Quiv::MemoryResourceException and
  // keeps the old mapping on failure.
  virtual void* resize(U64 newSize) = 0;
  template <class T>
  T* at(U64 offset) const {
    return reinterpret_cast<T*>(static_cast<char*>(base()) + offset);
  }
};

class Local final : public Region {
 public:
  explicit Local(U64 size = 0);
  ~Local() override;
  Local(Local const&) = delete;
  Local& operator=(Local const&) = delete;

  void* base() const override { return base_; }
  U64 memSize() const override { return size_; }
  void* resize(U64 newSize) override;
  // With the heap, memory comes from malloc/realloc (small tables); without
  // it (the default), from an anonymous mapping that mremap grows in place
  // when it can. Only takes effect at the next resize from empty.
  void useHeapIs(bool useHeap) { useHeap_ = useHeap; }
  bool useHeap() const { return useHeap_; }
  // The largest size resize() accepts.
  static U64 maxMappingSize();

 private:
  void release();
  void* base_ = nullptr;
  U64 size_ = 0;      // usable bytes
  U64 mapped_ = 0;    // bytes mapped (page-rounded) when not on the heap
  bool useHeap_ = false;
  bool onHeap_ = false;
};

}  // namespace Mem
