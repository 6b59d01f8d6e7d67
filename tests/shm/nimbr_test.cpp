// The notification queue: bounded live records whatever the write rate, and
// readers that fall behind, even in another process, never miss a change
// that is still current.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/Exception.h"
#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Nimbr.h"
#include "VexaSwitchLib/runtime/RootPath.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_nimbr_test {

namespace {

using Nimbr::Header;
using Nimbr::NimbrReader;
using Nimbr::NimbrWriter;
using Nimbr::Record;
using Status = Nimbr::NimbrReader::Status;

constexpr char const* TABLE = "vexaswitch/tables/l2/mac-table";
constexpr U32 FENIX = 0x10042;
constexpr U32 NONE = NimbrWriter::NONE;
constexpr U32 TOMBSTONE = NimbrWriter::TOMBSTONE;

class NimbrTest : public ::testing::Test {
 protected:
  VexaTest::ShmRoot shm_;  // before any RootPath
  Mem::RootPath root_{nullptr, TABLE};

  std::string path() const { return root_.filePath(NimbrWriter::FILENAME); }
  // A reader attached to the queue as it is now.
  std::unique_ptr<NimbrReader> attached() {
    auto r = std::make_unique<NimbrReader>(nullptr, root_);
    Quiv::String error;
    EXPECT_TRUE(r->attach(error)) << error;
    return r;
  }
  void writeFile(std::string const& bytes) {
    root_.createDirectory();
    std::ofstream(path(), std::ios::binary | std::ios::trunc) << bytes;
  }
};

// Everything the writer promises about the ring and the position map,
// checked independently of validate(). Returns the number of live records.
U32 checkInvariants(NimbrWriter const& w, U32 numSlots) {
  U32 live = 0;
  U32 const cap = w.length();
  for (U32 p = 0; p < cap; ++p) {
    Record r = w.entryAt(p);
    if (r.seq == 0 || r.slot == TOMBSTONE) continue;
    ++live;
    EXPECT_LT(r.slot, numSlots) << "pos " << p;
    EXPECT_EQ(r.seq % cap, p) << "record seq " << r.seq << " at the wrong position";
    EXPECT_TRUE(w.inLiveWindow(r.seq)) << "live record of slot " << r.slot << " seq " << r.seq
                                       << " outside the window, tail " << w.tailSeq();
    EXPECT_EQ(w.slotPos(r.slot), p) << "live record of slot " << r.slot << " is not its current one";
  }
  for (U32 s = 0; s < numSlots; ++s) {
    U32 p = w.slotPos(s);
    if (p != NONE) {
      EXPECT_TRUE(p < cap && w.entryAt(p).slot == s) << "slot " << s << " maps to position " << p;
    }
  }
  Quiv::String error;
  EXPECT_TRUE(w.validate(numSlots, error)) << error;
  return live;
}

// Drains `r` into `seen` (highest seq read per slot), records in rising
// seq after `lastSeq`. Returns the number of `behind` reports; fails on
// `regenerated`. A random pause now and then with `rng`.
U32 drain(NimbrReader& r, std::vector<U64>& seen, U64& lastSeq, std::mt19937* rng = nullptr) {
  U32 behind = 0;
  Record rec;
  for (Status st; (st = r.next(rec)) != Status::empty;) {
    if (st == Status::behind) {
      ++behind;
      continue;
    }
    EXPECT_EQ(st, Status::record) << "the writer kept the queue";
    if (st != Status::record) break;
    EXPECT_GT(rec.seq, lastSeq);
    lastSeq = rec.seq;
    if (rec.slot == TOMBSTONE) continue;
    EXPECT_LT(rec.slot, seen.size()) << "seq " << rec.seq;
    if (rec.slot < seen.size() && rec.seq > seen[rec.slot]) seen[rec.slot] = rec.seq;
    if (rng && (*rng)() % 20000 == 0) ::usleep((*rng)() % 2000);
  }
  return behind;
}

// No still-current change lost: the reader has read every slot's current
// record (not an older one, and no later one exists).
void expectNothingLost(NimbrWriter const& w, std::vector<U64> const& seen) {
  for (U32 s = 0; s < seen.size(); ++s) {
    U32 p = w.slotPos(s);
    if (p == NONE) continue;
    EXPECT_EQ(seen[s], w.entryAt(p).seq) << "slot " << s;
  }
}

// --- the writer's invariants -----------------------------------------------------

class NimbrWriterTest : public NimbrTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NimbrWriterTest, EachSlotHasOneLiveRecordWhateverTheWriteRate) {
  bool const local = GetParam();
  NimbrWriter w(nullptr, root_, local);
  EXPECT_FALSE(w.attach(FENIX, 100, false)) << "nothing to keep";
  EXPECT_EQ(root_.fileExists(NimbrWriter::FILENAME), !local);
  U32 const cap = w.length();
  ASSERT_GE(cap, 2 * 100u);
  ASSERT_EQ(cap & (cap - 1), 0u);
  EXPECT_EQ(w.header()->window, cap - cap / 4);
  for (U32 s = 0; s < 100; ++s) EXPECT_EQ(w.slotPos(s), NONE);
  U32 const mapSize = w.header()->mapSize;
  EXPECT_EQ(w.slotPos(mapSize), NONE);
  // A slot beyond the map is refused and writes nothing.
  EXPECT_THROW(w.notify(mapSize), Quiv::CorruptionDetectedException);
  EXPECT_THROW(w.notify(TOMBSTONE), Quiv::CorruptionDetectedException);
  EXPECT_EQ(w.tailSeq(), 0u);
  w.tombstone(w.notify(mapSize - 1));  // the map's last slot is accepted
  EXPECT_EQ(w.slotPos(mapSize - 1), NONE);

