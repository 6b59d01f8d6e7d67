// The writer: direct operations and their queue records, the private
// default table. The slot file: its bytes, growth points, the header check.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>
#include <thread>

#include "Zolm/TestTables.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"
#include "testutil/Trace.h"

namespace vexa_writer_test {
namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;

constexpr char const* TABLE = "vexaswitch/tables/test/flood";

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("WriterTest"); }

Zolm::WriterConfig config(bool local, U32 maxSlots = 100) { return {.local = local, .maxSlots = maxSlots}; }

// The queue record a slot's last change left, if it is live.
bool liveRecordFor(FloodWriter& w, U32 slot, Nimbr::Record& out) {
  U32 pos = w.nimbr().slotPos(slot);
  if (pos == Nimbr::NimbrWriter::NONE) return false;
  out = w.nimbr().entryAt(pos);
  return out.slot == slot && w.nimbr().inLiveWindow(out.seq);
}

U32 slotOf(FloodWriter& w, U64 k) {
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  return w.lookup(floodKey(k), v, hint) ? hint.slot : 0xFFFFFFFFu;
}

// A direct write of a new key is reachable only after the commit, which
// notifies once; a direct update starts from the stored value, staged in
// the image until the commit. Direct writes alone grow the table. (Every
// slot's one live record under random loads: the shadow model.)
TEST(WriterDirectOps, InvisibleUntilCommitNotifyOnceAndGrowTheTable) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, config(false, 4096));
  w.initialize();
  w.write(floodEntry(1, 10));
  U64 before = w.sequence();
  L3FloodEntryConfig* p = w.directWrite(floodEntry(2, 0));
  ASSERT_NE(p, nullptr);
  p->floodListIdIs(22);
  L3FloodEntryConfig v;
  EXPECT_FALSE(w.lookup(floodKey(2), v));
  w.directCommit();
  ASSERT_TRUE(w.lookup(floodKey(2), v));
  EXPECT_EQ(v.floodListId(), 22u);
  EXPECT_EQ(w.sequence(), before + 1);
  p = w.directUpdate(floodKey(1));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->floodListId(), 10u) << "starts from the stored value";
  p->floodListIdIs(11);
  ASSERT_TRUE(w.lookup(floodKey(1), v));
  EXPECT_EQ(v.floodListId(), 10u);
  w.directCommit();
  ASSERT_TRUE(w.lookup(floodKey(1), v));
  EXPECT_EQ(v.floodListId(), 11u);
  EXPECT_EQ(w.directUpdate(floodKey(99)), nullptr);
  EXPECT_FALSE(w.directOpen());
  // The commit left the slot's one live queue record; a write that may not
  // overwrite leaves the entry and sends nothing.
  Nimbr::Record rec, after;
  ASSERT_TRUE(liveRecordFor(w, slotOf(w, 1), rec));
  EXPECT_EQ(rec.seq, w.nimbr().tailSeq());
  before = w.sequence();
  EXPECT_EQ(w.write(floodEntry(1, 99), false)->floodListId(), 11u);
  EXPECT_EQ(w.sequence(), before);
  ASSERT_TRUE(liveRecordFor(w, slotOf(w, 1), after));
  EXPECT_EQ(after.seq, rec.seq);
  for (U64 k = 3; k <= 3000; ++k) {
    w.directWrite(floodEntry(k, 0))->floodListIdIs(U32(k * 3));
    w.directCommit();
  }
  EXPECT_EQ(w.members(), 3000u);
  EXPECT_GE(w.buckets(), 2048u);
  for (U64 k = 3; k <= 3000; k += 97) {
    ASSERT_TRUE(w.lookup(floodKey(k), v));
    EXPECT_EQ(v.floodListId(), k * 3);
  }
  EXPECT_TRUE(w.validate()) << w.lastError();
}

TEST(WriterDirectOpsDeathTest, UnbalancedDirectOperationsAndASecondWritingThreadAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ShmRoot root;
  std::pair<std::function<void(FloodWriter&)>, char const*> const cases[] = {
      {[](auto& w) { w.directCommit(); }, "not in direct mode! Make sure the DirectIs/Commit are properly paired!"},
      {[](auto& w) { w.directWrite(floodEntry(5, 1)), w.write(floodEntry(6, 1)); },
       "unbalanced directSlot:0 containing value:.* when writing value:"},
      {[](auto& w) { w.write(floodEntry(5, 1)), w.directUpdate(floodKey(5)), w.remove(floodKey(5)); },
       "unbalanced directSlot:0 containing value:.* when removing key:"},
      {[](auto& w) { w.directWrite(floodEntry(5, 1)), w.directWrite(floodEntry(7, 1)); }, "when modifying key:"},
      {[](auto& w) { w.write(floodEntry(5, 1)), std::thread([&] { w.write(floodEntry(6, 1)); }).join(); },
       "entered from a second thread"},
  };
  for (auto const& [misuse, message] : cases)
    EXPECT_DEATH(
        {
          FloodWriter w(handler(), TABLE, config(true));
          w.initialize();
          misuse(w);
        },
        message);
}

