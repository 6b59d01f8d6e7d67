// The reader against a writer of the same table in this process: its own
// read-only mappings of the same shared memory, so it sees the writer's
// changes only through the files, as a reader process would.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<FloodOps>;

constexpr char const* TABLE = "vexaswitch/tables/test/readme";

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("ReaderTest"); }

Zolm::WriterConfig sharedConfig(U32 maxSlots = 1u << 14) { return {.maxSlots = maxSlots}; }

Lanx::IntfId key(U64 k) { return Lanx::IntfId::fromRaw(k); }

std::vector<U64> writerOrder(FloodWriter& w) {
  std::vector<U64> keys;
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint)) keys.push_back(v.key().raw());
  return keys;
}
std::vector<U64> readerOrder(FloodReader& r) {
  std::vector<U64> keys;
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint)) keys.push_back(v.key().raw());
  return keys;
}

// Random inserts, updates and removes in phases that fill the table and
// drain it again, so that both the slot table and the buckets grow and
// shrink under the reader. After every batch the reader must agree with
// the model: contents, order (the writer's), reads by slot index.
TEST(ReaderModel, FollowsEveryGrowAndShrinkOfTheWriter) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  std::map<U64, U32> model;
  std::mt19937 rng(77);
  U32 maxCapacity = 0, minCapacityAfterPeak = ~0u;
  for (int batch = 0; batch < 60; ++batch) {
    bool filling = (batch / 10) % 2 == 0;
    for (int i = 0; i < 300; ++i) {
      U64 k = 1 + rng() % 6000;
      U32 op = rng() % 10;
      if (filling ? op < 7 : op < 1) {
        U32 id = rng();
        w.write(floodEntry(k, id));
        model[k] = id;
      } else {
        w.remove(key(k));
        model.erase(k);
      }
    }
    SCOPED_TRACE(::testing::Message() << "batch " << batch << " members " << model.size());
    ASSERT_EQ(r.members(), model.size());
    for (auto const& [k, id] : model) {
      bool found = false;
      L3FloodEntryConfig v;
      r.lookup(key(k), found, &v);
      ASSERT_TRUE(found) << k;
      ASSERT_EQ(v.floodListId(), id) << k;
    }
    for (U64 k = 6001; k < 6101; ++k) {
      bool found = true;
      L3FloodEntryConfig const* p = r.lookup(key(k), found);
      ASSERT_FALSE(found);
      ASSERT_EQ(p->key().raw(), FloodOps::defaultValue().key().raw());
    }
    std::vector<U64> order = readerOrder(r);
    ASSERT_EQ(order, writerOrder(w));
    U32 occupied = 0;
    for (U32 s = 0; s < r.capacity(); ++s) {
      L3FloodEntryConfig v;
      if (!r.getValue(s, v)) continue;
      ++occupied;
      auto it = model.find(v.key().raw());
      ASSERT_NE(it, model.end()) << "slot " << s;
      ASSERT_EQ(v.floodListId(), it->second);
    }
    ASSERT_EQ(occupied, model.size());
    ASSERT_EQ(r.capacity(), w.capacity());
    ASSERT_EQ(r.buckets(), w.buckets());
    maxCapacity = std::max(maxCapacity, r.capacity());
    if (maxCapacity > 1024) minCapacityAfterPeak = std::min(minCapacityAfterPeak, r.capacity());
  }
  Zolm::Reader::Counters c = r.readerCounters();
  EXPECT_GT(c.resizes, 4u);
  EXPECT_GT(c.bucketResizes, 4u);
  EXPECT_LT(minCapacityAfterPeak, maxCapacity) << "the run never shrank the table";
  EXPECT_TRUE(r.validate()) << r.lastError();
}

TEST(ReaderModel, GetValueOutsideTheTableIsAMissNotAnError) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  w.write(floodEntry(5, 55));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  L3FloodEntryConfig v, out;
  EXPECT_FALSE(r.getValue(r.capacity(), v, &out));
  EXPECT_FALSE(r.getValue(0xFFFFFFF0u, v, &out));
  EXPECT_EQ(out.key().raw(), FloodOps::defaultValue().key().raw());
}

