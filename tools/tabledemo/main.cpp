// vexa-table-demo: one writer process keeps an L2 MAC table in shared
// memory busy (filling it, churning it, draining it to a sixteenth and
// growing it back, so that slots and buckets grow and shrink), while reader
// processes look entries up, read them by slot index and walk the whole
// table. Every value carries a checksum of its key and the version it was
// written with, so a reader can tell a torn or foreign value from a sound
// one; the demo ends with a summary and removes its files.
//
// Value encoding: timestamp = version (the writer's running write count),
// ingressPortMask = checksum(key, version) (49 bits).
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Zolm/Instantiations.h"

namespace {

using Ops = Zolm::L2TableConfigOps;
using Key = Bridging::MacVlanPair;
using Value = VexaSwitch::L2LogicalEntry;
using Clock = std::chrono::steady_clock;
constexpr char const* TABLE = "vexaswitch/tables/demo/macTable";
constexpr int MAX_READERS = 16;

struct ReaderStats {
  std::atomic<U64> lookups, hits, getValues, iterations, iterated, retries, torn, orderErrors, reattaches, errors;
};
struct Shared {
  std::atomic<bool> stop, writerReady;
  std::atomic<U64> published;
  std::atomic<U64> inserts, updates, removes, grows, shrinks, bucketGrows, bucketShrinks;
  std::atomic<U32> members, capacity, buckets;
  std::atomic<int> readersReady;
  ReaderStats readers[MAX_READERS];
};

Key keyOf(U64 i) {
  return Key(Bridging::EthAddr::fromU48(0x020000000000ull | i), Bridging::VlanId(U16(1 + i % 4000)));
}
U64 checksum(U64 packed, U64 version) {
  U64 x = (packed ^ (version * 0x9e3779b97f4a7c15ull)) * 0xbf58476d1ce4e5b9ull;
  x ^= x >> 29;
  return (x * 0x94d049bb133111ebull) & ((U64(1) << 49) - 1);
}
Value valueOf(U64 i, U64 version) {
  Value v(keyOf(i));
  v.timestampIs(version);
  v.ingressPortMaskIs(VexaSwitch::IngressPortMask(checksum(v.key().packed(), version)));
  v.intfIs(Lanx::IntfId::fromRaw(1 + i % 48));
  return v;
}
bool sound(Value const& v, U64 published) {
  U64 version = v.timestamp();
  return version != 0 && version <= published + 1 &&
         v.ingressPortMask().value() == checksum(v.key().packed(), version);
}

// --- writer ---------------------------------------------------------------------

[[noreturn]] void writerMain(Shared* sh, U64 size, U32 seed) {
  int rc = 0;
  try {
    Zolm::WriterConfig c;
    c.maxSlots = U32(size);
    Zolm::ZolmWriter<Ops> w(nullptr, TABLE, c);
    w.initialize();
    std::mt19937_64 rng(seed);
    U64 space = size * 2;  // keys 1..space, about half present at a time
    std::vector<U64> live;
    std::vector<U32> at(space + 1, ~0u);  // position in `live`
    auto publish = [&] {
      Zolm::Writer::Counters const& k = w.counters();
      sh->inserts = k.inserts;
      sh->updates = k.updates;
      sh->removes = k.removes;
      sh->grows = k.grows;
      sh->shrinks = k.shrinks;
      sh->bucketGrows = k.bucketGrows;
      sh->bucketShrinks = k.bucketShrinks;
      sh->members = w.members();
      sh->capacity = w.capacity();
      sh->buckets = w.buckets();
    };
    auto write = [&](U64 i) {
      U64 v = sh->published.load() + 1;
      w.write(valueOf(i, v), true);
      sh->published.store(v);
      if (at[i] == ~0u) {
        at[i] = U32(live.size());
        live.push_back(i);
      }
    };
    auto removeAt = [&](std::size_t pos) {
      U64 i = live[pos];
      live[pos] = live.back();
      at[live[pos]] = U32(pos);
      live.pop_back();
      at[i] = ~0u;
      w.remove(keyOf(i));
    };
    for (U64 i = 1; i <= size; ++i) {
      write(i);
      if (i % 4096 == 0) publish();
    }
    publish();
    sh->writerReady = true;
    // Phases: churn at full size, drain to a sixteenth, refill, churn...
    enum { churn, drain, refill } phase = churn;
    U64 ops = 0;
    while (!sh->stop.load()) {
      U64 r = rng();
      ++ops;
      if (phase == churn) {
        if (r % 4 == 0 && !live.empty()) removeAt(rng() % live.size());
        else write(1 + rng() % space);
        if (ops % (size * 2) == 0) phase = drain;
      } else if (phase == drain) {
        if (r % 8 == 0) write(live[rng() % live.size()]);
        else removeAt(rng() % live.size());
        if (live.size() <= size / 16) phase = refill;
      } else {
        if (r % 8 == 0 && !live.empty()) removeAt(rng() % live.size());
        else write(1 + rng() % space);
        if (live.size() >= size) phase = churn;
      }
      if (ops % 1024 == 0) publish();
    }
    publish();
    w.cleanup();
  } catch (std::exception const& e) {
    std::fprintf(stderr, "writer: %s\n", e.what());
    rc = 2;
  }
  ::_exit(rc);
}

// --- readers --------------------------------------------------------------------

[[noreturn]] void readerMain(Shared* sh, int id, U64 size, U32 seed) {
  ReaderStats& st = sh->readers[id];
  int rc = 0;
  try {
    std::mt19937_64 rng(seed);
    auto r = std::make_unique<Zolm::ZolmReader<Ops>>(nullptr, TABLE);
    while (!sh->stop.load() && !r->initialize("demo")) ::usleep(2000);
    sh->readersReady++;
    auto lastWalk = Clock::now();
    while (!sh->stop.load()) {
      try {
        U32 op = U32(rng() % 16);
        if (op < 12) {
          Value v;
          bool found = false;
          r->lookup(keyOf(1 + rng() % (size * 2)), found, &v);
          st.lookups++;
          if (found) {
            st.hits++;
            if (!sound(v, sh->published.load())) st.torn++;
          }
        } else {
          Value v;
          U32 cap = r->capacity();
          if (cap && r->getValue(U32(rng() % cap), v) && !sound(v, sh->published.load())) st.torn++;
          st.getValues++;
        }
        if (Clock::now() - lastWalk > std::chrono::milliseconds(500)) {
          lastWalk = Clock::now();
          std::set<U64> seen;
          Value v;
          Zolm::IterHint hint;
          U32 prevRh = 0;
          U64 prev = 0;
          bool first = true;
          for (bool more = r->first(v, hint); more; more = r->next(v.key(), v, hint)) {
            if (!sound(v, sh->published.load())) st.torn++;
            U64 k = v.key().packed();
            U32 rh = Zolm::reverseBits32(r->ops().hash(v.key()));
            if (!seen.insert(k).second || (!first && (rh < prevRh || (rh == prevRh && k <= prev)))) st.orderErrors++;
            first = false;
            prevRh = rh;
            prev = k;
            st.iterated++;
          }
          st.iterations++;
        }
      } catch (Quiv::CorruptionDetectedException const& e) {
        if (r->validateFiles()) {
          std::fprintf(stderr, "reader %d: %s\n", id, e.what());
          st.errors++;
        }
        st.reattaches++;
        r = std::make_unique<Zolm::ZolmReader<Ops>>(nullptr, TABLE);
        while (!sh->stop.load() && !r->initialize("demo")) ::usleep(2000);
      }
    }
    Zolm::Reader::Counters c = r->readerCounters();
    st.retries = c.retries + c.restarts;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "reader %d: %s\n", id, e.what());
    st.errors++;
    rc = 2;
  }
  ::_exit(rc);
}

