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

#include <optional>
#include <type_traits>
#include <vector>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Mem {

// header + count * elementSize, raising Quiv::MemoryResourceException on
// overflow of 64 bits.
U64 multiplyOverflowCheck(U64 count, U64 elementSize, U64 headerSize = 0);
// `size` rounded up to a whole number of pages (never 0 for size 0: one page).
U64 roundUpToWholePage(U64 size);
U64 pageSize();

// Opens a file of a table without ever blocking and refuses anything but a
// regular file. A FIFO at the path would block open() until a writer
// appears (and its reads after that), a device may block or never end, so
// the open is O_NONBLOCK (no effect on a regular file's reads and writes)
// and the opened file's type is checked with fstat. Adds O_CLOEXEC and
// retries EINTR. Returns the descriptor, or -1 with errno set: EINVAL
// when the path names something other than a regular file (openErrorText
// says so; a directory opened for writing too), else open's own errno.
int openRegular(std::string const& path, int flags, unsigned mode = 0);
// strerror(err), except "not a regular file" for openRegular's EINVAL.
std::string openErrorText(int err);

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
  // Whether the memory held now came from the heap.
  bool onHeap() const { return base_ && onHeap_; }
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

// A file of a table's directory, mapped shared.
//
// Writable (the table's writer): attach creates the file when it is absent.
// Every byte the mapping covers is reserved in the file system first
// (posix_fallocate): on tmpfs, a file grown with ftruncate alone has no
// pages behind it, and the first store into a page that the full file
// system cannot supply kills the process with SIGBUS. With the space
// reserved, a full /dev/shm is a Quiv::MemoryResourceException at resize
// time and the mapping stays as it was.
//
// Shrinking never makes the file shorter. Readers in other processes may
// still map the old, larger size and touch a page past the new end while
// they notice the shrink; a shorter file would turn that read into SIGBUS.
// Instead the released range is punched out of the file (its memory goes
// back to the system and reads as zero), and the file keeps its size.
//
// Read-only (readers): the file must exist; a mapping never extends past
// the file's current size.
class SharedMemWrapper : public Region {
 public:
  enum class Mode { readOnly, writable };

  SharedMemWrapper(RootPath root, std::string fileName, Mode mode);
  ~SharedMemWrapper() override;
  SharedMemWrapper(SharedMemWrapper const&) = delete;
  SharedMemWrapper& operator=(SharedMemWrapper const&) = delete;

  // Maps `size` bytes of the file (read-only with size 0: the whole file).
  // Returns the base, or null when a read-only file does not exist (or is
  // empty). Raises Quiv::InvalidInitializeException when the file cannot be
  // opened or mapped, Quiv::MemoryResourceException when the space cannot
  // be reserved.
  void* attach(U64 size, void* hint = nullptr);
  void* resize(U64 newSize) override;
  void detach();

  void* base() const override { return base_; }
  U64 memSize() const override { return size_; }
  // The file's size now (0 when it does not exist).
  U64 fileSize() const;
  std::string const& getFilename() const { return path_; }
  std::string const& fileName() const { return fileName_; }
  RootPath const& rootPath() const { return root_; }
  bool writable() const { return mode_ == Mode::writable; }
  bool attached() const { return fd_ >= 0; }
  // Whether the last resize moved the base.
  bool moved() const { return moved_; }

 private:
  void unmap();
  RootPath root_;
  std::string fileName_;
  std::string path_;
  Mode mode_;
  int fd_ = -1;
  void* base_ = nullptr;
  U64 size_ = 0;    // usable bytes
  U64 mapped_ = 0;  // bytes mapped (page-rounded)
  bool moved_ = false;
};

// A region that counts its remaps: how often a resize moved the base.
template <class R>
class Tracked : public R {
 public:
  using R::R;
  void* resize(U64 newSize) override {
    void* before = R::base();
    void* after = R::resize(newSize);
    ++resizes_;
    if (before && after != before) ++remaps_;
    return after;
  }
  U64 remaps() const { return remaps_; }
  U64 resizes() const { return resizes_; }

 private:
  U64 remaps_ = 0;
  U64 resizes_ = 0;
};

// How a writer keeps a table's memory, from the table's mount options.
struct RegionOptions {
  // A local table's memory comes from the heap (malloc) instead of an
  // anonymous mapping; no effect on a shared table.
  bool heap = false;
  // A shared table's mapping is left to the process's core-dump filter
  // (/proc/<pid>/coredump_filter); otherwise it is marked MADV_DONTDUMP and
  // never written into a core dump, however large the table.
  bool coreDump = false;
  // The mapped bytes are counted in the process's memory tracker.
  bool track = false;
  bool operator==(RegionOptions const&) const = default;
};

// The process's memory tracker: bytes mapped by the writer regions that
// asked to be tracked, and how many such regions are mapped. Updated from
// any thread (atomics).
namespace MemoryTracker {
U64 bytes();
U64 regions();
}  // namespace MemoryTracker

