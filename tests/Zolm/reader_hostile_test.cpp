// A reader attached to damaged files: truncated, zeroed or with random
// bytes over headers, bucket words, links, flags, hashes and values. It
// may refuse to attach, and once attached any read may fail with a
// corruption error, but it never crashes, hangs or reads outside what it
// mapped. (Also run under AddressSanitizer.)
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "Zolm/Instantiations.h"
#include "Zolm/TestTables.h"

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;
using FloodReader = Zolm::ZolmReader<FloodOps>;
namespace fs = std::filesystem;

constexpr char const* SOURCE = "vexaswitch/tables/test/sound";
constexpr char const* TARGET = "vexaswitch/tables/test/hostile";
constexpr U64 KEYS = 3000;
constexpr U64 SLOT_HEADER = 600 + FloodOps::slotSize;  // common header + image
constexpr U64 BUCKET_HEADER = 24;

enum class Damage { truncateSlots, truncateBuckets, zeroSlotRange, slotHeader, bucketHeader, bucketWords, links, flags, rhash, values, count };

void overwrite(std::string const& path, U64 off, std::vector<unsigned char> const& bytes) {
  FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr) << path;
  std::fseek(f, long(off), SEEK_SET);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Applies one seeded damage to the copy under `dir`.
void damage(Damage d, std::string const& dir, std::mt19937& rng) {
  std::string slots = dir + "/slots", buckets = dir + "/buckets";
  U64 slotSize = fs::file_size(slots), bucketSize = fs::file_size(buckets);
  U64 numSlots = (slotSize - SLOT_HEADER) / FloodOps::slotSize;
  auto randomBytes = [&](std::size_t n) {
    std::vector<unsigned char> b(n);
    for (auto& c : b) c = static_cast<unsigned char>(rng());
    return b;
  };
  auto slotField = [&](U64 fieldOff, std::size_t len, int count) {
    for (int i = 0; i < count; ++i) {
      U64 slot = rng() % numSlots;
      overwrite(slots, SLOT_HEADER + slot * FloodOps::slotSize + fieldOff, randomBytes(len));
    }
  };
  switch (d) {
    case Damage::truncateSlots: fs::resize_file(slots, rng() % slotSize); break;
    case Damage::truncateBuckets: fs::resize_file(buckets, rng() % bucketSize); break;
    case Damage::zeroSlotRange: {
      U64 from = rng() % slotSize;
      U64 len = std::min<U64>(slotSize - from, 1 + rng() % 8192);
      overwrite(slots, from, std::vector<unsigned char>(len, 0));
      break;
    }
    case Damage::slotHeader:
      for (int i = 0; i < 1 + int(rng() % 3); ++i) overwrite(slots, 548 + rng() % 52, randomBytes(1 + rng() % 4));
      break;
    case Damage::bucketHeader: overwrite(buckets, rng() % BUCKET_HEADER, randomBytes(1 + rng() % 4)); break;
    case Damage::bucketWords:
      for (int i = 0; i < 1 + int(rng() % 8); ++i) {
        U64 word = rng() % ((bucketSize - BUCKET_HEADER) / 8);
        overwrite(buckets, BUCKET_HEADER + word * 8, randomBytes(8));
      }
      break;
    case Damage::links: slotField(0, 8, 1 + int(rng() % 8)); break;
    case Damage::flags: slotField(8, 4, 1 + int(rng() % 8)); break;
    case Damage::rhash: slotField(12, 4, 1 + int(rng() % 8)); break;
    case Damage::values: slotField(16, 16, 1 + int(rng() % 8)); break;
    case Damage::count: break;
  }
}

struct Outcome {
  int refused = 0, attached = 0, failedReads = 0, cleanRounds = 0;
};

// Every kind of read, each either answering or failing with a corruption
// error; anything else fails the test. Walks are capped so that a loop in
// the damaged chains would show as a failure rather than a hang.
void readEverything(FloodReader& r, Outcome& out) {
  int failures = 0;
  auto attempt = [&](auto&& fn) {
    try {
      fn();
    } catch (Quiv::CorruptionDetectedException const&) {
      ++failures;
    }
  };
  for (U64 k = 1; k <= KEYS + 200; k += 7)
    attempt([&] {
      bool found;
      L3FloodEntryConfig v;
      r.lookup(Lanx::IntfId::fromRaw(k), found, &v);
    });
  attempt([&] {
    L3FloodEntryConfig v;
    Zolm::IterHint hint;
    U64 steps = 0, cap = 10ull * (r.capacity() + 1);
    for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint))
      ASSERT_LT(++steps, cap) << "iteration does not end";
  });
  attempt([&] {
    for (U32 s = 0; s < r.capacity(); s += 3) {
      L3FloodEntryConfig v;
      r.getValue(s, v);
    }
  });
  attempt([&] { r.validate(); });
  out.failedReads += failures;
  if (!failures) ++out.cleanRounds;
}

TEST(ReaderHostileFiles, DamagedTablesAreRefusedOrReportedNeverCrash) {
  ShmRoot root;
  {
    Zolm::WriterConfig c;
    c.maxSlots = 1u << 13;
    FloodWriter w(nullptr, SOURCE, c);
    w.initialize();
    for (U64 k = 1; k <= KEYS; ++k) w.write(floodEntry(k, U32(k)));
    for (U64 k = 1; k <= KEYS; k += 5) w.remove(Lanx::IntfId::fromRaw(k));  // a free list through the table
    w.detach();
  }
  std::string src = root.dir() + "/" + SOURCE, dst = root.dir() + "/" + TARGET;
  constexpr int ROUNDS = 40;  // per kind of damage
  Outcome byKind[int(Damage::count)];
  for (int kind = 0; kind < int(Damage::count); ++kind) {
    for (int round = 0; round < ROUNDS; ++round) {
      SCOPED_TRACE(::testing::Message() << "damage " << kind << " round " << round);
      std::mt19937 rng(U32(kind * 1000 + round));
      fs::remove_all(dst);
      fs::create_directories(dst);
      for (char const* f : {"slots", "buckets", "fenix", "owner", "nimbr"}) fs::copy_file(src + "/" + f, dst + "/" + f);
      damage(Damage(kind), dst, rng);
      if (HasFatalFailure()) return;
      FloodReader r(nullptr, TARGET);
      bool ok = false;
      try {
        ok = r.initialize("hostile");
      } catch (Quiv::InvalidInitializeException const&) {
        ok = false;
      }
      if (!ok) {
        ++byKind[kind].refused;
        continue;
      }
      ++byKind[kind].attached;
      readEverything(r, byKind[kind]);
      if (HasFatalFailure()) return;
    }
  }
  char const* names[] = {"truncate slots", "truncate buckets", "zero slot range", "slot header", "bucket header",
                         "bucket words",   "links",            "flags",           "rhash",       "values"};
  for (int kind = 0; kind < int(Damage::count); ++kind)
    std::printf("%-16s refused %2d attached %2d (clean %2d, failed reads %d)\n", names[kind], byKind[kind].refused,
                byKind[kind].attached, byKind[kind].cleanRounds, byKind[kind].failedReads);
  // The checks at attach catch what they can see: a truncated slot file
  // and a bad bucket file are refused.
  EXPECT_EQ(byKind[int(Damage::truncateBuckets)].attached, 0);
  EXPECT_GT(byKind[int(Damage::truncateSlots)].refused, ROUNDS / 2);
  // Damage inside the chains is found by the reads.
  EXPECT_GT(byKind[int(Damage::links)].failedReads, 0);
  EXPECT_GT(byKind[int(Damage::bucketWords)].failedReads, 0);
}

}  // namespace
