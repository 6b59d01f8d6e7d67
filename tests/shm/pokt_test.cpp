// Wake-ups between processes, below the tables: a follower blocked in its
// event loop is woken by each notification, and a writer with an event loop
// answers arms from it without polling. The followers of whole tables
// (shm/shadow_test.cpp) would still converge through their backstop timers
// if no wake-up came, so only this case sees wake-ups that never arrive.
// (A writer that goes away is a disconnect: the shadow followers count it.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "VexaSwitchLib/runtime/Pokt.h"
#include "testutil/Process.h"

namespace vexa_pokt_test {

namespace {

using namespace std::chrono_literals;
using namespace VexaTest;

struct Report {
  U64 lastSeq = 0;
};

// A follower process: connects, arms, and on every wake-up arms again with
// the sequence it was told; stops at `until` (or at a disconnect), leaving
// its report in `rep` (shared memory).
pid_t follower(std::string const& name, U64 until, Report* rep) {
  return spawn([&] {
    Quiv::EventLoop loop;
    Pokt::ReaderPoktSm sm(nullptr, loop);
    sm.onWakeIs([&](U64 seq) {
      rep->lastSeq = seq;
      if (seq >= until) loop.stop();
      else sm.arm(seq);
    });
    sm.onDisconnectIs([&] { loop.stop(); });
    if (!sm.connect(name)) ::_exit(3);
    sm.arm(0);
    loop.run();
  });
}

TEST(Pokt, WithAnEventLoopTheWriterAnswersArmsFromTheLoop) {
  Quiv::EventLoop loop;
  Pokt::WriterPoktSm w(nullptr);
  w.loopIs(&loop);
  w.yieldTimeIs(3600);  // its writes poll once at most: the loop reads the arms
  w.listen("looped");
  Report* rep = newShared<Report>();
  pid_t f = follower(w.socketName(), 3, rep);
  ASSERT_TRUE(pump(loop, [&] { return w.connections() > 0; }, 10s));
  U64 pollsBefore = w.polls();
  // One write at a time, each once the follower was woken by the one
  // before (its next arm is on the way). Without a wake-up it would wait
  // for ever: the pump gives up, and the follower is killed.
  bool woken = true;
  for (U64 seq = 1; seq <= 3 && woken; ++seq) {
    w.notify(seq);
    woken = pump(loop, [&] { return rep->lastSeq >= seq; }, 10s);
  }
  EXPECT_TRUE(woken) << "no wake-up after seq " << rep->lastSeq;
  if (!woken) ::kill(f, SIGKILL);
  EXPECT_EQ(reapDescribed(f), woken ? "exit 0" : "killed by signal 9");
  EXPECT_LE(w.polls(), pollsBefore + 1) << "the loop delivered the arms";
  freeShared(rep);
}

}  // namespace

}  // namespace vexa_pokt_test
