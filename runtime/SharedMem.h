#pragma once
// A table's small bookkeeping files and its writer lock.
//
// Besides the shared-memory images, every table directory (Mem::RootPath)
// holds two small files:
//
//   fenix   who the current writer incarnation is. A writer that (re)starts
//           writes a new FenixId; readers remember the id they attached to
//           and notice a restarted writer when the file no longer matches.
//   owner   the live writer's pid, the value type it was built for, the
//           shared-memory type and where its socket listens. Its open
//           descriptor also carries the writer lock (Mem::WriterLock).
//
// Both files are little-endian binary records with a magic number, a format
// version and a checksum, so that a foreign, truncated or half-written file
// is refused instead of being believed. Reading never throws for bad
// content unless stated, never crashes and never reads past the record.
//
// Nothing here is thread-safe: one object is used by one thread at a time.
#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/QuivString.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace Mem {
class WriterLock;
}

namespace SharedMem {

// One writer incarnation: the low 16 bits are the writer's pid (truncated),
// the high 16 bits an incarnation counter. The value 0 means "no writer".
class FenixId {
 public:
  FenixId() = default;
  explicit FenixId(U32 raw) : value_(raw) {}
  // `pid` is truncated to 16 bits.
  FenixId(U32 pid, U16 incarnation) : value_((pid & 0xffffu) | (U32(incarnation) << 16)) {}

  U32 value() const { return value_; }
  U16 pid() const { return U16(value_ & 0xffffu); }
  U16 incarnation() const { return U16(value_ >> 16); }
  bool isNull() const { return value_ == 0; }
  // A copy with the incarnation one higher, wrapping in 16 bits. When that
  // would give the null value (pid 0, incarnation wrapping to 0) the
  // incarnation skips to 1 instead.
  FenixId incarnationInc() const;
  std::string toString() const;  // "pid:1234 incarnation:2"

  friend bool operator==(FenixId a, FenixId b) { return a.value_ == b.value_; }

 private:
  U32 value_ = 0;
};

// <dir>/fenix, 16 bytes:
//   offset 0   u32 magic    0x584E4546 ("FENX" in file order)
//   offset 4   u32 version  1
//   offset 8   u32 fenix id (FenixId::value())
//   offset 12  u32 checksum FNV-1a (32 bit) of bytes 0..11
// The file is replaced atomically (temp file + rename), so a reader sees
// either the old or the new record, never a mix.
class FenixFile {
 public:
  static constexpr char const* FENIX_NAME = "fenix";
  static_assert(Mem::RootPath::isTableFileName(FENIX_NAME), "listed in RootPath::TABLE_FILES");
  static constexpr U32 MAGIC = 0x584E4546;
  static constexpr U32 VERSION = 1;
  static constexpr std::size_t SIZE = 16;

  explicit FenixFile(Mem::RootPath const& root) : root_(root) {}

  // The recorded id; null when the file is absent, has the wrong size or
  // fails the magic, version or checksum.
  FenixId read() const;
  // Seconds since the epoch of the file's last modification; 0 when absent.
  std::time_t mtime() const;
  // Replaces the file (creating the directory when needed). Throws
  // Quiv::InvalidInitializeException on an I/O failure.
  void write(FenixId id) const;
  // False, with the reason in `error`, when the file is absent, garbled or
  // records an id other than `expected`.
  bool validate(FenixId expected, Quiv::String& error) const;

  std::string path() const { return root_.filePath(FENIX_NAME); }

 private:
  bool readChecked(FenixId& id, Quiv::String& error) const;

  Mem::RootPath root_;
};

// Where the writer of a table listens: a Unix-domain socket path, or an
// abstract name (leading NUL byte, shown as '@'), and the table's id.
struct ShocketInfo {
  static constexpr std::size_t MAX_NAME = 107;  // sun_path minus a NUL

  Quiv::String name;
  U32 tableId = 0;

  bool empty() const { return name.empty() && tableId == 0; }
  std::string toString() const;  // "socket:@vexa.l2 table:7" or "socket:none"
  friend bool operator==(ShocketInfo const&, ShocketInfo const&) = default;
};

// <dir>/owner, one fixed-size record of 264 bytes:
//   offset 0    u32 magic           0x524E574F ("OWNR" in file order)
//   offset 4    u32 version         1
//   offset 8    u32 owner pid       0 until a writer records itself
//   offset 12   u32 shm type        writers set 1
//   offset 16   u32 table id        ShocketInfo::tableId
//   offset 20   u32 socket name length, 0..107
//   offset 24   u8[108] socket name, the first <length> bytes; rest zero
//                                   (a leading NUL is an abstract name)
//   offset 132  char[128] value type name, NUL-terminated, zero padded
//   offset 260  u32 checksum        FNV-1a (32 bit) of bytes 0..259
//
// A file that is absent or empty (created, no record written yet) reads as
// all defaults; anything else that is not exactly such a record is garbled.
//
// lock() opens the file (creating it and the directory) and keeps the
// descriptor; the setters rewrite the whole record in place through it with
// one pwrite, so the writer lock held on that descriptor is never dropped.
// A reader may still catch a record mid-pwrite: the checksum refuses it and
// the accessors retry a few times before calling it garbled.
class OwnerFile {
 public:
  static constexpr char const* FILENAME = "owner";
  static_assert(Mem::RootPath::isTableFileName(FILENAME), "listed in RootPath::TABLE_FILES");
  static constexpr U32 MAGIC = 0x524E574F;
  static constexpr U32 VERSION = 1;
  static constexpr std::size_t SIZE = 264;
  static constexpr std::size_t MAX_TYPE_NAME = 127;
  static constexpr U32 WRITER_SHM_TYPE = 1;

