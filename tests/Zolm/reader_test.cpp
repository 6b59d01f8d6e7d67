// The reader against a writer of the same table in this process, through
// its own read-only mappings, as a reader process would see it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"

namespace vexa_reader_test {
namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<FloodOps>;

constexpr char const* TABLE = "vexaswitch/tables/test/readme";

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("ReaderTest"); }

Zolm::WriterConfig sharedConfig() { return {.maxSlots = 1u << 14}; }

struct ReaderTest : ::testing::Test {
  ShmRoot root;
  FloodWriter w{handler(), TABLE, sharedConfig()};
  FloodReader r{handler(), TABLE};
  void SetUp() override { w.initialize(); }
};

// Reads of nothing: before initialize, of an empty table, of slots past
// the table; and writes through a reader.
TEST_F(ReaderTest, EmptyTableSlotsPastItUninitialisedReadsAndWritesAreRefused) {
  bool found = true;
  EXPECT_THROW(r.lookup(floodKey(1), found), Quiv::InvalidInitializeException);
  ASSERT_TRUE(r.initialize("test"));
  L3FloodEntryConfig v = floodEntry(9, 9), out;
  Zolm::IterHint hint;
  EXPECT_FALSE(r.first(v, hint));
  EXPECT_EQ(v.key().raw(), FloodOps::defaultValue().key().raw());
  r.lookup(floodKey(1), found);
  EXPECT_FALSE(found);
  EXPECT_TRUE(r.validate()) << r.lastError();
  w.write(floodEntry(5, 55));
  EXPECT_FALSE(r.getValue(r.capacity(), v, &out));
  EXPECT_FALSE(r.getValue(0xFFFFFFF0u, v, &out));
  EXPECT_EQ(out.key().raw(), FloodOps::defaultValue().key().raw());
  Zolm::ZolmInterface<FloodOps>& table = r;
  EXPECT_THROW(table.write(floodEntry(1, 1), true), Quiv::NoPermissionException);
  EXPECT_THROW(table.remove(floodKey(1), nullptr), Quiv::NoPermissionException);
  EXPECT_THROW(table.directWrite(floodEntry(1, 1)), Quiv::NoPermissionException);
  EXPECT_THROW(table.directUpdate(floodKey(1)), Quiv::NoPermissionException);
  EXPECT_THROW(table.directCommit(), Quiv::NoPermissionException);
  EXPECT_THROW(table.cleanup(), Quiv::NoPermissionException);
  r.detach();
  r.detach();  // twice is harmless
  EXPECT_EQ(r.mountStatus(), Mem::notMounted);
}

// While the writer rewrites an occupied slot in place the slot's current
// contents are in the header's image (the slot holds garbage meanwhile); a
// reader must take them from there, and only then.
TEST_F(ReaderTest, SlotUnderRewriteIsReadFromTheImage) {
  w.write(floodEntry(7, 70));
  Zolm::IterHint hint;
  L3FloodEntryConfig v;
  ASSERT_TRUE(w.lookup(floodKey(7), v, hint));
  ASSERT_TRUE(r.initialize("test"));
  Zolm::SlotPrefix *slot = w.slotTable().slotRaw(hint.slot), *image = w.slotTable().image();
  L3FloodEntryConfig staged = floodEntry(7, 71);
  image->rhash = slot->rhash;
  std::memcpy(reinterpret_cast<char*>(image) + sizeof(Zolm::SlotPrefix), &staged, sizeof staged);
  Mem::store32(&slot->runtimeFlags, slot->runtimeFlags + Zolm::SLOT_LOOKASIDE);
  std::memset(reinterpret_cast<char*>(slot) + sizeof(Zolm::SlotPrefix) + 8, 0xAB, sizeof staged - 8);
  bool found = false;
  r.lookup(floodKey(7), found, &v);
  ASSERT_TRUE(found);
  EXPECT_EQ(v.floodListId(), 71u);
  U64 before = r.readerCounters().criticalReads;
  EXPECT_GE(before, 1u);
  std::memcpy(reinterpret_cast<char*>(slot) + sizeof(Zolm::SlotPrefix), &staged, sizeof staged);
  Mem::store32(&slot->runtimeFlags, slot->runtimeFlags + Zolm::SLOT_LOOKASIDE);
  r.lookup(floodKey(7), found, &v);
  EXPECT_EQ(v.floodListId(), 71u);
  EXPECT_EQ(r.readerCounters().criticalReads, before);
}

