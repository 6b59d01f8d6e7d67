#include "VexaSwitchLib/runtime/SharedMem.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "VexaSwitchLib/runtime/Debug.h"
#include "VexaSwitchLib/runtime/Mem.h"

namespace SharedMem {

namespace {

Quiv::DebugHandler* handler() {
  static Quiv::DebugHandler* h = Quiv::Platform::getDebugHandler("SharedMem");
  return h;
}

U32 fnv1a(U8 const* p, std::size_t n) {
  U32 h = 2166136261u;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

void put32(U8* p, U32 v) {
  p[0] = U8(v);
  p[1] = U8(v >> 8);
  p[2] = U8(v >> 16);
  p[3] = U8(v >> 24);
}

U32 get32(U8 const* p) { return U32(p[0]) | U32(p[1]) << 8 | U32(p[2]) << 16 | U32(p[3]) << 24; }

// Shows arbitrary bytes on one trace line: a leading NUL (abstract socket
// name) as '@', other unprintable bytes as \xNN.
std::string printable(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (i == 0 && c == 0)
      out += '@';
    else if (c < 0x20 || c >= 0x7f || c == '\\')
      out += fmt::format("\\x{:02x}", c);
    else
      out += char(c);
  }
  return out;
}

std::string errnoText() { return Mem::openErrorText(errno); }

// Reads up to `n` bytes from offset 0, retrying short reads and EINTR.
// Returns the byte count or -1 with errno set.
ssize_t readAll(int fd, U8* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, buf + got, n - got, off_t(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += std::size_t(r);
  }
  return ssize_t(got);
}

bool writeAll(int fd, U8 const* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd, buf + done, n - done, off_t(done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += std::size_t(w);
  }
  return true;
}

// Every file of a table is opened so: never blocking, regular files only
// (Mem::openRegular).
int openRetry(char const* path, int flags, mode_t mode = 0) { return Mem::openRegular(path, flags, mode); }

// --- owner record layout (see SharedMem.h) ---------------------------------
constexpr std::size_t OFF_MAGIC = 0;
constexpr std::size_t OFF_VERSION = 4;
constexpr std::size_t OFF_PID = 8;
constexpr std::size_t OFF_SHM_TYPE = 12;
constexpr std::size_t OFF_TABLE_ID = 16;
constexpr std::size_t OFF_SOCKET_LEN = 20;
constexpr std::size_t OFF_SOCKET = 24;
constexpr std::size_t SOCKET_FIELD = 108;
constexpr std::size_t OFF_TYPE_NAME = 132;
constexpr std::size_t TYPE_NAME_FIELD = 128;
constexpr std::size_t OFF_CHECKSUM = 260;
static_assert(OFF_SOCKET + SOCKET_FIELD == OFF_TYPE_NAME);
static_assert(OFF_TYPE_NAME + TYPE_NAME_FIELD == OFF_CHECKSUM);
static_assert(OFF_CHECKSUM + 4 == OwnerFile::SIZE);
static_assert(ShocketInfo::MAX_NAME < SOCKET_FIELD);
static_assert(OwnerFile::MAX_TYPE_NAME < TYPE_NAME_FIELD);

bool allZero(U8 const* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// How many times a reader re-reads a record that fails its checks, in case
// it caught the writer in the middle of a rewrite.
constexpr int GARBLED_REREADS = 3;

}  // namespace

// --- FenixId ------------------------------------------------------------------

FenixId FenixId::incarnationInc() const {
  U16 next = U16(incarnation() + 1);
  if (pid() == 0 && next == 0) next = 1;
  return FenixId(pid(), next);
}

std::string FenixId::toString() const { return fmt::format("pid:{} incarnation:{}", pid(), incarnation()); }

// --- FenixFile ----------------------------------------------------------------

bool FenixFile::readChecked(FenixId& id, Quiv::String& error) const {
  id = FenixId();
  std::string p = path();
  int fd = openRetry(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno == ENOENT ? fmt::format("fenix file {} is absent", p)
                            : fmt::format("cannot open fenix file {}: {}", p, errnoText());
    return false;
  }
  std::array<U8, SIZE + 1> buf{};
  ssize_t n = readAll(fd, buf.data(), buf.size());
  int readErrno = errno;
  ::close(fd);
  if (n < 0) {
    error = fmt::format("cannot read fenix file {}: {}", p, std::strerror(readErrno));
    return false;
  }
  if (std::size_t(n) != SIZE) {
    error = fmt::format("fenix file {} has {} bytes, expected {}", p, n > ssize_t(SIZE) ? "more than 16" : std::to_string(n), SIZE);
    return false;
  }
  if (U32 magic = get32(buf.data()); magic != MAGIC) {
    error = fmt::format("fenix file {} has bad magic {:#010x}", p, magic);
    return false;
  }
  if (U32 version = get32(buf.data() + 4); version != VERSION) {
    error = fmt::format("fenix file {} has format version {}, expected {}", p, version, VERSION);
    return false;
  }
  if (get32(buf.data() + 12) != fnv1a(buf.data(), 12)) {
    error = fmt::format("fenix file {} fails its checksum", p);
    return false;
  }
  id = FenixId(get32(buf.data() + 8));
  return true;
}

FenixId FenixFile::read() const {
  FenixId id;
  Quiv::String error;
  if (!readChecked(id, error)) fmtrace(handler(), 5, "{}", error);
  return id;
}

std::time_t FenixFile::mtime() const {
  struct stat st;
  if (::stat(path().c_str(), &st) != 0) return 0;
  return st.st_mtime;
}

void FenixFile::write(FenixId id) const {
  root_.createDirectory();
  std::array<U8, SIZE> buf{};
  put32(buf.data(), MAGIC);
  put32(buf.data() + 4, VERSION);
  put32(buf.data() + 8, id.value());
  put32(buf.data() + 12, fnv1a(buf.data(), 12));

  // A private temp name per process, so that two writers racing (only one
  // of which will win the writer lock) never write into each other's file.
  std::string tmp = root_.filePath(fmt::format("{}.tmp.{}", FENIX_NAME, ::getpid()));
  std::string final = path();
  auto fail = [&](std::string_view what) {
    std::string why = errnoText();
    ::unlink(tmp.c_str());
    fmthrow(Quiv::InvalidInitializeException, "cannot write fenix file {}: {}: {}", final, what, why);
  };
  int fd = openRetry(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) fail("create temp file");
  if (!writeAll(fd, buf.data(), buf.size())) {
    int e = errno;
    ::close(fd);
    errno = e;
    fail("write temp file");
  }
  if (::close(fd) != 0) fail("close temp file");
  if (::rename(tmp.c_str(), final.c_str()) != 0) fail("rename temp file");
  fmtrace(handler(), 3, "wrote {} {}", final, id);
}

bool FenixFile::validate(FenixId expected, Quiv::String& error) const {
  FenixId id;
  if (!readChecked(id, error)) return false;
  if (id != expected) {
    error = fmt::format("fenix file {} records {}, expected {}", path(), id, expected);
    return false;
  }
  return true;
}

// --- ShocketInfo --------------------------------------------------------------

std::string ShocketInfo::toString() const {
  std::string s = name.empty() ? std::string("socket:none") : "socket:" + printable(name);
  if (tableId != 0 || !name.empty()) s += fmt::format(" table:{}", tableId);
  return s;
}

// --- OwnerFile ----------------------------------------------------------------

namespace {

std::array<U8, OwnerFile::SIZE> encodeOwner(U32 pid, U32 shmType, ShocketInfo const& shocket,
                                            std::string_view typeName) {
  std::array<U8, OwnerFile::SIZE> buf{};
  put32(buf.data() + OFF_MAGIC, OwnerFile::MAGIC);
  put32(buf.data() + OFF_VERSION, OwnerFile::VERSION);
  put32(buf.data() + OFF_PID, pid);
  put32(buf.data() + OFF_SHM_TYPE, shmType);
  put32(buf.data() + OFF_TABLE_ID, shocket.tableId);
  put32(buf.data() + OFF_SOCKET_LEN, U32(shocket.name.size()));
  std::memcpy(buf.data() + OFF_SOCKET, shocket.name.data(), shocket.name.size());
  std::memcpy(buf.data() + OFF_TYPE_NAME, typeName.data(), typeName.size());
  put32(buf.data() + OFF_CHECKSUM, fnv1a(buf.data(), OFF_CHECKSUM));
  return buf;
}

}  // namespace

OwnerFile::~OwnerFile() {
  // Unlock explicitly: a child forked without exec may still share the
  // descriptor, and closing ours alone would leave the lock with it.
  if (lockerPid_ == ::getpid() && fd_ >= 0) ::flock(fd_, LOCK_UN);
  closeFd();
}

void OwnerFile::closeFd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  lockerPid_ = 0;
}

void OwnerFile::dropInherited() { closeFd(); }

void OwnerFile::lock() {
  if (fd_ >= 0) return;
  // The first step of every writer that makes or takes a table.
  root_.checkNotNested();
  root_.createDirectory();
  std::string p = path();
  int fd = openRetry(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fmthrow(Quiv::InvalidInitializeException, "cannot open owner file {}: {}", p, errnoText());
  fd_ = fd;
  fmtrace(handler(), 5, "opened {}", p);
}

OwnerFile::ReadStatus OwnerFile::readRecord(Record& rec, Quiv::String& why) const {
  rec = Record();
  std::string p = path();
  for (int attempt = 0;; ++attempt) {
    int fd = fd_;
    if (fd < 0) {
      fd = openRetry(p.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ENOENT) {
          why = "absent";
          return ReadStatus::absent;
        }
        why = fmt::format("cannot open: {}", errnoText());
        return ReadStatus::garbled;
      }
    }
    std::array<U8, SIZE + 1> buf{};
    ssize_t n = readAll(fd, buf.data(), buf.size());
    int readErrno = errno;
    if (fd != fd_) ::close(fd);

    // Every check below looks only inside buf, whose size is fixed; the
    // strings are copied with lengths that have been bounded first.
    auto check = [&]() -> bool {
      if (n < 0) {
        why = fmt::format("cannot read: {}", std::strerror(readErrno));
        return false;
      }
      if (std::size_t(n) != SIZE) {
        why = std::size_t(n) > SIZE ? fmt::format("longer than {} bytes", SIZE)
                                    : fmt::format("short ({} of {} bytes)", n, SIZE);
        return false;
      }
      U8 const* b = buf.data();
      if (U32 magic = get32(b + OFF_MAGIC); magic != MAGIC) {
        why = fmt::format("bad magic {:#010x}, not an owner file", magic);
        return false;
      }
      if (U32 version = get32(b + OFF_VERSION); version != VERSION) {
        why = fmt::format("format version {}, expected {}", version, VERSION);
        return false;
      }
      if (get32(b + OFF_CHECKSUM) != fnv1a(b, OFF_CHECKSUM)) {
        why = "checksum mismatch";
        return false;
      }
      U32 socketLen = get32(b + OFF_SOCKET_LEN);
      if (socketLen > ShocketInfo::MAX_NAME) {
        why = fmt::format("socket name length {} exceeds {}", socketLen, ShocketInfo::MAX_NAME);
        return false;
      }
      if (!allZero(b + OFF_SOCKET + socketLen, SOCKET_FIELD - socketLen)) {
        why = "garbage after the socket name";
        return false;
      }
      auto const* typeBegin = reinterpret_cast<char const*>(b + OFF_TYPE_NAME);
      auto const* nul = static_cast<char const*>(std::memchr(typeBegin, 0, TYPE_NAME_FIELD));
      if (!nul) {
        why = "type name is not terminated";
        return false;
      }
      std::size_t typeLen = std::size_t(nul - typeBegin);
      if (!allZero(b + OFF_TYPE_NAME + typeLen, TYPE_NAME_FIELD - typeLen)) {
        why = "garbage after the type name";
        return false;
      }
      rec.ownerPid = get32(b + OFF_PID);
      rec.shmType = get32(b + OFF_SHM_TYPE);
      rec.shocket.tableId = get32(b + OFF_TABLE_ID);
      rec.shocket.name = Quiv::String(reinterpret_cast<char const*>(b + OFF_SOCKET), socketLen);
      rec.typeName = Quiv::String(typeBegin, typeLen);
      return true;
    };
    if (n == 0) {
      why = "empty";
      return ReadStatus::absent;
    }
    if (check()) return ReadStatus::ok;
    if (n < 0 || attempt + 1 >= GARBLED_REREADS) return ReadStatus::garbled;
    ::sched_yield();
  }
}

OwnerFile::Record OwnerFile::readForAccess() const {
  Record rec;
  Quiv::String why;
  if (readRecord(rec, why) == ReadStatus::garbled)
    fmthrow(Quiv::CorruptionDetectedException, "owner file {} is unreadable: {}", path(), why);
  return rec;
}

template <class Apply>
void OwnerFile::update(Apply apply) {
  lock();
  Record rec;
  Quiv::String why;
  ReadStatus status = readRecord(rec, why);
  if (status == ReadStatus::garbled) {
    fmtrace(handler(), 0, "owner file {} is unreadable ({}); writing a fresh record", path(), why);
    rec = Record();
  }
  apply(rec);
  auto buf = encodeOwner(rec.ownerPid, rec.shmType, rec.shocket, rec.typeName);
  if (!writeAll(fd_, buf.data(), buf.size()))
    fmthrow(Quiv::InvalidInitializeException, "cannot write owner file {}: {}", path(), errnoText());
  // A garbled file may have been longer than a record.
  if (status == ReadStatus::garbled && ::ftruncate(fd_, off_t(SIZE)) != 0)
    fmthrow(Quiv::InvalidInitializeException, "cannot truncate owner file {}: {}", path(), errnoText());
}

void OwnerFile::typeNameIs(std::string_view name) {
  if (name.size() > MAX_TYPE_NAME)
    fmthrow(Quiv::InvalidInitializeException, "type name '{}...' is {} bytes long, at most {} fit in owner file {}",
            printable(name.substr(0, 32)), name.size(), MAX_TYPE_NAME, path());
  if (name.find('\0') != std::string_view::npos)
    fmthrow(Quiv::InvalidInitializeException, "type name '{}' contains a NUL byte", printable(name));
  update([name](Record& r) { r.typeName = Quiv::String(name); });
}

void OwnerFile::shmTypeIs(U32 type) {
  update([type](Record& r) { r.shmType = type; });
}

void OwnerFile::shocketInfoIs(ShocketInfo const& info) {
  if (info.name.size() > ShocketInfo::MAX_NAME)
    fmthrow(Quiv::InvalidInitializeException, "socket name '{}...' is {} bytes long, at most {} fit in owner file {}",
            printable(info.name.view().substr(0, 32)), info.name.size(), ShocketInfo::MAX_NAME, path());
  update([&info](Record& r) { r.shocket = info.empty() ? ShocketInfo() : info; });
}

void OwnerFile::ownerPidIs(U32 pid) {
  update([pid](Record& r) { r.ownerPid = pid; });
}

Quiv::String OwnerFile::typeName() const { return readForAccess().typeName; }
U32 OwnerFile::shmType() const { return readForAccess().shmType; }
ShocketInfo OwnerFile::shocketInfo() const { return readForAccess().shocket; }
U32 OwnerFile::ownerPid() const { return readForAccess().ownerPid; }

bool OwnerFile::validate(Quiv::String& error) const {
  Record rec;
  Quiv::String why;
  if (readRecord(rec, why) == ReadStatus::ok) return true;
  error = fmt::format("owner file {}: {}", path(), why);
  return false;
}

std::string OwnerFile::toString() const {
  Record rec;
  Quiv::String why;
  switch (readRecord(rec, why)) {
    case ReadStatus::ok:
      return fmt::format("owner pid:{} type:{} shm:{} {}", rec.ownerPid, printable(rec.typeName), rec.shmType,
                         rec.shocket.toString());
    case ReadStatus::absent:
      return fmt::format("owner {}: {}", path(), why);
    case ReadStatus::garbled:
      break;
  }
  return fmt::format("owner {}: unreadable: {}", path(), why);
}

}  // namespace SharedMem