// --- the parent -------------------------------------------------------------------

std::string rate(double perSecond) {
  if (perSecond >= 1e6) return fmt::format("{:.2f}M/s", perSecond / 1e6);
  if (perSecond >= 1e3) return fmt::format("{:.1f}k/s", perSecond / 1e3);
  return fmt::format("{:.0f}/s", perSecond);
}

U64 totalLookups(Shared const* sh, int readers) {
  U64 n = 0;
  for (int i = 0; i < readers; ++i) n += sh->readers[i].lookups;
  return n;
}
U64 totalTorn(Shared const* sh, int readers) {
  U64 n = 0;
  for (int i = 0; i < readers; ++i) n += sh->readers[i].torn + sh->readers[i].orderErrors;
  return n;
}

std::string status(Shared const* sh, int readers, double t, double writesPerS, double lookupsPerS) {
  return fmt::format("t={:5.1f}s members {:>8} cap {:>8} buckets {:>8} | writes {:>9} | lookups {}x {:>9} | "
                     "grows {} shrinks {} | torn {}",
                     t, sh->members.load(), sh->capacity.load(), sh->buckets.load(), rate(writesPerS), readers,
                     rate(lookupsPerS), sh->grows.load() + sh->bucketGrows.load(),
                     sh->shrinks.load() + sh->bucketShrinks.load(), totalTorn(sh, readers));
}

