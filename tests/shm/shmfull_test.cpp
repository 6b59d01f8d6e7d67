// Table files in shared memory: reservation, growth, shrinking under
// readers, and what a full file system does to a growing writer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_shmfull_test {

namespace {

using Mem::SharedMemWrapper;
using Mode = Mem::SharedMemWrapper::Mode;

constexpr char const* TABLE = "vexaswitch/tables/t";
constexpr U64 KiB = 1024;

U8 pattern(U64 i) { return static_cast<U8>((i * 131 + 7) ^ (i >> 9)); }

void fill(void* base, U64 from, U64 to) {
  auto* p = static_cast<U8*>(base);
  for (U64 i = from; i < to; ++i) p[i] = pattern(i);
}

// First offset in [from, to) that does not hold the pattern, or `to`.
U64 firstMismatch(void const* base, U64 from, U64 to) {
  auto const* p = static_cast<U8 const*>(base);
  for (U64 i = from; i < to; ++i)
    if (p[i] != pattern(i)) return i;
  return to;
}

// First non-zero offset in [from, to), or `to`.
U64 firstNonZero(void const* base, U64 from, U64 to) {
  auto const* p = static_cast<U8 const*>(base);
  for (U64 i = from; i < to; ++i)
    if (p[i]) return i;
  return to;
}

U64 allocatedBytes(std::string const& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return U64(st.st_blocks) * 512;
}

// --- SharedMemWrapper ------------------------------------------------------------

// Every size a writer asks for has its memory in the file at once (else a
// full file system would be a SIGBUS at the first store), grown or not.
TEST(SharedMemWrapperTest, WritableAttachAndGrowthReserveTheSpaceKeepTheContentsAndZeroUnmaps) {
  VexaTest::ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  SharedMemWrapper w(root, "data", Mode::writable);
  EXPECT_THROW(w.resize(4096), Quiv::MemoryResourceException) << "not attached";
  U64 size = 3 * Mem::pageSize() + 100;
  void* base = w.attach(size);
  ASSERT_NE(base, nullptr);
  EXPECT_TRUE(root.fileExists("data"));
  EXPECT_EQ(w.fileSize(), size);
  EXPECT_EQ(firstNonZero(base, 0, size), size);
  fill(base, 0, size);
  // Sizes that stay inside the last page, cross into the next, and jump far
  // (the mapping may move).
  for (U64 next : {size + 200, 5 * Mem::pageSize() - 1, 5 * Mem::pageSize() + 1, 64 * KiB + 3, 4 * 1024 * KiB}) {
    SCOPED_TRACE(next);
    EXPECT_GE(allocatedBytes(w.getFilename()), size);
    base = w.resize(next);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base, w.base());
    EXPECT_EQ(w.memSize(), next);
    EXPECT_GE(w.fileSize(), next);
    EXPECT_EQ(firstMismatch(base, 0, size), size);
    EXPECT_EQ(firstNonZero(base, size, next), next);
    fill(base, size, next);
    size = next;
  }
  EXPECT_GE(allocatedBytes(w.getFilename()), size);
  // Attached again whole (size 0), writable or not: the same memory.
  SharedMemWrapper again(root, "data", Mode::writable), r(root, "data", Mode::readOnly);
  ASSERT_NE(again.attach(0), nullptr);
  ASSERT_NE(r.attach(0), nullptr);
  EXPECT_EQ(again.memSize(), size);
  EXPECT_EQ(r.memSize(), size);
  EXPECT_EQ(firstMismatch(r.base(), 0, size), size);
  static_cast<U8*>(again.base())[5] = 0;
  EXPECT_EQ(static_cast<U8 const*>(r.base())[5], 0);
  // Resized to zero it unmaps, and a resize maps again.
  EXPECT_EQ(w.resize(0), nullptr);
  EXPECT_EQ(w.memSize(), 0u);
  ASSERT_NE(w.resize(4096), nullptr);
  EXPECT_EQ(firstMismatch(w.base(), 6, 4096), 4096u);
  w.detach();
  EXPECT_EQ(w.base(), nullptr);
  EXPECT_TRUE(root.fileExists("data")) << "detach leaves the file";
}

