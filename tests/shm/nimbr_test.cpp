// The notification queue: bounded live records whatever the write rate,
// readers in order, new generations, damaged files. (Readers that fall
// behind in another process and lose no current change: the stalled
// followers of shm/shadow_test.cpp.)
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/Mem.h"
#include "VexaSwitchLib/runtime/Nimbr.h"
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
  // A reader attached to the queue as it is now.
  std::unique_ptr<NimbrReader> attached() {
    auto r = std::make_unique<NimbrReader>(nullptr, root_);
    Quiv::String error;
    EXPECT_TRUE(r->attach(error)) << error;
    return r;
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
    // At its place, inside the live window, its slot's current record.
    EXPECT_TRUE(r.slot < numSlots && r.seq % cap == p && w.inLiveWindow(r.seq) && w.slotPos(r.slot) == p)
        << "pos " << p << " slot " << r.slot << " seq " << r.seq << " tail " << w.tailSeq();
  }
  for (U32 s = 0, p; s < numSlots; ++s)
    EXPECT_TRUE((p = w.slotPos(s)) == NONE || (p < cap && w.entryAt(p).slot == s)) << "slot " << s << " at " << p;
  Quiv::String error;
  EXPECT_TRUE(w.validate(numSlots, error)) << error;
  return live;
}

// What a reader's next() gives: "seq:slot/info" ("T" for a tombstone's
// slot), or its status.
std::string next(NimbrReader& r) {
  Record rec;
  switch (r.next(rec)) {
    case Status::record:
      return fmt::format("{}:{}/{}", rec.seq, rec.slot == TOMBSTONE ? "T" : std::to_string(rec.slot), rec.info);
    case Status::empty: return "empty";
    case Status::behind: return "behind";
    default: return "regenerated";
  }
}

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
  U32 const mapSize = w.header()->mapSize;
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
      U32 pos = w.notify(slot, i);
      ++notifications;
      touched.insert(slot);
      Record r = w.entryAt(pos);
      EXPECT_TRUE(pos == w.slotPos(slot) && r.slot == slot && r.info == i) << "its record";
      EXPECT_EQ(r.seq, w.tailSeq()) << "the notification is the newest record";
    }
    ASSERT_EQ(checkInvariants(w, 100), touched.size()) << "after " << i << " operations";
    if (HasFailure()) break;
  }
  EXPECT_GT(w.reappends(), 0u) << "cold slots were carried inside the window";
  EXPECT_EQ(w.tailSeq(), notifications + w.reappends()) << "one sequence per record written"; 
}

INSTANTIATE_TEST_SUITE_P(LocalAndShared, NimbrWriterTest, ::testing::Bool(),
                         [](auto const& info) { return info.param ? "local" : "shared"; });

// A reader starts after the tail, reads in order, superseded records as
// tombstones, and when lapped skips no more than it must.
TEST_F(NimbrTest, ReaderStartsAfterTheTailAndReadsInOrder) {
  NimbrReader r(nullptr, root_);
  Quiv::String error;
  EXPECT_FALSE(r.attach(error)) << "no file";
  EXPECT_EQ(next(r), "empty") << "detached";
  NimbrWriter w(nullptr, root_, false);
  w.attach(FENIX, 50, false);
  w.notify(3);
  w.notify(4);
  ASSERT_TRUE(r.attach(error)) << error;
  EXPECT_EQ(r.position(), w.tailSeq() + 1);
  EXPECT_EQ(next(r), "empty");
  w.notify(5, 9);
  w.notify(3);
  EXPECT_EQ(next(r), "3:5/9");
  EXPECT_EQ(next(r), "4:3/0");
  EXPECT_EQ(next(r), "empty");
  // A superseded record reads as a tombstone, its successor follows.
  w.notify(7);
  w.notify(7);
  EXPECT_EQ(next(r), "5:T/0");
  EXPECT_EQ(next(r), "6:7/0");
  // Lapped, it resumes at the oldest record still in the live window: one
  // further would lose a change for good if the writer stopped there.
  U64 const window = w.length() - w.length() / 4;
  for (U32 i = 0; i < 2 * w.length(); ++i) w.notify(i % 40);
  U64 const oldest = w.tailSeq() - window + 1;
  EXPECT_EQ(next(r), "behind");
  EXPECT_EQ(r.position(), oldest);
  EXPECT_EQ(next(r).rfind(fmt::format("{}:", oldest), 0), 0u);
}

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
  w.notify(7);
  EXPECT_EQ(next(*r), fmt::format("{}:7/0", tail + 1));
  // Grown past the map.
  w.ensureCapacity(mapSize * 8 + 1);
  EXPECT_EQ(w.generation(), ++gen);
  EXPECT_GE(w.header()->mapSize, mapSize * 8 + 1);
  EXPECT_EQ(w.tailSeq(), 0u);
  checkInvariants(w, mapSize * 8 + 1);
  U32 const big = mapSize * 8;
  w.notify(big);
  EXPECT_EQ(next(*r), "regenerated");
  EXPECT_EQ(next(*r), "regenerated") << "until the reader resynchronises";
  EXPECT_EQ(r->resync(), 1u);
  EXPECT_EQ(next(*r), "empty");
  w.notify(big - 1);
  EXPECT_EQ(next(*r), fmt::format("2:{}/0", big - 1));
  auto fresh = attached();
  w.notify(big);
  EXPECT_EQ(next(*fresh), fmt::format("3:{}/0", big));
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