// A table file as its writer holds it: shared (a SharedMemWrapper) or, for
// a local table, process memory (a Mem::Local) that nobody else sees. The
// engine's writer code is the same for both.
class WriterRegion {
 public:
  WriterRegion(RootPath root, std::string fileName, bool local);
  ~WriterRegion();
  WriterRegion(WriterRegion const&) = delete;
  WriterRegion& operator=(WriterRegion const&) = delete;
  // Takes effect from the next attach (the heap choice: of an empty region).
  void optionsIs(RegionOptions const& options);
  RegionOptions const& options() const { return options_; }
  // Whether a local region's memory is on the heap now.
  bool onHeap() const { return local_ && heap_.onHeap(); }
  // Maps `size` bytes, creating the file; size 0 maps an existing file
  // whole (null when there is none; always null when local).
  void* attach(U64 size);
  void* resize(U64 newSize);
  void detach();
  // Detaches and removes the file.
  bool remove();
  void* base() const { return local_ ? heap_.base() : shared_->base(); }
  U64 memSize() const { return local_ ? heap_.memSize() : shared_->memSize(); }
  // The size of the file (local: of the memory) now.
  U64 fileSize() const { return local_ ? heap_.memSize() : shared_->fileSize(); }
  bool local() const { return local_; }
  bool moved() const { return moved_; }
  U64 remaps() const { return remaps_; }
  // The file's path ("local:<name>" for a local table) for traces.
  std::string const& name() const { return name_; }
  SharedMemWrapper* shared() { return shared_ ? &*shared_ : nullptr; }

 private:
  // After every change of the mapping: the core-dump advice and the
  // tracked byte count follow it.
  void mapped();

  bool local_;
  std::string name_;
  std::optional<SharedMemWrapper> shared_;
  Local heap_;
  bool moved_ = false;
  U64 remaps_ = 0;
  RegionOptions options_;
  U64 tracked_ = 0;  // bytes counted in the memory tracker
};

namespace Atomics {
// The engine's lock-free protocols need single-instruction aligned 64-bit
// loads and stores that other processes see whole.
bool checkCpuSupport();
}  // namespace Atomics

// Single aligned loads and stores on words that other processes read or
// write concurrently. Every access to such a word goes through one of
// these, never a plain access or a raw __atomic_* call, so that the order
// each one needs is named where it is used.
//
// Hardware requirement: every shared word is naturally aligned (the
// formats assert their offsets) and its atomic access is a plain load or
// store instruction, never a lock: other processes map the same page, and
// a library lock would not be shared with them.
static_assert(__atomic_always_lock_free(8, nullptr), "shared 64-bit words need lock-free atomics");
static_assert(__atomic_always_lock_free(4, nullptr), "shared 32-bit words need lock-free atomics");
static_assert(__atomic_always_lock_free(2, nullptr), "shared 16-bit words need lock-free atomics");

// Release stores and acquire loads: a reader whose acquire load sees a
// word stored with store* also sees everything the writer stored before
// it. Each caller names the access its side pairs with.
inline U64 load64(U64 const* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void store64(U64* p, U64 v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline U32 load32(U32 const* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void store32(U32* p, U32 v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline U16 load16(U16 const* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline void store16(U16* p, U16 v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

// Relaxed: whole (never torn) but unordered. For words whose order comes
// from elsewhere (a release store or fence after them, a seqlock check
// around them) or that nobody orders against: the caller says which. On
// x86 and aarch64 these are plain mov/ldr/str.
inline U64 loadRelaxed64(U64 const* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void storeRelaxed64(U64* p, U64 v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline U32 loadRelaxed32(U32 const* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void storeRelaxed32(U32* p, U32 v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline U16 loadRelaxed16(U16 const* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void storeRelaxed16(U16* p, U16 v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

// fenceAcquire: loads before it are ordered before every load and store
// after it. fenceRelease: loads and stores before it are ordered before
// every store after it. Callers name the fence or access on the other side.
inline void fenceAcquire() { __atomic_thread_fence(__ATOMIC_ACQUIRE); }
inline void fenceRelease() { __atomic_thread_fence(__ATOMIC_RELEASE); }
// Orders this thread's accesses against the compiler only (no instruction).
// Enough where the other side observes this process only after it is gone
// (a crash: every store it executed is visible to the next writer, which
// takes over through the kernel's lock), so only program order matters.
inline void fenceCompiler() { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

}  // namespace Mem

namespace Quiv::Util {
// headerSize + count * elementSize; an overflow throws.
inline U64 fileSizeHelper(U64 count, U64 elementSize, U64 headerSize) {
  return Mem::multiplyOverflowCheck(count, elementSize, headerSize);
}
}  // namespace Quiv::Util

namespace Lumo {
// A process-local array of values (visit marks while validating), in
// process memory that is returned whole when the array is dropped.
template <class T>
class Local {
  // One byte per flag (not std::vector<bool>'s bits): a mark is a plain
  // byte store.
  using Elem = std::conditional_t<std::is_same_v<T, bool>, U8, T>;

 public:
  Local() = default;
  Local(U64 count, T initial) { resize(count, initial); }
  void resize(U64 count, T initial) {
    try {
      data_.assign(count, initial);
    } catch (std::bad_alloc const&) {
      fmthrow(Quiv::MemoryResourceException, "n:{} unable to resize", count);
    }
  }
  U64 size() const { return data_.size(); }
  Elem& operator[](U64 i) { return data_[i]; }
  Elem const& operator[](U64 i) const { return data_[i]; }

 private:
  std::vector<Elem> data_;
};
}  // namespace Lumo