TEST(SharedMemWrapperTest, ReadOnlyMappingNeverCreatesNorExtendsPastTheFile) {
  VexaTest::ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  SharedMemWrapper absent(root, "absent", Mode::readOnly);
  EXPECT_EQ(absent.attach(0), nullptr);
  EXPECT_EQ(absent.attach(4096), nullptr);
  EXPECT_EQ(absent.memSize(), 0u);
  EXPECT_FALSE(root.fileExists("absent")) << "a reader never creates a file";
  root.createDirectory();
  int fd = ::open(root.filePath("empty").c_str(), O_CREAT | O_WRONLY, 0666);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(SharedMemWrapper(root, "empty", Mode::readOnly).attach(0), nullptr);

  U64 const page = Mem::pageSize();
  SharedMemWrapper w(root, "data", Mode::writable);
  void* wbase = w.attach(2 * page);
  ASSERT_NE(wbase, nullptr);
  fill(wbase, 0, 2 * page);

  SharedMemWrapper r(root, "data", Mode::readOnly);
  EXPECT_THROW(r.attach(2 * page + 1), Quiv::InvalidInitializeException);
  void const* rbase = r.attach(0);
  ASSERT_NE(rbase, nullptr);
  EXPECT_THROW(r.resize(2 * page + 1), Quiv::MemoryResourceException);
  EXPECT_EQ(r.memSize(), 2 * page) << "a refused resize keeps the mapping";
  EXPECT_EQ(r.base(), rbase);
  EXPECT_EQ(firstMismatch(r.base(), 0, 2 * page), 2 * page);

  // Following the writer's growth: the reader maps what the file has now.
  wbase = w.resize(5 * page);
  ASSERT_NE(wbase, nullptr);
  fill(wbase, 2 * page, 5 * page);
  ASSERT_NE(r.resize(r.fileSize()), nullptr);
  EXPECT_EQ(r.memSize(), 5 * page);
  EXPECT_EQ(firstMismatch(r.base(), 0, 5 * page), 5 * page);
}

// A shrink must not cut the file short under a reader mapped at the old
// size (SIGBUS): the range is punched out, reads zero, its memory returned.
TEST(SharedMemWrapperTest, ShrinkingKeepsTheFileLengthAndReleasesThePages) {
  VexaTest::ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  U64 const big = 1024 * KiB;
  U64 const small = 64 * KiB + 100;  // not a whole page: the last page stays
  SharedMemWrapper w(root, "data", Mode::writable);
  ASSERT_NE(w.attach(big), nullptr);
  fill(w.base(), 0, big);
  SharedMemWrapper r(root, "data", Mode::readOnly);
  ASSERT_NE(r.attach(0), nullptr);
  ASSERT_EQ(r.memSize(), big);

  U64 const allocatedBefore = allocatedBytes(w.getFilename());
  ASSERT_NE(w.resize(small), nullptr);
  EXPECT_EQ(w.memSize(), small);
  EXPECT_EQ(w.fileSize(), big) << "the file keeps its length";
  EXPECT_LT(allocatedBytes(w.getFilename()), allocatedBefore / 2) << "the released pages went back";
  EXPECT_EQ(firstMismatch(w.base(), 0, small), small);

  // The reader, still at the old size, reads every byte without a fault;
  // past the writer's last page everything reads zero.
  U64 const keptPages = Mem::roundUpToWholePage(small);
  EXPECT_EQ(firstMismatch(r.base(), 0, small), small);
  EXPECT_EQ(firstNonZero(r.base(), keptPages, big), big);

  // Grown again, the bytes between the old and the new end read zero, also
  // the ones of the last page the shrink kept mapped.
  ASSERT_NE(w.resize(big), nullptr);
  EXPECT_EQ(firstMismatch(w.base(), 0, small), small);
  EXPECT_EQ(firstNonZero(w.base(), small, big), big);
  EXPECT_GE(allocatedBytes(w.getFilename()), big);
}

// --- WriterRegion ----------------------------------------------------------------

