// Table files in shared memory: reservation, growth, shrinking under
// readers, and what a full file system does to a growing writer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_shmfull_test {

namespace {

using namespace VexaTest;
using Mem::SharedMemWrapper;
using Mode = Mem::SharedMemWrapper::Mode;
using VexaSwitch::L3FloodEntryConfig;

constexpr char const* TABLE = "vexaswitch/tables/t";
constexpr U64 KiB = 1024;

U8 pattern(U64 i) { return static_cast<U8>((i * 131 + 7) ^ (i >> 9)); }
void fill(void* base, U64 from, U64 to) {
  for (U64 i = from; i < to; ++i) static_cast<U8*>(base)[i] = pattern(i);
}
// First offset in [from, to) that does not hold the pattern (or, `zero`,
// is not zero); `to` when there is none.
U64 firstMismatch(void const* base, U64 from, U64 to, bool zero = false) {
  for (U64 i = from; i < to; ++i)
    if (static_cast<U8 const*>(base)[i] != (zero ? 0 : pattern(i))) return i;
  return to;
}
U64 allocatedBytes(std::string const& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? U64(st.st_blocks) * 512 : 0;
}

// Every size a writer asks for has its memory in the file at once (else a
// full file system would be a SIGBUS at the first store), grown or not.
TEST(SharedMemWrapperTest, WritableAttachAndGrowthReserveTheSpaceKeepTheContentsAndZeroUnmaps) {
  ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  SharedMemWrapper w(root, "data", Mode::writable);
  EXPECT_THROW(w.resize(4096), Quiv::MemoryResourceException) << "not attached";
  U64 size = 3 * Mem::pageSize() + 100;
  void* base = w.attach(size);
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(w.fileSize(), size);
  EXPECT_EQ(firstMismatch(base, 0, size, true), size);
  fill(base, 0, size);
  // Inside the last page, into the next, and far (the mapping may move).
  for (U64 next : {size + 200, 5 * Mem::pageSize() - 1, 5 * Mem::pageSize() + 1, 64 * KiB + 3, 4 * 1024 * KiB}) {
    SCOPED_TRACE(next);
    EXPECT_GE(allocatedBytes(w.getFilename()), size);
    base = w.resize(next);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(w.memSize(), next);
    EXPECT_GE(w.fileSize(), next);
    EXPECT_EQ(firstMismatch(base, 0, size), size);
    EXPECT_EQ(firstMismatch(base, size, next, true), next);
    fill(base, size, next);
    size = next;
  }
  EXPECT_GE(allocatedBytes(w.getFilename()), size);
  // Attached again whole (size 0), writable or not: the same memory.
  SharedMemWrapper again(root, "data", Mode::writable), r(root, "data", Mode::readOnly);
  ASSERT_NE(again.attach(0), nullptr);
  ASSERT_NE(r.attach(0), nullptr);
  EXPECT_EQ(r.memSize(), size);
  static_cast<U8*>(again.base())[5] = 0;
  EXPECT_EQ(static_cast<U8 const*>(r.base())[5], 0);
  EXPECT_EQ(w.resize(0), nullptr) << "zero unmaps";
  ASSERT_NE(w.resize(4096), nullptr);
  EXPECT_EQ(firstMismatch(w.base(), 6, 4096), 4096u);
  w.detach();
  EXPECT_TRUE(root.fileExists("data")) << "detach leaves the file";
}

// A reader never creates a file nor maps past its end, and follows the
// writer's growth. A shrink must not cut the file short under a reader
// mapped at the old size (SIGBUS): the range is punched out, reads zero,
// its memory returned.
TEST(SharedMemWrapperTest, AReaderMapsOnlyTheFileAndAShrinkKeepsItsLength) {
  ShmRoot shm;
  Mem::RootPath root(nullptr, TABLE);
  SharedMemWrapper absent(root, "absent", Mode::readOnly);
  EXPECT_EQ(absent.attach(0), nullptr);
  EXPECT_EQ(absent.attach(4096), nullptr);
  EXPECT_FALSE(root.fileExists("absent")) << "a reader never creates a file";
  root.createDirectory();
  ::close(::open(root.filePath("empty").c_str(), O_CREAT | O_WRONLY, 0666));
  EXPECT_EQ(SharedMemWrapper(root, "empty", Mode::readOnly).attach(0), nullptr);
  U64 const page = Mem::pageSize(), big = 1024 * KiB, small = 64 * KiB + 100;  // not a whole page: the last stays
  SharedMemWrapper w(root, "data", Mode::writable), r(root, "data", Mode::readOnly);
  fill(w.attach(2 * page), 0, 2 * page);
  EXPECT_THROW(r.attach(2 * page + 1), Quiv::InvalidInitializeException);
  void const* rbase = r.attach(0);
  ASSERT_NE(rbase, nullptr);
  EXPECT_THROW(r.resize(2 * page + 1), Quiv::MemoryResourceException);
  EXPECT_TRUE(r.memSize() == 2 * page && r.base() == rbase) << "a refused resize keeps the mapping";
  fill(w.resize(big), 2 * page, big);
  ASSERT_NE(r.resize(r.fileSize()), nullptr);
  EXPECT_EQ(firstMismatch(r.base(), 0, big), big);
  U64 const allocatedBefore = allocatedBytes(w.getFilename());
  ASSERT_NE(w.resize(small), nullptr);
  EXPECT_EQ(w.fileSize(), big) << "the file keeps its length";
  EXPECT_LT(allocatedBytes(w.getFilename()), allocatedBefore / 2) << "the released pages went back";
  // The reader, still at the old size, reads every byte; past the writer's
  // last page, zeros.
  EXPECT_EQ(firstMismatch(r.base(), 0, small), small);
  EXPECT_EQ(firstMismatch(r.base(), Mem::roundUpToWholePage(small), big, true), big);
  // Grown again, all past the old end reads zero, also in the kept last page.
  ASSERT_NE(w.resize(big), nullptr);
  EXPECT_EQ(firstMismatch(w.base(), 0, small), small);
  EXPECT_EQ(firstMismatch(w.base(), small, big, true), big);
  EXPECT_GE(allocatedBytes(w.getFilename()), big);
}

// In a child: makes `tmpfsDir` a 512 KiB tmpfs in a private mount namespace
// and grows a file 64 KiB at a time until full. Only a full file system
// catches a growth that does not reserve: the store, not the resize, would
// fail (SIGBUS). (A file size limit fails the resize either way: the
// writer's growth points below.)
std::string growUntilFull(std::string const& tmpfsDir) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", tmpfsDir.c_str(), "tmpfs", 0, "size=512k") != 0)
    return "no tmpfs";
  Mem::RootPath::shmRootIs(tmpfsDir);
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
          msg.find(std::strerror(ENOSPC)) == std::string::npos)
        return "unexpected message: " + msg;
      break;
    }
  }
  if (w.memSize() != size || w.base() != before) return "the failed growth changed the mapping";
  if (firstMismatch(w.base(), 0, size) != size) return "contents lost";
  // Every byte of it is still backed: a store anywhere must not fault.
  auto* p = static_cast<U8*>(w.base());
  for (U64 i = 0; i < size; ++i) p[i] = static_cast<U8>(~p[i]);
  for (U64 i = 0; i < size; ++i)
    if (p[i] != static_cast<U8>(~pattern(i))) return "a rewrite was lost";
  return w.resize(64 * KiB) && w.resize(128 * KiB) ? "" : "no room after a shrink";
}

