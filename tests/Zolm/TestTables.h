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
#include "testutil/ShmRoot.h"

namespace VexaTest {

using LagOps = Zolm::Ops<VexaSwitch::LagGroupId, VexaSwitch::LagGroupIdEntry>;
using LagWriter = Zolm::ZolmWriter<LagOps>;
using NexthopOps = Zolm::Ops<VexaSwitch::EntryKey, VexaSwitch::NexthopEntryConfig>;
using NexthopWriter = Zolm::ZolmWriter<NexthopOps>;

inline VexaSwitch::LagGroupIdEntry lagEntry(U32 id, U32 intf = 0) {
  return VexaSwitch::LagGroupIdEntry(VexaSwitch::LagGroupId(id), Lanx::IntfId::fromRaw(U64(intf) + 1));
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

template <class T>
T rawAt(std::vector<unsigned char> const& bytes, std::size_t offset) {
  T v{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
  return v;
}

}  // namespace VexaTest

namespace VexaTest {

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