  std::mt19937 rng(7);
  std::set<U32> touched;
  U64 notifications = 1;
  for (U32 i = 0; i < 20 * cap; ++i) {
    // A few hot slots most of the time, so that cold ones must be carried
    // along the ring; now and then a slot loses its record.
    U32 slot = rng() % 4 ? rng() % 5 : rng() % 100;
    if (rng() % 97 == 0 && w.slotPos(slot) != NONE) {
      w.tombstone(w.slotPos(slot));
      EXPECT_EQ(w.slotPos(slot), NONE);
      touched.erase(slot);
    } else {
      U64 tailBefore = w.tailSeq();
      U32 pos = w.notify(slot, i);
      ++notifications;
      touched.insert(slot);
      EXPECT_EQ(pos, w.slotPos(slot));
      Record r = w.entryAt(pos);
      EXPECT_EQ(r.slot, slot);
      EXPECT_EQ(r.seq, w.tailSeq()) << "the notification is the newest record";
      EXPECT_EQ(r.info, i);
      EXPECT_GT(w.tailSeq(), tailBefore);
    }
    U32 live = checkInvariants(w, 100);
    ASSERT_EQ(live, touched.size()) << "after " << i << " operations";
    if (HasFailure()) break;
  }
  EXPECT_GT(w.reappends(), 0u) << "cold slots were carried inside the window";
  EXPECT_EQ(w.tailSeq(), notifications + w.reappends()) << "one sequence per record written"; 
}

INSTANTIATE_TEST_SUITE_P(LocalAndShared, NimbrWriterTest, ::testing::Bool(),
                         [](auto const& info) { return info.param ? "local" : "shared"; });

// --- readers ---------------------------------------------------------------------

