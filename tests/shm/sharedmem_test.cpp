// The fenix and owner files of a table directory and the writer lock that
// rides on the owner file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_sharedmem_test {

namespace {

using Mem::WriterLock;
using namespace SharedMem;
using VexaTest::thrownMessage;

constexpr char const* TABLE = "vexaswitch/tables/x";

class SharedMemTest : public ::testing::Test {
 protected:
  void writeRaw(char const* name, std::string const& bytes) {
    root_.createDirectory();
    std::ofstream(root_.filePath(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string readRaw(char const* name) {
    std::ifstream in(root_.filePath(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  VexaTest::ShmRoot shm_;  // before any RootPath
  Mem::RootPath root_{nullptr, TABLE};
};

TEST(FenixIdTest, PacksPidLowAndIncarnationHighAndIncrementNeverYieldsNull) {
  FenixId id(0x12345, 2);  // pid truncated to 16 bits
  EXPECT_TRUE(id.pid() == 0x2345 && id.incarnation() == 2 && id.value() == 0x00022345u) << fmt::format("{}", id);
  EXPECT_EQ(FenixId(0x00022345u), id);
  EXPECT_EQ(fmt::format("{}", FenixId(1234, 2)), "pid:1234 incarnation:2");
  EXPECT_TRUE(FenixId().isNull());
  EXPECT_EQ(FenixId(7, 0xffff).incarnationInc(), FenixId(7, 0));
  EXPECT_EQ(FenixId(0, 0xffff).incarnationInc(), FenixId(0, 1));
  EXPECT_FALSE(FenixId().incarnationInc().isNull());
}

TEST_F(SharedMemTest, FenixRoundTripAbsentFileWriteFailureAndGarbledFile) {
  FenixFile fenix(root_);
  Quiv::String error;
  EXPECT_TRUE(fenix.read().isNull() && !fenix.validate(FenixId(1, 1), error));
  EXPECT_NE(error.view().find("absent"), std::string_view::npos) << error.view();
  FenixId id(4321, 3);
  fenix.write(id);  // creates the directory
  EXPECT_TRUE(fenix.read() == id && fenix.validate(id, error)) << error;
  EXPECT_FALSE(fenix.validate(id.incarnationInc(), error));
  EXPECT_NE(error.view().find("expected"), std::string_view::npos) << error.view();
  fenix.write(id.incarnationInc());
  EXPECT_EQ(fenix.read(), id.incarnationInc());
  EXPECT_EQ(readRaw(FenixFile::FENIX_NAME).size(), FenixFile::SIZE);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dirName()), {}), 1) << "a temp file left";
  // The directory cannot be created: its parent is a plain file.
  writeRaw("blocker", "");
  Mem::RootPath below(nullptr, std::string(TABLE) + "/blocker/t");
  EXPECT_THROW(FenixFile(below).write(FenixId(1, 1)), Quiv::InvalidInitializeException);
  // Garbled, it reads as no id and validates as none.
  std::string good = readRaw(FenixFile::FENIX_NAME), flipped = good, magic = good, version = good;
  flipped[8] ^= 1;  // id changed, checksum not
  magic[0] = 'X';
  version[4] = 2;
  for (std::string const& bytes : {std::string(), good.substr(0, 12), good + "x", flipped, magic, version}) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    writeRaw(FenixFile::FENIX_NAME, bytes);
    error = "";
    EXPECT_TRUE(fenix.read().isNull() && !fenix.validate(id.incarnationInc(), error) && !error.empty());
  }
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
  for (bool fenix : {true, false}) {
    EXPECT_FALSE(fenix ? FenixFile(root_).validate(FenixId(1, 1), error) : OwnerFile(root_).validate(error));
    EXPECT_NE(error.view().find("not a regular file"), std::string_view::npos) << error.view();
  }
  EXPECT_THROW(OwnerFile(root_).ownerPid(), Quiv::CorruptionDetectedException);
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));
  OwnerFile owner(root_);
  EXPECT_THROW(WriterLock::acquireWriterLock(owner, TABLE), Quiv::InvalidInitializeException);
  using Mode = Mem::SharedMemWrapper::Mode;
  for (char const* name : {"slots", "buckets"})
    for (auto mode : {Mode::readOnly, Mode::writable}) {
      Mem::SharedMemWrapper file(root_, name, mode);
      std::string msg = thrownMessage<Quiv::InvalidInitializeException>([&] { file.attach(mode == Mode::readOnly ? 0 : 4096); });
      EXPECT_NE(msg.find("not a regular file"), std::string::npos) << name << ": " << msg;
    }
}

// The fields round-trip independently through the file; names that do not
// fit are refused and leave the record as it was; a damaged file is
// refused by each of its checks, and a writer rewrites it.
TEST_F(SharedMemTest, OwnerFileRoundTripRefusalsAndDamage) {
  OwnerFile owner(root_);
  Quiv::String error;
  EXPECT_FALSE(owner.validate(error)) << "absent";
  EXPECT_NE(owner.toString().find("absent"), std::string::npos);
  owner.lock();
  EXPECT_FALSE(owner.validate(error)) << "created, empty";
  ShocketInfo sock{std::string("\0vexa.l2", 8), 7};
  owner.typeNameIs("L2::MacEntry");
  owner.shmTypeIs(OwnerFile::WRITER_SHM_TYPE);
  owner.shocketInfoIs(sock);
  owner.ownerPidIs(4242);
  EXPECT_TRUE(owner.validate(error)) << error;
  // A second object reads the same record by path; each setter keeps the
  // other fields.
  OwnerFile reader(root_);
  EXPECT_EQ(reader.shocketInfo(), sock);
  EXPECT_EQ(reader.toString(), "owner pid:4242 type:L2::MacEntry shm:1 socket:@vexa.l2 table:7");
  owner.typeNameIs("Short");
  owner.shocketInfoIs(ShocketInfo{});
  EXPECT_TRUE(reader.typeName() == "Short" && reader.shocketInfo().empty() && reader.ownerPid() == 4242u &&
              reader.shmType() == 1u)
      << reader.toString();
  owner.typeNameIs(std::string(OwnerFile::MAX_TYPE_NAME, 't'));
  owner.shocketInfoIs(ShocketInfo{std::string(ShocketInfo::MAX_NAME, 's'), 1});
  EXPECT_THROW(owner.typeNameIs(std::string(OwnerFile::MAX_TYPE_NAME + 1, 't')), Quiv::InvalidInitializeException);
  EXPECT_THROW(owner.typeNameIs(std::string("a\0b", 3)), Quiv::InvalidInitializeException);
  EXPECT_THROW(owner.shocketInfoIs(ShocketInfo{std::string(ShocketInfo::MAX_NAME + 1, 's'), 1}),
               Quiv::InvalidInitializeException);
  EXPECT_EQ(owner.typeName(), std::string(OwnerFile::MAX_TYPE_NAME, 't'));
  EXPECT_EQ(owner.shocketInfo().name.size(), ShocketInfo::MAX_NAME);
  std::string const good = readRaw(OwnerFile::FILENAME);
  ASSERT_EQ(good.size(), OwnerFile::SIZE);
  // Re-checksummed after a change (FNV-1a of bytes 0..259 at 260), so that
  // only the field checks can catch it.
  auto changed = [&](std::size_t at, std::string const& bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    U32 h = 2166136261u;
    for (std::size_t i = 0; i < 260; ++i) h = (h ^ U8(s[i])) * 16777619u;
    for (int i = 0; i < 4; ++i) s[260 + i] = char(h >> (8 * i));
    return s;
  };
  std::string random(OwnerFile::SIZE, '\0');
  std::mt19937 gen(42);
  for (auto& c : random) c = char(gen());
  std::pair<std::string, char const*> const cases[] = {
      {random, "magic"},
      {good.substr(0, 100), "short"},
      {good + "trailing", "longer"},
      {changed(4, "\x09"), "version 9"},
      {good.substr(0, 50) + "X" + good.substr(51), "checksum"},
      {changed(132, std::string(128, 'n')), "not terminated"},
      {changed(20, "\xc8"), "socket name length 200"},
  };
  for (auto const& [bytes, why] : cases) {
    writeRaw(OwnerFile::FILENAME, bytes);
    EXPECT_FALSE(owner.validate(error)) << why;
    EXPECT_NE(error.view().find(why), std::string_view::npos) << error.view();
    EXPECT_NE(owner.toString().find("unreadable: "), std::string::npos) << owner.toString();
    EXPECT_THROW(owner.ownerPid(), Quiv::CorruptionDetectedException) << why;
  }
  // A writer rewrites a garbled (even over-long) file with a fresh record.
  writeRaw(OwnerFile::FILENAME, random + random);
  owner.lock();
  owner.shmTypeIs(1);
  EXPECT_TRUE(owner.validate(error)) << error;
  EXPECT_EQ(owner.ownerPid(), 0u);
  EXPECT_EQ(readRaw(OwnerFile::FILENAME).size(), OwnerFile::SIZE);
}

// A second owner object is refused, naming the live writer, and gets the
// lock once the first lets go; a forked child gets it neither way. (A
// writer in another process holding it, and the lock free once that one
// is killed: shm/writer_crash_test.cpp.)
TEST_F(SharedMemTest, TheLockIsHeldUntilItsOwnerReleasesItAndNotInheritedByAChild) {
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));  // no owner file yet
  auto refusal = [&](OwnerFile& o) {
    return thrownMessage<Quiv::InvalidInitializeException>([&] { WriterLock::acquireWriterLock(o, TABLE); });
  };
  std::string const liveWriter = fmt::format("table {} already has a live writer (pid {})", TABLE, ::getpid());
  OwnerFile owner(root_), second(root_);
  WriterLock::acquireWriterLock(owner, TABLE);
  EXPECT_TRUE(WriterLock::ownerIsMe(owner));
  WriterLock::acquireWriterLock(owner, TABLE);  // already held: no-op
  owner.ownerPidIs(4242);
  EXPECT_EQ(refusal(second), fmt::format("table {} already has a live writer (pid 4242)", TABLE));
  EXPECT_FALSE(WriterLock::ownerIsMe(second));
  EXPECT_EQ(second.ownerPid(), 4242u) << "a failed acquire leaves the owner's record alone";
  WriterLock::releaseWriterLock(owner);
  EXPECT_FALSE(WriterLock::ownerIsAlive(root_));
  WriterLock::acquireWriterLock(second, TABLE);
  EXPECT_TRUE(WriterLock::ownerIsMe(second));
  EXPECT_EQ(second.ownerPid(), U32(::getpid()));
  // A forked child inherits the open owner file: through it or a fresh
  // object it must not become the writer, and releasing its inherited copy
  // must not release the parent's lock.
  EXPECT_EQ(VexaTest::failureInChild([&]() -> std::string {
              if (WriterLock::ownerIsMe(second)) return "the child is the owner";
              WriterLock::releaseWriterLock(second);
              if (second.isOpen()) return "the released file is still open";
              OwnerFile fresh(root_);
              for (OwnerFile* o : {&second, &fresh}) {
                try {
                  WriterLock::acquireWriterLock(*o, TABLE);
                  return o == &second ? "took the lock through the inherited file" : "took the lock afresh";
                } catch (Quiv::InvalidInitializeException const&) {
                }
              }
              return "";
            }),
            "");
  EXPECT_TRUE(WriterLock::ownerIsMe(second));
  EXPECT_EQ(refusal(owner), liveWriter);
}

}  // namespace

}  // namespace vexa_sharedmem_test
