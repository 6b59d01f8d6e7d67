// Maps mounted as reader, shadow and key shadow in one process follow a
// writer map in another: mounted before the writer exists, they attach
// when it announces itself, follow it through a SIGKILL in the middle of a
// write and a successor that re-formats the table under a new
// incarnation, and fall back to Tmp when the writer's cleanup removes the
// files. Everything is driven by the maps' event loop; the test only runs
// the loop until the expected state shows (with a generous limit).
//
// And corruption: a reader's default handler stops the process with the
// report; an agent's handler that throws keeps it, and the agent mounts
// the table again.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "VexaSwitchLib/tables/LagZolm.h"
#include "Zolm/TestTables.h"
#include "testutil/Process.h"

namespace vexa_zolmmap_test {

namespace {

using namespace VexaTest;
using VexaSwitch::LagGroupId;
using VexaSwitch::LagGroupIdEntry;
using Zolm::MapDescriptor;
using Zolm::ZolmType;
using LagMap = Zolm::ZolmMap<LagOps>;
using Contents = std::map<U32, U64>;
constexpr char const* TABLE = "vexaswitch/tables/test/mounted";

struct Shared {
  std::atomic<bool> ready1, go1, inCritical, ready2, cleanup2, cleaned2, stop;
  std::atomic<U32> fenix1, fenix2;
};

MapDescriptor descriptor(ZolmType type) {
  MapDescriptor d;
  d.size = 64, d.type = type;
  return d;
}

Contents contentsOf(LagMap const& m) {
  Contents out;
  forEachEntry(m, [&](LagGroupIdEntry const& v, Zolm::IterHint const&) { out[v.key().value()] = v.lagIntf().raw(); });
  return out;
}

// Keys [0, n) with lagIntf raw base + key + 1 (lagEntry adds the 1).
Contents model(U32 n, U32 base) {
  Contents m;
  for (U32 k = 0; k < n; ++k) m[k] = U64(base + k) + 1;
  return m;
}

// The first writer map fills the table, and is killed in the middle of a
// direct write of a new key (the table's critical section open). The
// second finds the section set, re-formats under a new incarnation, writes
// other contents, and on request removes the files.
void writer(Shared* sh, bool second) {
  Quiv::EventLoop loop;
  LagMap m(TABLE, &loop);
  m.init(descriptor(ZolmType::writer));
  (second ? sh->fenix2 : sh->fenix1) = m.fenixId().value();
  for (U32 k = 0; k < (second ? 20 : 40); ++k) m.write(lagEntry(k, second ? 100 + k : k));
  (second ? sh->ready2 : sh->ready1) = true;
  while (!(second ? sh->cleanup2 : sh->go1)) loop.runOnce(5);
  if (!second) {
    m.directWrite(lagEntry(60, 1));
    sh->inCritical = true;
    for (;;) loop.runOnce(100);
  }
  m.cleanupAndDetach();
  sh->cleaned2 = true;
  while (!sh->stop) loop.runOnce(5);
}

// Mount-status reports alternate, starting with mounted, and end in `last`.
bool alternatesTo(std::vector<bool> const& v, bool last) {
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] != (i % 2 == 0)) return false;
  return !v.empty() && v.back() == last;
}

struct Follower {
  LagMap map;
  Contents replay;           // each change callback applied by looking the key up
  U64 insideEngine = 0;      // callbacks that came before the map held the shadow
  std::vector<bool> mounts;  // mount-status callbacks
  Follower(Quiv::EventLoop& loop, ZolmType type) : map(TABLE, &loop) {
    map.callbacksIs({[this](LagGroupId const& k) {
                       if (map.mountStatus() == Mem::notMounted) ++insideEngine;
                       LagGroupIdEntry v;
                       if (map.lookup(k, v)) replay[k.value()] = v.lagIntf().raw();
                       else replay.erase(k.value());
                     },
                     {}, [this](bool up) { mounts.push_back(up); }},
                    true);
    map.init(descriptor(type));
  }
  bool shows(Contents const& m) const {
    return contentsOf(map) == m && (map.descriptor().type == ZolmType::reader || replay == m);
  }
};

