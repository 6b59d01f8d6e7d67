// The writer through its interface: writing in place, the private default
// table, and the rule that every change leaves exactly one live queue
// record for its slot. (The read-only defaults: reader_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "Zolm/TestTables.h"
#include "testutil/Trace.h"

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

  // A new key: filled in its own slot, reachable only after the commit.
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

  // An existing key: staged in the image, the slot keeps its old value
  // until the commit.
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

  // Many new keys this way grow the table past its requested size.
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
  // A second thread writing the table would interleave its changes with
  // the first one's: fatal at its first write, not silent damage.
  EXPECT_DEATH(
      {
        auto w = fresh();
        w->write(floodEntry(5, 1));
        std::thread([&] { w->write(floodEntry(6, 1)); }).join();
      },
      "entered from a second thread");
}

// Another program removed the table's directory under its writer (a
// cleanup script, a test's root going first): letting go of it is still
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

// Every change leaves exactly one live queue record for its slot, and a
// write that may not overwrite leaves the entry and sends nothing: a random
// run through the interface, checked after every batch.
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
    // Slots may have moved in a shrink; every occupied slot still has its
    // own record, and each one touched now has a fresh one.
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

}  // namespace