std::string validFile(Mem::RootPath const& root, U32 numSlots) {
  NimbrWriter w(nullptr, root, false);
  w.attach(FENIX, numSlots, true);
  for (U32 i = 0; i < 3 * w.length(); ++i) w.notify(i * 7 % numSlots);
  std::ifstream in(root.filePath(NimbrWriter::FILENAME), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(NimbrTest, GarbledFileIsRefusedByReadersAndReformattedByTheWriter) {
  std::mt19937 rng(5);
  auto randomBytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  };
  std::string const valid = validFile(root_, 100);
  struct Case {
    char const* name;
    std::string bytes;
    bool headerValid = false;
  };
  // One case per check of the header (Header::validate).
  std::vector<Case> cases = {{"empty", ""},
                             {"a header of random bytes", randomBytes(Header::SIZE)},
                             {"valid header, truncated", valid.substr(0, valid.size() / 2)}};
  for (auto [name, change] : {std::pair<char const*, void (*)(Header*)>{"future version", [](Header* h) { h->formatVersion = 2; }},
                              {"capacity not a power of two", [](Header* h) { h->capacity = 100; }},
                              {"window without a corral", [](Header* h) { h->window = h->capacity; }},
                              {"no map", [](Header* h) { h->mapSize = 0; }},
                              {"map larger than the file", [](Header* h) { h->mapSize = 0x7fffffff; }}}) {
    std::string b = valid;
    change(reinterpret_cast<Header*>(b.data()));
    cases.push_back({name, b});
  }
  // The header checks out, the map and ring are noise.
  cases.push_back({"valid header, random body", valid.substr(0, Header::SIZE) + randomBytes(valid.size() - Header::SIZE), true});
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(root_.filePath(NimbrWriter::FILENAME), std::ios::binary | std::ios::trunc) << c.bytes;
    NimbrReader r(nullptr, root_);
    Quiv::String error;
    // A reader checks the header only; the rest it reads record by record.
    EXPECT_TRUE(r.attach(error) == c.headerValid && error.empty() == c.headerValid) << error;
    NimbrWriter w(nullptr, root_, false);
    EXPECT_FALSE(w.attach(FENIX, 100, false)) << "not kept";
    checkInvariants(w, 100);
    EXPECT_EQ(w.tailSeq(), 0u);
    auto r2 = attached();
    w.notify(42);
    EXPECT_EQ(next(*r2), "1:42/0");
    // A reader that could attach to the damaged file is told to start over.
    EXPECT_TRUE(!c.headerValid || next(r) == "regenerated");
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
  // Each damage to slot 3's record or position, and the message it gives.
  std::pair<void (*)(Header* h, U32 pos), char const*> const damages[] = {
      {[](Header* h, U32 pos) { h->records()[pos].seq += 1; }, "holds seq"},            // at the wrong position
      {[](Header* h, U32 pos) { h->records()[pos].seq += h->capacity; }, "holds seq"},  // beyond the tail
      {[](Header* h, U32 pos) { h->records()[pos].slot = h->mapSize; }, "beyond mapSize"},
      {[](Header* h, U32) { h->slotPos()[3] = h->capacity; }, "beyond capacity"},
  };
  for (auto const& [damage, message] : damages) {
    SCOPED_TRACE(message);
    w.attach(FENIX, SLOTS, true);
    for (U32 i = 0; i < 5 * w.length(); ++i) w.notify(i % 7 == 0 ? 3 : i % SLOTS);
    w.notify(3);
    w.notify(4);
    ASSERT_TRUE(w.validate(SLOTS, error)) << error;
    auto* h = static_cast<Header*>(raw.attach(0));
    ASSERT_NE(h, nullptr);
    damage(h, w.slotPos(3));
    EXPECT_FALSE(w.validate(SLOTS, error));
    EXPECT_NE(error.view().find(message), std::string::npos) << error;
    raw.detach();
  }
  w.attach(FENIX, SLOTS, true);
  EXPECT_FALSE(w.validate(w.header()->mapSize + 1, error));
  EXPECT_NE(error.view().find("maxNumSlots"), std::string::npos) << error;
  w.detach();
  EXPECT_FALSE(w.validate(SLOTS, error));
}

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
  // Not held: the shrink window is the stretch of sequences it covered,
  // its state visible to readers.
  w.notify(1);
  w.markShrinkStart();
  EXPECT_TRUE(w.shrinkInProgress() && !w.quiesced() && (w.header()->shrinkState & 1));
  w.notify(2);
  w.notify(3);
  w.markShrinkEnd();
  EXPECT_FALSE(w.shrinkInProgress());
  EXPECT_EQ(fmt::format("{}..{}", w.header()->shrinkStartSeq, w.header()->shrinkEndSeq), "1..3");
  // Held: stays in progress past its end; the shrink asked for meanwhile is
  // handed over at release, once.
  w.holdShrinksIs(true);
  w.markShrinkStart();
  w.markShrinkEnd();
  EXPECT_TRUE(w.shrinkInProgress());
  w.shrinkPendingIs(17);
  EXPECT_TRUE(rec.shrinks.empty());
  w.releaseShrink();
  EXPECT_EQ(w.header()->shrinkState & 1, 0u);
  EXPECT_EQ(rec.shrinks, std::vector<U32>{17});
  w.releaseShrink();
  EXPECT_EQ(rec.shrinks.size(), 1u) << "nothing pending any more";
  // A fresh queue starts with no shrink in progress.
  w.markShrinkStart();
  w.attach(FENIX, 64, true);
  EXPECT_FALSE(w.shrinkInProgress());
}

}  // namespace

}  // namespace vexa_nimbr_test