TEST(ZolmMapProcesses, FollowersMountedBeforeTheWriterFollowItThroughAKillAReformatAndACleanup) {
  ShmRoot root;
  Shared* sh = newShared<Shared>();
  ASSERT_NE(sh, nullptr);
  Quiv::EventLoop loop;
  Follower reader(loop, ZolmType::reader), shadow(loop, ZolmType::shadow), keyShadow(loop, ZolmType::keyshadow);
  Follower* all[] = {&reader, &shadow, &keyShadow};
  EXPECT_EQ(loop.timers(), 0u) << "nothing polls for the writer";
  Children children;
  pid_t w1 = children.add(spawn([&] { writer(sh, false); }));
  Contents first = model(40, 0);
  auto allShow = [&](Contents const& m) { return reader.shows(m) && shadow.shows(m) && keyShadow.shows(m); };
  auto state = [&] {
    std::string out;
    for (Follower* f : all)
      out += fmt::format("{}/{} status {}; ", contentsOf(f->map).size(), f->replay.size(), int(f->map.mountStatus()));
    return out;
  };
  ASSERT_TRUE(pump(loop, [&] { return sh->ready1 && allShow(first); })) << state();
  for (Follower* f : all) {
    EXPECT_EQ(f->mounts, std::vector<bool>{true});
    EXPECT_EQ(f->insideEngine, 0u) << "change callbacks come from the loop, after the attach";
    EXPECT_EQ(f->map.fenixId().value(), sh->fenix1.load());
    EXPECT_THROW(f->map.remove(LagGroupId(1)), Quiv::NoPermissionException);
  }
  std::string owner = reader.map.owner();
  EXPECT_NE(owner.find(fmt::format("vexa.pokt.{}.", w1)), std::string::npos) << owner;
  EXPECT_TRUE(owner.ends_with(":true")) << owner;
  sh->go1 = true;
  ASSERT_TRUE(pump(loop, [&] { return sh->inCritical.load(); }));
  ::kill(w1, SIGKILL);
  EXPECT_EQ(reapDescribed(w1), "killed by signal 9");
  pid_t w2 = children.add(spawn([&] { writer(sh, true); }));
  Contents second = model(20, 100);
  ASSERT_TRUE(pump(loop, [&] { return sh->ready2 && allShow(second); })) << state();
  EXPECT_NE(sh->fenix2.load(), sh->fenix1.load()) << "the successor re-formatted under a new incarnation";
  for (Follower* f : all) {
    EXPECT_EQ(f->map.fenixId().value(), sh->fenix2.load());
    // A read that raced the re-format may have unmounted and mounted again.
    EXPECT_TRUE(alternatesTo(f->mounts, true)) << f->mounts.size();
  }
  sh->cleanup2 = true;
  ASSERT_TRUE(pump(loop, [&] {
    for (Follower* f : all)
      if (f->map.form() != LagMap::Form::tmp || f->map.flushingShadows() || !f->replay.empty()) return false;
    return sh->cleaned2.load();
  }));
  for (Follower* f : all) EXPECT_TRUE(alternatesTo(f->mounts, false)) << f->mounts.size();
  EXPECT_TRUE(filesIn(root.dir() + "/" + TABLE).empty()) << "the followers wrote nothing into the table";
  sh->stop = true;
  EXPECT_EQ(reapDescribed(w2), "exit 0");
  loop.runOnce(0);
  EXPECT_EQ(loop.timers(), 0u) << "back on Tmp, nothing polls";
  freeShared(sh);
}

struct Remount : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(ZolmMapProcessesDeathTest, CorruptionStopsAReaderUnlessItsAgentsHandlerThrowsAndRemounts) {
  ShmRoot root;
  // The writer clears OCCUPIED on key 20's slot behind its own back: the
  // chain still reaches the slot, which no longer claims an entry.
  LagMap w(TABLE);
  w.init(descriptor(ZolmType::writer));
  for (U32 k = 0; k < 40; ++k) w.write(lagEntry(k, k));
  auto& writer = static_cast<Zolm::ZolmWriter<LagOps>&>(w.impl());
  LagGroupIdEntry v;
  Zolm::IterHint hint;
  writer.lookup(LagGroupId(20), v, hint);
  Zolm::SlotPrefix* s = writer.slotTable().slotRaw(hint.slot);
  Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~Zolm::SLOT_OCCUPIED);
  Quiv::EventLoop loop;
  LagMap m(TABLE, &loop);
  m.init(descriptor(ZolmType::reader));
  ASSERT_EQ(m.form(), LagMap::Form::reader);
  EXPECT_DEATH(m.lookup(LagGroupId(20), v), "corruption detected.*vexaswitch/tables/test/mounted.*not marked as occupied");
  m.corruptionHandlerIs([](Zolm::ZolmMapBase&, Quiv::String const& msg) { throw Remount(msg.c_str()); });
  EXPECT_THROW(m.lookup(LagGroupId(20), v), Remount);
  EXPECT_EQ(m.corruptions(), 1u);
  m.detach();
  m.init(descriptor(ZolmType::reader));
  EXPECT_EQ(m.form(), LagMap::Form::reader);
  // The remounted reader answers again. Which keys' chains pass the
  // damaged slot depends on the table's hash seed: those still raise.
  U32 found = 0;
  for (U32 k = 0; k < 40; ++k) {
    try {
      found += m.lookup(LagGroupId(k), v) && v == lagEntry(k, k);
    } catch (Remount const&) {
    }
  }
  EXPECT_GT(found, 0u);
  EXPECT_FALSE(std::filesystem::exists(root.dir() + "/" + TABLE + "/corruption-detected")) << "a reader writes nothing";
}

}  // namespace

}  // namespace vexa_zolmmap_test
