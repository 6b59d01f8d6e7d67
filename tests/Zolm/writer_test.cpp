// The writer through its interface: writing in place, the private default
// table, one live queue record per changed slot. The slot file: its bytes,
// growth and shrink points, the header check, the free list.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "Zolm/TestTables.h"
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

U32 slotOf(FloodWriter& w, U64 key) {
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  if (!w.lookup(Lanx::IntfId::fromRaw(key), v, hint)) return 0xFFFFFFFFu;
  return hint.slot;
}

class DirectOps : public ::testing::TestWithParam<bool> {};

TEST_P(DirectOps, WriteInPlaceIsInvisibleUntilCommitNotifiesOnceAndGrowsTheTable) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, config(GetParam(), 4096));
  w.initialize();
  w.write(floodEntry(1, 10));

  // A new key: reachable only after the commit, which notifies once.
  U64 before = w.sequence();
  L3FloodEntryConfig* p = w.directWrite(floodEntry(2, 0));
  ASSERT_NE(p, nullptr);
  p->floodListIdIs(22);
  L3FloodEntryConfig v;
  EXPECT_FALSE(w.lookup(Lanx::IntfId::fromRaw(2), v));
  w.directCommit();
  ASSERT_TRUE(w.lookup(Lanx::IntfId::fromRaw(2), v));
  EXPECT_EQ(v.floodListId(), 22u);
  EXPECT_EQ(w.sequence(), before + 1);
  EXPECT_EQ(w.members(), 2u);

  // An existing key: staged in the image, the old value until the commit.
  p = w.directUpdate(Lanx::IntfId::fromRaw(1));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->floodListId(), 10u) << "starts from the stored value";
  p->floodListIdIs(11);
  ASSERT_TRUE(w.lookup(Lanx::IntfId::fromRaw(1), v));
  EXPECT_EQ(v.floodListId(), 10u);
  w.directCommit();
  ASSERT_TRUE(w.lookup(Lanx::IntfId::fromRaw(1), v));
  EXPECT_EQ(v.floodListId(), 11u);
  EXPECT_EQ(w.writerCounters().directUpdates, 1u);
  EXPECT_EQ(w.writerCounters().directCommits, 2u);

  EXPECT_EQ(w.directUpdate(Lanx::IntfId::fromRaw(99)), nullptr);
  EXPECT_FALSE(w.directOpen());
  EXPECT_TRUE(w.validate()) << w.lastError();

  for (U64 k = 3; k <= 3000; ++k) {
    w.directWrite(floodEntry(k, 0))->floodListIdIs(U32(k * 3));
    w.directCommit();
  }
  EXPECT_EQ(w.members(), 3000u);
  EXPECT_GE(w.buckets(), 2048u);
  for (U64 k = 3; k <= 3000; k += 97) {
    ASSERT_TRUE(w.lookup(Lanx::IntfId::fromRaw(k), v));
    EXPECT_EQ(v.floodListId(), k * 3);
  }
  EXPECT_TRUE(w.validate()) << w.lastError();
}

INSTANTIATE_TEST_SUITE_P(LocalAndShared, DirectOps, ::testing::Values(true, false));