// A reader starts after the tail, reads in order, and a cold change survives
// a flood of others for a reader that fell behind.
TEST_F(NimbrTest, ReaderStartsAfterTheTailReadsInOrderAndLosesNoColdChange) {
  NimbrReader r(nullptr, root_);
  Quiv::String error;
  EXPECT_FALSE(r.attach(error));
  EXPECT_FALSE(error.empty());
  Record rec;
  EXPECT_EQ(r.next(rec), Status::empty) << "detached";

  NimbrWriter w(nullptr, root_, false);
  w.attach(FENIX, 50, false);
  w.notify(3);
  w.notify(4);
  ASSERT_TRUE(r.attach(error)) << error;
  EXPECT_EQ(r.position(), w.tailSeq() + 1);
  EXPECT_EQ(r.next(rec), Status::empty);
  w.notify(5, 9);
  w.notify(3);
  ASSERT_EQ(r.next(rec), Status::record);
  EXPECT_EQ(rec.seq, 3u);
  EXPECT_EQ(rec.slot, 5u);
  EXPECT_EQ(rec.info, 9u);
  ASSERT_EQ(r.next(rec), Status::record);
  EXPECT_EQ(rec.seq, 4u);
  EXPECT_EQ(rec.slot, 3u);
  EXPECT_EQ(r.next(rec), Status::empty);
  // A superseded record reads as a tombstone, its successor follows.
  w.notify(7);
  w.notify(7);
  ASSERT_EQ(r.next(rec), Status::record);
  EXPECT_EQ(rec.slot, TOMBSTONE);
  ASSERT_EQ(r.next(rec), Status::record);
  EXPECT_EQ(rec.slot, 7u);
  EXPECT_EQ(r.behindCount(), 0u);

  // One change, then a flood of changes to other slots: the first change
  // still reaches the reader that slept through all of it.
  w.notify(0, 11);
  for (U32 i = 0; i < 50 * w.length(); ++i) w.notify(1 + i % 2);
  EXPECT_GT(w.reappends(), 0u);
  checkInvariants(w, 50);
  std::vector<U64> seen(50, 0);
  U64 lastSeq = 0;
  EXPECT_EQ(drain(r, seen, lastSeq), 1u) << "one skip to the window's start";
  EXPECT_EQ(r.behindCount(), 1u);
  expectNothingLost(w, seen);
  EXPECT_NE(seen[0], 0u);
  EXPECT_EQ(w.entryAt(w.slotPos(0)).info, 0u) << "a carried copy has no priority";
}

// The writer in its own process, flat out, in its first half now and then
// cancelling a slot's record; the reader here, pausing now and then. Once
// the writer is gone and the queue drained, every slot's last change has
// been read.
TEST_F(NimbrTest, ReaderInAnotherProcessLosesNoCurrentChange) {
  constexpr U32 SLOTS = 200;
  constexpr U32 NOTIFICATIONS = 200000;
  constexpr U32 HEAD_START = 10000;  // more than a window before we read
  {
    NimbrWriter w(nullptr, root_, false);
    w.attach(FENIX, SLOTS, false);
  }
  auto r = attached();
  VexaTest::Pipe started;
  pid_t pid = VexaTest::spawn([&] {
    NimbrWriter w(nullptr, root_, false);
    if (!w.attach(FENIX, SLOTS, false)) ::_exit(3);
    std::mt19937 rng(2024);
    for (U32 i = 0; i < NOTIFICATIONS; ++i) {
      U32 slot = rng() % 8 ? rng() % 16 : rng() % SLOTS, other = rng() % SLOTS;
      if (i < NOTIFICATIONS / 2 && rng() % 211 == 0 && w.slotPos(other) != NONE) w.tombstone(w.slotPos(other));
      w.notify(slot, i);
      if (i == HEAD_START && !started.signal()) ::_exit(4);
    }
  });
  started.closeWrite();
  EXPECT_TRUE(started.await());

  std::mt19937 rng(99);
  std::vector<U64> seen(SLOTS, 0);
  U64 lastSeq = 0;
  int status = 0;
  // Drained once more after the writer ended.
  bool childDone = false;
  while (!childDone && !HasFailure()) {
    childDone = ::waitpid(pid, &status, WNOHANG) == pid;
    drain(*r, seen, lastSeq, &rng);
  }
  ASSERT_EQ(childDone ? VexaTest::describeStatus(status) : VexaTest::reapDescribed(pid), "exit 0");
  EXPECT_GE(r->behindCount(), 1u);
  EXPECT_GT(lastSeq, 0u);

  NimbrWriter w(nullptr, root_, false);
  ASSERT_TRUE(w.attach(FENIX, SLOTS, false)) << "the writer's file is kept";
  EXPECT_GE(w.tailSeq(), NOTIFICATIONS);
  EXPECT_EQ(lastSeq, w.tailSeq());
  checkInvariants(w, SLOTS);
  for (U32 s = 0; s < SLOTS; ++s) EXPECT_NE(w.slotPos(s), NONE) << "slot " << s << " was notified";
  expectNothingLost(w, seen);
}

