#include "runtime/Mem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Mem {

U64 pageSize() {
  static const U64 size = static_cast<U64>(::sysconf(_SC_PAGESIZE));
  return size;
}

U64 multiplyOverflowCheck(U64 count, U64 elementSize, U64 headerSize) {
  U64 product = 0;
  U64 total = 0;
  if (__builtin_mul_overflow(count, elementSize, &product) || __builtin_add_overflow(product, headerSize, &total))
    fmthrow(Quiv::MemoryResourceException, "size overflow: {} + {} x {} does not fit in 64 bits", headerSize,
            count, elementSize);
  return total;
}

U64 roundUpToWholePage(U64 size) {
  U64 page = pageSize();
  if (size == 0) return page;
  if (size > ~U64(0) - page)
    fmthrow(Quiv::MemoryResourceException, "size overflow: {} cannot be rounded up to a page", size);
  return (size + page - 1) / page * page;
}

U64 Local::maxMappingSize() { return U64(1) << 40; }

Local::Local(U64 size) {
  if (size) resize(size);
}

Local::~Local() { release(); }

void Local::release() {
  if (!base_) return;
  if (onHeap_) std::free(base_);
  else ::munmap(base_, mapped_);
  base_ = nullptr;
  size_ = mapped_ = 0;
}

void* Local::resize(U64 newSize) {
  if (newSize > maxMappingSize())
    fmthrow(Quiv::MemoryResourceException, "local table of {} bytes exceeds the limit of {} bytes", newSize,
            maxMappingSize());
  if (newSize == 0) {
    release();
    return nullptr;
  }
  if (!base_) onHeap_ = useHeap_;
  if (onHeap_) {
    void* p = std::realloc(base_, newSize);
    if (!p) fmthrow(Quiv::MemoryResourceException, "cannot allocate {} bytes for a local table", newSize);
    if (newSize > size_) std::memset(static_cast<char*>(p) + size_, 0, newSize - size_);
    base_ = p;
    size_ = newSize;
    return base_;
  }
  U64 want = roundUpToWholePage(newSize);
  if (!base_) {
    void* p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
      fmthrow(Quiv::MemoryResourceException, "cannot map {} bytes for a local table: {}", want, std::strerror(errno));
    base_ = p;
  } else if (want != mapped_) {
    void* p = ::mremap(base_, mapped_, want, MREMAP_MAYMOVE);
    if (p == MAP_FAILED)
      fmthrow(Quiv::MemoryResourceException, "cannot resize a local table from {} to {} bytes: {}", mapped_, want,
              std::strerror(errno));
    base_ = p;
  }
  // Bytes past the old usable size must read zero even if the pages stayed
  // mapped through a shrink (the tail of the last page).
  if (newSize > size_ && base_ && size_ < mapped_)
    std::memset(static_cast<char*>(base_) + size_, 0, std::min(want, mapped_) - size_);
  mapped_ = want;
  size_ = newSize;
  return base_;
}

}  // namespace Mem