// Growth, shrink and re-attach are the file's own (SharedMemWrapperTest);
// here what a local region is, and that a shared one passes them through.
TEST(WriterRegionTest, LocalRegionIsProcessMemorySharedRegionIsAFileOthersCanMap) {
  VexaTest::ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  U64 const big = 8 * 1024 * KiB;
  for (bool local : {true, false}) {
    SCOPED_TRACE(local ? "local" : "shared");
    Mem::WriterRegion region(root, "data", local);
    EXPECT_EQ(region.name(), local ? std::string("local:data") : root.filePath("data"));
    EXPECT_EQ(region.shared() == nullptr, local);
    EXPECT_EQ(region.attach(0), nullptr) << "no file to map";
    void* base = region.attach(1000);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(region.memSize(), 1000u);
    EXPECT_EQ(region.fileSize(), 1000u);
    EXPECT_EQ(firstNonZero(base, 0, 1000), 1000u);
    fill(base, 0, 1000);
    EXPECT_EQ(root.fileExists("data"), !local);
    base = region.resize(big);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(region.base(), base);
    EXPECT_EQ(region.memSize(), big);
    EXPECT_EQ(firstMismatch(base, 0, 1000), 1000u);
    EXPECT_EQ(firstNonZero(base, 1000, big), big);
    if (local) {
      EXPECT_EQ(region.moved(), region.remaps() > 0);
    }
    base = region.resize(4096);
    EXPECT_EQ(region.memSize(), 4096u);
    EXPECT_EQ(firstMismatch(base, 0, 1000), 1000u);
    if (local) {
      EXPECT_TRUE(region.remove());
      EXPECT_EQ(region.base(), nullptr);
      EXPECT_EQ(region.memSize(), 0u);
      continue;
    }
    EXPECT_EQ(region.fileSize(), big) << "a shrink keeps the file's length";
    SharedMemWrapper r(root, "data", Mode::readOnly);
    ASSERT_NE(r.attach(0), nullptr);
    EXPECT_EQ(firstMismatch(r.base(), 0, 1000), 1000u);
    region.detach();
    EXPECT_EQ(region.base(), nullptr);
    EXPECT_TRUE(region.remove());
    EXPECT_FALSE(root.fileExists("data"));
    EXPECT_FALSE(region.remove()) << "nothing left to remove";
    EXPECT_EQ(firstMismatch(r.base(), 0, 1000), 1000u) << "a reader keeps its mapping of the removed file";
  }
}

// --- a full file system ------------------------------------------------------------

// Makes `dir` a small file system of its own: a 512 KiB tmpfs in a private
// mount namespace (gone with the child). Without the privilege, a file size
// limit makes the reservation fail the same way (EFBIG instead of ENOSPC).
bool makeSmallFileSystem(std::string const& tmpfsDir, bool& usedTmpfs) {
  usedTmpfs = false;
  if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      ::mount("tmpfs", tmpfsDir.c_str(), "tmpfs", 0, "size=512k") == 0) {
    usedTmpfs = true;
    return true;
  }
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = {512 * KiB, 512 * KiB};
  return ::setrlimit(RLIMIT_FSIZE, &lim) == 0;
}

// Grows a file 64 KiB at a time until full; what went wrong, or empty.
std::string growUntilFull(std::string const& tmpfsDir, std::string const& fallbackDir) {
  bool usedTmpfs = false;
  if (!makeSmallFileSystem(tmpfsDir, usedTmpfs)) return "no small file system";
  Mem::RootPath::shmRootIs(usedTmpfs ? tmpfsDir : fallbackDir);
  Mem::RootPath root(nullptr, TABLE);
  SharedMemWrapper w(root, "data", Mode::writable);
  U64 size = 64 * KiB;
  if (!w.attach(size)) return "attach failed";
  fill(w.base(), 0, size);
  void* before = nullptr;
  for (;; size += 64 * KiB, fill(w.base(), size - 64 * KiB, size)) {
    if (size > 4 * 1024 * KiB) return "never full";
    before = w.base();
    try {
      w.resize(size + 64 * KiB);
    } catch (Quiv::MemoryResourceException const& e) {
      std::string msg = e.what();
      if (msg.find("cannot reserve") == std::string::npos || msg.find(w.getFilename()) == std::string::npos ||
          msg.find(std::strerror(usedTmpfs ? ENOSPC : EFBIG)) == std::string::npos)
        return "unexpected message: " + msg;
      break;
    }
  }
  // The failed growth left the mapping as it was.
  if (w.memSize() != size || w.base() != before) return "the mapping changed";
  if (firstMismatch(w.base(), 0, size) != size) return "contents lost";
  // Every byte of it is still backed: a store anywhere must not fault.
  auto* p = static_cast<U8*>(w.base());
  for (U64 i = 0; i < size; ++i) p[i] = static_cast<U8>(~p[i]);
  for (U64 i = 0; i < size; ++i)
    if (p[i] != static_cast<U8>(~pattern(i))) return "a rewrite was lost";
  // Giving space back makes room again.
  if (!w.resize(64 * KiB) || !w.resize(128 * KiB)) return "no room after a shrink";
  fmt::print(stderr, "full at {} bytes ({})\n", size, usedTmpfs ? "tmpfs" : "file size limit");
  return "";
}

