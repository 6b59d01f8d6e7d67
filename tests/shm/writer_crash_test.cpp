// The next writer after the previous one went away (cleanly, without
// detaching, killed anywhere, or with its files damaged) always comes up:
// it keeps a sound table of written values, or re-formats it, says so and
// moves to a new incarnation. A live writer is not disturbed by a second.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Zolm/TestTables.h"
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "testutil/Expect.h"
#include "testutil/Process.h"
#include "testutil/Trace.h"

namespace vexa_writer_crash_test {

namespace {

using namespace VexaTest;
using VexaSwitch::L3FloodEntryConfig;

constexpr char const* TABLE = "vexaswitch/tables/test/crash";
constexpr U32 SLOT_FORMAT_VERSION = 8;
constexpr U32 SLOT_RUNTIME_FLAGS = 550;
constexpr U32 SLOT_HASH_SEED = 568;
constexpr U32 SLOT_NUM_SLOTS = 580;
constexpr U32 SLOT_HEADER_END = 600;
constexpr U32 BUCKET_HEADER_END = 24;

Quiv::DebugHandler* handler() { return Quiv::Platform::getDebugHandler("WriterCrashTest"); }
Zolm::WriterConfig sharedConfig() { return {.maxSlots = 1u << 15}; }
std::string slotsOf(ShmRoot const& root, std::string const& table) { return root.dir() + "/" + table + "/slots"; }
bool criticalBit(ShmRoot const& root, std::string const& table) {
  return rawAt<U16>(readFile(slotsOf(root, table)), SLOT_RUNTIME_FLAGS) & 1;
}

// Every value names its key twice besides the key itself, so that a value
// made of pieces of two entries (a torn or misplaced write) is detected.
L3FloodEntryConfig entryFor(U64 key, U32 version) {
  L3FloodEntryConfig e = floodEntry(key, U32(key * 7 + version % 7));
  e.memberCountIs(~U32(key));
  return e;
}
bool consistent(L3FloodEntryConfig const& v) {
  U64 key = v.key().raw();
  return key != 0 && v.floodListId() / 7 == key && v.memberCount() == ~U32(key);
}

template <class T>
void patchField(std::string const& slots, U32 offset, T (*change)(T)) {
  T v = change(rawAt<T>(readFile(slots), offset));
  ASSERT_TRUE(patchFile(slots, offset, &v, sizeof v));
}
U16 setCritical(U16 flags) { return U16(flags | 1); }

// Fills `table` with keys 1..n and detaches; the writer's fenix id.
SharedMem::FenixId populate(std::string const& table, U64 n) {
  FloodWriter w(nullptr, table, sharedConfig());
  w.initialize();
  for (U64 k = 1; k <= n; ++k) w.write(entryFor(k, U32(k)));
  SharedMem::FenixId id = w.fenixId();
  w.detach();
  return id;
}

// The next writer on `table` comes up. Re-formatted (in its trace and its
// counters): empty, next incarnation. Kept: same incarnation. Either way
// it validates, every entry walked is found again by its key, no key
// twice, the values consistent (unless `damaged`: a flipped value byte is
// the caller's damage), and (re-formatted or `damaged`) it takes 1000 more
// writes. Returns whether it re-formatted.
bool comesUp(FloodWriter& w, ShmRoot const& root, std::string const& table, SharedMem::FenixId before,
             bool damaged = false) {
  TraceCapture trace(handler());
  try {
    w.initialize();
  } catch (std::exception const& e) {
    ADD_FAILURE() << "the next writer did not come up: " << e.what() << "\n" << trace.dump();
    throw;  // ends the test
  }
  bool lost = trace.saw(1, "all entries from " + root.dir() + "/" + table + " will be lost");
  EXPECT_EQ(w.writerCounters().reformats, lost ? 1u : 0u) << "the caller sees a re-format, not only the trace";
  if (lost) {
    EXPECT_EQ(w.members(), 0u);
    EXPECT_TRUE(before.isNull() || w.fenixId().incarnation() == U16(before.incarnation() + 1));
  } else {
    EXPECT_EQ(w.fenixId().value(), before.value());
  }
  if (lost || damaged) {
    U32 n = w.members();
    for (U64 k = 100000; k < 101000; ++k) w.write(entryFor(k, 1));
    EXPECT_EQ(w.members(), n + 1000);
  }
  EXPECT_TRUE(w.validate()) << w.lastError() << "\n" << trace.dump();
  std::set<U64> seen;
  forEachEntry(w, [&](L3FloodEntryConfig const& v, Zolm::IterHint const&) {
    L3FloodEntryConfig again;
    bool found = w.lookup(v.key(), again) && again.floodListId() == v.floodListId();
    EXPECT_TRUE((damaged || consistent(v)) && seen.insert(v.key().raw()).second && found) << Zolm::show(v) << " " << found;
  });
  EXPECT_EQ(seen.size(), w.members());
  return lost;
}

constexpr U64 RESTART_KEYS = 5000;

class WriterRestart : public ::testing::TestWithParam<bool> {};

// A child writes RESTART_KEYS entries. Halfway, a second writer is refused
// before it touches anything, and the child goes on undisturbed. It goes
// away, detaching or not: the next writer keeps every entry, the hash seed
// and the incarnation, also when it asks for another size (the queue grows
// on its own).
TEST_P(WriterRestart, NextWriterKeepsEveryEntryTheSeedAndTheIncarnation) {
  ShmRoot root;
  Pipe ready, go;
  pid_t child = spawn([&] {
    FloodWriter w(nullptr, TABLE, sharedConfig());
    w.initialize();
    go.closeWrite();  // a failed test's end is the end of the wait
    for (U64 k = 1; k <= RESTART_KEYS; ++k) {
      w.write(entryFor(k, U32(k)));
      if (k == RESTART_KEYS / 2 && (!ready.signal() || !go.await())) ::_exit(3);
    }
    if (!GetParam()) ::_exit(0);
    w.detach();
  });
  ready.closeWrite();  // a child that dies early ends the wait below
  ASSERT_TRUE(ready.await());
  std::string const fenix = root.dir() + "/" + TABLE + "/fenix";
  std::vector<unsigned char> fenixBefore = readFile(fenix);
  EXPECT_EQ(thrownMessage<Quiv::InvalidInitializeException>(
                [&] { FloodWriter(handler(), TABLE, sharedConfig()).initialize(); }),
            fmt::format("table {} already has a live writer (pid {})", TABLE, child));
  EXPECT_TRUE(Mem::WriterLock::ownerIsAlive(Mem::RootPath(nullptr, TABLE)));
  EXPECT_EQ(readFile(fenix), fenixBefore);
  ASSERT_TRUE(go.signal());
  ASSERT_EQ(reapDescribed(child), "exit 0");
  SharedMem::FenixId childId = SharedMem::FenixFile(Mem::RootPath(nullptr, TABLE)).read();
  EXPECT_EQ(childId.pid(), U16(child));
  EXPECT_EQ(SharedMem::OwnerFile(Mem::RootPath(nullptr, TABLE)).shocketInfo().empty(), GetParam())
      << "a detaching writer clears its wake-up socket";
  U32 seed = rawAt<U32>(readFile(slotsOf(root, TABLE)), SLOT_HASH_SEED);
  FloodWriter w(handler(), TABLE, sharedConfig());
  EXPECT_FALSE(comesUp(w, root, TABLE, childId)) << "re-formatted";
  EXPECT_EQ(rawAt<U32>(readFile(slotsOf(root, TABLE)), SLOT_HASH_SEED), seed);
  EXPECT_EQ(w.members(), RESTART_KEYS);
  for (U64 k = 1; k <= RESTART_KEYS; ++k) {
    L3FloodEntryConfig v;
    ASSERT_TRUE(w.lookup(floodKey(k), v) && v.floodListId() == entryFor(k, U32(k)).floodListId()) << k;
  }
  w.remove(floodKey(1));
  w.write(entryFor(RESTART_KEYS + 1, 0));
  w.detach();
  for (U32 requested : {sharedConfig().maxSlots + 1, sharedConfig().maxSlots / 8, sharedConfig().maxSlots * 4}) {
    SCOPED_TRACE(requested);
    FloodWriter next(handler(), TABLE, {.maxSlots = requested});
    EXPECT_FALSE(comesUp(next, root, TABLE, childId));
    EXPECT_EQ(next.members(), RESTART_KEYS);
    EXPECT_GE(next.nimbr().header()->mapSize, std::min<U64>(requested, RESTART_KEYS));
    next.detach();
  }
}

INSTANTIATE_TEST_SUITE_P(Exit, WriterRestart, ::testing::Values(true, false),
                         [](auto const& info) { return info.param ? "Detached" : "ExitedWithoutDetach"; });

struct Damage {
  char const* name;
  void (*apply)(std::string const& slots);
};
void PrintTo(Damage const& d, std::ostream* os) { *os << d.name; }

Damage const DAMAGES[] = {
    {"TruncatedToHalf", [](std::string const& f) { std::filesystem::resize_file(f, std::filesystem::file_size(f) / 2); }},
    {"TruncatedTo100Bytes", [](std::string const& f) { std::filesystem::resize_file(f, 100); }},
    {"BadMagic", [](std::string const& f) { patchField<U64>(f, 0, [](U64) { return U64(0x0123456789abcdefULL); }); }},
    {"FutureFormatVersion", [](std::string const& f) { patchField<U32>(f, SLOT_FORMAT_VERSION, [](U32) { return 99u; }); }},
    {"NumSlotsPastTheFile", [](std::string const& f) { patchField<U32>(f, SLOT_NUM_SLOTS, [](U32 n) { return n * 4; }); }},
};  // (A critical bit left set: the killed writers below.)

class WriterDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(WriterDamage, NextWriterReformatsAndSaysSo) {
  ShmRoot root;
  SharedMem::FenixId before = populate(TABLE, 3000);
  ASSERT_FALSE(criticalBit(root, TABLE)) << "a detached writer left its critical bit";
  GetParam().apply(slotsOf(root, TABLE));
  if (HasFatalFailure()) return;
  FloodWriter w(handler(), TABLE, sharedConfig());
  EXPECT_TRUE(comesUp(w, root, TABLE, before)) << "not re-formatted";
  EXPECT_EQ(SharedMem::FenixFile(w.rootPath()).read().value(), w.fenixId().value()) << "recorded for readers";
  EXPECT_FALSE(criticalBit(root, TABLE));
  w.detach();
  // The re-formatted table is an ordinary one: the writer after it keeps it.
  FloodWriter next(handler(), TABLE, sharedConfig());
  EXPECT_FALSE(comesUp(next, root, TABLE, w.fenixId()));
  EXPECT_EQ(next.members(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WriterDamage, ::testing::ValuesIn(DAMAGES),
                         [](auto const& info) { return std::string(info.param.name); });

// Random flips may or may not hit something that matters; whatever they
// hit, the next writer comes up and ends with a sound, working table.
TEST(WriterDamageFlips, SeededByteFlipsNeverBreakTheNextWriter) {
  ShmRoot root;
  char const* const regions[] = {"slot header", "slots", "buckets"};
  int kept[3] = {}, reformatted[3] = {};
  for (int r = 0; r < 3; ++r)
    for (U32 seed = 1; seed <= 50; ++seed) {
      SCOPED_TRACE(::testing::Message() << regions[r] << " seed " << seed);
      std::string table = fmt::format("{}/{}-{}", TABLE, r, seed);
      SharedMem::FenixId before = populate(table, 2000);
      std::string file = root.dir() + "/" + table + (r == 2 ? "/buckets" : "/slots");
      std::vector<unsigned char> bytes = readFile(file);
      U64 from = r == 0 ? 0 : r == 1 ? SLOT_HEADER_END : BUCKET_HEADER_END;
      U64 to = r == 0 ? SLOT_HEADER_END : bytes.size();
      std::mt19937 rng(seed);
      for (int i = 0; i < 4; ++i) bytes[from + rng() % (to - from)] ^= static_cast<unsigned char>(1 + rng() % 255);
      ASSERT_TRUE(patchFile(file, 0, bytes.data(), bytes.size()));
      // Kept means found: a table that validates but hides its entries from
      // lookups would be worse than a re-formatted one.
      FloodWriter w(handler(), table, sharedConfig());
      ++(comesUp(w, root, table, before, true) ? reformatted : kept)[r];
    }
  fmt::print("byte flips kept/re-formatted: header {}/{}, slots {}/{}, buckets {}/{}\n", kept[0], reformatted[0],
             kept[1], reformatted[1], kept[2], reformatted[2]);
  // A sweep that never re-formats did not damage anything.
  EXPECT_GT(reformatted[0], 0);
  EXPECT_GT(reformatted[1], 0);
}

constexpr U64 CHURN_KEYS = 3000;

TEST(WriterCrash, KilledAtRandomMomentsTheNextWriterAlwaysComesUpSound) {
  ShmRoot root;
  populate(TABLE, CHURN_KEYS / 2);
  constexpr int KILLS = 200;
  constexpr U32 SEED = 0x5eed1234;
  std::mt19937 rng(SEED);
  int kept = 0, reformatted = 0, criticalLeft = 0;
  for (int i = 0; i < KILLS; ++i) {
    SCOPED_TRACE(::testing::Message() << "kill " << i << " of seed " << SEED);
    U32 childSeed = rng(), delayUs = rng() % 3001;
    // Random inserts, updates (plain and in place) and removes until killed.
    Pipe attached;
    pid_t pid = spawn([&] {
      std::mt19937 crng(childSeed);
      FloodWriter w(nullptr, TABLE, sharedConfig());
      w.initialize();
      attached.signal();
      for (U32 version = 0;; ++version) {
        U64 key = 1 + crng() % CHURN_KEYS;
        U32 op = crng() % 10;
        if (op < 5) {
          w.write(entryFor(key, version));
        } else if (op > 5) {
          w.remove(floodKey(key));
        } else if (L3FloodEntryConfig* p = w.directUpdate(floodKey(key))) {
          *p = entryFor(key, version);
          w.directCommit();
        }
      }
    });
    ASSERT_GE(pid, 0);
    attached.closeWrite();
    // Every other kill lands in the churn, the others anywhere (most while
    // the child attaches).
    if (i % 2) {
      ASSERT_TRUE(attached.await());
      delayUs /= 3;
    }
    ::usleep(delayUs);
    ::kill(pid, SIGKILL);
    ASSERT_EQ(reapDescribed(pid), "killed by signal 9");
    ASSERT_FALSE(Mem::WriterLock::ownerIsAlive(Mem::RootPath(nullptr, TABLE))) << "the lock outlived its owner";
    bool critical = criticalBit(root, TABLE);
    FloodWriter w(handler(), TABLE, sharedConfig());
    bool lost = comesUp(w, root, TABLE, SharedMem::FenixFile(Mem::RootPath(nullptr, TABLE)).read());
    ++(lost ? reformatted : kept);
    criticalLeft += critical;
    ASSERT_TRUE(lost || !critical) << "a table left inside a critical section was kept";
    ASSERT_FALSE(HasFailure());
    w.detach();
  }
  fmt::print("{} kills: kept {}, re-formatted {} (critical bit left {})\n", KILLS, kept, reformatted, criticalLeft);
  EXPECT_GT(kept, KILLS / 10) << "almost every kill led to a re-format";
  EXPECT_GT(criticalLeft, 0) << "no kill landed inside an operation";
}

// A writer killed while it re-formats leaves files of two incarnations; the
// next must lay every file out under a new id before a reader may take the
// table for sound: stopped after each file, a reader refuses it or uses it.

constexpr U64 REFORMAT_KEYS = 2000;

std::string readerVerdict();

// A writer child that stops (SIGSTOP) after every file it formats, where a
// reader's verdict goes to `faults` (without, the child is killed there);
// it ends after initialize. Returns the number of stops.
int writerStoppingAtEachFormat(std::vector<std::string>* faults, std::string& end) {
  pid_t pid = spawn([] {
    handler()->flagsIs(0x3);
    Quiv::traceSinkIs([](Quiv::DebugHandler const&, unsigned, std::string_view msg) {
      if (msg.find("formatted") != std::string_view::npos || msg.find("to new file") != std::string_view::npos)
        ::raise(SIGSTOP);
    });
    FloodWriter(handler(), TABLE, sharedConfig()).initialize();
  });
  int stops = 0, status = 0;
  while (::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) {
    ++stops;
    if (std::string f = faults ? readerVerdict() : ""; !f.empty()) faults->push_back(f);
    ::kill(pid, faults ? SIGCONT : SIGKILL);
  }
  end = describeStatus(status);
  return stops;
}

// What a reader attaching now makes of the table: empty when it refuses
// it or uses it soundly, else the fault.
std::string readerVerdict() {
  Zolm::ZolmReader<FloodOps> r(nullptr, TABLE);
  try {
    if (!r.initialize()) return "";
    L3FloodEntryConfig v, again;
    for (U64 k = 1; k <= REFORMAT_KEYS; k += 97)
      if (r.lookup(floodKey(k), v) && !consistent(v)) return "inconsistent value " + Zolm::show(v);
    Zolm::IterHint hint;
    for (bool more = r.first(v, hint); more; more = r.next(v.key(), v, hint))
      if (!r.lookup(v.key(), again)) return fmt::format("key {} iterated but missed", v.key().raw());
  } catch (std::exception const& e) {
    return e.what();
  }
  return "";
}

TEST(WriterCrash, KilledWhileReformattingNoReaderGetsAHalfMadeTable) {
  ShmRoot root;
  SharedMem::FenixId first = populate(TABLE, REFORMAT_KEYS);
  // A critical bit left set: the next writer must re-format; it is killed
  // once it laid out its first file.
  patchField<U16>(slotsOf(root, TABLE), SLOT_RUNTIME_FLAGS, setCritical);
  std::string end;
  EXPECT_EQ(writerStoppingAtEachFormat(nullptr, end), 1);
  EXPECT_EQ(end, "killed by signal 9");
  EXPECT_EQ(SharedMem::FenixFile(Mem::RootPath(nullptr, TABLE)).read().value(), first.value())
      << "the fenix file is written last";
  // Two incarnations now: at each file the next writer lays out, no reader
  // gets a half-made table.
  std::vector<std::string> faults;
  EXPECT_GE(writerStoppingAtEachFormat(&faults, end), 3) << "slots, buckets and queue are each laid out";
  EXPECT_EQ(end, "exit 0");
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  FloodWriter w(nullptr, TABLE, sharedConfig());
  ASSERT_TRUE(w.initialize());
  EXPECT_NE(w.fenixId().value(), first.value());
  EXPECT_EQ(w.members(), 0u);
  EXPECT_TRUE(w.validate()) << w.lastError();
}

}  // namespace

}  // namespace vexa_writer_crash_test