namespace Mem {

namespace {

// How often acquire retries a busy lock before believing it: a probe by
// ownerIsAlive() holds it for a few system calls only.
constexpr int BUSY_RETRIES = 3;
// How often acquire starts over when the locked file was replaced.
constexpr int REPLACED_RETRIES = 8;

int flockRetry(int fd, int op) {
  int r;
  do r = ::flock(fd, op);
  while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

void WriterLock::acquireWriterLock(SharedMem::OwnerFile& file, std::string_view tableName) {
  if (ownerIsMe(file)) return;
  // Inherited across fork: the description is shared with the parent, and
  // locking it again would "succeed" without excluding the parent.
  if (file.lockerPid_ != 0) file.dropInherited();

  int busy = 0;
  int replaced = 0;
  for (;;) {
    file.lock();
    if (flockRetry(file.fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK)
        fmthrow(Quiv::InvalidInitializeException, "cannot lock owner file {} of table {}: {}", file.path(),
                tableName, std::strerror(errno));
      if (++busy <= BUSY_RETRIES) {
        ::usleep(1000);
        continue;
      }
      SharedMem::OwnerFile::Record rec;
      Quiv::String why;
      std::string pid = file.readRecord(rec, why) == SharedMem::OwnerFile::ReadStatus::ok && rec.ownerPid != 0
                            ? std::to_string(rec.ownerPid)
                            : std::string("unknown");
      fmthrow(Quiv::InvalidInitializeException, "table {} already has a live writer (pid {})", tableName, pid);
    }
    // The lock is only meaningful on the file that is at the path now.
    struct stat held, current;
    bool same = ::fstat(file.fd_, &held) == 0 && ::stat(file.path().c_str(), &current) == 0 &&
                held.st_dev == current.st_dev && held.st_ino == current.st_ino;
    if (same) break;
    flockRetry(file.fd_, LOCK_UN);
    file.closeFd();
    if (++replaced > REPLACED_RETRIES)
      fmthrow(Quiv::InvalidInitializeException, "owner file {} of table {} keeps being replaced", file.path(),
              tableName);
  }
  file.lockerPid_ = ::getpid();
  try {
    file.ownerPidIs(U32(file.lockerPid_));
  } catch (...) {
    releaseWriterLock(file);
    throw;
  }
  fmtrace(SharedMem::handler(), 1, "table {}: writer lock taken by pid {}", tableName, file.lockerPid_);
}

bool WriterLock::ownerIsAlive(RootPath const& root) {
  std::string p = root.filePath(SharedMem::OwnerFile::FILENAME);
  int fd = SharedMem::openRetry(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) fmtrace(SharedMem::handler(), 0, "cannot probe owner file {}: {}", p, std::strerror(errno));
    return false;
  }
  // A shared lock: probes do not conflict with each other, only with a
  // writer's exclusive lock.
  bool alive = false;
  if (flockRetry(fd, LOCK_SH | LOCK_NB) == 0)
    flockRetry(fd, LOCK_UN);
  else
    alive = errno == EWOULDBLOCK;
  ::close(fd);
  return alive;
}

bool WriterLock::ownerIsMe(SharedMem::OwnerFile const& file) {
  return file.fd_ >= 0 && file.lockerPid_ == ::getpid();
}

void WriterLock::releaseWriterLock(SharedMem::OwnerFile& file) {
  if (file.lockerPid_ == 0) return;
  if (file.lockerPid_ != ::getpid()) {
    // An inherited copy: unlocking would release the parent's lock.
    file.dropInherited();
    return;
  }
  flockRetry(file.fd_, LOCK_UN);
  file.lockerPid_ = 0;
  fmtrace(SharedMem::handler(), 1, "{}: writer lock released", file.path());
}

}  // namespace Mem
