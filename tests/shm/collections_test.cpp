// Every collection class mounted across processes: a writer agent (a
// child) writes, updates and removes through its collection; here the same
// class is mounted as reader, shadow and key shadow (the slab-stored table
// has no shadow, the counter table no queue: a reader only) before the
// writer exists. Each follower ends with exactly the writer's contents
// through its count, lookups and iterators, and replaying the keys its
// observers were told (looking each up) rebuilds the writer's table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "testutil/Collections.h"
#include "testutil/Process.h"
#include "testutil/ShmRoot.h"

namespace vexa_collections_test {

namespace {

using namespace VexaTest;
using Zolm::ZolmType;

struct Shared {
  std::atomic<bool> done, stop;
  char failure[256];
};

Zolm::MapDescriptor descriptor(ZolmType type) {
  Zolm::MapDescriptor d;
  d.size = 64, d.type = type;
  return d;
}
template <class C>
using Table = std::vector<typename C::Value>;

// What the writer does: (value, write or remove) steps that insert 40
// values, remove every fifth and update every third of the others;
// `final` is the table after them.
template <class C>
struct Script {
  std::vector<std::pair<typename C::Value, bool>> steps;
  Table<C> final;
  explicit Script(U64 seed) {
    auto values = valuesFor<C>(seed, 40), updates = valuesFor<C>(seed + 1, values.size());
    for (auto const& v : values) steps.push_back({v, true});
    for (std::size_t i = 0; i < values.size(); ++i) {
      bool update = i % 3 == 0 && i < updates.size();
      auto v = update ? withKey(updates[i], C::Wrap::fwkKey(values[i])) : values[i];
      if (i % 5 == 0 || update) steps.push_back({v, i % 5 != 0});
      if (i % 5 != 0) final.push_back(v);
    }
  }
};

template <class V>
bool sameSet(std::vector<V> const& a, std::vector<V> const& b) {
  return a.size() == b.size() && std::all_of(b.begin(), b.end(), [&](V const& v) { return std::ranges::count(a, v) == 1; });
}

// Empty when the collection's count, iteration and lookups give `want`.
template <class C>
std::string diff(C const& c, Table<C> const& want) {
  typename C::Collection const& o = c;
  if (o.entries() != want.size() || !sameSet(contentsOf(c), want))
    return fmt::format("{} entries counted, {} wanted, or the iteration differs", o.entries(), want.size());
  for (auto const& v : want)
    if (!(o.entry(C::Wrap::fwkKey(v)) == v)) return fmt::format("{} differs", Zolm::show(C::Wrap::fwkKey(v)));
  return "";
}

// A follower: its collection under its own directory, and what its
// observer was told, replayed by looking each key up.
template <class C>
struct Follower : Kel::Notifiee {
  ZolmType type;
  Kel::Ptr<Kel::Directory> dir;
  Kel::Ptr<C> c;
  Table<C> replay;
  Follower(ZolmType t, char const* name) : type(t), dir(new Kel::Directory(name)), c(new C("t")) {
    dir->entityIs(c);
    c->notifieeList().newMember(this);
  }
  ~Follower() override { c->notifieeList().deleteMember(this); }
  void onAttr(U32 id, std::any const& key) override {
    if (id != KelZolm::ATTR_COLLECTION) return;
    auto k = std::any_cast<typename C::Key>(key);
    std::erase_if(replay, [&](auto const& v) { return C::Wrap::fwkKey(v) == k; });
    typename C::Value v;
    if (ops(c).entryFind(k, v)) replay.push_back(v);
  }
  bool shows(Table<C> const& want) const {
    return diff(*c, want).empty() && (type == ZolmType::reader || sameSet(replay, want));
  }
};

template <class C>
class MountedCollection : public ::testing::Test {};
TYPED_TEST_SUITE(MountedCollection, AllCollections);

TYPED_TEST(MountedCollection, FollowersInAnotherProcessSeeExactlyTheWritersTableAndAreToldEveryChange) {
  using C = TypeParam;
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  std::string const table = fmt::format("vexaswitch/tables/test/{}", Kel::demangle(typeid(C)).substr(12));
  Script<C> const script(11);
  Quiv::EventLoop loop;
  KelSharedMem::Mounter mounter(loop);
  std::vector<ZolmType> types{ZolmType::reader};
  bool const queue = C::Ops::headerFlags & 2;
  if (queue && !Zolm::isDynamicValue<typename C::Ops>) types.push_back(ZolmType::shadow);
  if (queue) types.push_back(ZolmType::keyshadow);
  std::vector<std::unique_ptr<Follower<C>>> followers;
  for (ZolmType t : types) {
    followers.push_back(std::make_unique<Follower<C>>(t, Zolm::toString(t).data()));
    mounter.mount(ops(followers.back()->c).entryControl(), descriptor(t), table);
  }
  Children children;
  pid_t writer = children.add(spawn([&] {
    try {
      Quiv::EventLoop wloop;
      KelSharedMem::Mounter wmounter(wloop);
      Kel::Ptr<Kel::Directory> agent(new Kel::Directory("writer"));
      Kel::Ptr<C> c(new C("t"));
      agent->entityIs(c);
      wmounter.mount(ops(c).entryControl(), descriptor(ZolmType::writer), table);
      for (auto const& [v, write] : script.steps) {
        if (write) ops(c).entryIs(v);
        else ops(c).entryDel(C::Wrap::fwkKey(v));
      }
      sh->done = true;
      while (!sh->stop) wloop.runOnce(5);
    } catch (std::exception const& e) {
      std::snprintf(sh->failure, sizeof sh->failure, "%s", e.what());
      ::_exit(1);
    }
  }));
  bool const shown =
      pump(loop, [&] { return sh->done && std::ranges::all_of(followers, [&](auto& f) { return f->shows(script.final); }); });
  for (auto const& f : followers)
    EXPECT_TRUE(shown) << Zolm::toString(f->type) << ": " << diff(*f->c, script.final) << "; replayed "
                       << f->replay.size() << " of " << script.final.size() << " " << sh->failure;
  sh->stop = true;
  EXPECT_EQ(reapDescribed(writer), "exit 0") << sh->failure;
  children.pids.clear();
  for (auto const& f : followers) EXPECT_TRUE(mounter.unmount(ops(f->c).entryControl()));
  EXPECT_EQ(mounter.mounts(), 0u);
  EXPECT_TRUE(pump(loop, [&] {  // shadows report from the loop
    return std::ranges::all_of(followers, [](auto& f) { return ops(f->c).entryControl()->mountStatus() == Mem::notMounted; });
  }));
  freeShared(sh);
}

}  // namespace

}  // namespace vexa_collections_test
