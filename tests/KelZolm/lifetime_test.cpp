// A collection's lifetime against its control: dropped while a mounter
// holds its control, it lives on that control, mounted and working, until
// the control goes; without a mounter its last reference destroys it. The
// sanitized twin fails a use after free or a leak. The class is made here
// from the pattern, since the sanitized engine library has no collection unit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>

#include "VexaSwitchLib/KelZolm/CollectionImpl.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_lifetime_test {

namespace LifeTest {
using LifeOps = Zolm::Ops<VexaSwitch::LagGroupId, VexaSwitch::LagGroupIdEntry>;
VEXA_KELZOLM_COLLECTION(LifeTable, lifeTableFactory, LifeOps, 0, ::KelZolm::Attr::entry, "LifeTest")
}  // namespace LifeTest

namespace {

using LifeTest::LifeTable;
using VexaTest::pump;
using VexaSwitch::LagGroupId;
using VexaSwitch::LagGroupIdEntry;
constexpr char const* TABLE = "vexaswitch/tables/test/life";

LagGroupIdEntry entry(U32 id) { return LagGroupIdEntry(LagGroupId(id), Lanx::IntfId::fromRaw(id + 1)); }
U64 live() { return Kel::AllocTrackTypeInfo::live(typeid(LifeTable)); }

Zolm::MapDescriptor descriptor(Zolm::ZolmType type) {
  Zolm::MapDescriptor d;
  d.size = 16;
  d.type = type;
  return d;
}

TEST(CollectionLifetime, AMountedCollectionLivesOnItsControlUntilTheMounterLetsItGo) {
  VexaTest::ShmRoot root;
  Quiv::EventLoop loop;
  KelSharedMem::Mounter mounter(loop);
  ASSERT_EQ(live(), 0u);
  Kel::Ptr<KelZolm::CollectionControl> control;
  {
    auto w = LifeTest::lifeTableFactory("w");
    for (U32 k = 0; k < 5; ++k) w->entryIs(entry(k));  // private table, discarded at the mount
    mounter.mount(w->entryControl(), descriptor(Zolm::ZolmType::writer), TABLE);
    for (U32 k = 10; k < 15; ++k) w->entryIs(entry(k));
    control = w->entryControl();
    EXPECT_EQ(control->mountStatus(), Mem::mounted);
  }
  // Dropped by the agent: it lives on its control, still the writer.
  ASSERT_EQ(live(), 1u);
  auto* handed = dynamic_cast<LifeTable*>(control->entityRef().ptr());
  ASSERT_NE(handed, nullptr);
  EXPECT_EQ(handed->entryControl(), nullptr) << "no cycle: it let its own reference go";
  EXPECT_TRUE(handed->notifieeList().empty());
  handed->entryIs(entry(20));
  EXPECT_EQ(handed->entries(), 6u);
  // Another collection follows the table it still writes.
  auto r = LifeTest::LifeTable::LifeTableIs("r");
  mounter.mount(r->entryControl(), descriptor(Zolm::ZolmType::reader), TABLE);
  ASSERT_TRUE(pump(loop, [&] { return r->entries() == 6; }));
  EXPECT_EQ(r->entry(LagGroupId(20)), entry(20));
  EXPECT_EQ(r->entry(LagGroupId(3)), LagGroupIdEntry()) << "written before the mount";
  EXPECT_EQ(r->entryControl()->mountStatus(), Mem::mounted);
  // Unmounted, our control reference is the last: the collection goes with it.
  EXPECT_TRUE(mounter.unmount(control));
  EXPECT_FALSE(mounter.unmount(control)) << "held once";
  EXPECT_EQ(live(), 2u);
  EXPECT_NE(control->controlBase(), nullptr);
  control = nullptr;
  EXPECT_EQ(live(), 1u) << "only the reader";
  // The reader dropped while mounted: handed over too, gone at its unmount.
  Kel::Ptr<KelZolm::CollectionControl> rc = r->entryControl();
  r = nullptr;
  EXPECT_EQ(live(), 1u);
  EXPECT_TRUE(mounter.unmount(rc));
  EXPECT_EQ(rc->mountStatus(), Mem::notMounted);
  rc = nullptr;
  EXPECT_EQ(live(), 0u);
  EXPECT_EQ(mounter.mounts(), 0u);
}

TEST(CollectionLifetime, WithoutAMounterTheLastReferenceDestroysAndAMounterThatGoesTakesWhatItHeld) {
  VexaTest::ShmRoot root;
  {
    auto c = LifeTest::lifeTableFactory("alone");
    c->entryIs(entry(1));
    EXPECT_EQ(live(), 1u);
  }
  EXPECT_EQ(live(), 0u);
  Kel::Ptr<KelZolm::CollectionControl> kept;
  {
    Quiv::EventLoop loop;
    KelSharedMem::Mounter mounter(loop);
    auto dir = Kel::makePtr<Kel::Directory>("agent");
    auto c = LifeTest::lifeTableFactory("mac");
    dir->entityIs(c);
    mounter.mount(c->entryControl(), descriptor(Zolm::ZolmType::writer), TABLE);
    kept = c->entryControl();
    c = nullptr;
    EXPECT_EQ(live(), 1u) << "held by its directory";
    dir = nullptr;  // orphaned and dropped: handed to the control
    EXPECT_EQ(live(), 1u);
    EXPECT_EQ(kept->mountStatus(), Mem::notMounted) << "an orphan is detached";
  }
  EXPECT_EQ(live(), 1u) << "our reference to the control keeps it";
  EXPECT_NE(kept->controlBase(), nullptr);
  kept = nullptr;
  EXPECT_EQ(live(), 0u);
}

// A collection in static storage made before the library's first trace is
// destroyed at exit after everything the library made: its destructor
// still finds its debug handler alive (a freed one fails under ASan).
TEST(CollectionLifetime, ACollectionDestroyedAtExitStillFindsItsHandler) {
  pid_t p = VexaTest::spawn([] {
    static std::optional<Kel::Ptr<LifeTable>> held;
    held.emplace(LifeTest::lifeTableFactory("atexit"));
    for (U32 k = 0; k < 5; ++k) (*held)->entryIs(entry(k));
    Quiv::Platform::getDebugHandler("ZolmTemp")->flagsIs(~U64(0));
    std::freopen("/dev/null", "w", stderr);
    std::exit(0);  // static destructors run: `held` goes last
  });
  EXPECT_EQ(VexaTest::reapDescribed(p), "exit 0");
}

}  // namespace
}  // namespace vexa_lifetime_test