  explicit OwnerFile(Mem::RootPath const& root) : root_(root) {}
  ~OwnerFile();
  OwnerFile(OwnerFile const&) = delete;
  OwnerFile& operator=(OwnerFile const&) = delete;

  // Opens (creating when absent) the file with O_CLOEXEC and keeps the
  // descriptor. Never truncates: another process may own the record. Throws
  // Quiv::InvalidInitializeException when the file cannot be opened.
  void lock();
  bool isOpen() const { return fd_ >= 0; }

  // Setters: open the file when needed, then rewrite the record. A garbled
  // record is replaced by a fresh one (traced). Names that do not fit, or
  // that contain NUL bytes where not allowed, throw
  // Quiv::InvalidInitializeException and leave the file untouched.
  void typeNameIs(std::string_view name);
  void shmTypeIs(U32 type);
  void shocketInfoIs(ShocketInfo const& info);  // empty() clears it
  void ownerPidIs(U32 pid);

  // Accessors read the file as it is now (through the open descriptor, or
  // by path when not open). Absent or empty file: defaults. Garbled file:
  // Quiv::CorruptionDetectedException naming the reason.
  Quiv::String typeName() const;
  U32 shmType() const;
  ShocketInfo shocketInfo() const;
  U32 ownerPid() const;

  // False, with the reason in `error`, unless the file holds a well-formed
  // record (absent and empty files are not valid).
  bool validate(Quiv::String& error) const;
  // One line for traces; "owner <path>: unreadable: <why>" on a bad file.
  std::string toString() const;

  std::string path() const { return root_.filePath(FILENAME); }
  Mem::RootPath const& root() const { return root_; }

  // For a forked child that inherited this object: closes the descriptor
  // without touching the lock, which stays with the parent. Never unlock
  // (LOCK_UN) an inherited descriptor: the open file description is shared,
  // so that would release the parent's lock too.
  void dropInherited();

 private:
  friend class Mem::WriterLock;
  struct Record {
    U32 ownerPid = 0;
    U32 shmType = 0;
    ShocketInfo shocket;
    Quiv::String typeName;
  };
  enum class ReadStatus { ok, absent, garbled };

  ReadStatus readRecord(Record& rec, Quiv::String& why) const;
  Record readForAccess() const;
  template <class Apply>
  void update(Apply apply);
  void closeFd();

  Mem::RootPath root_;
  int fd_ = -1;
  // The process that took the writer lock through fd_, 0 when not held. A
  // forked child sees a pid other than its own and knows it holds nothing.
  pid_t lockerPid_ = 0;
};

}  // namespace SharedMem

namespace Mem {

// Exactly one live writer per table, across processes.
//
// The lock is flock(LOCK_EX | LOCK_NB) on the owner file's descriptor. It
// is a kernel lock owned by the open file description: it goes away when
// the holder releases it, closes the last descriptor of that description,
// exits or is killed (SIGKILL included), so a crashed writer never leaves a
// stale lock behind. Two descriptions conflict even inside one process, so
// a second OwnerFile object of the same table is refused like another
// process would be.
//
// fork: a child inherits the descriptor and with it a share of the lock;
// while the child lives the table still looks owned, even after the parent
// is gone. That is why the file is opened O_CLOEXEC (an exec'd program
// never inherits it), and why a forked child that wants to be a writer must
// not go on with the inherited lock: it calls OwnerFile::dropInherited()
// (or lets the inherited copy go) and acquires through a fresh OwnerFile,
// which succeeds only once the parent's lock is gone. ownerIsMe() is false
// in such a child, and releaseWriterLock() there only closes its descriptor.
//
// The owner file must not be removed while a writer may be live: a writer
// starting afterwards would lock a new file and not see the old lock.
// Acquiring checks that the locked descriptor is still the file at the path
// and starts over when it was replaced under it.
class WriterLock {
 public:
  // Takes the lock (opening the file when needed) and records getpid() as
  // the owner pid. Succeeds at once when `file` already holds it. Throws
  // Quiv::InvalidInitializeException naming the table and the live owner's
  // pid when another writer holds it.
  static void acquireWriterLock(SharedMem::OwnerFile& file, std::string_view tableName);
  // Whether some process (this one included) holds the lock of the table's
  // owner file. Probes with a separate shared lock, released at once; an
  // absent file means false. A probe can make a concurrent acquire see the
  // lock busy for a moment; acquire retries briefly for that reason.
  static bool ownerIsAlive(RootPath const& root);
  // Whether `file` holds the lock in this process.
  static bool ownerIsMe(SharedMem::OwnerFile const& file);
  // Gives the lock up (the owner pid in the file is left as it was; a dead
  // pid with no lock means no writer). No-op when not held.
  static void releaseWriterLock(SharedMem::OwnerFile& file);
};

}  // namespace Mem

template <>
struct fmt::formatter<SharedMem::FenixId> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(SharedMem::FenixId id, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(id.toString(), ctx);
  }
};