TEST(SharedMemFullTest, FullFileSystemIsAnExceptionAtResizeNeverSigbus) {
  char tmpfsTmpl[] = "/tmp/vexa_full.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpfsTmpl), nullptr);
  VexaTest::ShmRoot fallback;  // a regular private root for the fallback
  std::string why = VexaTest::failureInChild([&] { return growUntilFull(tmpfsTmpl, fallback.dir()); });
  std::error_code ec;
  std::filesystem::remove_all(tmpfsTmpl, ec);
  EXPECT_EQ(why, "");
}

// --- a writer whose files cannot grow ------------------------------------------
//
// Each growth point meets a file that cannot grow (a file size limit) while
// reader processes look up every acknowledged key: the write throws and
// changes nothing, writes work again once space is back, and a new writer
// process keeps every acknowledged entry.

using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<VexaTest::FloodOps>;

struct GrowthCase {
  char const* file;  // the file that must grow, named in the failure's message
  Zolm::WriterConfig config;
  U64 before;  // keys written before the limit is set
  bool (*atGrowth)(VexaTest::FloodWriter& w, U64 before);
};

void PrintTo(GrowthCase const& c, std::ostream* os) { *os << c.file; }

constexpr char const* FULL_TABLE = "vexaswitch/tables/test/full";
constexpr int FULL_READERS = 2;
constexpr U64 AFTER = 400;  // keys written once space is back (the fixed table holds 1000)

// A value that names its key twice more, so a torn or foreign value shows.
L3FloodEntryConfig fullEntry(U64 key) {
  L3FloodEntryConfig e = VexaTest::floodEntry(key, U32(key * 3));
  e.memberCountIs(~U32(key));
  return e;
}
bool fullConsistent(L3FloodEntryConfig const& v, U64 key) {
  return v.key().raw() == key && v.floodListId() == U32(key * 3) && v.memberCount() == ~U32(key);
}

struct FullShared {
  std::atomic<U64> acked;  // keys 1..acked were written and acknowledged
  std::atomic<bool> stop;
  std::atomic<U64> lookups[FULL_READERS];
  std::atomic<U64> bad[FULL_READERS];
  char why[FULL_READERS][200];
};

void fullReader(FullShared* sh, int r) {
  auto bad = [&](std::string const& why) { std::snprintf(sh->why[r], 200, "%s", why.c_str()), ++sh->bad[r]; };
  FloodReader reader(nullptr, FULL_TABLE);
  if (!reader.initialize()) return bad("reader could not attach");
  while (!sh->stop) {
    U64 acked = sh->acked;
    for (U64 k = 1; k <= acked + 1 && !sh->stop; ++k) {
      L3FloodEntryConfig v;
      try {
        bool hit = reader.lookup(Lanx::IntfId::fromRaw(k), v);
        ++sh->lookups[r];
        // Keys up to `acked` must be there whole; the one being written
        // may be there or not, but never half.
        if ((!hit && k <= acked) || (hit && !fullConsistent(v, k)))
          bad(fmt::format("key {} (acked {}): hit {} value {}", k, acked, hit, Zolm::show(v)));
      } catch (std::exception const& e) {
        bad(fmt::format("key {}: {}", k, e.what()));
      }
    }
  }
}

// The writer's process: fills the table up to the growth point, starts the
// readers, sets the limit, and writes through it. An empty result is success.
std::string fullWriter(GrowthCase const& c, FullShared* sh, pid_t* readers) {
  ::signal(SIGXFSZ, SIG_IGN);
  VexaTest::FloodWriter w(nullptr, FULL_TABLE, c.config);
  w.initialize();
  for (U64 k = 1; k <= c.before; ++k) {
    w.write(fullEntry(k));
    sh->acked = k;
  }
  for (int r = 0; r < FULL_READERS; ++r) readers[r] = VexaTest::spawn([&] { fullReader(sh, r); });

  if (!c.atGrowth(w, c.before))
    return fmt::format("not right before the growth: capacity {} buckets {} map {}", w.capacity(), w.buckets(),
                       w.nimbr().header()->mapSize);
  struct stat st;
  if (::stat(Mem::RootPath(nullptr, FULL_TABLE).filePath(c.file).c_str(), &st) != 0) return "no file";
  struct rlimit lim = {U64(st.st_size), RLIM_INFINITY};
  if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";

  U64 const key = c.before + 1;
  Zolm::Writer::Counters const countersBefore = w.writerCounters();
  U32 const gen = w.nimbr().generation();
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      w.write(fullEntry(key));
      return fmt::format("attempt {}: the write succeeded past the limit", attempt);
    } catch (Quiv::MemoryResourceException const& e) {
      std::string msg = e.what();
      if (msg.find(c.file) == std::string::npos) return "unexpected message: " + msg;
    }
    if (w.slotTable().inCritical()) return "critical section left set";
    if (w.members() != c.before) return fmt::format("{} members after the failed write", w.members());
    L3FloodEntryConfig v;
    if (w.lookup(Lanx::IntfId::fromRaw(key), v)) return "the failed key is in the table";
    if (!w.validate()) return "invalid after the failed write: " + std::string(w.lastError());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // readers look meanwhile
  }
  if (w.writerCounters().sequence != countersBefore.sequence) return "a notification for a failed write";
  if (c.file != std::string("nimbr") && w.nimbr().generation() != gen) return "the queue was re-formatted";

  lim.rlim_cur = RLIM_INFINITY;  // space is back
  if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";
  for (U64 k = key; k < key + AFTER; ++k) {
    w.write(fullEntry(k));
    sh->acked = k;
  }
  if (!w.validate()) return "invalid after space came back: " + std::string(w.lastError());
  sh->stop = true;
  return "";
}

