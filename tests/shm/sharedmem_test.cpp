// The fenix and owner files of a table directory and the writer lock that
// rides on the owner file, including across processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <sys/stat.h>

#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "testutil/ShmRoot.h"

namespace {

using Mem::WriterLock;
using SharedMem::FenixFile;
using SharedMem::FenixId;
using SharedMem::OwnerFile;
using SharedMem::ShocketInfo;

constexpr char const* TABLE = "vexaswitch/tables/x";

class SharedMemTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = Mem::RootPath(nullptr, TABLE); }
  void writeRaw(char const* name, std::string const& bytes) {
    root_.createDirectory();
    std::ofstream(root_.filePath(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string readRaw(char const* name) {
    std::ifstream in(root_.filePath(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  VexaTest::ShmRoot shm_;
  Mem::RootPath root_;
};

// --- FenixId / FenixFile -------------------------------------------------------

TEST(FenixIdTest, PacksPidLowAndIncarnationHighAndIncrementNeverYieldsNull) {
  FenixId id(0x12345, 2);  // pid truncated to 16 bits
  EXPECT_EQ(id.pid(), 0x2345);
  EXPECT_EQ(id.incarnation(), 2);
  EXPECT_EQ(id.value(), 0x00022345u);
  EXPECT_EQ(FenixId(0x00022345u), id);
  EXPECT_EQ(fmt::format("{}", FenixId(1234, 2)), "pid:1234 incarnation:2");
  EXPECT_TRUE(FenixId().isNull());
  EXPECT_FALSE(id.isNull());
  EXPECT_EQ(FenixId(7, 1).incarnationInc(), FenixId(7, 2));
  EXPECT_EQ(FenixId(7, 0xffff).incarnationInc(), FenixId(7, 0));
  EXPECT_EQ(FenixId(0, 0xffff).incarnationInc(), FenixId(0, 1));
  EXPECT_FALSE(FenixId().incarnationInc().isNull());
}

TEST_F(SharedMemTest, FenixRoundTripAndAbsentFile) {
  FenixFile fenix(root_);
  Quiv::String error;
  EXPECT_TRUE(fenix.read().isNull());
  EXPECT_EQ(fenix.mtime(), 0);
  EXPECT_FALSE(fenix.validate(FenixId(1, 1), error));
  EXPECT_NE(error.view().find("absent"), std::string_view::npos) << error.view();

  FenixId id(4321, 3);
  fenix.write(id);  // creates the directory
  EXPECT_EQ(fenix.read(), id);
  EXPECT_GT(fenix.mtime(), 0);
  EXPECT_TRUE(fenix.validate(id, error)) << error;
  EXPECT_FALSE(fenix.validate(id.incarnationInc(), error));
  EXPECT_NE(error.view().find("expected"), std::string_view::npos) << error.view();

  fenix.write(id.incarnationInc());
  EXPECT_EQ(fenix.read(), id.incarnationInc());
  EXPECT_EQ(readRaw(FenixFile::FENIX_NAME).size(), FenixFile::SIZE);
  // No temp file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dirName()), {}), 1);
}

TEST_F(SharedMemTest, GarbledFenixReadsAsNull) {
  FenixFile fenix(root_);
  FenixId id(99, 1);
  fenix.write(id);
  std::string good = readRaw(FenixFile::FENIX_NAME);

  std::string flipped = good, magic = good, version = good;
  flipped[8] ^= 1;  // id changed, checksum not
  magic[0] = 'X';
  version[4] = 2;
  for (std::string const& bytes : {std::string(), good.substr(0, 12), good + "x", flipped, magic, version}) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    writeRaw(FenixFile::FENIX_NAME, bytes);
    Quiv::String error;
    EXPECT_TRUE(fenix.read().isNull());
    EXPECT_FALSE(fenix.validate(id, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(SharedMemTest, FenixWriteFailureThrows) {
  // The directory cannot be created: its parent is a plain file.
  writeRaw("blocker", "");
  Mem::RootPath below(nullptr, std::string(TABLE) + "/blocker/t");
  EXPECT_THROW(FenixFile(below).write(FenixId(1, 1)), Quiv::InvalidInitializeException);
}

// A FIFO in a table's directory would block an open until someone writes
// it, and a directory opens for reading: neither is taken for a file, by
// the bookkeeping files or the mapped ones, readers and writers alike.
TEST_F(SharedMemTest, FilesThatAreNotRegularAreRefusedWithoutBlocking) {
  root_.createDirectory();
  ASSERT_EQ(::mkfifo(root_.filePath(FenixFile::FENIX_NAME).c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(root_.filePath(OwnerFile::FILENAME).c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(root_.filePath("slots").c_str(), 0644), 0);
  std::filesystem::create_directory(root_.filePath("buckets"));
  Quiv::String error;
  EXPECT_TRUE(FenixFile(root_).read().isNull());
  EXPECT_FALSE(FenixFile(root_).validate(FenixId(1, 1), error));
  EXPECT_NE(error.view().find("not a regular file"), std::string_view::npos) << error.view();
  EXPECT_FALSE(OwnerFile(root_).validate(error));
  EXPECT_NE(error.view().find("not a regular file"), std::string_view::npos) << error.view();
  EXPECT_THROW(OwnerFile(root_).ownerPid(), Quiv::CorruptionDetectedException);
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));
  OwnerFile owner(root_);
  EXPECT_THROW(WriterLock::acquireWriterLock(owner, TABLE), Quiv::InvalidInitializeException);
  for (char const* name : {"slots", "buckets"})
    for (auto mode : {Mem::SharedMemWrapper::Mode::readOnly, Mem::SharedMemWrapper::Mode::writable}) {
      Mem::SharedMemWrapper file(root_, name, mode);
      try {
        file.attach(mode == Mem::SharedMemWrapper::Mode::readOnly ? 0 : 4096);
        ADD_FAILURE() << name << " attached";
      } catch (Quiv::InvalidInitializeException const& e) {
        EXPECT_NE(e.msg().view().find("not a regular file"), std::string_view::npos) << e.msg().view();
      }
    }
}

// --- OwnerFile -----------------------------------------------------------------

TEST_F(SharedMemTest, OwnerFieldsRoundTripIndependently) {
  OwnerFile owner(root_);
  Quiv::String error;
  // Absent: defaults, but not valid.
  EXPECT_EQ(owner.ownerPid(), 0u);
  EXPECT_TRUE(owner.typeName().empty());
  EXPECT_FALSE(owner.validate(error));
  EXPECT_NE(owner.toString().find("absent"), std::string::npos);

  owner.lock();
  EXPECT_FALSE(owner.validate(error));  // created, empty
  EXPECT_EQ(owner.shmType(), 0u);

  ShocketInfo sock{std::string("\0vexa.l2", 8), 7};
  owner.typeNameIs("L2::MacEntry");
  owner.shmTypeIs(OwnerFile::WRITER_SHM_TYPE);
  owner.shocketInfoIs(sock);
  owner.ownerPidIs(4242);
  EXPECT_TRUE(owner.validate(error)) << error;
  EXPECT_EQ(readRaw(OwnerFile::FILENAME).size(), OwnerFile::SIZE);

  // A second object reads the same record by path.
  OwnerFile reader(root_);
  EXPECT_EQ(reader.typeName(), "L2::MacEntry");
  EXPECT_EQ(reader.shmType(), 1u);
  EXPECT_EQ(reader.shocketInfo(), sock);
  EXPECT_EQ(reader.ownerPid(), 4242u);
  EXPECT_EQ(reader.toString(), "owner pid:4242 type:L2::MacEntry shm:1 socket:@vexa.l2 table:7");

  // Each setter keeps the other fields.
  owner.typeNameIs("Short");
  owner.shocketInfoIs(ShocketInfo{});
  EXPECT_EQ(reader.typeName(), "Short");
  EXPECT_TRUE(reader.shocketInfo().empty());
  EXPECT_EQ(reader.ownerPid(), 4242u);
  EXPECT_EQ(reader.shmType(), 1u);
}

TEST_F(SharedMemTest, OwnerNamesThatDoNotFitAreRefused) {
  OwnerFile owner(root_);
  owner.typeNameIs(std::string(OwnerFile::MAX_TYPE_NAME, 't'));
  owner.shocketInfoIs(ShocketInfo{std::string(ShocketInfo::MAX_NAME, 's'), 1});
  EXPECT_EQ(owner.typeName().size(), OwnerFile::MAX_TYPE_NAME);
  EXPECT_EQ(owner.shocketInfo().name.size(), ShocketInfo::MAX_NAME);

  EXPECT_THROW(owner.typeNameIs(std::string(OwnerFile::MAX_TYPE_NAME + 1, 't')), Quiv::InvalidInitializeException);
  EXPECT_THROW(owner.typeNameIs(std::string("a\0b", 3)), Quiv::InvalidInitializeException);
  EXPECT_THROW(owner.shocketInfoIs(ShocketInfo{std::string(ShocketInfo::MAX_NAME + 1, 's'), 1}),
               Quiv::InvalidInitializeException);
  // Refused values leave the record as it was.
  EXPECT_EQ(owner.typeName(), std::string(OwnerFile::MAX_TYPE_NAME, 't'));
  EXPECT_EQ(owner.shocketInfo().name.size(), ShocketInfo::MAX_NAME);
}

TEST_F(SharedMemTest, GarbledOwnerFileIsRefusedSafely) {
  OwnerFile owner(root_);
  owner.typeNameIs("T");
  owner.ownerPidIs(1);
  std::string good = readRaw(OwnerFile::FILENAME);
  ASSERT_EQ(good.size(), OwnerFile::SIZE);

  // Re-checksums a modified record, so that only the field checks can catch it.
  auto resum = [](std::string s) {
    U32 h = 2166136261u;
    for (std::size_t i = 0; i < 260; ++i) h = (h ^ U8(s[i])) * 16777619u;
    for (int i = 0; i < 4; ++i) s[260 + i] = char(h >> (8 * i));
    return s;
  };
  std::string unterminated = good;
  for (std::size_t i = 132; i < 260; ++i) unterminated[i] = 'n';
  std::string longSocket = good;
  longSocket[20] = char(200);
  std::string oldVersion = good;
  oldVersion[4] = 9;
  std::string foreign = good;
  foreign.replace(0, 4, "ELF\x7f");
  std::string random(OwnerFile::SIZE, '\0');
  std::mt19937 gen(42);
  for (auto& c : random) c = char(gen());

  struct Case {
    std::string bytes;
    char const* why;
  } cases[] = {
      {random, "magic"},
      {good.substr(0, 100), "short"},
      {good + "trailing", "longer"},
      {resum(foreign), "magic"},
      {resum(oldVersion), "version 9"},
      {good.substr(0, 50) + "X" + good.substr(51), "checksum"},
      {resum(unterminated), "not terminated"},
      {resum(longSocket), "socket name length 200"},
  };
  for (auto const& c : cases) {
    writeRaw(OwnerFile::FILENAME, c.bytes);
    Quiv::String error;
    EXPECT_FALSE(owner.validate(error)) << c.why;
    EXPECT_NE(error.view().find(c.why), std::string_view::npos) << error.view();
    std::string line = owner.toString();
    EXPECT_NE(line.find("unreadable: "), std::string::npos) << line;
    EXPECT_THROW(owner.typeName(), Quiv::CorruptionDetectedException) << c.why;
    EXPECT_THROW(owner.ownerPid(), Quiv::CorruptionDetectedException) << c.why;
  }

  // A writer rewrites a garbled (even over-long) file with a fresh record.
  writeRaw(OwnerFile::FILENAME, random + random);
  owner.lock();
  owner.shmTypeIs(1);
  Quiv::String error;
  EXPECT_TRUE(owner.validate(error)) << error;
  EXPECT_EQ(owner.shmType(), 1u);
  EXPECT_EQ(owner.ownerPid(), 0u);
  EXPECT_EQ(readRaw(OwnerFile::FILENAME).size(), OwnerFile::SIZE);
}

// --- WriterLock ----------------------------------------------------------------

// A child process that kills itself with the test if the test stops early.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  int wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
};

// Forks a child that takes the writer lock, reports 'L' (or 'F' on failure)
// on a pipe, then waits for a byte on a second pipe (or forever) and exits
// normally without releasing anything.
void forkWriter(Child& child, Mem::RootPath const& root, int& ready, int& go) {
  int up[2], down[2];
  ASSERT_EQ(::pipe(up), 0);
  ASSERT_EQ(::pipe(down), 0);
  child.pid = ::fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    ::close(up[0]);
    ::close(down[1]);
    char c = 'L';
    try {
      SharedMem::OwnerFile owner(root);
      WriterLock::acquireWriterLock(owner, TABLE);
      if (!WriterLock::ownerIsMe(owner)) c = 'F';
      if (::write(up[1], &c, 1) != 1) ::_exit(3);
      if (::read(down[0], &c, 1) < 0) ::_exit(4);  // returns when the parent writes or closes
      ::_exit(0);
    } catch (...) {
      c = 'F';
      if (::write(up[1], &c, 1) != 1) ::_exit(3);
      ::_exit(2);
    }
  }
  ::close(up[1]);
  ::close(down[0]);
  ready = up[0];
  go = down[1];
}

TEST_F(SharedMemTest, KilledWriterReleasesLockToNextProcess) {
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));  // no owner file yet
  Child child;
  int ready = -1, go = -1;
  forkWriter(child, root_, ready, go);
  char c = 0;
  ASSERT_EQ(::read(ready, &c, 1), 1);
  ASSERT_EQ(c, 'L');
  EXPECT_TRUE(WriterLock::ownerIsAlive(root_));

  OwnerFile owner(root_);
  EXPECT_EQ(owner.ownerPid(), U32(child.pid));
  try {
    WriterLock::acquireWriterLock(owner, TABLE);
    ADD_FAILURE() << "acquired a lock a live child holds";
  } catch (Quiv::InvalidInitializeException const& e) {
    EXPECT_NE(e.msg().view().find(TABLE), std::string_view::npos) << e.msg().view();
    EXPECT_NE(e.msg().view().find(fmt::format("pid {}", child.pid)), std::string_view::npos) << e.msg().view();
  }
  EXPECT_FALSE(WriterLock::ownerIsMe(owner));
  // A failed acquire leaves the owner's record alone.
  EXPECT_EQ(owner.ownerPid(), U32(child.pid));

  ::kill(child.pid, SIGKILL);
  int status = child.wait();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));

  WriterLock::acquireWriterLock(owner, TABLE);
  EXPECT_TRUE(WriterLock::ownerIsMe(owner));
  EXPECT_TRUE(WriterLock::ownerIsAlive(root_));
  EXPECT_EQ(owner.ownerPid(), U32(::getpid()));
  WriterLock::acquireWriterLock(owner, TABLE);  // already held: no-op

  WriterLock::releaseWriterLock(owner);
  EXPECT_FALSE(WriterLock::ownerIsMe(owner));
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));
  ::close(ready);
  ::close(go);
}

