// The loop dispatches descriptors and timers on the calling thread, copes
// with callbacks that change the set of sources, and can be embedded in
// another loop; the directory watcher finds a directory made after it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "VexaSwitchLib/runtime/EventLoop.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_eventloop_test {

namespace {

using namespace std::chrono_literals;
using Quiv::EventLoop;

// A pipe whose byte makes its read end ready.
struct Pipe : VexaTest::Pipe {
  void put() { ASSERT_TRUE(signal()); }
  void take() { ASSERT_TRUE(await()); }
};

// Descriptors are level-triggered; the loop's own descriptor tells an outer
// loop when to dispatch; timers run in order; stop() from a callback ends run().
TEST(EventLoop, ReadableDescriptorsAndTimersAreDispatched) {
  EventLoop loop;
  Pipe p;
  int reads = 0;
  loop.fdIs(p.r, [&] { p.take(), ++reads; });
  pollfd pfd{loop.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);
  EXPECT_EQ(loop.runOnce(0), 0) << "nothing ready";
  p.put();
  p.put();
  ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
  EXPECT_EQ(loop.runOnce(100), 1);
  EXPECT_EQ(loop.runOnce(100), 1) << "level-triggered: the second byte is still there";
  EXPECT_EQ(reads, 2);

  std::vector<int> order;
  loop.timerIs(20ms, [&] { order.push_back(2); });
  loop.timerIs(5ms, [&] { order.push_back(1); });
  int ticks = 0;
  EventLoop::TimerId periodic = loop.timerIs(1ms, [&] { ++ticks; }, 1ms);
  VexaTest::pump(loop, [&] { return order.size() == 2; }, 2s);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_GE(ticks, 3);
  loop.timerDel(periodic);
  EXPECT_EQ(loop.timers(), 0u);
  int before = ticks;
  loop.runOnce(10);
  EXPECT_EQ(ticks, before);
  loop.timerIs(1ms, [&] { ticks == before + 4 ? loop.stop() : void(++ticks); }, 1ms);
  loop.run();
  EXPECT_TRUE(loop.stopped());
}

TEST(EventLoop, CallbacksMayRemoveSourcesIncludingThemselves) {
  EventLoop loop;
  Pipe a, b;
  int aCalls = 0, bCalls = 0;
  // Both are ready in the same round; the first to run removes the other,
  // which must then not run (its owner may already be gone).
  loop.fdIs(a.r, [&] {
    ++aCalls;
    loop.fdDel(b.r);
    loop.fdDel(a.r);
  });
  loop.fdIs(b.r, [&] {
    ++bCalls;
    loop.fdDel(a.r);
    loop.fdDel(b.r);
  });
  a.put();
  b.put();
  loop.runOnce(100);
  EXPECT_EQ(aCalls + bCalls, 1);
  EXPECT_FALSE(loop.hasFd(a.r));
  EXPECT_FALSE(loop.hasFd(b.r));

  // A one-shot timer that re-arms itself and one that removes another.
  int chained = 0;
  std::function<void()> again = [&] {
    if (++chained < 3) loop.timerIs(1ms, again);
  };
  loop.timerIs(1ms, again);
  bool victimRan = false;
  EventLoop::TimerId victim = loop.timerIs(60ms, [&] { victimRan = true; });
  loop.timerIs(1ms, [&] { loop.timerDel(victim); });
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < start + 120ms || (chained < 3 && std::chrono::steady_clock::now() < start + 5s))
    loop.runOnce(20);
  EXPECT_EQ(chained, 3);
  EXPECT_FALSE(victimRan);
}

TEST(DirWatcher, FollowsATableDirectoryThatAppearsLaterAndGoesAway) {
  VexaTest::ShmRoot root;
  EventLoop loop;
  std::string dir = root.dir() + "/vexaswitch/tables/l2/mac";
  int changes = 0;
  Quiv::DirWatcher watcher(loop, dir, [&] { ++changes; });
  EXPECT_FALSE(watcher.dirExists());
  EXPECT_EQ(watcher.watching(), root.dir());

  auto pump = [&](std::function<bool()> const& done) { return VexaTest::pump(loop, done, 2s); };
  // Unrelated entries beside the path are not reported.
  std::filesystem::create_directories(root.dir() + "/other");
  loop.runOnce(50);
  EXPECT_EQ(changes, 0);

  std::filesystem::create_directories(dir);
  ASSERT_TRUE(pump([&] { return watcher.dirExists(); })) << watcher.watching();
  int afterCreate = changes;
  EXPECT_GE(afterCreate, 1);
  std::ofstream(dir + "/slots") << "x";
  EXPECT_TRUE(pump([&] { return changes > afterCreate; })) << "a file written in the directory";
  int beforeRemove = changes;
  std::filesystem::remove_all(root.dir() + "/vexaswitch");
  EXPECT_TRUE(pump([&] { return !watcher.dirExists(); }));
  EXPECT_GT(changes, beforeRemove);
  std::filesystem::create_directories(dir);  // and back again
  EXPECT_TRUE(pump([&] { return watcher.dirExists(); }));
}

}  // namespace

}  // namespace vexa_eventloop_test
