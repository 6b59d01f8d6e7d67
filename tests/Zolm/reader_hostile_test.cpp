// A reader attached to damaged files (truncated, zeroed, random bytes over
// headers, bucket words, links, flags, hashes and values, a link back
// within a bucket) may refuse to attach, and once attached any read may
// fail with a corruption error, but it never crashes, hangs, reads outside
// what it mapped or writes into the table's directory (also run under
// AddressSanitizer). Then its races with a live writer in this process,
// each forced at the moment that matters.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "testutil/Expect.h"
#include "testutil/Trace.h"

namespace vexa_reader_hostile_test {
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

enum class Damage {
  truncateSlots, truncateBuckets, truncateShort, zeroFile, slotHeader, bucketHeader, bucketWords,
  links,         backLink,        flags,         rhash,    values,     fenix,        mixed,       count
};
char const* const NAMES[] = {"truncate slots", "truncate buckets", "truncate short", "zero file", "slot header",
                             "bucket header",  "bucket words",     "links",          "back link", "flags",
                             "rhash",          "values",           "fenix",          "mixed"};
static_assert(std::size(NAMES) == std::size_t(Damage::count));

// (later, earlier) slots of successive entries of one bucket in the sound
// table. Linking the later back to the earlier keeps each step of an
// iteration by hint in the bucket and hashing right: only the (rhash, key)
// order shows the loop.
std::vector<std::pair<U32, U32>> backLinks;

// Applies one seeded damage to the copy under `dir`.
void damage(Damage d, std::string const& dir, std::mt19937& rng) {
  std::string slots = dir + "/slots", buckets = dir + "/buckets", fenix = dir + "/fenix";
  U64 slotSize = fs::file_size(slots), bucketSize = fs::file_size(buckets);
  U64 numSlots = (slotSize - SLOT_HEADER) / FloodOps::slotSize;
  auto put = [&](std::string const& f, U64 off, std::vector<unsigned char> const& b) {
    ASSERT_TRUE(patchFile(f, off, b.data(), b.size())) << f;
  };
  auto randomBytes = [&](std::size_t n) {
    std::vector<unsigned char> b(n);
    for (auto& c : b) c = static_cast<unsigned char>(rng());
    return b;
  };
  auto word = [](U64 w) { return std::vector<unsigned char>((unsigned char*)&w, (unsigned char*)&w + 8); };
  auto randomSlot = [&] { return SLOT_HEADER + (rng() % numSlots) * FloodOps::slotSize; };
  auto slotField = [&](U64 fieldOff, std::size_t len) {
    for (int i = 0, n = 1 + int(rng() % 8); i < n; ++i) put(slots, randomSlot() + fieldOff, randomBytes(len));
  };
  switch (d) {
    case Damage::truncateSlots: fs::resize_file(slots, rng() % slotSize); break;
    case Damage::truncateBuckets: fs::resize_file(buckets, rng() % bucketSize); break;
    case Damage::truncateShort: {
      // Around the headers, where a size check that is off by one matters.
      U64 const slotCuts[] = {0, 1, 8, 547, 599, 600, 601, SLOT_HEADER - 1, SLOT_HEADER, SLOT_HEADER + 1,
                              SLOT_HEADER + FloodOps::slotSize - 1, slotSize - 1};
      U64 const bucketCuts[] = {0, 1, 8, 20, 23, 24, 25, 31, 32, bucketSize - 8, bucketSize - 1};
      if (rng() % 2) fs::resize_file(slots, slotCuts[rng() % std::size(slotCuts)]);
      else fs::resize_file(buckets, bucketCuts[rng() % std::size(bucketCuts)]);
      break;
    }
    case Damage::zeroFile: {
      std::string const& f = rng() % 2 ? slots : buckets;
      put(f, 0, std::vector<unsigned char>(fs::file_size(f), 0));
      break;
    }
    case Damage::slotHeader:  // mostly the engine's fields at 548.., which the checks at attach see least of
      for (int i = 0; i < 1 + int(rng() % 3); ++i)
        put(slots, rng() % 2 ? 548 + rng() % 52 : rng() % SLOT_HEADER, randomBytes(1 + rng() % 4));
      break;
    case Damage::bucketHeader: put(buckets, rng() % BUCKET_HEADER, randomBytes(1 + rng() % 4)); break;
    case Damage::bucketWords:
      // Random words, or plausible ones: a slot index in or just past the table, a marker to any bucket.
      for (int i = 0; i < 1 + int(rng() % 8); ++i) {
        U64 w = rng() % 2 ? U64(rng()) << 32 | rng()
                          : U64(rng() % 2 ? U32(rng() % (numSlots + 4)) : (0x80000000u | (rng() % 4096))) << 32;
        put(buckets, BUCKET_HEADER + rng() % ((bucketSize - BUCKET_HEADER) / 8) * 8, word(w));
      }
      break;
    case Damage::links:
      if (rng() % 2) slotField(0, 8);
      else  // a link to a nearby slot: cycles and cross-links, not plainly out of range
        for (int i = 0; i < 1 + int(rng() % 4); ++i) put(slots, randomSlot(), word(U64(rng() % numSlots) << 32 | rng()));
      break;
    case Damage::backLink: {
      auto [from, to] = backLinks[rng() % backLinks.size()];
      put(slots, SLOT_HEADER + U64(from) * FloodOps::slotSize, word(U64(to) << 32 | 0x40));
      break;
    }
    case Damage::flags: slotField(8, 4); break;
    case Damage::rhash: slotField(12, 4); break;
    case Damage::values: slotField(16, 16); break;
    case Damage::fenix:
      if (rng() % 2) fs::resize_file(fenix, rng() % (fs::file_size(fenix) + 1));
      else put(fenix, rng() % fs::file_size(fenix), randomBytes(1 + rng() % 4));
      break;
    case Damage::mixed:
      for (int i = 0; i < 2 + int(rng() % 3); ++i)  // anything but a truncation
        if (Damage any = Damage(rng() % U32(Damage::mixed)); any >= Damage::zeroFile) damage(any, dir, rng);
      break;
    case Damage::count: break;
  }
}

struct Outcome {
  int refused = 0, attached = 0, failedReads = 0;
};

// Every kind of read, each either answering or failing with a corruption
// error; anything else fails the test. Walks are capped so that a loop in
// the damaged chains shows as a failure rather than a hang.
void readEverything(FloodReader& r, std::mt19937& rng, Outcome& out) {
  auto attempt = [&](auto&& fn) {
    try {
      fn();
    } catch (Quiv::CorruptionDetectedException const&) {
      ++out.failedReads;
    } catch (Quiv::InvalidInitializeException const&) {
      ++out.failedReads;
    }
  };
  // Batches of hits, misses and repeats answer as the single lookups do.
  for (U64 from = 1; from <= KEYS + 200; from += 45)
    attempt([&] {
      Lanx::IntfId ks[45];
      L3FloodEntryConfig vs[45], v;
      bool found[45], single;
      for (U32 i = 0; i < 45; ++i) ks[i] = floodKey(i % 9 == 8 ? from : from + i);
      r.lookupBatch(ks, 45, vs, found);
      for (U32 i = 0; i < 45; ++i) {
        L3FloodEntryConfig const* p = r.lookup(ks[i], single, &v);
        EXPECT_EQ(found[i], single) << ks[i].raw();
        EXPECT_EQ(vs[i].floodListId(), v.floodListId());
        EXPECT_TRUE(!single || p->key() == ks[i]) << "a hit must be the key asked for: " << ks[i].raw();
      }
    });
  attempt([&] {
    L3FloodEntryConfig v;
    Zolm::IterHint hint;
    U64 steps = 0, cap = 10ull * (r.capacity() + 1);
    for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint))
      ASSERT_LT(++steps, cap) << "iteration does not end";
  });
  // next() from keys that may not be there, without a hint (the slow path)
  // and with one naming a random slot.
  for (int i = 0; i < 40; ++i)
    attempt([&] {
      L3FloodEntryConfig v;
      Zolm::IterHint hint;
      if (i % 2) hint = {U32(rng()), U32(rng() % (r.capacity() + 8)), U32(rng() % (r.buckets() + 8))};
      r.next(floodKey(1 + rng() % (KEYS + 200)), v, hint);
    });
  attempt([&] {
    L3FloodEntryConfig v;
    for (U32 s = 0; s < r.capacity() + 4; s += 3) r.getValue(s, v);
  });
  attempt([&] { r.validate(); });
  attempt([&] { r.validateFiles(); });
  (void)r.dumpHeaders();  // never throws
}