std::size_t filesLeft(std::string const& dir) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A writer process and reader processes on one shared-memory L2 MAC table"};
  U64 size = 200000;
  int readers = 3;
  double duration = 20;
  std::string root;
  U32 seed = 1;
  app.add_option("--size", size, "entries the writer keeps in the table at full size")
      ->check(CLI::Range(U64(1000), U64(1) << 24));
  app.add_option("--readers", readers, "reader processes")->check(CLI::Range(1, MAX_READERS));
  app.add_option("--duration", duration, "seconds of load after the table is filled")->check(CLI::Range(0.5, 3600.0));
  app.add_option("--root", root, "shared-memory root (default: a private directory under /dev/shm)");
  app.add_option("--seed", seed, "random seed");
  CLI11_PARSE(app, argc, argv);

  bool privateRoot = root.empty();
  if (privateRoot) {
    char tmpl[] = "/dev/shm/vexa_demo.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::perror("mkdtemp");
      return 3;
    }
    root = tmpl;
  }
  Mem::RootPath::shmRootIs(root);
  auto* sh = static_cast<Shared*>(
      ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (sh == MAP_FAILED) {
    std::perror("mmap");
    return 3;
  }
  new (sh) Shared{};
  bool tty = ::isatty(1);
  fmt::print("table {} under {}: {} entries, {} readers, {:.0f} s\n", TABLE, root, size, readers, duration);
  std::fflush(stdout);

  std::vector<pid_t> children;
  pid_t writer = ::fork();
  if (writer == 0) writerMain(sh, size, seed);
  children.push_back(writer);
  for (int i = 0; i < readers; ++i) {
    pid_t p = ::fork();
    if (p == 0) readerMain(sh, i, size, seed * 1000 + U32(i));
    children.push_back(p);
  }

  auto start = Clock::now();
  while (!sh->writerReady.load() || sh->readersReady.load() < readers) {
    ::usleep(50000);
    double t = std::chrono::duration<double>(Clock::now() - start).count();
    if (tty) fmt::print("\rfilling: {} of {} entries\033[K", sh->members.load(), size);
    if (t > 120) break;
    std::fflush(stdout);
  }
  if (tty) fmt::print("\r\033[K");
  fmt::print("filled {} entries in {:.1f} s\n", sh->members.load(),
             std::chrono::duration<double>(Clock::now() - start).count());

  auto loadStart = Clock::now();
  U64 writes0 = sh->published.load(), lookups0 = totalLookups(sh, readers);
  U64 lastWrites = writes0, lastLookups = lookups0;
  auto last = loadStart, lastLine = loadStart;
  for (;;) {
    ::usleep(250000);
    auto now = Clock::now();
    double t = std::chrono::duration<double>(now - loadStart).count();
    double dt = std::chrono::duration<double>(now - last).count();
    U64 writes = sh->published.load(), lookups = totalLookups(sh, readers);
    std::string line = status(sh, readers, t, double(writes - lastWrites) / dt, double(lookups - lastLookups) / dt);
    if (tty) {
      fmt::print("\r{}\033[K", line);
      std::fflush(stdout);
    } else if (now - lastLine >= std::chrono::seconds(1)) {
      fmt::print("{}\n", line);
      std::fflush(stdout);
      lastLine = now;
    }
    last = now;
    lastWrites = writes;
    lastLookups = lookups;
    if (t >= duration) break;
  }
  if (tty) fmt::print("\n");

  double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
  U64 totalWrites = sh->published.load() - writes0;
  sh->stop = true;
  bool clean = true;
  for (pid_t p : children) {
    int st = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(p, &st, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(p, SIGKILL);
        ::waitpid(p, &st, 0);
        break;
      }
      ::usleep(10000);
    }
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
      clean = false;
      fmt::print(stderr, "process {} did not end cleanly (status {})\n", p, st);
    }
  }

  fmt::print("\nsummary after {:.1f} s of load\n", loadSeconds);
  fmt::print("  writer: {} writes under load ({}); since the start {} inserts, {} updates, {} removes\n", totalWrites,
             rate(double(totalWrites) / loadSeconds), sh->inserts.load(), sh->updates.load(), sh->removes.load());
  fmt::print("  slots: {} grows, {} shrinks; buckets: {} grows, {} shrinks\n", sh->grows.load(), sh->shrinks.load(),
             sh->bucketGrows.load(), sh->bucketShrinks.load());
  U64 torn = 0, errors = 0;
  for (int i = 0; i < readers; ++i) {
    ReaderStats const& r = sh->readers[i];
    double hitRatio = r.lookups ? double(r.hits) / double(r.lookups) : 0;
    fmt::print("  reader {}: {} lookups ({}, {:.0f}% hits), {} getValue, {} full walks ({} entries), {} retries, "
               "{} re-attaches\n",
               i, r.lookups.load(), rate(double(r.lookups) / loadSeconds), 100 * hitRatio, r.getValues.load(),
               r.iterations.load(), r.iterated.load(), r.retries.load(), r.reattaches.load());
    torn += r.torn + r.orderErrors;
    errors += r.errors;
  }
  std::size_t left = filesLeft(root + "/" + TABLE);
  if (privateRoot) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  fmt::print("  torn reads: {}\n  reader errors: {}\n  files left: {}\n", torn, errors, left);
  bool ok = clean && torn == 0 && errors == 0 && left == 0;
  fmt::print("{}\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
