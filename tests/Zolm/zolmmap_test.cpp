// The facade in one process: what init accepts and refuses, the misuses
// that must stop the program, a shadow whose first connect is refused.
// (A map waiting for its writer: the mounted-maps processes test; a
// detached one: the collections' orphaning.)
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "VexaSwitchLib/tables/LagZolm.h"
#include "VexaSwitchLib/tables/VlanZolm.h"
#include "Zolm/TestTables.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"

namespace vexa_zolmmap_test {
namespace {

using namespace VexaTest;
using VexaSwitch::LagGroupId;
using VexaSwitch::LagGroupIdEntry;
using Zolm::MapDescriptor;
using Zolm::ZolmType;
using LagMap = Zolm::ZolmMap<LagOps>;
constexpr char const* NAME = "vexaswitch/tables/test/facade";

MapDescriptor descriptor(U32 size, ZolmType type = ZolmType::writer, bool local = false) {
  MapDescriptor d;
  d.size = size;
  d.type = type;
  d.local = local;
  return d;
}

std::map<U32, U64> contentsOf(LagMap const& m) {
  std::map<U32, U64> out;
  forEachEntry(m, [&](auto const& v, auto const&) { out[v.key().value()] = v.lagIntf().raw(); });
  return out;
}

// Whether the kernel leaves the mapping of `path` out of core dumps (its
// VmFlags carry "dd"); nullopt when the file is not mapped.
std::optional<bool> dumpExcluded(std::string const& path) {
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.ends_with(" " + path)) inside = true;
    else if (inside && line.starts_with("VmFlags:")) return line.find(" dd") != std::string::npos;
  }
  return std::nullopt;
}

static_assert(Zolm::isDynamicValue<AclOps> && !Zolm::isDynamicValue<LagOps>);

TEST(ZolmMapMount, InitAcceptsAnEqualDescriptorAgainAndRefusesWhatCannotBeMounted) {
  ShmRoot root;
  Quiv::EventLoop loop;
  LagMap m(NAME, &loop);
  MapDescriptor d = descriptor(64, ZolmType::writer, true);
  m.init(d);
  m.write(lagEntry(3, 7));
  m.init(d);  // equal: nothing happens, the table stays
  LagGroupIdEntry v;
  EXPECT_TRUE(m.lookup(LagGroupId(3), v));
  MapDescriptor bigger = descriptor(128, ZolmType::writer, true);
  EXPECT_EQ(errorOf([&] { m.init(bigger); }),
            fmt::format("name:{} already initialized, old {}, new {}", NAME, d.toString(), bigger.toString()));
  EXPECT_TRUE(m.lookup(LagGroupId(3), v)) << "a refused init loses nothing";
  EXPECT_NE(d.toString().find("size:64 type:writer local:true"), std::string::npos) << d.toString();
  LagMap fresh(NAME, &loop);
  EXPECT_EQ(errorOf([&] { fresh.init(descriptor(0)); }),
            fmt::format("0 is not a valid initialization size for collection {} in writer mode", NAME));
  MapDescriptor heap = descriptor(8);
  heap.heapAllocation = true;
  EXPECT_EQ(errorOf([&] { fresh.init(heap); }),
            fmt::format("cannot initialize collection {} heap allocation in non-local mode not allowed", NAME));
  struct Foreign : Mem::CollectionDescriptor {
    std::string toString() const override { return "Foreign()"; }
  };
  EXPECT_THROW(fresh.init(Foreign{}), Kel::TypeException);
  EXPECT_FALSE(fresh.initialized());
  EXPECT_FALSE(std::filesystem::exists(root.dir() + "/" + NAME)) << "refused mounts made no files";
  heap.local = true;
  fresh.init(heap);
  EXPECT_TRUE(dynamic_cast<Zolm::ZolmWriter<LagOps>&>(fresh.impl()).slotTable().region().onHeap());
  // Memory options reach the writer's files: tracked bytes come and go with
  // the mappings; out of core dumps unless the descriptor asks.
  U64 trackedBefore = Mem::MemoryTracker::bytes();
  for (bool coreDump : {false, true}) {
    LagMap shared(NAME, &loop);
    MapDescriptor d = descriptor(64);
    d.memoryTracking = true;
    d.coreDump = coreDump;
    shared.init(d);
    EXPECT_GE(Mem::MemoryTracker::regions(), 3u) << "slots, buckets and queue";
    EXPECT_GT(Mem::MemoryTracker::bytes(), trackedBefore);
    EXPECT_EQ(dumpExcluded(root.dir() + "/" + NAME + "/slots"), std::optional<bool>(!coreDump));
    shared.cleanupAndDetach();
    EXPECT_EQ(Mem::MemoryTracker::bytes(), trackedBefore);
  }
  // Slab-stored values cannot be shadowed value by value: refused before
  // any form or watcher is made.
  Zolm::ZolmMap<AclOps> acl(NAME, &loop);
  EXPECT_EQ(errorOf([&] { acl.init(descriptor(8, ZolmType::shadow)); }),
            fmt::format("{} mounted in 'shadow' mode not supported: only 'keyshadow' and 'reader' are currently "
                        "supported for dynamic values",
                        NAME));
  EXPECT_EQ(acl.readerSentry(), nullptr);
  acl.init(descriptor(8, ZolmType::keyshadow));
  EXPECT_EQ(acl.form(), Zolm::ZolmMapBase::Form::tmp);
}