TEST(ReaderEmpty, EmptyTableHasNoFirstAndMissesEveryKey) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  L3FloodEntryConfig v = floodEntry(9, 9);
  Zolm::IterHint hint;
  EXPECT_FALSE(r.first(v, hint));
  EXPECT_EQ(v.key().raw(), FloodOps::defaultValue().key().raw());
  bool found = true;
  r.lookup(key(1), found);
  EXPECT_FALSE(found);
  EXPECT_TRUE(r.validate()) << r.lastError();
}

// While the writer rewrites an occupied slot in place the slot's current
// contents are in the header's image; a reader must take them from there.
TEST(ReaderCriticalSection, SlotUnderRewriteIsReadFromTheImage) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  w.write(floodEntry(7, 70));
  Zolm::IterHint hint;
  L3FloodEntryConfig v;
  ASSERT_TRUE(w.lookup(key(7), v, hint));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));

  auto& st = w.slotTable();
  Zolm::SlotPrefix* slot = st.slotRaw(hint.slot);
  Zolm::SlotPrefix* image = st.image();
  L3FloodEntryConfig staged = floodEntry(7, 71);
  image->rhash = slot->rhash;
  std::memcpy(reinterpret_cast<char*>(image) + sizeof(Zolm::SlotPrefix), &staged, sizeof staged);
  Mem::store32(&slot->runtimeFlags, slot->runtimeFlags + Zolm::SLOT_LOOKASIDE);
  // The slot itself holds garbage meanwhile.
  std::memset(reinterpret_cast<char*>(slot) + sizeof(Zolm::SlotPrefix) + 8, 0xAB, sizeof staged - 8);

  bool found = false;
  r.lookup(key(7), found, &v);
  ASSERT_TRUE(found);
  EXPECT_EQ(v.floodListId(), 71u);
  EXPECT_GE(r.readerCounters().criticalReads, 1u);

  std::memcpy(reinterpret_cast<char*>(slot) + sizeof(Zolm::SlotPrefix), &staged, sizeof staged);
  Mem::store32(&slot->runtimeFlags, slot->runtimeFlags + Zolm::SLOT_LOOKASIDE);
  U64 before = r.readerCounters().criticalReads;
  r.lookup(key(7), found, &v);
  EXPECT_EQ(v.floodListId(), 71u);
  EXPECT_EQ(r.readerCounters().criticalReads, before);
}

TEST(ReaderVersionAnchor, CurrentUntilTheWriterChangesTheSlot) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  for (U64 k = 1; k <= 10; ++k) w.write(floodEntry(k, U32(k)));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  bool found = false;
  r.lookup(key(3), found);
  ASSERT_TRUE(found);
  EXPECT_NO_THROW(r.validateVersionAnchor());
  Mem::VersionAnchor a = r.getCacheVersionAnchor();
  EXPECT_TRUE(r.validateVersionAnchor(a));
  w.write(floodEntry(4, 40));  // another slot: still current
  EXPECT_NO_THROW(r.validateVersionAnchor());
  w.write(floodEntry(3, 30));
  EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
  EXPECT_FALSE(r.validateVersionAnchor(a));
}

TEST(ReaderVersionAnchorDeathTest, AfterAMissThereIsNothingToValidate) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  w.write(floodEntry(1, 1));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  bool found = true;
  r.lookup(key(2), found);
  ASSERT_FALSE(found);
  EXPECT_DEATH(r.validateVersionAnchor(), "should not be called on a default-constructed VersionAnchor");
}

// --- attaching --------------------------------------------------------------