// A sound shared table of keys 1..n under `table`, each with its own number.
std::unique_ptr<FloodWriter> writer(char const* table, U32 maxSlots, U64 n, bool fixedSize = false) {
  auto w = std::make_unique<FloodWriter>(nullptr, table, Zolm::WriterConfig{.maxSlots = maxSlots, .fixedSize = fixedSize});
  w->initialize();
  for (U64 k = 1; k <= n; ++k) w->write(floodEntry(k, U32(k)));
  return w;
}

TEST(ReaderHostileFiles, DamagedTablesAreRefusedOrReportedNeverCrash) {
  ShmRoot root;
  {
    auto w = writer(SOURCE, 1u << 13, KEYS);
    for (U64 k = 1; k <= KEYS; k += 5) w->remove(floodKey(k));  // a free list through the table
    w->detach();
    FloodReader r(nullptr, SOURCE);
    ASSERT_TRUE(r.initialize("scan"));
    Zolm::IterHint prev;
    backLinks.clear();
    forEachEntry(r, [&](auto const&, Zolm::IterHint const& hint) {
      if (prev.valid() && prev.bucket == hint.bucket) backLinks.emplace_back(hint.slot, prev.slot);
      prev = hint;
    });
    ASSERT_FALSE(backLinks.empty());
  }
  std::string src = root.dir() + "/" + SOURCE, dst = root.dir() + "/" + TARGET;
  // The sanitized twin runs unoptimised, four times slower: a quarter of
  // the rounds still gives every kind its refusals, attaches and failed reads.
#ifdef __SANITIZE_ADDRESS__
  constexpr int ROUNDS = 10;
#else
  constexpr int ROUNDS = 40;
#endif
  Outcome byKind[int(Damage::count)];
  for (int kind = 0; kind < int(Damage::count); ++kind) {
    for (int round = 0; round < ROUNDS; ++round) {
      SCOPED_TRACE(::testing::Message() << NAMES[kind] << " round " << round);
      std::mt19937 rng(U32(kind * 1000 + round));
      fs::remove_all(dst);
      fs::create_directories(dst);
      for (char const* f : {"slots", "buckets", "fenix", "owner", "nimbr"})
        if (fs::exists(src + "/" + f)) fs::copy_file(src + "/" + f, dst + "/" + f);
      damage(Damage(kind), dst, rng);
      if (HasFatalFailure()) return;
      auto const files = filesIn(dst);
      {
        FloodReader r(nullptr, TARGET);
        bool ok = false;
        try {
          ok = r.initialize("hostile");
        } catch (Quiv::InvalidInitializeException const&) {
        }
        if (ok) {
          ++byKind[kind].attached;
          readEverything(r, rng, byKind[kind]);
          if (HasFatalFailure()) return;
        } else {
          EXPECT_FALSE(r.lastError().empty()) << "a refusal says why";
          ++byKind[kind].refused;
        }
      }
      EXPECT_TRUE(filesIn(dst) == files) << "the reader wrote into the table";
    }
  }
  // The checks at attach catch a slot or bucket file shorter than its
  // header says, a zeroed file; damage inside the chains is found by reads.
  for (Damage d : {Damage::truncateBuckets, Damage::truncateSlots, Damage::truncateShort, Damage::zeroFile})
    EXPECT_EQ(byKind[int(d)].attached, 0) << NAMES[int(d)];
  for (Damage d : {Damage::links, Damage::bucketWords, Damage::values})
    EXPECT_GT(byKind[int(d)].failedReads, 0) << NAMES[int(d)];
  EXPECT_GT(byKind[int(Damage::backLink)].attached, 0) << "the looped iteration was walked";
}