// Programming errors stop the program, naming what was misused.
TEST(ZolmMapDeathTest, MisuseAssertsWithItsMessage) {
  ShmRoot root;
  Quiv::EventLoop loop;
  LagMap m(NAME, &loop);
  EXPECT_DEATH(m.cleanupAndDetach(), "trying to cleanup uninitialized zolm\\.");
  EXPECT_DEATH(m.init(descriptor(8, ZolmType(4))), "not a valid reader type:4");
  MapDescriptor prev = descriptor(8, ZolmType::writer, true);
  prev.prevValue = true;
  EXPECT_DEATH(m.init(prev), "prevValue mount-time option enabled without specifying `captureNotifyValues property");
  m.callbacksIs({}, false);
  m.notifyingIs(false);
  EXPECT_DEATH(m.init(descriptor(8, ZolmType::shadow)),
               "notifications unexpectedly disabled prior to initialization with asynchronous mode");
  m.notifyingIs(true);
  m.init(descriptor(8, ZolmType::writer, true));
  EXPECT_DEATH(m.notifyingIs(false), "not allowed at this time, initialized:true keyNotifications:false");
  m.write(lagEntry(5, 5));
  m.orphanIs(true);
  EXPECT_EQ(m.mountStatus(), Mem::notMounted);
  LagGroupIdEntry v;
  EXPECT_DEATH(m.lookup(LagGroupId(5), v),
               "invoked, name:vexaswitch/tables/test/facade rootpath:.* key:5\\. If you're seeing this, you're trying "
               "to operate on an orphan zolm entity");
  EXPECT_DEATH(m.init(descriptor(8, ZolmType::writer, true)),
               "Re-initializing a collection that has already become an orphan and has assertOnOrphanAccess set");
}

// A shadow whose first connect is refused while its writer is sound (the
// writer's listen backlog full) tries the connect again, catches up and
// follows; it used to stay attached without arming, never to follow.
TEST(ZolmMapMount, AShadowWhoseFirstConnectIsRefusedConnectsLaterAndFollows) {
  ShmRoot root;
  Quiv::EventLoop writerLoop, shadowLoop, idle;
  LagMap w(NAME, &writerLoop);
  w.init(descriptor(64));
  w.write(lagEntry(1, 1));
  Quiv::String const socket = SharedMem::OwnerFile(w.rootPath()).shocketInfo().name;
  std::vector<std::unique_ptr<Pokt::ReaderPoktSm>> fillers;
  for (;;) {
    fillers.push_back(std::make_unique<Pokt::ReaderPoktSm>(nullptr, idle));
    if (!fillers.back()->connect(std::string(socket.c_str(), socket.size()))) break;
    ASSERT_LT(fillers.size(), 4096u) << "the backlog never filled";
  }
  LagMap s(NAME, &shadowLoop);
  s.init(descriptor(64, ZolmType::shadow));
  ASSERT_TRUE(pump(shadowLoop, [&] { return s.form() == LagMap::Form::shadow && contentsOf(s).size() == 1; }));
  fillers.clear();
  for (U32 k = 2; k <= 8; ++k) w.write(lagEntry(k, k));
  auto both = [&](std::size_t n) {
    return pump(shadowLoop, [&] {
      writerLoop.runOnce(0);
      auto const seen = contentsOf(s);
      return seen.size() == n && seen == contentsOf(w);
    }, std::chrono::seconds(10));
  };
  ASSERT_TRUE(both(8)) << "caught up after connecting: " << contentsOf(s).size();
  w.write(lagEntry(20, 20));
  EXPECT_TRUE(both(9)) << "follows";
}

}  // namespace
}  // namespace vexa_zolmmap_test
