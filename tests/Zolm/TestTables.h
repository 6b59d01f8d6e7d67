#pragma once
// Table instantiations and helpers shared by the engine tests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/tables/L3Types.h"
#include "VexaSwitchLib/tables/LagTypes.h"
#include "VexaSwitchLib/tables/VlanZolm.h"
#include "testutil/ShmRoot.h"

namespace VexaTest {

using LagOps = Zolm::Ops<VexaSwitch::LagGroupId, VexaSwitch::LagGroupIdEntry>;
using LagWriter = Zolm::ZolmWriter<LagOps>;
using NexthopWriter = Zolm::ZolmWriter<Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NexthopEntryConfig>>;

inline VexaSwitch::LagGroupIdEntry lagEntry(U32 id, U32 intf = 0) {
  return VexaSwitch::LagGroupIdEntry(VexaSwitch::LagGroupId(id), Lanx::IntfId::fromRaw(U64(intf) + 1));
}

// The per-VLAN ACL table (slab-stored values). A value names its VLAN and
// its version in every element, and its length follows from both, so a
// value made of pieces of two (torn, stale or misplaced) is detected.
using AclOps = VexaSwitch::VlanMembershipTableAclConfigOps;
using AclWriter = Zolm::ZolmWriter<AclOps>;
using AclValue = VexaSwitch::VlanMembershipAclEntryConfig;

// 1..36 elements: serialized 18..88 bytes, slabs 5..29.
inline AclValue aclValue(U32 vlan, U32 version) {
  using Index = VexaSwitch::VlanMembershipTableAclIndex;
  AclValue v{Bridging::VlanId(U16(vlan))};
  v.disableVlanIs(version & 1);
  v.aclIdIs(Index(0), VexaSwitch::PipeAclId(U16(version)));
  for (U32 i = 1, n = 1 + (vlan * 3 + version) % 36; i < n; ++i) {
    U16 e = U16(vlan * 31 + version * 7 + i);
    if (i < 12) v.aclIdIs(Index(U8(i)), VexaSwitch::PipeAclId(e));
    else if (i < 24) v.aclEnableIs(Index(U8(i - 12)), VexaSwitch::PipeAclEnable(e));
    else v.aclDefaultPermitIs(Index(U8(i - 24)), VexaSwitch::PipeAclDefaultPermit(e));
  }
  return v;
}
// The version of a consistent value of `vlan`, or -1.
inline long aclVersion(AclValue const& v, U32 vlan) {
  if (v.key().value() != vlan || v.aclId().count() == 0) return -1;
  U32 version = v.aclId()[0].value();
  return v == aclValue(vlan, version) ? long(version) : -1;
}

inline std::vector<unsigned char> readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// Every file of a directory with its bytes: what a reader must leave as
// it found it.
inline std::map<std::string, std::vector<unsigned char>> filesIn(std::string const& dir) {
  std::map<std::string, std::vector<unsigned char>> files;
  for (auto const& e : std::filesystem::directory_iterator(dir)) files[e.path().filename().string()] = readFile(e.path());
  return files;
}

// Overwrites `n` bytes of a file at `offset` in place: the damage the
// tests do to a table's files behind its writer's back.
inline bool patchFile(std::string const& path, U64 offset, void const* data, std::size_t n) {
  int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  bool ok = ::pwrite(fd, data, n, off_t(offset)) == ssize_t(n);
  ::close(fd);
  return ok;
}

// The T at `offset`, or T{} past the end.
template <class T>
T rawAt(std::vector<unsigned char> const& bytes, std::size_t offset) {
  T v{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
  return v;
}

// 16-byte values, 32-byte slots, with any number of keys.
using FloodOps = Zolm::Ops<Lanx::IntfId, VexaSwitch::L3FloodEntryConfig>;
using FloodWriter = Zolm::ZolmWriter<FloodOps>;
inline VexaSwitch::L3FloodEntryConfig floodEntry(U64 key, U32 listId = 0) {
  VexaSwitch::L3FloodEntryConfig e(Lanx::IntfId::fromRaw(key));
  e.floodListIdIs(listId);
  return e;
}
inline VexaSwitch::NexthopEntryConfig nexthop(U64 key, U32 weight = 0) {
  VexaSwitch::NexthopEntryConfig e{VexaSwitch::EntryKey(key)};
  e.weightIs(weight);
  return e;
}
inline Lanx::IntfId floodKey(U64 k) { return Lanx::IntfId::fromRaw(k); }

// Calls fn(value, hint) for each entry of a table (writer, reader or
// shadow), in the table's order.
template <class T, class F>
void forEachEntry(T& t, F&& fn) {
  typename T::Value v;
  Zolm::IterHint hint;
  for (bool more = t.first(v, hint); more; more = t.next(v.key(), v, hint)) fn(v, hint);
}

// A flood table's keys in its order; its contents by key.
template <class T>
std::vector<U64> floodKeys(T& t) {
  std::vector<U64> keys;
  forEachEntry(t, [&](auto const& v, auto const&) { keys.push_back(v.key().raw()); });
  return keys;
}
using FloodContents = std::map<U64, std::pair<U32, U32>>;  // key -> (floodListId, memberCount)
template <class T>
FloodContents floodContents(T& t) {
  FloodContents m;
  forEachEntry(t, [&](auto const& v, auto const&) {
    EXPECT_TRUE(m.emplace(v.key().raw(), std::make_pair(v.floodListId(), v.memberCount())).second)
        << "key " << v.key().raw() << " iterated twice";
  });
  return m;
}

}  // namespace VexaTest
