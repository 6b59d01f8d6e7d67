// The validator: a sound table passes, and each kind of damage is named.
#include <gtest/gtest.h>

#include "Zolm/TestTables.h"

namespace {

using namespace VexaTest;
using Zolm::SlotLink;
constexpr char const* TABLE = "vexaswitch/tables/test/validator";

struct ValidatorTest : ::testing::TestWithParam<bool> {
  ShmRoot root;
  std::unique_ptr<FloodWriter> w;
  void SetUp() override {
    w = std::make_unique<FloodWriter>(nullptr, TABLE, Zolm::WriterConfig{.local = GetParam()});
    w->initialize();
  }
  void fill(U64 n) {
    for (U64 k = 1; k <= n; ++k) w->write(floodEntry(k, U32(k)));
  }
  std::string error() { return std::string(w->lastError().view()); }
  Zolm::SlotPrefix* slot(U32 i) { return w->slotTable().slot(i); }
  U32 someOccupiedSlot() {
    VexaSwitch::L3FloodEntryConfig v;
    Zolm::IterHint hint;
    w->first(v, hint);
    return hint.slot;
  }
};

TEST_P(ValidatorTest, EmptyAndFullTablesPass) {
  EXPECT_TRUE(w->validate()) << error();
  fill(64);
  EXPECT_TRUE(w->validate()) << error();
  for (U64 k = 1; k <= 64; ++k) w->remove(Lanx::IntfId::fromRaw(k));
  EXPECT_TRUE(w->validate()) << error();
}

// Each damage in turn, put right after its report (verbatim) was checked.
TEST_P(ValidatorTest, EachDamageIsNamed) {
  fill(10);
  auto* h = w->slotTable().header();
  U32 const id = someOccupiedSlot(), head = h->freeList, second = slot(head)->next();
  auto expectReport = [&](std::string const& want) {
    EXPECT_FALSE(w->validate());
    EXPECT_EQ(error(), want);
  };
  // A critical section left set is reported before the damage behind it.
  h->runtimeFlags |= 1;
  slot(id)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;
  expectReport("bad critical section runtimeFlags:1");
  h->runtimeFlags &= ~1u;
  slot(id)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  ASSERT_TRUE(w->validate()) << error();

  // A free list that loops back.
  auto const link = slot(second)->link;
  SlotLink::store(&slot(second)->link, SlotLink::next(link, head));
  expectReport(fmt::format("duplicate freeSlot detected: {}", head));
  SlotLink::store(&slot(second)->link, link);

  slot(head)->runtimeFlags |= Zolm::SLOT_OCCUPIED;
  expectReport(fmt::format("corrupted free slot not marked as empty: {}", head));
  slot(head)->runtimeFlags &= ~Zolm::SLOT_OCCUPIED;

  slot(id)->runtimeFlags |= Zolm::SLOT_LOOKASIDE;
  EXPECT_FALSE(w->validate());
  EXPECT_EQ(error().rfind("stuck LOOKASIDE bit: 0x", 0), 0u) << error();
  slot(id)->runtimeFlags &= ~Zolm::SLOT_LOOKASIDE;

  // Counts that do not add up.
  h->occupiedSlots = 11;
  expectReport("mismatch header->occupiedSlots:11 count:10");
  h->occupiedSlots = 9;
  expectReport("walkedSlots:10 is greater than header->occupiedSlots:9");
  h->occupiedSlots = 10;
  // A free slot dropped from the list: occupied + free no longer numSlots.
  h->freeList = second;
  expectReport("bad slotCount:63 occupiedSlots:10 freeSlots:53 capacity:64");
}

// A slot's live record pointing at another slot, or cancelled while the
// slot still claims it.
TEST_P(ValidatorTest, NotificationThatNamesAnotherSlotOrATombstoneIsReported) {
  fill(10);
  U32 id = someOccupiedSlot();
  auto& q = w->nimbr();
  U32 pos = q.slotPos(id);
  ASSERT_NE(pos, Nimbr::NimbrWriter::NONE);
  auto& rec = const_cast<Nimbr::Record&>(q.header()->records()[pos]);
  for (U32 bad : {id + 1, Nimbr::NimbrWriter::TOMBSTONE}) {
    rec.slot = bad;
    EXPECT_FALSE(w->validate());
    EXPECT_EQ(error(), fmt::format("slot:{} bad notification:{} slot:{}", id, pos, bad));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ValidatorTest, ::testing::Values(true, false),
                         [](auto const& info) { return std::string(info.param ? "local" : "shared"); });

}  // namespace
