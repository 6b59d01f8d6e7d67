// Wake-ups between processes: a follower blocked in its event loop is woken
// by the writer's notifications, a writer with an event loop answers arms
// without polling, and a writer that goes away is seen as a disconnect.
// (What a burst of writes and an idle stretch cost a follower is measured
// through whole shadows: shm/shadow_test.cpp.)
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/runtime/Pokt.h"
#include "VexaSwitchLib/runtime/SharedMem.h"

namespace {

using namespace std::chrono_literals;

struct Report {
  U64 wakes = 0;
  U64 lastSeq = 0;
  U32 disconnects = 0;
};

// A follower process: connects, arms, and on every wake-up arms again with
// the sequence it was told; stops at `until` (or at a disconnect) and
// sends its report through `out`.
pid_t follower(std::string const& name, U64 until, int out) {
  ::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  Report rep;
  {
    Quiv::EventLoop loop;
    Pokt::ReaderPoktSm sm(nullptr, loop);
    sm.onWakeIs([&](U64 seq) {
      rep.wakes++;
      rep.lastSeq = seq;
      if (seq >= until) loop.stop();
      else sm.arm(seq);
    });
    sm.onDisconnectIs([&] {
      rep.disconnects++;
      loop.stop();
    });
    if (!sm.connect(name)) ::_exit(3);
    sm.arm(0);
    loop.run();
  }
  if (::write(out, &rep, sizeof rep) != sizeof rep) ::_exit(4);
  ::_exit(0);
}

Report collect(pid_t pid, int in) {
  Report rep;
  EXPECT_EQ(::read(in, &rep, sizeof rep), ssize_t(sizeof rep));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return rep;
}

TEST(Pokt, AWriterThatGoesAwayIsADisconnect) {
  int fds[2], named[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::pipe(named), 0);
  ::fflush(nullptr);
  pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    Pokt::WriterPoktSm w(nullptr);
    w.listen("dies");
    std::string name = w.socketName();
    U32 len = U32(name.size());
    if (::write(named[1], &len, 4) != 4 || ::write(named[1], name.data(), len) != ssize_t(len)) ::_exit(3);
    // Then one byte once it holds the follower's connection.
    for (bool told = false;;) {
      w.poll();
      if (!told && w.connections() > 0) told = ::write(named[1], "c", 1) == 1;
      ::usleep(1000);
    }
  }
  U32 len = 0;
  ASSERT_EQ(::read(named[0], &len, 4), 4);
  std::string name(len, '\0');
  ASSERT_EQ(::read(named[0], name.data(), len), ssize_t(len));
  pid_t f = follower(name, ~0ull, fds[1]);
  // Only this end's copy: a follower that ends without its report makes
  // collect() read nothing rather than wait for ever.
  ::close(fds[1]);
  // The writer dies only after it accepted the follower: a follower that
  // came too late would see no writer at all, not a disconnect (a slow
  // machine takes longer than any fixed pause).
  pollfd ready{named[0], POLLIN, 0};
  char byte = 0;
  bool accepted = ::poll(&ready, 1, 30000) == 1 && ::read(named[0], &byte, 1) == 1;
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  EXPECT_TRUE(accepted) << "the writer never accepted the follower";
  Report r = collect(f, fds[0]);
  EXPECT_EQ(r.disconnects, 1u);

  Quiv::EventLoop loop;
  Pokt::ReaderPoktSm nobody(nullptr, loop);
  EXPECT_FALSE(nobody.connect(name)) << "nobody listens there any more";
  EXPECT_FALSE(nobody.connected());
  for (int fd : {fds[0], named[0], named[1]}) ::close(fd);
}

TEST(Pokt, WithAnEventLoopTheWriterAnswersArmsWithoutPolling) {
  Quiv::EventLoop loop;
  Pokt::WriterPoktSm w(nullptr);
  w.loopIs(&loop);
  w.listen("looped");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t f = follower(w.socketName(), 3, fds[1]);
  auto until = std::chrono::steady_clock::now() + 5s;
  while (w.connections() == 0 && std::chrono::steady_clock::now() < until) loop.runOnce(10);
  U64 pollsBefore = w.polls();
  // One write at a time, each only after the follower re-armed.
  for (U64 seq = 1; seq <= 3; ++seq) {
    w.notify(seq);
    for (int i = 0; i < 20; ++i) loop.runOnce(5);
  }
  Report r = collect(f, fds[0]);
  EXPECT_EQ(r.lastSeq, 3u);
  EXPECT_EQ(w.polls(), pollsBefore) << "the loop delivered the arms";
  ::close(fds[0]);
  ::close(fds[1]);
}

// A table's writer announces its wake-up socket in the owner file; a
// follower that finds it there is woken by writes to the table.
TEST(Pokt, ATableWriterWakesFollowersThroughItsOwnerFile) {
  VexaTest::ShmRoot root;
  VexaTest::FloodWriter w(nullptr, "vexaswitch/tables/test/poktflood", {.maxSlots = 1024});
  w.initialize();
  SharedMem::ShocketInfo info = SharedMem::OwnerFile(w.rootPath()).shocketInfo();
  ASSERT_FALSE(info.name.empty());
  EXPECT_NE(info.toString().find("@vexa.pokt."), std::string::npos) << info.toString();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t f = follower(std::string(info.name.c_str(), info.name.size()), 50, fds[1]);
  auto until = std::chrono::steady_clock::now() + 5s;
  while (!w.connected() && std::chrono::steady_clock::now() < until) {
    w.pokt().poll();
    ::usleep(1000);
  }
  ASSERT_TRUE(w.connected());
  ::usleep(20000);
  for (U64 k = 1; k <= 50; ++k) w.write(VexaTest::floodEntry(k, 1));
  while (w.connected() && std::chrono::steady_clock::now() < until) {
    w.pokt().poll();
    ::usleep(500);
  }
  Report r = collect(f, fds[0]);
  EXPECT_GE(r.lastSeq, 50u);
  w.detach();
  EXPECT_TRUE(SharedMem::OwnerFile(w.rootPath()).shocketInfo().empty()) << "cleared when the writer leaves";
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