TEST(ReaderAttach, RefusesWhatIsNotASoundTableOfItsType) {
  ShmRoot root;
  {
    FloodReader nothing(handler(), TABLE);
    EXPECT_FALSE(nothing.initialize("test"));
  }
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  w.write(floodEntry(1, 1));
  Mem::RootPath path(nullptr, TABLE);
  auto const files = filesIn(path.dirName());

  // Another value type over the same files; a damaged bucket header. A
  // reader or shadow that refuses says why and writes nothing.
  Zolm::ZolmReader<LagOps> wrongType(handler(), TABLE);
  EXPECT_FALSE(wrongType.initialize("test"));
  EXPECT_NE(std::string(wrongType.lastError().c_str()).find("failed to validate slots"), std::string::npos)
      << wrongType.lastError();
  Quiv::EventLoop loop;
  EXPECT_FALSE(Zolm::ZolmShadow<LagOps>(handler(), TABLE, loop, false).initialize("test"));
  U8 magic = 0;
  ASSERT_TRUE(patchFile(path.filePath("buckets"), 0, &magic, 1));
  auto const damaged = filesIn(path.dirName());
  FloodReader badBuckets(handler(), TABLE);
  EXPECT_FALSE(badBuckets.initialize("test"));
  EXPECT_NE(std::string(badBuckets.lastError().c_str()).find("failed to validate buckets"), std::string::npos)
      << badBuckets.lastError();
  for (bool keyShadow : {false, true})
    EXPECT_FALSE(Zolm::ZolmShadow<FloodOps>(handler(), TABLE, loop, keyShadow).initialize("test"));
  EXPECT_EQ(filesIn(path.dirName()), damaged);
  ASSERT_TRUE(patchFile(path.filePath("buckets"), 0, &files.at("buckets")[0], 1));
  EXPECT_EQ(filesIn(path.dirName()), files);
  // The operators' marker, only when the caller asks.
  EXPECT_TRUE(badBuckets.markCorruption(badBuckets.lastError()));
  EXPECT_EQ(readFile(path.filePath(Zolm::CORRUPTION_MARKER)).size(), badBuckets.lastError().size() + 1);

  // No fenix file: no writer incarnation to check the files against.
  std::filesystem::rename(path.filePath("fenix"), path.filePath("fenix.saved"));
  FloodReader noFenix(handler(), TABLE);
  EXPECT_FALSE(noFenix.initialize("test"));
  std::filesystem::rename(path.filePath("fenix.saved"), path.filePath("fenix"));

  FloodReader ok(handler(), TABLE);
  EXPECT_TRUE(ok.initialize("test"));
  EXPECT_TRUE(ok.validateFiles()) << ok.lastError();
  EXPECT_EQ(ok.fenixId().value(), w.fenixId().value());
  EXPECT_EQ(ok.type(), Zolm::ZolmType::reader);
}

TEST(ReaderAttach, ANewWriterIncarnationIsNoticed) {
  ShmRoot root;
  auto w = std::make_unique<FloodWriter>(handler(), TABLE, sharedConfig());
  w->initialize();
  w->write(floodEntry(1, 1));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  w->detach();
  w.reset();
  // Damage the slot file so that the next writer re-formats.
  U64 junk = 1;
  ASSERT_TRUE(patchFile(Mem::RootPath(nullptr, TABLE).filePath("slots"), 0, &junk, sizeof junk));
  FloodWriter next(handler(), TABLE, sharedConfig());
  next.initialize();
  next.write(floodEntry(2, 2));
  EXPECT_FALSE(r.validateFiles());
  EXPECT_NE(std::string(r.lastError().c_str()).find("writer changed"), std::string::npos) << r.lastError();
  r.detach();
  ASSERT_TRUE(r.initialize("again"));
  bool found = false;
  r.lookup(key(2), found);
  EXPECT_TRUE(found);
  r.lookup(key(1), found);
  EXPECT_FALSE(found);
}

TEST(ReaderAttach, ReadsBeforeInitializeAndWritesAreRefused) {
  ShmRoot root;
  FloodWriter w(handler(), TABLE, sharedConfig());
  w.initialize();
  FloodReader r(handler(), TABLE);
  bool found;
  EXPECT_THROW(r.lookup(key(1), found), Quiv::InvalidInitializeException);
  ASSERT_TRUE(r.initialize("test"));
  Zolm::ZolmInterface<FloodOps>& table = r;
  EXPECT_THROW(table.write(floodEntry(1, 1), true), Quiv::NoPermissionException);
  EXPECT_THROW(table.remove(key(1), nullptr), Quiv::NoPermissionException);
  EXPECT_THROW(table.directWrite(floodEntry(1, 1)), Quiv::NoPermissionException);
  EXPECT_THROW(table.directUpdate(key(1)), Quiv::NoPermissionException);
  EXPECT_THROW(table.directCommit(), Quiv::NoPermissionException);
  EXPECT_THROW(table.cleanup(), Quiv::NoPermissionException);
  r.detach();
  r.detach();  // twice is harmless
  EXPECT_EQ(r.mountStatus(), Mem::notMounted);
}

}  // namespace