// --- generations -----------------------------------------------------------------

// The writer keeps its queue only for the same incarnation and a table the
// map covers; else (or when asked to) it lays out a new generation, which
// a reader is told of until it resynchronises.
TEST_F(NimbrTest, QueueIsKeptOnlyWhileItMatchesAndReadersSeeANewGeneration) {
  NimbrWriter w(nullptr, root_, false);
  EXPECT_FALSE(w.attach(FENIX, 64, false));
  U32 gen = w.generation();
  U32 const mapSize = w.header()->mapSize;
  w.notify(5);
  w.notify(6);
  U64 const tail = w.tailSeq();
  auto r = attached();

  // Same incarnation, covered: kept as it is.
  EXPECT_TRUE(w.attach(FENIX, 64, false));
  w.ensureCapacity(mapSize);
  EXPECT_EQ(w.generation(), gen);
  EXPECT_EQ(w.tailSeq(), tail);
  EXPECT_EQ(w.entryAt(w.slotPos(6)).slot, 6u);
  Record rec;
  w.notify(7);
  ASSERT_EQ(r->next(rec), Status::record);
  EXPECT_EQ(rec.slot, 7u);

  // Grown past the map.
  w.ensureCapacity(mapSize * 8 + 1);
  EXPECT_EQ(w.generation(), ++gen);
  EXPECT_GE(w.header()->mapSize, mapSize * 8 + 1);
  EXPECT_EQ(w.tailSeq(), 0u);
  checkInvariants(w, mapSize * 8 + 1);
  U32 const big = mapSize * 8;
  w.notify(big);
  EXPECT_EQ(r->next(rec), Status::regenerated);
  EXPECT_EQ(r->next(rec), Status::regenerated) << "until the reader resynchronises";
  EXPECT_EQ(r->resync(), 1u);
  EXPECT_EQ(r->next(rec), Status::empty);
  w.notify(big - 1);
  ASSERT_EQ(r->next(rec), Status::record);
  EXPECT_EQ(rec.slot, big - 1);
  EXPECT_EQ(rec.seq, 2u);
  auto fresh = attached();
  w.notify(big);
  ASSERT_EQ(fresh->next(rec), Status::record);
  EXPECT_EQ(rec.slot, big);

  // Another incarnation, more slots than covered, or asked to: re-formatted.
  w.notify(6);
  EXPECT_FALSE(w.attach(FENIX + 1, 64, false));
  EXPECT_EQ(w.generation(), ++gen);
  EXPECT_EQ(w.tailSeq(), 0u);
  EXPECT_EQ(w.slotPos(6), NONE);
  EXPECT_FALSE(w.attach(FENIX + 1, w.header()->mapSize + 1, false));
  EXPECT_EQ(w.generation(), ++gen);
  EXPECT_FALSE(w.attach(FENIX + 1, 10, true));
  EXPECT_EQ(w.generation(), ++gen);
  checkInvariants(w, 10);
}

// --- damaged files ---------------------------------------------------------------