// The table's directory removed under its writer: letting go of it is
// quiet, and the next writer lays the table out anew.
TEST(WriterInterface, LetsGoQuietlyOfFilesRemovedUnderIt) {
  ShmRoot root;
  for (bool detachFirst : {true, false}) {
    auto w = std::make_unique<FloodWriter>(handler(), TABLE, config(false));
    w->initialize();
    for (U64 k = 1; k <= 2000; ++k) w->write(floodEntry(k, 1));
    std::filesystem::remove_all(std::filesystem::path(root.dir()) / TABLE);
    if (detachFirst) {
      EXPECT_NO_THROW(w->detach());
    }
    EXPECT_NO_THROW(w.reset());
  }
  FloodWriter next(handler(), TABLE, config(false));
  next.initialize();
  EXPECT_EQ(next.members(), 0u);
  next.write(floodEntry(1, 1));
  EXPECT_TRUE(next.validate());
}

TEST(WriterInterface, DefaultLocalWriterIsAPrivateTableOfRequestedSize100) {
  ShmRoot root;
  auto w = Zolm::createDefaultLocalWriter<LagOps>("vexaswitch/tables/lag/groupId");
  for (U32 i = 0; i < 63; ++i) w->write(lagEntry(i, i), true);
  EXPECT_EQ(std::tuple(w->maxSize(), w->capacity(), w->members()), std::tuple(100u, 64u, 63u));
  EXPECT_TRUE(std::filesystem::is_empty(root.dir())) << "a local table leaves no files";
}

// --- the slot file ---

using Zolm::SlotLink;

struct Field {
  std::size_t offset;
  U32 value;
  char const* name;
};
// The 32-bit words of a file at their offsets.
void expectWords(std::vector<unsigned char> const& bytes, std::initializer_list<Field> fields) {
  for (Field const& f : fields) EXPECT_EQ(rawAt<U32>(bytes, f.offset), f.value) << f.name << " at " << f.offset;
}

struct SlotFileTest : ::testing::Test {
  ShmRoot root;
  Quiv::DebugHandler* handler = Quiv::Platform::getDebugHandler("SlotFileTest");
  std::string slotsPath() const { return root.dir() + "/" + TABLE + "/slots"; }
  std::unique_ptr<FloodWriter> writer(U32 maxSlots = 100, bool fixed = false) {
    auto w = std::make_unique<FloodWriter>(handler, TABLE, Zolm::WriterConfig{.maxSlots = maxSlots, .fixedSize = fixed});
    w->initialize("test");
    return w;
  }
};

TEST_F(SlotFileTest, NewFileAndAnInsertHaveEveryFieldAtItsOffset) {
  auto w = writer();
  auto bytes = readFile(slotsPath());
  ASSERT_GE(bytes.size(), 632u + 64 * 32);
  EXPECT_EQ(rawAt<U64>(bytes, 0), Zolm::SlotHeaderCommon::MAGIC);
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(bytes.data()) + 48), "VexaSwitch::L3FloodEntryConfig");
  // flags: notification queue; not inside a critical section
  EXPECT_EQ(std::tuple(rawAt<U16>(bytes, 548), rawAt<U16>(bytes, 550)), std::tuple(U16(2), U16(0)));
  expectWords(bytes, {{12, 600, "common header size"}, {16, 32, "slot size"}, {28, 16, "value size"},
                      {556, 0, "occupiedSlots"}, {560, 0, "freeList"}, {564, 64, "maxNumSlots"},
                      {568, w->ops().seed, "seed"}, {576, 0, "resizeSeq"}, {580, 64, "numSlots"},
                      {584, 0, "maxOccupiedSlots"}, {604, 0xFFFFFFFFu, "image: an empty slot"}, {608, 0, "image flags"}});
  // Slots from 632, chained 0 -> 1 -> ... -> 63 -> end, link version advanced once.
  for (U32 i = 0, at = 632; i < 64; ++i, at += 32)
    expectWords(bytes, {{at, 4, "link version"}, {at + 4, i == 63 ? 0xFFFFFFFFu : i + 1, "next"}, {at + 8, 0, "flags"}});
  EXPECT_EQ(std::tuple(w->slotTable().shrinkThreshold(), w->minSize()), std::tuple(0u, 64u));
  // An insert writes rhash, value and links at their offsets.
  w->write(floodEntry(77, 1234));
  bytes = readFile(slotsPath());
  U32 h = Kel::hashSingleAttr(w->ops().seed, U64(77));
  expectWords(bytes, {{556, 1, "occupiedSlots"}, {560, 1, "freeList: slot 0 taken"}, {632 + 12, Zolm::reverseBits32(h), "rhash"},
                      {632 + 16, 77, "key"}, {632 + 20, 0, "key, high word"}, {632 + 24, 1234, "floodListId"}});
  EXPECT_EQ(rawAt<U32>(bytes, 632 + 8) & (Zolm::SLOT_OCCUPIED | Zolm::SLOT_LOOKASIDE), Zolm::SLOT_OCCUPIED);
  // Its bucket word in the bucket file points at slot 0.
  auto buckets = readFile(root.dir() + "/" + TABLE + "/buckets");
  EXPECT_EQ(SlotLink::target(rawAt<U64>(buckets, 24 + 8 * (h & (rawAt<U32>(buckets, 20) - 1)))), 0u);
  // An in-place update goes through the image and advances the change
  // counter: LOOKASIDE on and off, +2 +2.
  U32 flagsBefore = w->slotTable().slot(0)->runtimeFlags;
  w->write(floodEntry(77, 2));
  EXPECT_EQ(w->slotTable().slot(0)->runtimeFlags, flagsBefore + 4);
  auto* img = w->slotTable().image();
  EXPECT_EQ(img->rhash, w->slotTable().slot(0)->rhash);
  EXPECT_EQ(FloodOps::keyOf(w->slotTable().valueOf<VexaSwitch::L3FloodEntryConfig>(img)), Lanx::IntfId::fromRaw(77));
  EXPECT_FALSE(w->slotTable().inCritical());
}

