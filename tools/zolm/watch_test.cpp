// zolm watch against writers in this process: changes reach the tool
// through the notification queue and the wake-up socket, not by looking
// at the table now and then; a table without a queue is still watched, by
// polling.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "VexaSwitchLib/tables/Collections.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_watch_test {

namespace {

using namespace VexaTest;
using Clock = std::chrono::steady_clock;

constexpr char const* FLOOD = "vexaswitch/tables/test/flood";

std::string keyText(U64 raw) {
  std::string out;
  Kel::AttrText<Lanx::IntfId>::append(out, Lanx::IntfId::fromRaw(raw));
  return out;
}

// The tool from the build tree, its output read line by line, its errors in
// a file. The shell says its pid, then becomes the tool.
class Watch {
 public:
  Watch(std::string const& root, std::string const& args) : errFile_(root + "/.watch-stderr") {
    out_ = ::popen(fmt::format("echo $$; exec {}/tools/zolm/zolm watch {} --root {} 2>{}", VEXA_BINARY_DIR, args, root,
                               errFile_).c_str(), "r");
    std::string pid = line();
    pid_ = pid.empty() ? -1 : std::stoi(pid);
  }
  ~Watch() {
    if (pid_ > 0 && !ended()) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    if (out_) ::pclose(out_);  // already reaped: only closes the stream
  }

