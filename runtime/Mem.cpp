#include "VexaSwitchLib/runtime/Mem.h"

#include <atomic>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

int openRegular(std::string const& path, int flags, unsigned mode) {
  int fd;
  do fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EISDIR) errno = EINVAL;
    return -1;
  }
  struct stat st;
  int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (err == 0) return fd;
  ::close(fd);
  errno = err;
  return -1;
}

std::string openErrorText(int err) { return err == EINVAL ? "not a regular file" : std::strerror(err); }

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

// --- SharedMemWrapper --------------------------------------------------------


namespace Mem {

SharedMemWrapper::SharedMemWrapper(RootPath root, std::string fileName, Mode mode)
    : root_(std::move(root)), fileName_(std::move(fileName)), path_(root_.filePath(fileName_)), mode_(mode) {}

SharedMemWrapper::~SharedMemWrapper() { detach(); }

U64 SharedMemWrapper::fileSize() const {
  struct stat st;
  if (fd_ >= 0 ? ::fstat(fd_, &st) != 0 : ::stat(path_.c_str(), &st) != 0) return 0;
  return static_cast<U64>(st.st_size);
}

void SharedMemWrapper::unmap() {
  if (base_) ::munmap(base_, mapped_);
  base_ = nullptr;
  size_ = mapped_ = 0;
}

void SharedMemWrapper::detach() {
  unmap();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void* SharedMemWrapper::attach(U64 size, void* hint) {
  detach();
  if (writable()) {
    root_.createDirectory();
    fd_ = openRegular(path_, O_RDWR | O_CREAT, 0666);
  } else {
    fd_ = openRegular(path_, O_RDONLY);
    if (fd_ < 0 && errno == ENOENT) return nullptr;
  }
  if (fd_ < 0)
    fmthrow(Quiv::InvalidInitializeException, "cannot open {}: {}", path_, openErrorText(errno));
  U64 have = fileSize();
  if (size == 0) size = have;
  if (size == 0) return nullptr;
  if (!writable()) {
    if (size > have)
      fmthrow(Quiv::InvalidInitializeException, "cannot map {} bytes of {}: the file has only {}", size, path_,
              have);
  }
  if (writable()) {
    int err = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (err != 0)
      fmthrow(Quiv::MemoryResourceException, "cannot reserve {} bytes for {}: {}", size, path_, std::strerror(err));
  }
  U64 want = roundUpToWholePage(size);
  int prot = writable() ? PROT_READ | PROT_WRITE : PROT_READ;
  void* p = ::mmap(hint, want, prot, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED)
    fmthrow(Quiv::InvalidInitializeException, "cannot map {} bytes of {}: {}", want, path_, std::strerror(errno));
  base_ = p;
  mapped_ = want;
  size_ = size;
  return base_;
}

void* SharedMemWrapper::resize(U64 newSize) {
  moved_ = false;
  if (fd_ < 0) fmthrow(Quiv::MemoryResourceException, "cannot resize {}: not attached", path_);
  if (newSize == size_) return base_;
  if (newSize == 0) {
    unmap();
    return nullptr;
  }
  U64 have = fileSize();
  if (writable()) {
    if (newSize > size_) {
      int err = ::posix_fallocate(fd_, 0, static_cast<off_t>(newSize));
      if (err != 0)
        fmthrow(Quiv::MemoryResourceException, "cannot reserve {} bytes for {}: {}", newSize, path_,
                std::strerror(err));
    }
  } else if (newSize > have) {
    fmthrow(Quiv::MemoryResourceException, "cannot map {} bytes of {}: the file has only {}", newSize, path_, have);
  }
  U64 want = roundUpToWholePage(newSize);
  void* p;
  if (!base_) {
    int prot = writable() ? PROT_READ | PROT_WRITE : PROT_READ;
    p = ::mmap(nullptr, want, prot, MAP_SHARED, fd_, 0);
  } else if (want != mapped_) {
    p = ::mremap(base_, mapped_, want, MREMAP_MAYMOVE);
  } else {
    p = base_;
  }
  if (p == MAP_FAILED)
    fmthrow(Quiv::MemoryResourceException, "cannot map {} bytes of {}: {}", want, path_, std::strerror(errno));
  moved_ = base_ && p != base_;
  base_ = p;
  // A shrinking writer gives the pages past the new end back (see Mem.h);
  // the file keeps its length. The punch is page-granular: the tail of the
  // last kept page is cleared by hand, or a later growth would bring the
  // old bytes back instead of zeros.
  if (writable() && newSize < size_) {
    std::memset(static_cast<char*>(base_) + newSize, 0, std::min(want, size_) - newSize);
    if (have > want)
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(want),
                  static_cast<off_t>(have - want));
  }
  mapped_ = want;
  size_ = newSize;
  return base_;
}

namespace Atomics {
bool checkCpuSupport() {
  U64 probe = 0;
  return __atomic_always_lock_free(sizeof(U64), &probe) && __atomic_always_lock_free(sizeof(U32), nullptr);
}
}  // namespace Atomics

}  // namespace Mem

namespace Mem {

namespace {
std::atomic<U64> trackedBytes{0};
std::atomic<U64> trackedRegions{0};
}  // namespace

U64 MemoryTracker::bytes() { return trackedBytes.load(std::memory_order_relaxed); }
U64 MemoryTracker::regions() { return trackedRegions.load(std::memory_order_relaxed); }

WriterRegion::WriterRegion(RootPath root, std::string fileName, bool local)
    : local_(local), name_(local ? "local:" + fileName : root.filePath(fileName)) {
  if (!local) shared_.emplace(std::move(root), std::move(fileName), SharedMemWrapper::Mode::writable);
}

WriterRegion::~WriterRegion() {
  options_.track = false;
  if (tracked_) {
    trackedBytes -= tracked_;
    --trackedRegions;
  }
}

void WriterRegion::optionsIs(RegionOptions const& options) {
  options_ = options;
  heap_.useHeapIs(options.heap);
  mapped();
}

void WriterRegion::mapped() {
  U64 now = options_.track && base() ? memSize() : 0;
  if (now != tracked_) {
    if (!tracked_) ++trackedRegions;
    if (!now) --trackedRegions;
    trackedBytes += now;
    trackedBytes -= tracked_;
    tracked_ = now;
  }
  // Advice only: a kernel that refuses it costs the table nothing.
  if (!local_ && base() && memSize())
    (void)::madvise(base(), roundUpToWholePage(memSize()), options_.coreDump ? MADV_DODUMP : MADV_DONTDUMP);
}

void* WriterRegion::attach(U64 size) {
  moved_ = false;
  if (!local_) {
    void* b = shared_->attach(size);
    mapped();
    return b;
  }
  heap_.resize(size);
  mapped();
  return heap_.base();
}

void* WriterRegion::resize(U64 newSize) {
  void* before = base();
  void* after = local_ ? heap_.resize(newSize) : shared_->resize(newSize);
  moved_ = before && after != before;
  if (moved_) ++remaps_;
  mapped();
  return after;
}

void WriterRegion::detach() {
  if (local_) heap_.resize(0);
  else shared_->detach();
  mapped();
}

bool WriterRegion::remove() {
  detach();
  if (local_) return true;
  return shared_->rootPath().removeFile(shared_->fileName());
}

}  // namespace Mem