std::string validFile(Mem::RootPath const& root, U32 numSlots) {
  NimbrWriter w(nullptr, root, false);
  w.attach(FENIX, numSlots, true);
  for (U32 i = 0; i < 3 * w.length(); ++i) w.notify(i * 7 % numSlots);
  std::ifstream in(root.filePath(NimbrWriter::FILENAME), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Header* headerOf(std::string& bytes) { return reinterpret_cast<Header*>(bytes.data()); }

TEST_F(NimbrTest, GarbledFileIsRefusedByReadersAndReformattedByTheWriter) {
  std::mt19937 rng(5);
  auto randomBytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  };
  std::string const valid = validFile(root_, 100);
  ASSERT_GT(valid.size(), 2 * Header::SIZE);
  struct Case {
    char const* name;
    std::string bytes;
    bool headerValid = false;
  };
  std::vector<Case> cases = {{"empty", ""},
                             {"10 random bytes", randomBytes(10)},
                             {"127 random bytes", randomBytes(127)},
                             {"a header of random bytes", randomBytes(Header::SIZE)},
                             {"4096 random bytes", randomBytes(4096)},
                             {"valid header, truncated", valid.substr(0, valid.size() / 2)},
                             {"header only", valid.substr(0, Header::SIZE)}};
  auto withHeader = [&](char const* name, auto change) {
    std::string b = valid;
    change(headerOf(b));
    cases.push_back({name, b});
  };
  withHeader("future version", [](Header* h) { h->formatVersion = 2; });
  withHeader("capacity not a power of two", [](Header* h) { h->capacity = 100; });
  withHeader("window without a corral", [](Header* h) { h->window = h->capacity; });
  withHeader("no map", [](Header* h) { h->mapSize = 0; });
  withHeader("map larger than the file", [](Header* h) { h->mapSize = 0x7fffffff; });
  // The header checks out, the map and ring are noise.
  cases.push_back({"valid header, random body", valid.substr(0, Header::SIZE) + randomBytes(valid.size() - Header::SIZE), true});
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(c.bytes);
    NimbrReader r(nullptr, root_);
    Quiv::String error;
    // A reader checks the header only; the rest it reads record by record.
    EXPECT_EQ(r.attach(error), c.headerValid) << error;
    EXPECT_EQ(error.empty(), c.headerValid);

    NimbrWriter w(nullptr, root_, false);
    EXPECT_FALSE(w.attach(FENIX, 100, false)) << "not kept";
    checkInvariants(w, 100);
    EXPECT_EQ(w.tailSeq(), 0u);
    auto r2 = attached();
    w.notify(42);
    Record rec;
    ASSERT_EQ(r2->next(rec), Status::record);
    EXPECT_EQ(rec.slot, 42u);
    EXPECT_EQ(rec.seq, 1u);
    // A reader that could attach to the damaged file is told to start over.
    if (c.headerValid) {
      EXPECT_EQ(r.next(rec), Status::regenerated);
    }
    w.detach();
    root_.removeFile(NimbrWriter::FILENAME);
  }
}