class WriterFullDisk : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(WriterFullDisk, FailedGrowthChangesNothingAndTheTableLivesOn) {
  GrowthCase const& c = GetParam();
  VexaTest::ShmRoot shm;
  auto* sh = VexaTest::newShared<FullShared>();
  ASSERT_NE(sh, nullptr);
  // The readers are the writer's children: they must fork after it made
  // the table, and it reaps them.
  EXPECT_EQ(VexaTest::failureInChild([&] {
              pid_t readers[FULL_READERS] = {};
              std::string why;
              try {
                why = fullWriter(c, sh, readers);
              } catch (std::exception const& e) {
                why = std::string("writer: ") + e.what();
              }
              sh->stop = true;
              for (int r = 0; r < FULL_READERS; ++r) {
                std::string end = readers[r] > 0 ? VexaTest::reapDescribed(readers[r]) : "exit 0";
                if (end != "exit 0" && why.empty()) why = fmt::format("reader {}: {}", r, end);
              }
              return why;
            }),
            "");
  if (HasFailure()) return VexaTest::freeShared(sh);
  for (int r = 0; r < FULL_READERS; ++r) {
    EXPECT_EQ(sh->bad[r], 0u) << "reader " << r << ": " << sh->why[r];
    EXPECT_GT(sh->lookups[r], 0u);
  }

  // A writer in another process keeps the table and every acknowledged entry.
  VexaTest::FloodWriter next(nullptr, FULL_TABLE, c.config);
  ASSERT_TRUE(next.initialize());
  EXPECT_EQ(next.writerCounters().reformats, 0u);
  EXPECT_EQ(next.members(), sh->acked.load());
  for (U64 k = 1; k <= sh->acked; ++k) {
    L3FloodEntryConfig v;
    ASSERT_TRUE(next.lookup(Lanx::IntfId::fromRaw(k), v) && fullConsistent(v, k)) << "key " << k;
  }
  EXPECT_TRUE(next.validate()) << next.lastError();
  next.detach();
  VexaTest::freeShared(sh);
}

// Slots: 128 -> 256 -> 512 slots, the next write needs 1000 (the queue
// covers the requested 1000 from the start). Buckets: a fixed-size table,
// 512 entries in 512 buckets, the next needs 1024. Queue: grown past the
// requested 100 slots by tenths to 121; the next growth, to 134, needs a
// queue map past its 128 slots, and the queue grows before the slots.
INSTANTIATE_TEST_SUITE_P(
    GrowthPoints, WriterFullDisk,
    ::testing::Values(
        GrowthCase{"slots", {.maxSlots = 1000, .shrinkSlots = false, .shrinkBuckets = false}, 512,
                   [](VexaTest::FloodWriter& w, U64 n) { return w.capacity() == n; }},
        GrowthCase{"buckets", {.maxSlots = 1000, .fixedSize = true, .shrinkBuckets = false}, 512,
                   [](VexaTest::FloodWriter& w, U64 n) { return w.buckets() == n; }},
        GrowthCase{"nimbr", {.maxSlots = 100, .shrinkSlots = false, .shrinkBuckets = false}, 121,
                   [](VexaTest::FloodWriter& w, U64 n) {
                     return w.capacity() == n &&
                            w.nimbr().header()->mapSize < Zolm::SlotWriterTable::growTarget(w.capacity(), w.maxSize());
                   }}),
    [](auto const& info) { return std::string(info.param.file); });

}  // namespace

}  // namespace vexa_shmfull_test
