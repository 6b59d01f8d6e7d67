// The slot file: its bytes on disk, growth and shrink points, the header
// check, the free list and the in-place update protocol. (Re-formatting a
// damaged or restarted table: shm/writer_crash_test.cpp.)
#include <gtest/gtest.h>

#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace {

using namespace VexaTest;
using Zolm::SlotLink;
constexpr char const* TABLE = "vexaswitch/tables/test/flood";

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
  EXPECT_EQ(rawAt<U32>(bytes, 12), 600u);  // common header size
  EXPECT_EQ(rawAt<U32>(bytes, 16), 32u);   // slot size
  EXPECT_EQ(rawAt<U32>(bytes, 28), 16u);   // value size
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(bytes.data()) + 48), "VexaSwitch::L3FloodEntryConfig");
  EXPECT_EQ(rawAt<U16>(bytes, 548), 2u);  // flags: notification queue
  EXPECT_EQ(rawAt<U16>(bytes, 550), 0u);  // not inside a critical section
  EXPECT_EQ(rawAt<U32>(bytes, 556), 0u);  // occupiedSlots
  EXPECT_EQ(rawAt<U32>(bytes, 560), 0u);  // freeList
  EXPECT_EQ(rawAt<U32>(bytes, 564), 64u);  // maxNumSlots
  EXPECT_EQ(rawAt<U32>(bytes, 568), w->ops().seed);
  EXPECT_EQ(rawAt<U32>(bytes, 576), 0u);  // resizeSeq
  EXPECT_EQ(rawAt<U32>(bytes, 580), 64u);  // numSlots
  EXPECT_EQ(rawAt<U32>(bytes, 584), 0u);  // maxOccupiedSlots
  // The critical-section image at 600 is an empty slot.
  EXPECT_EQ(rawAt<U32>(bytes, 600 + 4), 0xFFFFFFFFu);
  EXPECT_EQ(rawAt<U32>(bytes, 600 + 8), 0u);
  // Slots from 632, chained 0 -> 1 -> ... -> 63 -> end.
  for (U32 i = 0; i < 64; ++i) {
    std::size_t at = 632 + std::size_t(i) * 32;
    EXPECT_EQ(rawAt<U32>(bytes, at), 4u) << i;  // linkVersion advanced once
    EXPECT_EQ(rawAt<U32>(bytes, at + 4), i == 63 ? 0xFFFFFFFFu : i + 1) << i;
    EXPECT_EQ(rawAt<U32>(bytes, at + 8), 0u) << i;
  }
  EXPECT_EQ(w->slotTable().shrinkThreshold(), 0u);
  EXPECT_EQ(w->minSize(), 64u);

  // An insert writes rhash, value and links at their offsets.
  w->write(floodEntry(77, 1234));
  bytes = readFile(slotsPath());
  EXPECT_EQ(rawAt<U32>(bytes, 556), 1u);
  EXPECT_EQ(rawAt<U32>(bytes, 560), 1u);  // slot 0 taken from the free list
  std::size_t at = 632;
  EXPECT_EQ(rawAt<U32>(bytes, at + 8) & Zolm::SLOT_OCCUPIED, 1u);
  EXPECT_EQ(rawAt<U32>(bytes, at + 8) & Zolm::SLOT_LOOKASIDE, 0u);
  U32 h = Kel::hashSingleAttr(w->ops().seed, U64(77));
  EXPECT_EQ(rawAt<U32>(bytes, at + 12), Zolm::reverseBits32(h));
  EXPECT_EQ(rawAt<U64>(bytes, at + 16), 77u);     // key
  EXPECT_EQ(rawAt<U32>(bytes, at + 24), 1234u);  // floodListId
  // Its bucket word in the bucket file points at slot 0.
  auto buckets = readFile(root.dir() + "/" + TABLE + "/buckets");
  U32 n = rawAt<U32>(buckets, 20);
  U64 word = rawAt<U64>(buckets, 24 + 8 * (h & (n - 1)));
  EXPECT_EQ(SlotLink::target(word), 0u);

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
  EXPECT_EQ(w->capacity(), 64u);
  w->write(floodEntry(1000));
  EXPECT_EQ(w->capacity(), 100u);
  auto bytes = readFile(slotsPath());
  EXPECT_EQ(rawAt<U32>(bytes, 580), 100u);
  EXPECT_EQ(rawAt<U32>(bytes, 576), 1u);
  for (U32 i = 65; i < 100; ++i) w->write(floodEntry(i + 1000));
  EXPECT_EQ(w->capacity(), 100u);
  w->write(floodEntry(5000));
  EXPECT_EQ(w->capacity(), 110u);
  bytes = readFile(slotsPath());
  EXPECT_EQ(rawAt<U32>(bytes, 564), 110u);
  EXPECT_EQ(rawAt<U32>(bytes, 576), 2u);
  EXPECT_EQ(rawAt<U32>(bytes, 584), 101u);
  EXPECT_TRUE(w->validate());
  using T = Zolm::SlotWriterTable;
  EXPECT_EQ(T::growTarget(1024, 4096), 2048u);
  EXPECT_EQ(T::growTarget(4096, 4096), 4506u);
  EXPECT_EQ(T::growTarget(1024, 1024), 1127u);
  EXPECT_EQ(T::growTarget(1, 1), 2u);
}