// --- races with a live writer, forced --------------------------------------------

constexpr char const* LIVE = "vexaswitch/tables/test/live";

U32 rhashOf(FloodReader const& r, U64 k) { return Zolm::reverseBits32(r.ops().hash(floodKey(k))); }

// A reader that slept through several doublings of the slots and buckets
// catches up in one read, also by a slot index past all it had mapped, and
// then through halvings. (Iterations while the table grows and shrinks
// under them: the reader stress test.)
TEST(ReaderLiveWriter, AReaderThatMissedManyResizesCatchesUpInOneRead) {
  ShmRoot root;
  auto w = writer(LIVE, 1u << 14, 1);
  FloodReader r(nullptr, LIVE);
  ASSERT_TRUE(r.initialize("stale"));
  U32 slots0 = r.capacity(), buckets0 = r.buckets();
  for (U64 k = 2; k <= 6000; ++k) w->write(floodEntry(k, U32(k)));
  ASSERT_TRUE(w->capacity() >= 8 * slots0 && w->buckets() >= 8 * buckets0);
  EXPECT_EQ(r.capacity(), slots0) << "nothing remaps before a read";
  Zolm::IterHint hint;
  L3FloodEntryConfig v;
  ASSERT_TRUE(w->lookup(floodKey(5999), v, hint));
  ASSERT_GE(hint.slot, slots0);
  ASSERT_TRUE(r.getValue(hint.slot, v));
  EXPECT_EQ(v.key().raw(), 5999u);
  EXPECT_EQ(std::pair(r.capacity(), r.buckets()), std::pair(w->capacity(), w->buckets()));
  for (U64 k = 11; k <= 6000; ++k) w->remove(floodKey(k));
  bool found = true;
  EXPECT_TRUE(r.lookup(floodKey(10), found) && found);
  EXPECT_EQ(std::pair(r.capacity(), r.buckets()), std::pair(w->capacity(), w->buckets()));
  Zolm::Reader::Counters c = r.readerCounters();
  EXPECT_TRUE(c.resizes >= 2 && c.bucketResizes >= 2) << c.resizes << " " << c.bucketResizes;
  EXPECT_TRUE(r.validate()) << r.lastError();
}

