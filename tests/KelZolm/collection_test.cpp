// Every collection class in one process, unmounted: its private table,
// the notifications and counters of each operation, iteration from a key,
// the control attribute, placement under a parent (once) and orphaning.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "testutil/Collections.h"
#include "testutil/Expect.h"
#include "testutil/ShmRoot.h"

namespace vexa_collection_test {
namespace {

using namespace VexaTest;

template <class C>
class Collection : public ::testing::Test {};
TYPED_TEST_SUITE(Collection, AllCollections);

TYPED_TEST(Collection, LocalTableTellsEveryChangedKeyOnceAndCountsEachOperation) {
  using C = TypeParam;
  using Value = typename C::Value;
  auto const values = valuesFor<C>(1, 24);
  ASSERT_GE(values.size(), 8u);
  Kel::Ptr<C> c(new C("t"));
  auto& o = ops(c);
  Observer<C> seen(c);
  auto keyOf = [](Value const& v) { return C::Wrap::fwkKey(v); };
  U64 is0 = c->isCounter().value(), del0 = c->delCounter().value(), notify0 = c->notifyCounter().value();
  o.entryIs(values[0]);
  o.entryIs(values[0]);
  EXPECT_EQ(o.entry(keyOf(values[0])), values[0]);
  EXPECT_EQ(seen.keys, (std::vector{keyOf(values[0]), keyOf(values[0])}));
  auto counts = [&] {  // is, del, notify since the start; entries
    return std::tuple(c->isCounter().value() - is0, c->delCounter().value() - del0, c->notifyCounter().value() - notify0,
                      o.entries());
  };
  EXPECT_EQ(counts(), std::tuple(2u, 0u, 2u, 1u));
  // An absent key: the default value back, nobody told, only counted.
  EXPECT_EQ(o.entryDel(keyOf(values[1])), Value());
  EXPECT_EQ(counts(), std::tuple(2u, 1u, 2u, 1u));
  EXPECT_EQ(seen.keys.size(), 2u);
  EXPECT_EQ(o.entryDel(keyOf(values[0])), values[0]);
  EXPECT_EQ(seen.keys.size(), 3u);
  // Iteration: everything once; from a key, that entry; from a removed key, the next.
  for (auto const& v : values) o.entryIs(v);
  auto order = contentsOf(*c);
  ASSERT_EQ(order.size(), values.size());
  for (auto const& v : values) EXPECT_EQ(o.entry(keyOf(v)), v);
  std::vector<typename C::Key> keys;  // a batch answers as one lookup per key
  for (auto const& v : values) keys.push_back(keyOf(v));
  std::vector<Value> outs(keys.size());
  std::unique_ptr<bool[]> found(new bool[keys.size()]);
  EXPECT_EQ(c->entryFindBatch(keys.data(), U32(keys.size()), outs.data(), found.get()), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(found[i] && outs[i] == values[i]) << i;
  auto it = c->entryIterConst(keyOf(order[3]));
  EXPECT_TRUE(it.valid() && *it == order[3]);
  o.entryDel(keyOf(order[3]));
  auto after = c->entryIterConst(keyOf(order[3]));
  ASSERT_TRUE(after.valid());
  EXPECT_EQ(after.key(), keyOf(order[4]));
  after.advance();
  EXPECT_TRUE(after.valid() && *after == order[5]);
  if constexpr (!Zolm::isDynamicValue<typename C::Ops>) {
    seen.keys.clear();
    Value* in = c->map().directWrite(order[0]);
    o.entryCommit(in);
    EXPECT_EQ(seen.keys, std::vector{keyOf(order[0])});
    EXPECT_EQ(o.entry(keyOf(order[0])), order[0]);
  }
  seen.keys.clear();
  U64 before = c->notifyCounter().value();
  o.entryDelAll();
  EXPECT_EQ(seen.keys.size(), values.size() - 1);
  EXPECT_EQ(c->notifyCounter().value() - before, values.size() - 1);
  EXPECT_EQ(o.entries(), 0u);
  EXPECT_FALSE(c->entryIterConst().valid());
  o.entryDelAll();  // empty: nothing
  EXPECT_EQ(seen.keys.size(), values.size() - 1);
}

TYPED_TEST(Collection, ControlParentAndIdentity) {
  using C = TypeParam;
  auto const values = valuesFor<C>(2, 4);
  Kel::Ptr<C> c(new C("t"));
  auto& o = ops(c);
  Observer<C> seen(c);
  // The same control again tells nothing; another one tells 259 once.
  o.entryControlIs(o.entryControl());
  EXPECT_EQ(seen.controls, 0u);
  Kel::Ptr<KelZolm::CollectionControl> other(new KelZolm::CollectionControl(&c->map()));
  o.entryControlIs(other);
  EXPECT_EQ(seen.controls, 1u);
  EXPECT_EQ(o.entryControl(), other);
  EXPECT_TRUE(seen.keys.empty());
  // Placed: written before, gone after; the trace name is the full path.
  o.entryIs(values[0]);
  Kel::Ptr<Kel::Directory> agent(new Kel::Directory("agent"));
  agent->entityIs(c);
  EXPECT_EQ(o.entries(), 0u);
  EXPECT_EQ(c->map().traceName(), fmt::format("agent/t/{}", C::ATTR_WORD));
  EXPECT_EQ(c->fullName(), "agent/t");
  o.entryIs(values[1]);
  EXPECT_EQ(o.entry(C::Wrap::fwkKey(values[1])), values[1]);
  // A second placement is refused and loses nothing, also after orphaning.
  Kel::Ptr<Kel::Directory> elsewhere(new Kel::Directory("elsewhere"));
  EXPECT_EQ(errorOf([&] { elsewhere->entityIs(c); }), "elsewhere: agent/t already has a parent");
  ASSERT_TRUE(agent->entityDel("t"));
  EXPECT_EQ(c->map().traceName(), fmt::format("t/{}", C::ATTR_WORD));
  EXPECT_EQ(errorOf([&] { elsewhere->entityIs(c); }), "Entity t already initialized");
  EXPECT_EQ(elsewhere->entities(), 0u);
  EXPECT_EQ(c->parent(), nullptr);
  EXPECT_EQ(errorOf([&] { o.entryIs(values[2]); }), "write to read-only Zolm table");
  EXPECT_EQ(errorOf([&] { o.entryDel(C::Wrap::fwkKey(values[1])); }), "remove to read-only Zolm table");
  EXPECT_EQ(o.entries(), 0u);
  EXPECT_EQ(seen.keys.size(), 2u);
}

// The counter table names its operations after its attribute word.
TEST(CollectionClasses, TheCounterTableNamesItsOperations) {
  auto c = VexaSwitch::aclCounterStatusFactory("counters");
  U64 is0 = Quiv::opCounter("counterIs").value();
  VexaSwitch::AclCounter v(Nox::UniqueId(1, 7));
  c->counterIs(v);
  EXPECT_TRUE(c->counters() == 1 && c->counter(Nox::UniqueId(1, 7)) == v && c->counterDel(Nox::UniqueId(1, 7)) == v);
  EXPECT_EQ(Quiv::opCounter("counterIs").value() - is0, 1u) << "counted under the table's own name";
  static_assert(std::is_same_v<VexaSwitch::L2TableConfig::Map::Map, VexaSwitch::McastMacTableConfig::Map::Map>,
                "one engine instantiation for both MAC tables");
}

// Corruption met by a write or a removal goes to the map's handler: by
// default it stops the program with the message; an agent's handler that
// throws (to mount again) leaves the operation counted and nobody told.
TEST(CollectionCorruptionDeathTest, ReachesTheMapsHandlerAndTellsNobody) {
  using VexaSwitch::LagGroupId;
  using VexaSwitch::LagGroupIdEntry;
  struct Remount : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  auto c = VexaSwitch::lagGroupIdTableFactory("lags");
  for (U32 k = 0; k < 8; ++k) c->entryIs(LagGroupIdEntry(LagGroupId(k), Lanx::IntfId::portChannel(k + 1)));
  // Key 5's slot stops claiming an entry behind the writer's back.
  auto& writer = dynamic_cast<Zolm::ZolmWriter<VexaSwitch::LagGroupIdTableOps>&>(c->map().impl());
  LagGroupIdEntry v;
  Zolm::IterHint hint;
  ASSERT_TRUE(writer.lookup(LagGroupId(5), v, hint));
  Zolm::SlotPrefix* s = writer.slotTable().slotRaw(hint.slot);
  Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~Zolm::SLOT_OCCUPIED);
  EXPECT_DEATH(c->entryDel(LagGroupId(5)), "corruption detected.*not marked as occupied");
  std::vector<std::string> reported;
  c->map().corruptionHandlerIs([&](Zolm::ZolmMapBase&, Quiv::String const& msg) {
    reported.emplace_back(msg.view());
    throw Remount(reported.back());
  });
  Observer<VexaSwitch::LagGroupIdTable> seen(c);
  U64 is0 = c->isCounter().value(), del0 = c->delCounter().value(), notify0 = c->notifyCounter().value();
  EXPECT_THROW(c->entryIs(LagGroupIdEntry(LagGroupId(5), Lanx::IntfId::portChannel(9))), Remount);
  EXPECT_THROW(c->entryDel(LagGroupId(5)), Remount);
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_NE(reported[0].find("not marked as occupied"), std::string::npos) << reported[0];
  EXPECT_EQ(std::tuple(c->isCounter().value() - is0, c->delCounter().value() - del0, c->notifyCounter().value() - notify0),
            std::tuple(1u, 1u, 0u));
  EXPECT_TRUE(seen.keys.empty());
}

}  // namespace
}  // namespace vexa_collection_test