// The queue's own check sees damage the header check does not: records at
// the wrong place, slots the map does not cover, positions off the ring.
// (Whether map and ring agree with each other and with the slots is the
// table validator's check.)
TEST_F(NimbrTest, ValidateReportsDamagedRecordsAndMap) {
  constexpr U32 SLOTS = 100;
  NimbrWriter w(nullptr, root_, false);
  w.attach(FENIX, SLOTS, false);
  // A second view of the same file to damage it through.
  Mem::SharedMemWrapper raw(root_, NimbrWriter::FILENAME, Mem::SharedMemWrapper::Mode::writable);
  Quiv::String error;

  struct Damage {
    char const* name;
    char const* message;  // expected in the error
    void (*apply)(Header* h, NimbrWriter const& w);
  };
  Damage const damages[] = {
      {"seq at the wrong position", "holds seq",
       [](Header* h, NimbrWriter const& w) { h->records()[w.slotPos(3)].seq += 1; }},
      {"seq beyond the tail", "holds seq",
       [](Header* h, NimbrWriter const& w) { h->records()[w.slotPos(3)].seq += h->capacity; }},
      {"slot beyond the map", "beyond mapSize",
       [](Header* h, NimbrWriter const& w) { h->records()[w.slotPos(3)].slot = h->mapSize; }},
      {"position beyond the ring", "beyond capacity",
       [](Header* h, NimbrWriter const&) { h->slotPos()[3] = h->capacity; }},
  };
  for (auto const& d : damages) {
    SCOPED_TRACE(d.name);
    w.attach(FENIX, SLOTS, true);
    for (U32 i = 0; i < 5 * w.length(); ++i) w.notify(i % 7 == 0 ? 3 : i % SLOTS);
    w.notify(3);
    w.notify(4);
    ASSERT_TRUE(w.validate(SLOTS, error)) << error;
    auto* h = static_cast<Header*>(raw.attach(0));
    ASSERT_NE(h, nullptr);
    d.apply(h, w);
    error = "";
    EXPECT_FALSE(w.validate(SLOTS, error));
    EXPECT_NE(error.view().find(d.message), std::string::npos) << error;
    raw.detach();
  }
  w.attach(FENIX, SLOTS, true);
  EXPECT_FALSE(w.validate(w.header()->mapSize + 1, error));
  EXPECT_NE(error.view().find("maxNumSlots"), std::string::npos) << error;
  w.detach();
  EXPECT_FALSE(w.validate(SLOTS, error));
}

// --- shrinks ---------------------------------------------------------------------

class ShrinkRecorder : public Nimbr::NimbrNotifiee {
 public:
  void shrink(U32 threshold) override { shrinks.push_back(threshold); }
  void handleQuiesced(bool) override {}
  std::vector<U32> shrinks;
};

TEST_F(NimbrTest, HeldShrinkRunsAtReleaseWithThePendingThreshold) {
  NimbrWriter w(nullptr, root_, false);
  ShrinkRecorder rec;
  w.notifieeIs(&rec);
  w.attach(FENIX, 64, false);
  EXPECT_TRUE(w.quiesced());

  // Not held: the shrink window is the stretch of sequences it covered.
  w.notify(1);
  w.markShrinkStart();
  EXPECT_TRUE(w.shrinkInProgress());
  EXPECT_FALSE(w.quiesced());
  EXPECT_EQ(w.header()->shrinkState & 1, 1u) << "visible to readers";
  EXPECT_EQ(w.header()->shrinkStartSeq, 1u);
  w.notify(2);
  w.notify(3);
  w.markShrinkEnd();
  EXPECT_FALSE(w.shrinkInProgress());
  EXPECT_EQ(w.header()->shrinkEndSeq, 3u);

  // Held: stays in progress past its end; the shrink asked for meanwhile is
  // handed over at release, once.
  w.holdShrinksIs(true);
  w.markShrinkStart();
  w.markShrinkEnd();
  EXPECT_TRUE(w.shrinkInProgress());
  w.shrinkPendingIs(17);
  EXPECT_TRUE(rec.shrinks.empty());
  w.releaseShrink();
  EXPECT_FALSE(w.shrinkInProgress());
  EXPECT_EQ(w.header()->shrinkState & 1, 0u);
  ASSERT_EQ(rec.shrinks.size(), 1u);
  EXPECT_EQ(rec.shrinks[0], 17u);
  w.releaseShrink();
  EXPECT_EQ(rec.shrinks.size(), 1u) << "nothing pending any more";

  // A fresh queue starts with no shrink in progress.
  w.markShrinkStart();
  w.attach(FENIX, 64, true);
  EXPECT_FALSE(w.shrinkInProgress());
}

}  // namespace

}  // namespace vexa_nimbr_test