// The bucket count doubles and halves back while one read is between two
// loads of the same walk (forced from the reader's trace point right after
// the read of a bucket marker). Counting the buckets alone, the reader
// would see the same count before and after and take a marker of the
// doubled table as damage.
TEST(ReaderLiveWriter, BucketsDoubledAndHalvedDuringOneReadAreNoticed) {
  ShmRoot root;
  auto w = writer(LIVE, 256, 8, true);  // fixed slots: only the buckets change
  ASSERT_EQ(w->buckets(), 8u);
  Quiv::DebugHandler* h = Quiv::Platform::getDebugHandler("ReaderAbaTest");
  FloodReader r(h, LIVE);
  ASSERT_TRUE(r.initialize("aba"));
  U32 capacity = r.capacity();
  w->write(floodEntry(9, 9));  // 9 entries in 8 buckets: 16
  ASSERT_EQ(w->buckets(), 16u);
  // The last key (in walk order) of some bucket b < 8 under 16 buckets:
  // after it comes the marker of bucket b + 8.
  std::map<U32, U64> lastOf;
  for (U64 k = 1; k <= 9; ++k) {
    U32 b = r.ops().hash(floodKey(k)) & 15;
    if (b >= 8) continue;
    auto it = lastOf.find(b);
    if (it == lastOf.end() || std::pair(rhashOf(r, k), k) > std::pair(rhashOf(r, it->second), it->second))
      lastOf[b] = k;
  }
  ASSERT_FALSE(lastOf.empty());
  U64 k = lastOf.begin()->second;
  bool halved = false, more = false;
  L3FloodEntryConfig v, want;
  {
    TraceHook hook(h, 1ull << 9, [&](unsigned, std::string_view msg) {
      if (halved || msg.find("next bucket") == std::string_view::npos) return;
      halved = true;
      for (U64 x = 1; x <= 9; ++x)
        if (x != k && w->members() > 3) w->remove(floodKey(x));  // below 16/4: back to 8
    });
    Zolm::IterHint none;
    EXPECT_EQ(thrownMessage<Quiv::CorruptionDetectedException>([&] { more = r.next(floodKey(k), v, none); }),
              "no exception")
        << "a sound table reported as damaged";
  }
  ASSERT_TRUE(halved) << "the walk never reached a marker";
  EXPECT_EQ(std::pair(w->buckets(), r.capacity()), std::pair(8u, capacity));
  Zolm::IterHint wh;
  ASSERT_EQ(more, w->next(floodKey(k), want, wh));
  EXPECT_TRUE(!more || v.key() == want.key()) << v.key().raw() << " " << want.key().raw();
}