  // The next line without its newline; empty at the end of the output.
  std::string line() {
    char buf[2048];
    std::string s = out_ && std::fgets(buf, sizeof buf, out_) ? buf : "";
    return s.ends_with('\n') ? s.substr(0, s.size() - 1) : s;
  }
  std::vector<std::string> rest() {
    std::vector<std::string> v;
    for (std::string l = line(); !l.empty(); l = line()) v.push_back(l);
    return v;
  }
  // The exit status, or -1 when the tool did not end by itself.
  int wait() {
    if (!reaped_) ::waitpid(pid_, &status_, 0);
    reaped_ = true;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  // Whether the tool has ended (then wait() returns its status), running
  // `serve` every millisecond until it does, for `limit` at most.
  bool ended(std::function<void()> const& serve = {}, std::chrono::seconds limit = std::chrono::seconds(0)) {
    waitFor([&] {
      if (serve) serve();
      if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
      return reaped_;
    }, limit);
    return reaped_;
  }
  std::string err() const {
    std::ifstream f(errFile_);
    return {std::istreambuf_iterator<char>(f), {}};
  }

 private:
  std::string errFile_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  bool reaped_ = false;
  int status_ = 0;
};

std::unique_ptr<FloodWriter> floodTable(U64 n) {
  auto w = std::make_unique<FloodWriter>(nullptr, FLOOD, Zolm::WriterConfig{.maxSlots = 1024});
  w->initialize();
  for (U64 k = 1; k <= n; ++k) w->write(floodEntry(k, U32(k * 3)));
  return w;
}

// With a minute between looks, changes that arrive at once can only have
// come through the notifications. A rewrite of an unchanged value is not a
// change. Without --count the tool runs until a signal ends it cleanly.
TEST(ZolmWatch, ChangesArriveThroughNotificationsNotTheIntervalAndASignalEndsIt) {
  ShmRoot root;
  auto w = floodTable(10);
  Watch watch(root.dir(), fmt::format("{} --interval 60000", FLOOD));
  EXPECT_EQ(watch.line(), "watching vexaswitch/tables/test/flood (10 entries)");
  auto start = Clock::now();
  w->write(floodEntry(5, 15));  // the value it has
  w->write(floodEntry(11, 1));
  EXPECT_EQ(watch.line(), fmt::format("+ {}", floodEntry(11, 1)));
  w->write(floodEntry(2, 99));
  EXPECT_EQ(watch.line(), fmt::format("~ {}", floodEntry(2, 99)));
  w->remove(Lanx::IntfId::fromRaw(3));
  EXPECT_EQ(watch.line(), "- " + keyText(3));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 20.0) << "changes waited for a look";
  watch.signal(SIGTERM);
  EXPECT_EQ(fmt::format("{}", fmt::join(watch.rest(), "\n")), "");
  EXPECT_EQ(watch.wait(), 0) << watch.err();
  EXPECT_EQ(watch.err().find("looking every"), std::string::npos) << watch.err();
}

// The writer goes away and a new one takes the table over: the tool keeps
// watching and reports what the new writer changed, including what it
// changed before the tool had re-attached.
TEST(ZolmWatch, FollowsTheTableAcrossAWriterRestart) {
  ShmRoot root;
  auto w = floodTable(10);
  Watch watch(root.dir(), fmt::format("{} --count 3", FLOOD));
  EXPECT_EQ(watch.line(), "watching vexaswitch/tables/test/flood (10 entries)");
  w->write(floodEntry(11, 1));
  w->detach();
  w.reset();
  ::usleep(100000);
  FloodWriter next(nullptr, FLOOD, {.maxSlots = 1024});
  next.initialize();
  next.write(floodEntry(12, 2));
  ::usleep(100000);
  next.remove(Lanx::IntfId::fromRaw(1));
  // An idle writer answers its followers now and then.
  watch.ended([&] { next.pokt().poll(); }, std::chrono::seconds(10));
  EXPECT_EQ(fmt::format("{}", fmt::join(watch.rest(), "\n")),
            fmt::format("+ {}\n+ {}\n- {}", floodEntry(11, 1), floodEntry(12, 2), keyText(1))) << watch.err();
  EXPECT_EQ(watch.wait(), 0) << watch.err();
}

// The writer is killed and a writer of another value type takes the
// table over: the watch ends as a look at the files would (exit 3, the two
// types named) instead of waiting for a table that will not come back,
// and nothing in the table's directory is written meanwhile.
TEST(ZolmWatch, AWriterOfAnotherTypeEndsTheWatch) {
  ShmRoot root;
  constexpr char const* TABLE = "vexaswitch/tables/test/lag";
  VexaTest::Pipe ready;
  pid_t lag = spawn([&] {
    LagWriter w(nullptr, TABLE, Zolm::WriterConfig{});
    w.initialize();
    for (U32 k = 1; k <= 5; ++k) w.write(lagEntry(k));
    if (!ready.signal()) ::_exit(1);
    for (;;) {
      w.pokt().poll();
      ::usleep(1000);
    }
  });
  ready.closeWrite();  // a child that dies before its signal ends the wait
  ASSERT_TRUE(ready.await());
  Watch watch(root.dir(), TABLE);
  EXPECT_EQ(watch.line(), fmt::format("watching {} (5 entries)", TABLE));
  ::kill(lag, SIGKILL);
  reap(lag);
  FloodWriter next(nullptr, TABLE, {.maxSlots = 64});
  next.initialize();
  next.write(floodEntry(1, 1));
  auto files = filesIn(root.dir() + "/" + TABLE);
  ASSERT_TRUE(watch.ended([&] { next.pokt().poll(); }, std::chrono::seconds(20)))
      << "still waiting for the old type: " << watch.err();
  EXPECT_TRUE(watch.rest().empty());
  EXPECT_EQ(watch.wait(), 3) << watch.err();
  EXPECT_NE(watch.err().find("file holds values of type VexaSwitch::L3FloodEntryConfig wanted "
                             "VexaSwitch::LagGroupIdEntry"),
            std::string::npos)
      << watch.err();
  EXPECT_EQ(filesIn(root.dir() + "/" + TABLE), files);
}

// The ACL counter table has no notification queue: the tool says so and
// diffs the table every interval; a signal between two looks a minute apart
// ends it at once.
TEST(ZolmWatch, ATableWithoutQueueIsPolled) {
  ShmRoot root;
  using AclWriter = Zolm::ZolmWriter<VexaSwitch::AclCounterStatusOps>;
  AclWriter w(nullptr, "vexaswitch/tables/test/acl", Zolm::WriterConfig{});
  w.initialize();
  for (U32 i = 1; i <= 5; ++i) w.write(VexaSwitch::AclCounter(Nox::UniqueId(1, i), i));
  Watch watch(root.dir(), "vexaswitch/tables/test/acl --interval 10 --count 2");
  EXPECT_EQ(watch.line(), "watching vexaswitch/tables/test/acl (5 entries)");
  w.write(VexaSwitch::AclCounter(Nox::UniqueId(1, 2), 1000));
  ::usleep(100000);
  w.remove(Nox::UniqueId(1, 4));
  std::string changes = fmt::format("{}", fmt::join(watch.rest(), "\n"));
  EXPECT_EQ(watch.wait(), 0);
  EXPECT_TRUE(std::regex_match(changes, std::regex("~ [^\n]*'count': 1000[^\n]*\n- [^\n]*"))) << changes;
  EXPECT_NE(watch.err().find("no notification queue; looking every 10 ms"), std::string::npos) << watch.err();

  Watch polled(root.dir(), "vexaswitch/tables/test/acl --interval 60000");
  EXPECT_EQ(polled.line(), "watching vexaswitch/tables/test/acl (4 entries)");
  polled.signal(SIGTERM);
  ASSERT_TRUE(polled.ended({}, std::chrono::seconds(20))) << "a signal waited for the next look";
  EXPECT_EQ(polled.wait(), 0) << polled.err();
}

}  // namespace

}  // namespace vexa_watch_test