TEST_F(SlotFileTest, GrowsByDoublingUpToTheRequestedSizeThenByTenPercent) {
  auto w = writer(100);
  for (U32 i = 0; i < 64; ++i) w->write(floodEntry(i + 1));
  ASSERT_EQ(w->capacity(), 64u);
  w->write(floodEntry(1000));
  EXPECT_EQ(w->capacity(), 100u);
  expectWords(readFile(slotsPath()), {{580, 100, "numSlots"}, {576, 1, "resizeSeq"}});
  for (U32 i = 65; i < 100; ++i) w->write(floodEntry(i + 1000));
  EXPECT_EQ(w->capacity(), 100u);
  w->write(floodEntry(5000));
  EXPECT_EQ(w->capacity(), 110u);
  expectWords(readFile(slotsPath()), {{564, 110, "maxNumSlots"}, {576, 2, "resizeSeq"}, {584, 101, "maxOccupiedSlots"}});
  EXPECT_TRUE(w->validate());
  using T = Zolm::SlotWriterTable;
  EXPECT_EQ(std::tuple(T::growTarget(1024, 4096), T::growTarget(4096, 4096), T::growTarget(1024, 1024), T::growTarget(1, 1)),
            std::tuple(2048u, 4506u, 1127u, 2u));
}

TEST_F(SlotFileTest, FixedSizeTableRefusesTheWriteThatDoesNotFitAndStaysValid) {
  auto w = writer(8, true);
  for (U32 i = 0; i < 8; ++i) w->write(floodEntry(i + 1));
  EXPECT_EQ(thrownMessage<Zolm::TableFullException>([&] { w->write(floodEntry(99)); }),
            std::string("Zolm table full (occupancy:8 tableSize:8) ") + TABLE);
  EXPECT_TRUE(w->validate()) << w->lastError();
  w->write(floodEntry(3, 7));  // an update still works
  VexaSwitch::L3FloodEntryConfig v;
  EXPECT_TRUE(w->lookup(floodKey(3), v) && v.floodListId() == 7u);
}

// Each process that creates a table draws its own seed.
TEST_F(SlotFileTest, TablesCreatedByTwoProcessesHaveDifferentSeeds) {
  U32* seed = newShared<U32>();
  auto seedFromChild = [&](std::string const& table) {
    EXPECT_EQ(reapDescribed(spawn([&] {
                FloodWriter w(handler, table, Zolm::WriterConfig{});
                w.initialize("test");
                *seed = w.ops().seed;
                w.cleanup();
              })),
              "exit 0");
    return *seed;
  };
  EXPECT_NE(seedFromChild("vexaswitch/tables/test/seedA"), seedFromChild("vexaswitch/tables/test/seedB"));
  freeShared(seed);
}

TEST(SlotHeaderCheck, MessagesNameTheFailedCheck) {
  Zolm::SlotHeaderCommon h;
  char const* const flood = "VexaSwitch::L3FloodEntryConfig";
  h.init(nullptr, 600, 32, 64, 100, 2, 0x10001, flood, 16, 1);
  h.numSlots = h.maxNumSlots = 64;
  auto check = [&](U64 size, U32 fenix, char const* type) {
    Quiv::String err;
    return Zolm::SlotTable::validateHeader(nullptr, h, size, fenix, 32, 16, type, err) ? "ok" : std::string(err.view());
  };
  EXPECT_EQ(check(599, 0x10001, flood), "bad header file size: 599 wanted:632");
  EXPECT_EQ(check(632 + 10 * 32, 0x10001, ""), "bad shmem size:952 wanted:2680 for 64 slots");
  EXPECT_NE(check(4096, 0x20001, "").find("fenixId mismatch"), std::string::npos);
  EXPECT_NE(check(4096, 0x10001, "VexaSwitch::LagGroupIdEntry").find("wanted:VexaSwitch::LagGroupIdEntry"),
            std::string::npos);
  EXPECT_EQ(check(4096, 0x10001, flood), "ok");
}

}  // namespace
}  // namespace vexa_writer_test
