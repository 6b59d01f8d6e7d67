// Wake-ups between processes: a follower blocked in its event loop is woken
// by the writer's notifications, a writer with an event loop answers arms
// without polling, and a writer that goes away is seen as a disconnect.
// (A table writer's socket in its owner file, and what a burst of writes
// and an idle stretch cost a follower, are checked through whole shadows:
// shm/shadow_test.cpp.)
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "VexaSwitchLib/runtime/Pokt.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "testutil/Process.h"

namespace vexa_pokt_test {

namespace {

using namespace std::chrono_literals;
using namespace VexaTest;

struct Report {
  U64 wakes = 0;
  U64 lastSeq = 0;
  U32 disconnects = 0;
};

// A follower process: connects, arms, and on every wake-up arms again with
// the sequence it was told; stops at `until` (or at a disconnect), leaving
// its report in `rep` (shared memory).
pid_t follower(std::string const& name, U64 until, Report* rep) {
  return spawn([&] {
    Quiv::EventLoop loop;
    Pokt::ReaderPoktSm sm(nullptr, loop);
    sm.onWakeIs([&](U64 seq) {
      rep->wakes++;
      rep->lastSeq = seq;
      if (seq >= until) loop.stop();
      else sm.arm(seq);
    });
    sm.onDisconnectIs([&] {
      rep->disconnects++;
      loop.stop();
    });
    if (!sm.connect(name)) ::_exit(3);
    sm.arm(0);
    loop.run();
  });
}

TEST(Pokt, AWriterThatGoesAwayIsADisconnect) {
  struct Name {
    char s[SharedMem::ShocketInfo::MAX_NAME + 1];
    U32 len;
  };
  Name* name = newShared<Name>();
  Report* rep = newShared<Report>();
  Pipe listening, accepted;
  pid_t const test = ::getpid();
  pid_t writer = spawn([&] {
    Pokt::WriterPoktSm w(nullptr);
    w.listen("dies");
    name->len = U32(w.socketName().size());
    std::memcpy(name->s, w.socketName().data(), name->len);
    if (!listening.signal()) ::_exit(3);
    // Then a byte once it holds the follower's connection; killed, or ends
    // with the test.
    for (bool told = false; ::getppid() == test;) {
      w.poll();
      if (!told && w.connections() > 0) told = accepted.signal();
      ::usleep(1000);
    }
  });
  listening.closeWrite();
  ASSERT_TRUE(listening.await());
  std::string sock(name->s, name->len);
  pid_t f = follower(sock, ~0ull, rep);
  // The writer dies only after it accepted the follower: a follower that
  // came too late would see no writer at all, not a disconnect (a slow
  // machine takes longer than any fixed pause).
  pollfd ready{accepted.r, POLLIN, 0};
  bool wasAccepted = ::poll(&ready, 1, 30000) == 1 && accepted.await();
  ::kill(writer, SIGKILL);
  reap(writer);
  EXPECT_TRUE(wasAccepted) << "the writer never accepted the follower";
  EXPECT_EQ(reapDescribed(f), "exit 0");
  EXPECT_EQ(rep->disconnects, 1u);

  Quiv::EventLoop loop;
  Pokt::ReaderPoktSm nobody(nullptr, loop);
  EXPECT_FALSE(nobody.connect(sock)) << "nobody listens there any more";
  EXPECT_FALSE(nobody.connected());
  freeShared(name);
  freeShared(rep);
}

TEST(Pokt, WithAnEventLoopTheWriterAnswersArmsFromTheLoop) {
  Quiv::EventLoop loop;
  Pokt::WriterPoktSm w(nullptr);
  w.loopIs(&loop);
  w.yieldTimeIs(3600);  // its writes poll once at most: the loop reads the arms
  w.listen("looped");
  Report* rep = newShared<Report>();
  pid_t f = follower(w.socketName(), 3, rep);
  auto until = std::chrono::steady_clock::now() + 5s;
  while (w.connections() == 0 && std::chrono::steady_clock::now() < until) loop.runOnce(10);
  U64 pollsBefore = w.polls();
  // One write at a time, each only after the follower re-armed.
  for (U64 seq = 1; seq <= 3; ++seq) {
    w.notify(seq);
    for (int i = 0; i < 20; ++i) loop.runOnce(5);
  }
  EXPECT_EQ(reapDescribed(f), "exit 0");
  EXPECT_EQ(rep->lastSeq, 3u);
  EXPECT_LE(w.polls(), pollsBefore + 1) << "the loop delivered the arms";
  freeShared(rep);
}

}  // namespace

}  // namespace vexa_pokt_test
