// The slab files on their own: size classes, the bytes of a new file,
// growth, shrinking with compaction, and what damaged files get from the
// writer and the reader.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Bloka/SlabReader.h"
#include "VexaSwitchLib/Bloka/SlabWriter.h"
#include "testutil/Expect.h"

namespace vexa_slab_test {
namespace {

using namespace Bloka;
using VexaTest::rawAt;
using VexaTest::errorOf;
using VexaTest::readFile;

constexpr char const* TABLE = "vexaswitch/tables/test/slab";
constexpr U32 FENIX = 0x00020001;

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("SlabTest"); }
SizeClasses sizes() { return SizeClasses::of<LinearSizeConfig<88>>(); }

// Payload bytes that name their slot: a moved or mixed-up entry shows.
void fillPayload(char* e, U32 client, U32 size) {
  storeWord(e + 4, client);
  for (U32 i = 0; i < size; ++i) e[ENTRY_HEAD + i] = char(client * 7 + i);
}
bool payloadOf(char const* p, U32 client, U32 size) {
  for (U32 i = 0; i < size; ++i)
    if (p[i] != char(client * 7 + i)) return false;
  return true;
}

struct Slab : ::testing::Test {
  VexaTest::ShmRoot shm;
  Mem::RootPath root{handler(), TABLE};
};

TEST_F(Slab, SizeClassesNewFileBytesGrowthAndShrinkWithCompaction) {
  WriterAllocator a(handler(), "t", root, false, sizes());
  a.format(FENIX);
  std::map<U32, Offset> live;  // client -> offset
  std::vector<std::pair<U32, Offset>> moves;
  a.movedCallbackIs([&](U32 client, Offset to) {
    moves.emplace_back(client, to);
    live[client] = to;
  });
  Offset off;
  for (auto [size, slab] : {std::pair{3u, 0u}, {4u, 1u}, {88u, 29u}}) {
    fillPayload(a.alloc(size, off), 1000 + size, size);
    EXPECT_EQ(off, Offset(slab, 0)) << size;
  }
  EXPECT_EQ(fmt::format("{}", off), "Offset{ slab: 29 index: 0 }");
  EXPECT_EQ(a.payloadBytes(), 95u);
  for (U32 i : {0u, 1u, 29u}) EXPECT_TRUE(root.fileExists(slabFileName(i)));
  EXPECT_FALSE(root.fileExists("slab2"));
  // slab0 as laid out: one page of 11-byte entries, entry 0 taken.
  U32 const perPage = (U32(Mem::pageSize()) - 40) / 11;
  auto bytes = readFile(root.filePath("slab0"));
  ASSERT_EQ(bytes.size(), 40u + perPage * 11);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "BLOKASLB");
  // version, fenix, generation, entries, occupied, entry size, its checksum,
  // free-list head; entry 0's size and client data; entry 1 links entry 2.
  std::pair<std::size_t, U32> const words[] = {
      {8, 1},  {12, FENIX}, {16, 0}, {20, perPage}, {24, 1}, {28, 11}, {32, Kel::hashBytes(0, "\x0b\0\0\0", 4)},
      {36, 1}, {40, 3},     {44, 1003}, {51, 0x80000002u}, {40 + (perPage - 1) * 11, NONE}};
  for (auto [at, want] : words) EXPECT_EQ(rawAt<U32>(bytes, at), want) << "at " << at;
  // Exhausting the page doubles the file, twice.
  a.dealloc(Offset(0, 0));
  U32 const count = 2 * perPage + 50;
  SlabWriter const* s0 = a.slab(0);
  U32 const twice = (2 * (40 + perPage * 11) - 40) / 11;
  for (U32 c = 0; c < count; ++c) {
    fillPayload(a.alloc(2, off), c, 2);
    live[c] = off;
    EXPECT_TRUE(c != perPage || (s0->numEntries() == twice && s0->header()->generation == 1u)) << "one doubling";
  }
  U32 const grown = (2 * (40 + twice * 11) - 40) / 11;
  EXPECT_EQ(s0->numEntries(), grown);
  Quiv::String error;
  ASSERT_TRUE(a.validate(error)) << error;
  // Keep every 50th entry and the topmost ones; free the rest from the
  // bottom up. Reaching the threshold moves the survivors below the new
  // end: half the entries, rounded up to whole pages.
  for (U32 c = 0; c < count; ++c) {
    if (c % 50 == 0 || c + 3 >= count) continue;
    a.dealloc(live[c]);
    live.erase(c);
  }
  EXPECT_FALSE(moves.empty());
  EXPECT_EQ(s0->numEntries(), (Mem::roundUpToWholePage(40 + grown / 2 * 11) - 40) / 11);
  EXPECT_EQ(s0->header()->generation, 3u);
  for (auto [client, to] : moves) EXPECT_LT(to.index(), s0->numEntries()) << client;
  for (auto const& [client, o] : live) {
    U32 size;
    EXPECT_TRUE(payloadOf(a.payload(o, size), client, 2) && size == 2u && a.clientData(o) == client) << client;
  }
  ASSERT_TRUE(a.validate(error)) << error;
  // The file kept its length: a reader still mapping the old size reads
  // zeros there, never faults.
  EXPECT_EQ(readFile(root.filePath("slab0")).size(), 40u + grown * 11);
  // A writer of the same incarnation keeps the slabs with entries; an
  // empty one is checked, not attached. (Another incarnation's are wiped:
  // the damaged-files case.)
  a.dealloc(Offset(1, 0));
  a.detach();
  WriterAllocator again(handler(), "t", root, false, sizes());
  ASSERT_TRUE(again.keep(FENIX));
  EXPECT_TRUE(again.slab(0) && !again.slab(1) && root.fileExists("slab1"));
  EXPECT_EQ(again.payloadBytes(), 2u * live.size() + 88);
}