// A check that fails on a table nobody resizes is reported, with its
// text, after ZolmReader::MAX_STALLS repeats; a resize published before a
// repeat (here at each of the first ten stalls) starts the count anew, so
// a busy writer never makes a reader report damage.
TEST(ReaderLiveWriter, AFailedCheckIsReportedOnlyAfterRepeatsWithNothingResized) {
  ShmRoot root;
  auto w = writer(LIVE, 1u << 13, 100);
  Quiv::DebugHandler* h = Quiv::Platform::getDebugHandler("ReaderStallTest");
  FloodReader r(h, LIVE);
  ASSERT_TRUE(r.initialize("stall"));
  L3FloodEntryConfig v;
  Zolm::IterHint hint;
  ASSERT_TRUE(w->lookup(floodKey(50), v, hint));
  Zolm::SlotPrefix* s = w->slotTable().slotRaw(hint.slot);
  Mem::store32(&s->runtimeFlags, s->runtimeFlags & ~Zolm::SLOT_OCCUPIED);
  int announced = 0;
  std::string error;
  bool found = false;
  {
    TraceHook hook(h, 1ull << 5, [&](unsigned, std::string_view msg) {
      if (!msg.starts_with("failed check") || announced == 10) return;
      ++announced;
      Zolm::SlotHeaderCommon* hdr = w->slotTable().header();
      hdr->resizeWordIs(hdr->resizeSeq + 1, hdr->numSlots);
    });
    error = thrownMessage<Quiv::CorruptionDetectedException>([&] { r.lookup(floodKey(50), found); });
  }
  Lanx::IntfId const k = floodKey(50);
  EXPECT_EQ(error, fmt::format("slot:{} not marked as occupied key:{}", hint.slot,
                               ZolmCore::ReaderHashMapBase::hex(&k, sizeof k)));
  Zolm::Reader::Counters c = r.readerCounters();
  EXPECT_EQ(std::tuple(announced, c.stalls, c.corruptions), std::tuple(10, 10 + Zolm::ZolmReaderBase::MAX_STALLS, 1u));
  Mem::store32(&s->runtimeFlags, s->runtimeFlags | Zolm::SLOT_OCCUPIED);
  r.lookup(floodKey(50), found);
  EXPECT_TRUE(found) << "put right, the key is found again";
}

}  // namespace
}  // namespace vexa_reader_hostile_test