TEST(DirectOpsDeathTest, UnbalancedDirectOperationsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ShmRoot root;
  auto fresh = [] {
    auto w = std::make_unique<FloodWriter>(handler(), TABLE, config(true));
    w->initialize();
    return w;
  };
  EXPECT_DEATH(fresh()->directCommit(), "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
  EXPECT_DEATH(
      {
        auto w = fresh();
        w->directWrite(floodEntry(5, 1));
        w->write(floodEntry(6, 1));
      },
      "unbalanced directSlot:0 containing value:.* when writing value:");
  EXPECT_DEATH(
      {
        auto w = fresh();
        w->write(floodEntry(5, 1));
        w->directUpdate(Lanx::IntfId::fromRaw(5));
        w->remove(Lanx::IntfId::fromRaw(5));
      },
      "unbalanced directSlot:0 containing value:.* when removing key:");
  EXPECT_DEATH(
      {
        auto w = fresh();
        w->directWrite(floodEntry(5, 1));
        w->directWrite(floodEntry(7, 1));
      },
      "when modifying key:");
  // A second writing thread is fatal at its first write, not silent damage.
  EXPECT_DEATH(
      {
        auto w = fresh();
        w->write(floodEntry(5, 1));
        std::thread([&] { w->write(floodEntry(6, 1)); }).join();
      },
      "entered from a second thread");
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
  std::unique_ptr<Zolm::ZolmInterface<LagOps>> w;
  {
    TraceCapture trace(Quiv::Platform::getDebugHandler("ZolmTemp"), 0x2);
    w = Zolm::createDefaultLocalWriter<LagOps>("vexaswitch/tables/lag/groupId");
    ASSERT_FALSE(trace.lines().empty());
    EXPECT_EQ(trace.lines().front().second, "creating local ZolmWriter vexaswitch/tables/lag/groupId");
  }
  EXPECT_EQ(w->maxSize(), 100u);
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_EQ(w->type(), Zolm::ZolmType::writer);
  EXPECT_EQ(w->mountStatus(), Mem::mounted);
  for (U32 i = 0; i < 63; ++i) w->write(lagEntry(i, i), true);
  EXPECT_EQ(w->members(), 63u);
  EXPECT_TRUE(std::filesystem::is_empty(root.dir())) << "a local table leaves no files";
}

// Every change leaves exactly one live queue record for its slot; a write
// that may not overwrite leaves the entry and sends nothing.
TEST(WriterQueue, EveryChangeLeavesOneLiveRecordForItsSlot) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, config(false, 512));
  w.initialize();
  Zolm::ZolmInterface<FloodOps>& iface = w;
  std::mt19937 rng(7);
  std::map<U64, U32> model;
  for (int batch = 0; batch < 40; ++batch) {
    std::set<U32> touched;
    U64 seqBefore = w.nimbr().tailSeq();
    for (int i = 0; i < 200; ++i) {
      U64 key = rng() % 600 + 1;
      U32 op = rng() % 4;
      if (op == 0 && model.count(key)) {
        U32 slot = slotOf(w, key);
        iface.remove(Lanx::IntfId::fromRaw(key), nullptr);
        model.erase(key);
        touched.insert(slot);
      } else if (op == 2 && model.count(key)) {
        // Not overwritten: the stored entry stays, nothing is sent.
        U64 seq = w.sequence();
        U32 slot = slotOf(w, key);
        Nimbr::Record before, after;
        ASSERT_TRUE(liveRecordFor(w, slot, before));
        EXPECT_EQ(w.write(floodEntry(key, U32(i) + 1000), false)->floodListId(), model[key]);
        EXPECT_EQ(w.sequence(), seq);
        ASSERT_TRUE(liveRecordFor(w, slot, after));
        EXPECT_EQ(after.seq, before.seq) << "no notification for an untouched entry";
      } else if (op == 1 && model.count(key)) {
        iface.directUpdate(Lanx::IntfId::fromRaw(key))->floodListIdIs(U32(i));
        iface.directCommit();
        model[key] = U32(i);
        touched.insert(slotOf(w, key));
      } else {
        iface.write(floodEntry(key, U32(i)), true);
        model[key] = U32(i);
        touched.insert(slotOf(w, key));
      }
    }
    ASSERT_TRUE(w.validate()) << w.lastError();
    // After shrinks too: every occupied slot has its record, a touched one a fresh one.
    for (auto [key, id] : model) {
      U32 slot = slotOf(w, key);
      Nimbr::Record rec;
      ASSERT_TRUE(liveRecordFor(w, slot, rec)) << "key " << key << " slot " << slot;
      L3FloodEntryConfig v;
      ASSERT_TRUE(w.lookup(Lanx::IntfId::fromRaw(key), v));
      EXPECT_EQ(v.floodListId(), id);
    }
    for (U32 slot : touched) {
      if (slot >= w.capacity()) continue;  // released by a shrink
      Nimbr::Record rec;
      if (liveRecordFor(w, slot, rec)) {
        EXPECT_GT(rec.seq, seqBefore) << "slot " << slot;
      }
    }
    EXPECT_EQ(w.members(), model.size());
  }
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
  EXPECT_EQ(rawAt<U16>(bytes, 548), 2u);  // flags: notification queue
  EXPECT_EQ(rawAt<U16>(bytes, 550), 0u);  // not inside a critical section
  expectWords(bytes, {{12, 600, "common header size"}, {16, 32, "slot size"}, {28, 16, "value size"},
                      {556, 0, "occupiedSlots"}, {560, 0, "freeList"}, {564, 64, "maxNumSlots"},
                      {568, w->ops().seed, "seed"}, {576, 0, "resizeSeq"}, {580, 64, "numSlots"},
                      {584, 0, "maxOccupiedSlots"}, {604, 0xFFFFFFFFu, "image: an empty slot"}, {608, 0, "image flags"}});
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
  U32 h = Kel::hashSingleAttr(w->ops().seed, U64(77));
  expectWords(bytes, {{556, 1, "occupiedSlots"}, {560, 1, "freeList: slot 0 taken"}, {632 + 12, Zolm::reverseBits32(h), "rhash"},
                      {632 + 16, 77, "key"}, {632 + 20, 0, "key, high word"}, {632 + 24, 1234, "floodListId"}});
  EXPECT_EQ(rawAt<U32>(bytes, 632 + 8) & Zolm::SLOT_OCCUPIED, 1u);
  EXPECT_EQ(rawAt<U32>(bytes, 632 + 8) & Zolm::SLOT_LOOKASIDE, 0u);
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
  expectWords(readFile(slotsPath()), {{580, 100, "numSlots"}, {576, 1, "resizeSeq"}});
  for (U32 i = 65; i < 100; ++i) w->write(floodEntry(i + 1000));
  EXPECT_EQ(w->capacity(), 100u);
  w->write(floodEntry(5000));
  EXPECT_EQ(w->capacity(), 110u);
  expectWords(readFile(slotsPath()), {{564, 110, "maxNumSlots"}, {576, 2, "resizeSeq"}, {584, 101, "maxOccupiedSlots"}});
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

TEST(SlotFileDeathTest, FreeListMisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FloodWriter w(nullptr, TABLE, {.local = true});
  w.initialize();
  EXPECT_DEATH(w.slotTable().initializeSlots(0, 4), "free-list is not empty");
  EXPECT_DEATH(w.slotTable().initializeSlots(5, 5), "bad index range, start: 5 end: 5");
  w.write(floodEntry(1));
  w.write(floodEntry(2));
  EXPECT_DEATH(w.slotTable().move(0), "should always move entries to lower section");
}

}  // namespace

}  // namespace vexa_writer_test