// An anchor is current until its own slot is rewritten or moved away by
// a shrink (in the mapping it was taken in and after the remap), not when
// another slot changes; after a miss there is nothing to validate.
using ReaderAnchorDeathTest = ReaderTest;
TEST_F(ReaderAnchorDeathTest, CurrentUntilItsSlotChangesOrMovesAndNoneAfterAMiss) {
  for (U64 k = 1; k <= 3000; ++k) w.write(floodEntry(k, U32(k)));
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  U64 high = 0;  // a key in the upper part of the table: the shrink moves it
  for (U64 k = 3000; k >= 1 && !high; --k)
    if (w.lookup(floodKey(k), v, hint) && hint.slot >= 2048) high = k;
  ASSERT_NE(high, 0u);
  ASSERT_TRUE(r.initialize("test"));
  bool found = false;
  r.lookup(floodKey(high), found);
  ASSERT_TRUE(found);
  Mem::VersionAnchor a = r.getCacheVersionAnchor();
  EXPECT_TRUE(r.validateVersionAnchor(a));
  w.write(floodEntry(high == 50 ? 100 : 50, 40));  // another slot: still current
  EXPECT_NO_THROW(r.validateVersionAnchor());
  for (U64 k = 1; k <= 3000; ++k)
    if (k != high && k % 50) w.remove(floodKey(k));
  ASSERT_TRUE(w.lookup(floodKey(high), v, hint));
  ASSERT_LT(hint.slot, 2048u) << "the key was moved";
  EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
  EXPECT_FALSE(r.validateVersionAnchor(a));
  r.lookup(floodKey(high), found);  // remaps: the old anchor stays stale, the new one is current
  ASSERT_TRUE(found);
  EXPECT_FALSE(r.validateVersionAnchor(a));
  EXPECT_NO_THROW(r.validateVersionAnchor());
  a = r.getCacheVersionAnchor();
  w.write(floodEntry(high, 30));
  EXPECT_THROW(r.validateVersionAnchor(), Mem::VersionMismatchException);
  EXPECT_FALSE(r.validateVersionAnchor(a));
  r.lookup(floodKey(99999), found);
  ASSERT_FALSE(found);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(r.validateVersionAnchor(), "should not be called on a default-constructed VersionAnchor");
}

// What a reader refuses to attach to, saying why and writing nothing: no
// table, another value type, a damaged bucket header, no fenix file. Then
// a new writer incarnation under an attached reader is noticed.
TEST(ReaderAttach, RefusesWhatIsNotASoundTableOfItsTypeAndNoticesANewWriter) {
  ShmRoot root;
  Quiv::EventLoop loop;
  EXPECT_FALSE(FloodReader(handler(), TABLE).initialize("test"));
  auto w = std::make_unique<FloodWriter>(handler(), TABLE, sharedConfig());
  w->initialize();
  w->write(floodEntry(1, 1));
  Mem::RootPath path(nullptr, TABLE);
  auto const files = filesIn(path.dirName());
  auto refusal = [](auto&& form) { return form.initialize("test") ? "attached" : std::string(form.lastError().c_str()); };
  EXPECT_NE(refusal(Zolm::ZolmReader<LagOps>(handler(), TABLE)).find("failed to validate slots"), std::string::npos);
  U8 magic = 0;
  ASSERT_TRUE(patchFile(path.filePath("buckets"), 0, &magic, 1));
  auto const damaged = filesIn(path.dirName());
  FloodReader badBuckets(handler(), TABLE);
  EXPECT_NE(refusal(badBuckets).find("failed to validate buckets"), std::string::npos);
  for (bool keyShadow : {false, true})
    EXPECT_FALSE(Zolm::ZolmShadow<FloodOps>(handler(), TABLE, loop, keyShadow).initialize("test"));
  EXPECT_EQ(filesIn(path.dirName()), damaged);
  ASSERT_TRUE(patchFile(path.filePath("buckets"), 0, &files.at("buckets")[0], 1));
  // The operators' marker, only when the caller asks.
  EXPECT_TRUE(badBuckets.markCorruption(badBuckets.lastError()));
  EXPECT_EQ(readFile(path.filePath(Zolm::CORRUPTION_MARKER)).size(), badBuckets.lastError().size() + 1);
  std::filesystem::rename(path.filePath("fenix"), path.filePath("fenix.saved"));
  EXPECT_FALSE(FloodReader(handler(), TABLE).initialize("test")) << "no fenix: no incarnation to check against";
  std::filesystem::rename(path.filePath("fenix.saved"), path.filePath("fenix"));
  FloodReader r(handler(), TABLE);
  ASSERT_TRUE(r.initialize("test"));
  EXPECT_TRUE(r.validateFiles()) << r.lastError();
  EXPECT_EQ(r.fenixId().value(), w->fenixId().value());
  w->detach();
  w.reset();
  U64 junk = 1;
  ASSERT_TRUE(patchFile(path.filePath("slots"), 0, &junk, sizeof junk));
  FloodWriter next(handler(), TABLE, sharedConfig());
  next.initialize();
  next.write(floodEntry(2, 2));
  EXPECT_FALSE(r.validateFiles());
  EXPECT_NE(std::string(r.lastError().c_str()).find("writer changed"), std::string::npos) << r.lastError();
  r.detach();
  ASSERT_TRUE(r.initialize("again"));
  bool found = false;
  r.lookup(floodKey(2), found);
  EXPECT_TRUE(found);
  r.lookup(floodKey(1), found);
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace vexa_reader_test