// Damaged slab files: each is refused (reader) or re-formatted / reported
// (writer) with its message, never a crash, a hang or a wrong payload.
TEST_F(Slab, DamagedFilesAreRefusedWithTheirMessages) {
  std::vector<unsigned char> sound;
  {
    WriterAllocator w(handler(), "t", root, false, sizes());
    w.format(FENIX);
    Offset off;
    for (U32 c = 0; c < 4; ++c) fillPayload(w.alloc(3, off), c, 3);
    sound = readFile(root.filePath("slab0"));
  }
  U32 const n = rawAt<U32>(sound, 20);
  {
    // Sound, but asked for a slab that was never made or an index past any
    // size the file could have. (Remaps on growth: the slab-stored table's model.)
    ReaderAllocator r(handler(), "t", root, sizes());
    U32 size;
    EXPECT_NE(errorOf([&] { r.lookup(Offset(1, 0), FENIX, size); }).find("SlabReader-t-1::attach() no shared memory region"),
              std::string::npos);
    EXPECT_EQ(errorOf([&] { r.lookup(Offset(0, 5 * n), FENIX, size); }),
              fmt::format("SlabReader-t-0::getEntry() index: {} is beyond farthest possible index: {}", 5 * n, n - 1));
  }
  auto put = [](std::vector<unsigned char>& b, U64 at, U32 v) { std::memcpy(b.data() + at, &v, 4); };
  struct Case {
    char const* what;
    std::function<void(std::vector<unsigned char>&)> damage;
    std::string reader;  // what a reader's lookup of entry 1 says ("" = served)
    std::string writer;  // what a writer's check says ("" = sound)
  };
  std::vector<Case> cases = {
      {"truncated", [](auto& b) { b.resize(20); }, "cannot attach to shmem size:40", "cannot attach to shmem"},
      {"foreign fenix", [&](auto& b) { put(b, 12, FENIX + 0x10000); }, "bad fenix:", "wiping"},
      {"garbled magic", [](auto& b) { b[3] ^= 0x20; }, "bad magic:", "bad magic:"},
      {"checksum", [&](auto& b) { put(b, 32, 0x1234); },
       fmt::format("checksum fail: 1234 != {:x}", entrySizeChecksum(11)), "checksum fail:"},
      {"entry size", [&](auto& b) { put(b, 28, 14), put(b, 32, entrySizeChecksum(14)); }, "bad entrySize: 14",
       "bad entrySize: 14"},
      {"occupied count", [&](auto& b) { put(b, 24, n + 1); }, "bad numOccupied:", "bad numOccupied:"},
      {"free list head", [&](auto& b) { put(b, 36, n + 7); }, "bad freeList:", "bad freeList:"},
      {"entry count", [&](auto& b) { put(b, 20, 100000); }, "bad shmem size:", "bad shmem size:"},
      {"free-list loop", [&](auto& b) { put(b, 40 + 5 * 11, FREE_BIT | 4); }, "",
       "entries on free-list and 4 occupied entries"},
      {"payload past the entry", [&](auto& b) { put(b, 40 + 1 * 11, 50); },
       "encountered payloadSize: 50, but max payloadSize:3 at index: 1", "found occupied entry with payloadSize:50"},
      {"occupied entry on the free list", [&](auto& b) { put(b, 40 + 4 * 11, 2); }, "",
       "found occupied entry with index: 4 on free-list"},
      {"free entry named", [&](auto& b) { put(b, 40 + 1 * 11, FREE_BIT | 9); }, "is marked unoccupied", "entries on free-list"},
  };
  auto writeBytes = [&](std::vector<unsigned char> const& b) {
    root.removeFile("slab0");
    std::ofstream(root.filePath("slab0").c_str(), std::ios::binary).write((char const*)b.data(), std::streamsize(b.size()));
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = sound;
    c.damage(bytes);
    writeBytes(bytes);
    ReaderAllocator r(handler(), "t", root, sizes());
    U32 size = 0;
    std::string rmsg = errorOf([&] {
      char const* p = r.lookup(Offset(0, 1), FENIX, size);
      EXPECT_TRUE(size == 3 && payloadOf(p, 1, 3));
    });
    EXPECT_NE(rmsg.find(c.reader.empty() ? "no exception" : c.reader), std::string::npos) << rmsg;
    // A writer that meets it on first use re-formats it and says so; one
    // that attaches to the table checks it first and does not keep it.
    bool wipe = c.writer == "wiping";
    if (!wipe && bytes.size() >= 40) {
      WriterAllocator lazy(handler(), "t", root, false, sizes());
      lazy.format(FENIX);
      Offset off;
      EXPECT_EQ(errorOf([&] { lazy.alloc(3, off); }),
                "corrupted slab: SlabWriter-t-0 was detected when lazily attaching");
      writeBytes(bytes);
    }
    WriterAllocator w(handler(), "t", root, false, sizes());
    EXPECT_EQ(w.keep(FENIX), wipe);
    EXPECT_FALSE(wipe && root.fileExists("slab0"));
    EXPECT_TRUE(wipe || std::string(w.lastError()).find(c.writer) != std::string::npos) << w.lastError();
  }
  // An empty slab of this incarnation must pass the walk to be kept.
  auto empty = sound;
  put(empty, 24, 0);
  for (U32 i = 0; i < 4; ++i) put(empty, 40 + i * 11, FREE_BIT | (i + 1));
  put(empty, 40 + 3 * 11, FREE_BIT | 3);  // a loop
  writeBytes(empty);
  WriterAllocator w(handler(), "t", root, false, sizes());
  EXPECT_FALSE(w.keep(FENIX));
  EXPECT_NE(std::string(w.lastError()).find("SlabWriter-t-0::validateUnattached, validation failed on an empty slab"),
            std::string::npos)
      << w.lastError();
}

}  // namespace
}  // namespace vexa_slab_test