TEST_F(SlotFileTest, FixedSizeTableRefusesTheWriteThatDoesNotFitAndStaysValid) {
  auto w = writer(8, true);
  EXPECT_EQ(w->capacity(), 8u);
  for (U32 i = 0; i < 8; ++i) w->write(floodEntry(i + 1));
  try {
    w->write(floodEntry(99));
    FAIL() << "no TableFullException";
  } catch (Zolm::TableFullException const& e) {
    EXPECT_EQ(std::string(e.what()), std::string("Zolm table full (occupancy:8 tableSize:8) ") + TABLE);
  }
  EXPECT_TRUE(w->validate()) << w->lastError();
  EXPECT_EQ(w->members(), 8u);
  w->write(floodEntry(3, 7));  // an update still works
  VexaSwitch::L3FloodEntryConfig v;
  ASSERT_TRUE(w->lookup(Lanx::IntfId::fromRaw(3), v));
  EXPECT_EQ(v.floodListId(), 7u);
}

// Each process that creates a table draws its own seed (two processes
// started alike must not share it).
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
  h.init(nullptr, 600, 32, 64, 100, 2, 0x10001, "VexaSwitch::L3FloodEntryConfig", 16, 1);
  h.numSlots = h.maxNumSlots = 64;
  Quiv::String err;
  EXPECT_FALSE(Zolm::SlotTable::validateHeader(nullptr, h, 599, 0x10001, 32, 16, "VexaSwitch::L3FloodEntryConfig", err));
  EXPECT_EQ(err.view(), "bad header file size: 599 wanted:632");
  EXPECT_FALSE(Zolm::SlotTable::validateHeader(nullptr, h, 632 + 10 * 32, 0x10001, 32, 16, "", err));
  EXPECT_EQ(err.view(), "bad shmem size:952 wanted:2680 for 64 slots");
  EXPECT_FALSE(Zolm::SlotTable::validateHeader(nullptr, h, 4096, 0x20001, 32, 16, "", err));
  EXPECT_NE(err.view().find("fenixId mismatch"), std::string_view::npos);
  EXPECT_FALSE(Zolm::SlotTable::validateHeader(nullptr, h, 4096, 0x10001, 32, 16, "VexaSwitch::LagGroupIdEntry", err));
  EXPECT_NE(err.view().find("wanted:VexaSwitch::LagGroupIdEntry"), std::string_view::npos);
  EXPECT_TRUE(Zolm::SlotTable::validateHeader(nullptr, h, 4096, 0x10001, 32, 16, "VexaSwitch::L3FloodEntryConfig", err));
}

TEST_F(SlotFileTest, ShrinksWhenMostlyEmptyAndNeverBelowTheInitialCount) {
  auto w = writer(4096);
  for (U32 i = 0; i < 1024; ++i) w->write(floodEntry(i + 1));
  EXPECT_EQ(w->capacity(), 1024u);
  EXPECT_EQ(w->slotTable().shrinkThreshold(), 512u);
  for (U32 i = 0; i < 768; ++i) w->remove(Lanx::IntfId::fromRaw(i + 1));
  EXPECT_EQ(w->capacity(), 1024u);  // 256 occupied: not below half of 512
  w->remove(Lanx::IntfId::fromRaw(769));
  EXPECT_EQ(w->capacity(), 512u);  // 255 occupied: 4 x 128
  EXPECT_TRUE(w->validate()) << w->lastError();
  VexaSwitch::L3FloodEntryConfig v;
  for (U32 i = 769; i < 1024; ++i) ASSERT_TRUE(w->lookup(Lanx::IntfId::fromRaw(i + 1), v)) << i;
  for (U32 i = 769; i < 1024; ++i) w->remove(Lanx::IntfId::fromRaw(i + 1));
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_TRUE(w->validate()) << w->lastError();
}

// A local table: the death-test child leaves no files behind.
TEST(SlotFileDeathTest, FreeListMisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FloodWriter w(nullptr, TABLE, {.local = true});
  w.initialize();
  EXPECT_DEATH(w.slotTable().initializeSlots(0, 4), "free-list is not empty");
  EXPECT_DEATH(w.slotTable().initializeSlots(5, 5), "bad index range, start: 5 end: 5");
  w.write(floodEntry(1));
  w.write(floodEntry(2));
  // Slot 0 is occupied, the free-list head is 2: moving down from 0 is wrong.
  EXPECT_DEATH(w.slotTable().move(0), "should always move entries to lower section");
}

}  // namespace