TEST(SharedMemFullTest, FullFileSystemIsAnExceptionAtResizeNeverSigbus) {
  char tmpfsTmpl[] = "/tmp/vexa_full.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpfsTmpl), nullptr);
  std::string why = failureInChild([&] { return growUntilFull(tmpfsTmpl); });
  std::error_code ec;
  std::filesystem::remove_all(tmpfsTmpl, ec);
  if (why == "no tmpfs") GTEST_SKIP() << "no privilege to mount a small tmpfs";
  EXPECT_EQ(why, "");
}

// Each growth point meets a file that cannot grow (a file size limit): the
// write throws and changes nothing, writes work again once space is back,
// and a new writer process keeps every acknowledged entry. (A store into a
// file that did not grow: the full file system above.)

struct GrowthCase {
  char const* file;  // the file that must grow, named in the failure's message
  Zolm::WriterConfig config;
  U64 before;  // keys written before the limit is set
  bool (*atGrowth)(FloodWriter& w, U64 before);
};
void PrintTo(GrowthCase const& c, std::ostream* os) { *os << c.file; }

constexpr char const* FULL_TABLE = "vexaswitch/tables/test/full";
constexpr U64 AFTER = 400;  // keys written once space is back (the fixed table holds 1000)

// A value that names its key twice more, so a torn or foreign value shows.
L3FloodEntryConfig fullEntry(U64 key) {
  L3FloodEntryConfig e = floodEntry(key, U32(key * 3));
  e.memberCountIs(~U32(key));
  return e;
}

