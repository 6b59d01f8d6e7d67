// One writer per table across processes: a second writer is refused while
// the first lives, and takes over (keeping the entries) once it was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Zolm/TestTables.h"

namespace {

using namespace VexaTest;
constexpr char const* TABLE = "vexaswitch/tables/test/locked";

TEST(WriterLock, SecondWriterIsRefusedUntilTheFirstIsKilled) {
  ShmRoot root;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Zolm::WriterConfig c;
    FloodWriter w(nullptr, TABLE, c);
    w.initialize();
    for (U64 k = 1; k <= 100; ++k) w.write(floodEntry(k, U32(k)));
    char b = 1;
    if (::write(ready[1], &b, 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  char b;
  ASSERT_EQ(::read(ready[0], &b, 1), 1);
  {
    FloodWriter second(nullptr, TABLE, Zolm::WriterConfig{});
    try {
      second.initialize();
      FAIL() << "a second writer was let in";
    } catch (Quiv::InvalidInitializeException const& e) {
      std::string msg = e.what();
      EXPECT_NE(msg.find(TABLE), std::string::npos) << msg;
      EXPECT_NE(msg.find(std::to_string(child)), std::string::npos) << msg;
    }
  }
  EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(Mem::RootPath(nullptr, TABLE)));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  FloodWriter next(nullptr, TABLE, Zolm::WriterConfig{});
  next.initialize();
  EXPECT_EQ(next.members(), 100u);
  VexaSwitch::L3FloodEntryConfig v;
  ASSERT_TRUE(next.lookup(Lanx::IntfId::fromRaw(42), v));
  EXPECT_EQ(v.floodListId(), 42u);
  EXPECT_TRUE(next.validate()) << next.lastError();
  next.cleanup();
  EXPECT_FALSE(Mem::RootPath(nullptr, TABLE).fileExists("slots"));
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
