// Wake-ups between processes: a follower blocked in its event loop is woken
// by the writer's notifications, and a writer with an event loop answers
// arms from the loop, without polling. (A writer that goes away is a
// disconnect to the followers of shm/shadow_test.cpp; the socket a writer
// announces in its owner file is checked in shm/zolmmap_test.cpp and, cleared
// at detach, in shm/writer_crash_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>

#include "VexaSwitchLib/runtime/Pokt.h"
#include "testutil/Process.h"

namespace vexa_pokt_test {

namespace {

using namespace VexaTest;

TEST(Pokt, WithAnEventLoopTheWriterAnswersArmsFromTheLoop) {
  Quiv::EventLoop loop;
  Pokt::WriterPoktSm w(nullptr);
  w.loopIs(&loop);
  w.yieldTimeIs(3600);  // its writes poll once at most: the loop reads the arms
  w.listen("looped");
  U64* lastSeq = newShared<U64>();
  // A follower process: on every wake-up it arms again with the sequence it
  // was told, and ends at 3 (or at a disconnect).
  pid_t f = spawn([&] {
    Quiv::EventLoop floop;
    Pokt::ReaderPoktSm sm(nullptr, floop);
    sm.onWakeIs([&](U64 seq) {
      *lastSeq = seq;
      if (seq >= 3) floop.stop();
      else sm.arm(seq);
    });
    sm.onDisconnectIs([&] { floop.stop(); });
    if (!sm.connect(w.socketName())) ::_exit(3);
    sm.arm(0);
    floop.run();
  });
  waitFor([&] { return loop.runOnce(10), w.connections() > 0; }, std::chrono::seconds(5));
  U64 pollsBefore = w.polls();
  // One write at a time, each only after the follower re-armed.
  for (U64 seq = 1; seq <= 3; ++seq) {
    w.notify(seq);
    for (int i = 0; i < 20; ++i) loop.runOnce(5);
  }
  EXPECT_EQ(reapDescribed(f), "exit 0");
  EXPECT_EQ(*lastSeq, 3u);
  EXPECT_LE(w.polls(), pollsBefore + 1) << "the loop delivered the arms";
  freeShared(lastSeq);
}

}  // namespace

}  // namespace vexa_pokt_test