// The writer's process: fills the table up to the growth point, sets the
// limit, and writes through it.
std::string fullWriter(GrowthCase const& c) {
  ::signal(SIGXFSZ, SIG_IGN);
  FloodWriter w(nullptr, FULL_TABLE, c.config);
  w.initialize();
  for (U64 k = 1; k <= c.before; ++k) w.write(fullEntry(k));
  if (!c.atGrowth(w, c.before))
    return fmt::format("not right before the growth: capacity {} buckets {} map {}", w.capacity(), w.buckets(),
                       w.nimbr().header()->mapSize);
  struct stat st;
  if (::stat(Mem::RootPath(nullptr, FULL_TABLE).filePath(c.file).c_str(), &st) != 0) return "no file";
  struct rlimit lim = {U64(st.st_size), RLIM_INFINITY};
  if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";
  U64 const key = c.before + 1, seq = w.writerCounters().sequence;
  U32 const gen = w.nimbr().generation();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string msg = thrownMessage<Quiv::MemoryResourceException>([&] { w.write(fullEntry(key)); });
    if (msg.find(c.file) == std::string::npos) return fmt::format("attempt {}: {}", attempt, msg);
    L3FloodEntryConfig v;
    if (w.slotTable().inCritical()) return "critical section left set";
    if (w.members() != c.before) return fmt::format("{} members after the failed write", w.members());
    if (w.lookup(floodKey(key), v)) return "the failed key is in the table";
    if (!w.validate()) return "invalid after the failed write: " + std::string(w.lastError());
  }
  if (w.writerCounters().sequence != seq) return "a notification for a failed write";
  if (c.file != std::string("nimbr") && w.nimbr().generation() != gen) return "the queue was re-formatted";
  lim.rlim_cur = RLIM_INFINITY;  // space is back
  if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";
  for (U64 k = key; k < key + AFTER; ++k) w.write(fullEntry(k));
  return w.validate() ? "" : "invalid after space came back: " + std::string(w.lastError());
}

class WriterFullDisk : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(WriterFullDisk, FailedGrowthChangesNothingAndTheTableLivesOn) {
  ShmRoot shm;
  ASSERT_EQ(failureInChild([&] { return fullWriter(GetParam()); }), "");
  FloodWriter next(nullptr, FULL_TABLE, GetParam().config);
  ASSERT_TRUE(next.initialize());
  EXPECT_EQ(next.writerCounters().reformats, 0u);
  EXPECT_EQ(next.members(), GetParam().before + AFTER);
  for (U64 k = 1; k <= GetParam().before + AFTER; ++k) {
    L3FloodEntryConfig v;
    ASSERT_TRUE(next.lookup(floodKey(k), v) && v == fullEntry(k)) << "key " << k;
  }
  EXPECT_TRUE(next.validate()) << next.lastError();
}

// Slots: 128 -> 256 -> 512 slots, the next write needs 1000 (the queue
// covers the requested 1000 from the start). Buckets: a fixed-size table,
// 512 entries in 512 buckets, the next needs 1024. Queue: grown past the
// requested 100 slots by tenths to 121; the next growth, to 134, needs a
// queue map past its 128 slots, and the queue grows before the slots.
INSTANTIATE_TEST_SUITE_P(
    GrowthPoints, WriterFullDisk,
    ::testing::Values(GrowthCase{"slots", {.maxSlots = 1000, .shrinkSlots = false, .shrinkBuckets = false}, 512,
                                 [](FloodWriter& w, U64 n) { return w.capacity() == n; }},
                      GrowthCase{"buckets", {.maxSlots = 1000, .fixedSize = true, .shrinkBuckets = false}, 512,
                                 [](FloodWriter& w, U64 n) { return w.buckets() == n; }},
                      GrowthCase{"nimbr", {.maxSlots = 100, .shrinkSlots = false, .shrinkBuckets = false}, 121,
                                 [](FloodWriter& w, U64 n) {
                                   return w.capacity() == n && w.nimbr().header()->mapSize <
                                                                   Zolm::SlotWriterTable::growTarget(w.capacity(), w.maxSize());
                                 }}),
    [](auto const& info) { return std::string(info.param.file); });

}  // namespace

}  // namespace vexa_shmfull_test