TEST_F(SharedMemTest, SecondWriterInSameProcessIsRefused) {
  OwnerFile first(root_);
  OwnerFile second(root_);
  WriterLock::acquireWriterLock(first, TABLE);
  try {
    WriterLock::acquireWriterLock(second, TABLE);
    ADD_FAILURE() << "second writer object acquired the lock";
  } catch (Quiv::InvalidInitializeException const& e) {
    EXPECT_NE(e.msg().view().find(fmt::format("(pid {})", ::getpid())), std::string_view::npos) << e.msg().view();
  }
  EXPECT_TRUE(WriterLock::ownerIsMe(first));
  EXPECT_FALSE(WriterLock::ownerIsMe(second));
  WriterLock::releaseWriterLock(first);
  WriterLock::acquireWriterLock(second, TABLE);
  EXPECT_TRUE(WriterLock::ownerIsMe(second));
}

// A forked child inherits the parent's open owner file: through it or a
// fresh object it must not become the writer, and releasing its inherited
// copy must not release the parent's lock.
TEST_F(SharedMemTest, ForkedChildNeitherTakesNorReleasesTheInheritedLock) {
  OwnerFile owner(root_);
  WriterLock::acquireWriterLock(owner, TABLE);
  Child child;
  child.pid = ::fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    // Exit codes tell the parent which check failed.
    if (WriterLock::ownerIsMe(owner)) ::_exit(10);
    WriterLock::releaseWriterLock(owner);
    if (owner.isOpen()) ::_exit(13);
    try {
      WriterLock::acquireWriterLock(owner, TABLE);
      ::_exit(11);
    } catch (Quiv::InvalidInitializeException const&) {
    }
    SharedMem::OwnerFile fresh(root_);
    try {
      WriterLock::acquireWriterLock(fresh, TABLE);
      ::_exit(12);
    } catch (Quiv::InvalidInitializeException const&) {
    }
    ::_exit(0);
  }
  int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Nothing the child did released the parent's lock.
  EXPECT_TRUE(WriterLock::ownerIsMe(owner));
  OwnerFile other(root_);
  EXPECT_THROW(WriterLock::acquireWriterLock(other, TABLE), Quiv::InvalidInitializeException);
}

}  // namespace
