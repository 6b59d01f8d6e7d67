// Wake-ups between processes: a follower blocked in its event loop is woken
// by the writer's notifications, a burst of writes costs a bounded number
// of wake-ups, an idle follower burns no CPU, and a writer that goes away
// is seen as a disconnect.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Zolm/TestTables.h"
#include "runtime/Pokt.h"
#include "runtime/SharedMem.h"

namespace {

using namespace std::chrono_literals;

struct Report {
  U64 wakes = 0;
  U64 lastSeq = 0;
  U64 cpuNs = 0;
  U32 disconnects = 0;
};

U64 cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return U64(ts.tv_sec) * 1000000000ull + U64(ts.tv_nsec);
}

// A follower process: connects, arms, and on every wake-up arms again with
// the sequence it was told; stops at `until` (or at a disconnect) and
// sends its report through `out`.
pid_t follower(std::string const& name, U64 until, int out, int idleMs = 0) {
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
    if (idleMs) {
      U64 before = cpuNow();
      loop.runOnce(idleMs);  // nothing will come: must block, not spin
      rep.cpuNs = cpuNow() - before;
    } else {
      loop.run();
    }
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

void waitForConnections(Pokt::WriterPoktSm& w, std::size_t n) {
  auto until = std::chrono::steady_clock::now() + 5s;
  while (w.connections() < n && std::chrono::steady_clock::now() < until) {
    w.poll();
    ::usleep(1000);
  }
  ASSERT_EQ(w.connections(), n);
}

TEST(Pokt, ABurstOfWritesWakesEachFollowerABoundedNumberOfTimes) {
  Pokt::WriterPoktSm w(nullptr);
  w.listen("vexaswitch/tables/test/pokt");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr U64 WRITES = 100000;
  pid_t a = follower(w.socketName(), WRITES, fds[1]);
  pid_t b = follower(w.socketName(), WRITES, fds[1]);
  waitForConnections(w, 2);
  // Let both arm before the burst.
  ::usleep(20000);
  for (U64 seq = 1; seq <= WRITES; ++seq) w.notify(seq);
  // The burst is over; the writer's loop (here: polling) answers the last
  // arms so that both followers learn the final sequence.
  auto until = std::chrono::steady_clock::now() + 5s;
  int status;
  while (std::chrono::steady_clock::now() < until && w.connections() > 0) {
    w.poll();
    ::usleep(500);
  }
  Report ra = collect(a, fds[0]);
  Report rb = collect(b, fds[0]);
  for (Report const& r : {ra, rb}) {
    EXPECT_EQ(r.lastSeq, WRITES);
    EXPECT_GE(r.wakes, 1u);
    EXPECT_LT(r.wakes, 2000u) << "one wake-up per write would be " << WRITES;
  }
  std::printf("%llu writes: follower wake-ups %llu and %llu, writer polls %llu\n", (unsigned long long)WRITES,
              (unsigned long long)ra.wakes, (unsigned long long)rb.wakes, (unsigned long long)w.polls());
  (void)status;
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(Pokt, AnIdleFollowerBlocksWithoutUsingCpu) {
  Pokt::WriterPoktSm w(nullptr);
  w.listen("idle");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t f = follower(w.socketName(), 1, fds[1], 300);
  waitForConnections(w, 1);
  Report r = collect(f, fds[0]);
  EXPECT_EQ(r.wakes, 0u);
  EXPECT_LT(r.cpuNs, 30'000'000u) << "300 ms idle cost " << r.cpuNs << " ns of CPU";
  ::close(fds[0]);
  ::close(fds[1]);
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
    for (;;) {
      w.poll();
      ::usleep(1000);
    }
  }
  U32 len = 0;
  ASSERT_EQ(::read(named[0], &len, 4), 4);
  std::string name(len, '\0');
  ASSERT_EQ(::read(named[0], name.data(), len), ssize_t(len));
  pid_t f = follower(name, ~0ull, fds[1]);
  ::usleep(50000);
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  Report r = collect(f, fds[0]);
  EXPECT_EQ(r.disconnects, 1u);

  Quiv::EventLoop loop;
  Pokt::ReaderPoktSm nobody(nullptr, loop);
  EXPECT_FALSE(nobody.connect(name)) << "nobody listens there any more";
  EXPECT_FALSE(nobody.connected());
  for (int fd : {fds[0], fds[1], named[0], named[1]}) ::close(fd);
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
  Zolm::WriterConfig config;
  config.maxSlots = 1024;
  VexaTest::FloodWriter w(nullptr, "vexaswitch/tables/test/poktflood", config);
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
