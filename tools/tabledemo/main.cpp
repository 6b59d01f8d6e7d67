// vexa-table-demo: one writer process keeps an L2 MAC table in shared
// memory busy while reader processes read it without locks.
//
// The writer fills the table, then cycles through three phases: churn at
// full size (updates, inserts, removes), drain to a sixteenth, refill; so
// the slot table and the buckets grow and shrink again and again. Readers
// look keys up (hits and misses), read slots by index and walk the whole
// table in (rhash, key) order. Every value carries a checksum of its key
// and the version it was written with (DemoValues.h), and a reader checks
// each one it gets; pinned keys, never removed, must be found by every
// lookup and every walk. Shadow processes keep their own copy of the
// table, fed by the writer's notification queue and woken by its socket;
// they check every value they are told about, and once the writer has
// stopped and they have consumed its last record, compare their copy with
// the table entry by entry. The parent shows live progress, stops the
// children, prints a summary and removes its files.
//
// Readers and shadows start only once the writer holds the table. A table
// that has another live writer (a second demo on the same --root) is not
// this demo's: it stops with the writer's error, and nothing of that table
// is read, followed or removed.
//
// Processes share one anonymous MAP_SHARED page set made before fork: the
// parent's stop flag, the writer's version count and counters, its final
// state, and each reader's and shadow's counters, each party on its own
// cache lines.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "DemoValues.h"
#include "VexaSwitchLib/runtime/Version.h"
#include "../common/DemoProcess.h"

namespace {

using namespace DemoProcess;

using namespace TableDemo;
using Writer = Zolm::ZolmWriter<Ops>;
using Reader = Zolm::ZolmReader<Ops>;
using Shadow = Zolm::ZolmShadow<Ops>;
using Clock = std::chrono::steady_clock;
constexpr char const* TABLE = "vexaswitch/tables/demo/macTable";
constexpr int MAX_READERS = 16;
constexpr int MAX_SHADOWS = 4;
constexpr auto RELAXED = std::memory_order_relaxed;

// The exit statuses (DemoProcess::Exit), for --help.
constexpr char const* EXIT_FOOTER =
    "Exit status: 0 ok, 1 a check failed (result: FAILED), 2 usage or malformed options,\n"
    "  3 the root or the table cannot be made or attached (another live writer holds it),\n"
    "  130 interrupted without a fault.";

enum Phase : int { filling, churn, drain, refill };
constexpr char const* PHASE_NAME[] = {"fill", "churn", "drain", "refill"};

struct alignas(64) ReaderStats {
  std::atomic<U64> lookups, hits, getValues, getValueHits, walks, walked, retries, reattaches;
  std::atomic<U64> torn, foreign, stale, lost, orderErrors, errors;
  std::atomic<U64> walkUs, longestWalkUs;
  std::atomic<bool> ready;
};

struct alignas(64) WriterStats {
  std::atomic<U64> inserts, updates, removes, grows, shrinks, bucketGrows, bucketShrinks, moves, cycles, fillMs;
  std::atomic<U64> tailSeq;  // the notification queue's last record
  std::atomic<U32> members, capacity, buckets;
  std::atomic<U32> minMembers, maxMembers, minCapacity, maxCapacity, minBuckets, maxBuckets;
  std::atomic<int> phase;
  std::atomic<bool> filled;    // every pinned key is in the table from now on
  std::atomic<bool> attached;  // the writer holds the table; readers may start
  // Why the writer could not attach (NUL-terminated), written before it
  // exits with EXIT_NO_TABLE.
  char attachError[512];
};

// Written once by the writer after its last write, then `done`.
struct alignas(64) WriterEnd {
  std::atomic<U64> tailSeq;  // the record of the last write
  std::atomic<U64> members, digest;
  std::atomic<U64> waitMs;  // how long it then answered the shadows
  std::atomic<bool> done;
};

struct alignas(64) ShadowStats {
  std::atomic<U64> callbacks, syncCallbacks, wakeups, arms, notifications, syncs, resyncs;
  std::atomic<U64> position, members, syncMs;
  std::atomic<U64> torn, foreign, stale, errors;
  // The final comparison: entries compared, and those only in the shadow,
  // only in the table, or different in both.
  std::atomic<U64> compared, extra, missing, differing;
  std::atomic<U64> catchUpMs;  // from the writer's end to the last record consumed
  std::atomic<bool> ready;     // the first synchronisation is complete
  std::atomic<bool> checked;   // caught up and compared: the counts above are final
  std::atomic<bool> ended;     // left its loop, for whatever reason
};

struct Shared {
  alignas(64) std::atomic<U64> published;  // versions written so far; on its own line
  alignas(64) std::atomic<bool> stop;
  WriterStats writer;
  WriterEnd end;
  ReaderStats readers[MAX_READERS];
  ShadowStats shadows[MAX_SHADOWS];
};

struct Plan {
  U64 size;         // members at full size
  U64 space;        // key ids 1..space
  U64 pinnedCount;  // ids that are multiples of PIN_EVERY
};


// --- writer ---------------------------------------------------------------------

class Churner {
 public:
  Churner(Shared* sh, Writer& w, Plan const& plan, U64 seed)
      : sh_(sh), ws_(sh->writer), w_(w), plan_(plan), rng_(seed), at_(plan.space + 1, NONE) {
    for (U64 id = PIN_EVERY; id <= plan.space; id += PIN_EVERY) pins_.push_back(id);
  }

  void fill() {
    auto start = Clock::now();
    for (U64 id : pins_) write(id);
    for (U64 id = 1; members() < plan_.size; ++id)
      if (!pinned(id)) write(id);
    publish();
    ws_.fillMs.store(U64(std::chrono::duration<double, std::milli>(Clock::now() - start).count()));
    ws_.filled.store(true);
  }

  // One change of the table; false once told to stop.
  void step() {
    U64 r = rng_() % 100;
    U64 m = members();
    switch (phase_) {
      case churn:
        // Around the full size: half updates, a quarter each inserts and removes.
        if (r < 50) update();
        else if (r < 75) m < plan_.size + plan_.size / 20 ? insert() : remove();
        else m > plan_.size - plan_.size / 20 ? remove() : insert();
        if (++phaseOps_ >= plan_.size) phaseIs(drain);
        break;
      case drain:
        r < 85 ? remove() : update();
        if (members() <= std::max<U64>(plan_.size / 16, plan_.pinnedCount + 1)) phaseIs(refill);
        break;
      case refill:
        r < 85 ? insert() : remove();
        if (members() >= plan_.size) {
          ws_.cycles.fetch_add(1);
          phaseIs(churn);
        }
        break;
      default:
        phaseIs(churn);
    }
    if (++ops_ % 512 == 0) publish();
  }

  void publish() {
    Zolm::Writer::Counters const& k = w_.counters();
    ws_.inserts.store(k.inserts, RELAXED);
    ws_.updates.store(k.updates, RELAXED);
    ws_.removes.store(k.removes, RELAXED);
    ws_.grows.store(k.grows, RELAXED);
    ws_.shrinks.store(k.shrinks, RELAXED);
    ws_.bucketGrows.store(k.bucketGrows, RELAXED);
    ws_.bucketShrinks.store(k.bucketShrinks, RELAXED);
    ws_.moves.store(k.moves, RELAXED);
    ws_.tailSeq.store(w_.nimbr().tailSeq(), RELAXED);
    U32 m = w_.members(), c = w_.capacity(), b = w_.buckets();
    ws_.members.store(m, RELAXED);
    ws_.capacity.store(c, RELAXED);
    ws_.buckets.store(b, RELAXED);
    ws_.phase.store(phase_, RELAXED);
    if (phase_ != filling) {
      // The range covered since the fill: the extremes fall on phase changes,
      // which publish too.
      auto lower = [](std::atomic<U32>& a, U32 v) { a.store(std::min(a.load(RELAXED), v), RELAXED); };
      auto raise = [](std::atomic<U32>& a, U32 v) { a.store(std::max(a.load(RELAXED), v), RELAXED); };
      lower(ws_.minMembers, m), raise(ws_.maxMembers, m);
      lower(ws_.minCapacity, c), raise(ws_.maxCapacity, c);
      lower(ws_.minBuckets, b), raise(ws_.maxBuckets, b);
    }
  }

 private:
  static constexpr U32 NONE = ~0u;

  U64 members() const { return pins_.size() + live_.size(); }

  void write(U64 id) {
    U64 v = version_ + 1;
    w_.write(valueOf(id, v), true);
    version_ = v;
    // After the write: a reader that reads the value and then this count
    // finds the value at most one ahead.
    sh_->published.store(v, std::memory_order_release);
    if (!pinned(id) && at_[id] == NONE) {
      at_[id] = U32(live_.size());
      live_.push_back(id);
    }
  }
  // A random key: new most of the time when the table is sparse, else an update.
  void insert() { write(1 + rng_() % plan_.space); }
  void update() {
    U64 r = rng_() % members();
    write(r < pins_.size() ? pins_[r] : live_[r - pins_.size()]);
  }
  void remove() {
    if (live_.empty()) return update();
    std::size_t pos = rng_() % live_.size();
    U64 id = live_[pos];
    live_[pos] = live_.back();
    at_[live_[pos]] = U32(pos);
    live_.pop_back();
    at_[id] = NONE;
    w_.remove(keyOf(id));
  }
  void phaseIs(Phase p) {
    phase_ = p;
    phaseOps_ = 0;
    publish();
  }

  Shared* sh_;
  WriterStats& ws_;
  Writer& w_;
  Plan plan_;
  std::mt19937_64 rng_;
  std::vector<U64> pins_;
  std::vector<U64> live_;  // present ids that are not pinned
  std::vector<U32> at_;    // position of each id in live_
  U64 version_ = 0;
  U64 ops_ = 0, phaseOps_ = 0;
  Phase phase_ = filling;
};

// After the last write: the final table's record, digest and size for the
// shadows, then their last arms answered (a writer that no longer writes
// polls its socket from nowhere else) until every shadow has compared its
// copy or gave up. The table stays as it is meanwhile.
void finish(Shared* sh, Writer& w, int shadows, pid_t parent) {
  WriterEnd& end = sh->end;
  TableDigest d;
  Value v;
  Zolm::IterHint hint;
  for (bool more = w.first(v, hint); more; more = w.next(v.key(), v, hint)) d.add(v);
  end.tailSeq.store(w.nimbr().tailSeq(), RELAXED);
  end.members.store(d.members, RELAXED);
  end.digest.store(d.sum, RELAXED);
  end.done.store(true, std::memory_order_release);
  auto start = Clock::now();
  auto pending = [&] {
    for (int i = 0; i < shadows; ++i)
      if (!sh->shadows[i].ended.load()) return true;
    return false;
  };
  for (U64 n = 0; pending() && Clock::now() - start < std::chrono::seconds(8); ++n) {
    w.pokt().poll();
    ::usleep(500);
    if (n % 256 == 0 && orphaned(parent)) break;
  }
  end.waitMs.store(U64(std::chrono::duration<double, std::milli>(Clock::now() - start).count()));
}

[[noreturn]] void writerMain(Shared* sh, Plan const& plan, U64 seed, int shadows, pid_t parent) {
  childSignals();
  int rc = 0;
  std::unique_ptr<Writer> w;
  bool attached = false;
  try {
    Zolm::WriterConfig c;
    c.maxSlots = U32(plan.size);
    c.shrinkSlots = true;  // the slot table shrinks as members drop...
    c.shrinkBuckets = true;  // ...and so do the buckets
    try {
      w = std::make_unique<Writer>(nullptr, TABLE, c);
      w->initialize("tabledemo");
    } catch (std::exception const& e) {
      // Not ours: leave it as it is, and tell the parent why.
      fmt::format_to_n(sh->writer.attachError, sizeof sh->writer.attachError - 1, "{}", e.what());
      ::_exit(EXIT_NO_TABLE);
    }
    attached = true;
    sh->writer.attached.store(true, std::memory_order_release);
    Churner churner(sh, *w, plan, seed);
    churner.fill();
    for (U64 n = 0; !sh->stop.load(RELAXED); ++n) {
      churner.step();
      if (n % 4096 == 0 && orphaned(parent)) break;
    }
    churner.publish();
    finish(sh, *w, shadows, parent);
  } catch (std::exception const& e) {
    fmt::print(stderr, "writer: {}\n", e.what());
    rc = 2;
  }
  if (attached) {
    try {
      w->cleanup();
    } catch (std::exception const& e) {
      fmt::print(stderr, "writer cleanup: {}\n", e.what());
      rc = 2;
    }
  }
  ::_exit(rc);
}

// --- readers --------------------------------------------------------------------

// A reader's counts, kept locally and copied to its shared line now and then.
struct ReaderCounts {
  U64 lookups = 0, hits = 0, getValues = 0, getValueHits = 0, walks = 0, walked = 0, retries = 0, reattaches = 0;
  U64 torn = 0, foreign = 0, stale = 0, lost = 0, orderErrors = 0, errors = 0;
  U64 walkUs = 0, longestWalkUs = 0;
  void publish(ReaderStats& s) const {
    s.walkUs.store(walkUs, RELAXED);
    s.longestWalkUs.store(longestWalkUs, RELAXED);
    s.lookups.store(lookups, RELAXED);
    s.hits.store(hits, RELAXED);
    s.getValues.store(getValues, RELAXED);
    s.getValueHits.store(getValueHits, RELAXED);
    s.walks.store(walks, RELAXED);
    s.walked.store(walked, RELAXED);
    s.retries.store(retries, RELAXED);
    s.reattaches.store(reattaches, RELAXED);
    s.torn.store(torn, RELAXED);
    s.foreign.store(foreign, RELAXED);
    s.stale.store(stale, RELAXED);
    s.lost.store(lost, RELAXED);
    s.orderErrors.store(orderErrors, RELAXED);
    s.errors.store(errors, RELAXED);
  }
};

class ReaderLoop {
 public:
  ReaderLoop(Shared* sh, int index, Plan const& plan, U64 seed, pid_t parent)
      : sh_(sh), out_(sh->readers[index]), index_(index), plan_(plan), parent_(parent), rng_(seed),
        log_(plan.space), walkMark_(plan.space + 1, 0) {}

  void run() {
    if (!attach()) return;
    out_.ready.store(true);
    auto nextWalk = Clock::now();
    for (U64 n = 0; !stopping(); ++n) {
      try {
        if (rng_() % 4 != 0) lookup();
        else getValue();
        if (n % 256 == 0) {
          auto now = Clock::now();
          if (now >= nextWalk) {
            walk();
            nextWalk = now + std::chrono::milliseconds(250);
          }
          publish();
          if (orphaned(parent_)) break;
        }
      } catch (Quiv::CorruptionDetectedException const& e) {
        // The writer never changes here, so nothing justifies an integrity
        // failure: count it and start over with a fresh mapping.
        if (++c_.errors <= 3)
          fmt::print(stderr, "reader {}: {} (members {} capacity {} buckets {}; files {})\n", index_, e.what(),
                     r_->members(), r_->capacity(), r_->buckets(),
                     r_->validateFiles() ? "valid" : r_->lastError().view());
        ++c_.reattaches;
        retriesBefore_ += retriesOf(*r_);
        r_.reset();
        if (!attach()) break;
      }
    }
    publish();
  }

 private:
  static U64 retriesOf(Reader const& r) {
    Zolm::Reader::Counters k = r.readerCounters();
    return k.retries + k.restarts;
  }
  void publish() {
    if (r_) c_.retries = retriesBefore_ + retriesOf(*r_);
    c_.publish(out_);
  }

  // Retries until the writer has made the table.
  bool attach() {
    r_ = std::make_unique<Reader>(nullptr, TABLE);
    while (!r_->initialize("tabledemo")) {
      if (stopping() || orphaned(parent_)) return false;
      ::usleep(2000);
    }
    return true;
  }

  bool stopping() const { return sh_->stop.load(RELAXED); }
  U64 published() const { return sh_->published.load(std::memory_order_acquire); }

  // Checks one value; true when it is sound (and counted as such).
  bool vet(Value const& v, Key const* expected) {
    switch (check(v, published(), expected)) {
      case Verdict::torn:
        ++c_.torn;
        return false;
      case Verdict::foreign:
        ++c_.foreign;
        return false;
      case Verdict::sound:
        break;
    }
    if (!log_.note(*idOf(v.key()), v.timestamp())) {
      ++c_.stale;
      return false;
    }
    return true;
  }

  void lookup() {
    U64 id = 1 + rng_() % plan_.space;
    Key key = keyOf(id);
    // Read before the lookup: once the fill is done, a pinned key is there
    // during the whole call.
    bool mustHit = pinned(id) && sh_->writer.filled.load(std::memory_order_acquire);
    Value v;
    bool found = false;
    r_->lookup(key, found, &v);
    ++c_.lookups;
    if (found) {
      ++c_.hits;
      vet(v, &key);
    } else if (mustHit) {
      ++c_.lost;
    }
  }

  void getValue() {
    U32 cap = r_->capacity();
    if (cap == 0) return;
    Value v;
    ++c_.getValues;
    if (r_->getValue(U32(rng_() % cap), v)) {
      ++c_.getValueHits;
      vet(v, nullptr);
    }
  }

  // A full walk: each value sound, (rhash, key) strictly ascending, no key
  // twice, and every pinned key met.
  void walk() {
    auto start = Clock::now();
    bool complete = sh_->writer.filled.load(std::memory_order_acquire);
    U32 mark = ++walkNo_;
    U64 pinsSeen = 0;
    bool have = false;
    U32 prevRh = 0;
    U64 prevKey = 0;
    Value v;
    Zolm::IterHint hint;
    for (bool more = r_->first(v, hint); more; more = r_->next(v.key(), v, hint)) {
      ++c_.walked;
      if (stopping()) return;  // an unfinished walk proves nothing about pins
      if (!vet(v, nullptr)) continue;
      U64 id = *idOf(v.key());
      U32 rh = Zolm::reverseBits32(r_->ops().hash(v.key()));
      U64 k = v.key().packed();
      if ((have && (rh < prevRh || (rh == prevRh && k <= prevKey))) || walkMark_[id] == mark) ++c_.orderErrors;
      walkMark_[id] = mark;
      have = true;
      prevRh = rh;
      prevKey = k;
      if (pinned(id)) ++pinsSeen;
    }
    ++c_.walks;
    U64 us = U64(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    c_.walkUs += us;
    c_.longestWalkUs = std::max(c_.longestWalkUs, us);
    if (complete && pinsSeen < plan_.pinnedCount) c_.lost += plan_.pinnedCount - pinsSeen;
  }

  Shared* sh_;
  ReaderStats& out_;
  int index_;
  Plan plan_;
  pid_t parent_;
  std::mt19937_64 rng_;
  VersionLog log_;
  std::vector<U32> walkMark_;  // the walk in which each id was last met
  U32 walkNo_ = 0;
  std::unique_ptr<Reader> r_;
  ReaderCounts c_;
  U64 retriesBefore_ = 0;  // of the mappings dropped after an error
};

[[noreturn]] void readerMain(Shared* sh, int index, Plan const& plan, U64 seed, pid_t parent) {
  childSignals();
  int rc = 0;
  try {
    ReaderLoop(sh, index, plan, seed, parent).run();
  } catch (std::exception const& e) {
    fmt::print(stderr, "reader {}: {}\n", index, e.what());
    sh->readers[index].errors.fetch_add(1);
    rc = 2;
  }
  ::_exit(rc);
}

// --- shadows --------------------------------------------------------------------

// A value shadow run from its own event loop: blocked in it while the
// writer is quiet, woken by the writer's socket when records arrive.
class ShadowLoop {
 public:
  ShadowLoop(Shared* sh, int index, Plan const& plan, pid_t parent)
      : sh_(sh), out_(sh->shadows[index]), plan_(plan), parent_(parent), log_(plan.space) {}

  void run() {
    auto start = Clock::now();
    Zolm::ShadowCallbacks<Key> cb;
    cb.changed = [this](Key const& k) {
      // The position now and then from here too: under load the timer
      // below runs late, and the status line's lag is read from it.
      if (++callbacks_ % 1024 == 0) out_.position.store(shadow_->queue().position(), RELAXED);
      vet(k);
    };
    cb.syncChanged = [this](Key const& k) {
      ++syncCallbacks_;
      vet(k);
    };
    cb.syncComplete = [this, start] {
      out_.syncMs.store(U64(std::chrono::duration<double, std::milli>(Clock::now() - start).count()));
      out_.ready.store(true);
    };
    shadow_ = std::make_unique<Shadow>(nullptr, TABLE, loop_, false, std::move(cb));
    while (!shadow_->initialize("tabledemo")) {
      if (sh_->stop.load() || orphaned(parent_)) return;
      ::usleep(2000);
    }
    loop_.timerIs(
        std::chrono::milliseconds(100),
        [this] {
          publish();
          if (orphaned(parent_)) loop_.stop();
        },
        std::chrono::milliseconds(100));
    // Follow the table until the writer is done, then until the shadow has
    // consumed its last record. A writer that never says it is done (it
    // failed) or a shadow that does not catch up is given up on.
    std::optional<Clock::time_point> endSeen, stopSeen;
    while (!loop_.stopped()) {
      loop_.runOnce(50);
      auto now = Clock::now();
      if (sh_->end.done.load(std::memory_order_acquire)) {
        if (!endSeen) endSeen = now;
        if (caughtUp()) {
          out_.catchUpMs.store(U64(std::chrono::duration<double, std::milli>(now - *endSeen).count()));
          compare();
          out_.checked.store(true);
          break;
        }
        if (now - *endSeen > std::chrono::seconds(6)) {
          fmt::print(stderr, "shadow: not caught up 6 s after the last write (at {}, last record {})\n",
                     shadow_->queue().position(), sh_->end.tailSeq.load());
          break;
        }
      } else if (sh_->stop.load(RELAXED)) {
        if (!stopSeen) stopSeen = now;
        if (now - *stopSeen > std::chrono::seconds(10)) break;
      }
    }
    publish();
    // Detaching replays every key to the client: not changes of the table.
    shadow_->callbacksIs({});
  }

 private:
  U64 published() const { return sh_->published.load(std::memory_order_acquire); }

  // Every record up to the writer's last one consumed, with no
  // synchronisation under way.
  bool caughtUp() const {
    return shadow_->initialized() && shadow_->synchronised() && shadow_->syncer().done() &&
           shadow_->queue().position() > sh_->end.tailSeq.load(RELAXED);
  }

  // The value the shadow now holds for a key it was told about: sound, of
  // that key, and never older than one it held before.
  void vet(Key const& k) {
    Value v;
    if (!shadow_->lookup(k, v)) return;  // removed
    switch (check(v, published(), &k)) {
      case Verdict::torn: ++torn_; return;
      case Verdict::foreign: ++foreign_; return;
      case Verdict::sound: break;
    }
    if (!log_.note(*idOf(k), v.timestamp())) ++stale_;
  }

  // The shadow's copy against the shared table (no longer written), both
  // ways, and against the writer's own digest of it.
  void compare() {
    Reader r(nullptr, TABLE);
    if (!r.initialize("tabledemo-check")) {
      fmt::print(stderr, "shadow: cannot attach a reader for the final check: {}\n", r.lastError());
      ++errors_;
      return;
    }
    U64 extra = 0, missing = 0, differing = 0;
    TableDigest mine;
    Value v, other;
    Zolm::IterHint hint;
    for (bool more = shadow_->first(v, hint); more; more = shadow_->next(v.key(), v, hint)) {
      mine.add(v);
      bool found = false;
      r.lookup(v.key(), found, &other);
      if (!found) ++extra;
      else if (!(other == v)) ++differing;
    }
    Zolm::IterHint tableHint;
    for (bool more = r.first(v, tableHint); more; more = r.next(v.key(), v, tableHint))
      if (!shadow_->lookup(v.key(), other)) ++missing;
    WriterEnd const& end = sh_->end;
    if (extra + missing + differing == 0 && (mine.members != end.members.load() || mine.sum != end.digest.load()))
      ++differing;  // the table read back is not what the writer holds
    out_.compared.store(mine.members);
    out_.extra.store(extra);
    out_.missing.store(missing);
    out_.differing.store(differing);
  }

  void publish() {
    Zolm::Reader::Counters k = shadow_->readerCounters();
    out_.callbacks.store(callbacks_, RELAXED);
    out_.syncCallbacks.store(syncCallbacks_, RELAXED);
    out_.wakeups.store(k.wakeups, RELAXED);
    out_.arms.store(k.arms, RELAXED);
    out_.notifications.store(k.notifications, RELAXED);
    out_.syncs.store(k.syncs, RELAXED);
    out_.resyncs.store(k.resyncs, RELAXED);
    out_.position.store(shadow_->queue().position(), RELAXED);
    out_.members.store(shadow_->members(), RELAXED);
    out_.torn.store(torn_, RELAXED);
    out_.foreign.store(foreign_, RELAXED);
    out_.stale.store(stale_, RELAXED);
    out_.errors.store(errors_ + k.corruptions, RELAXED);
  }

  Shared* sh_;
  ShadowStats& out_;
  Plan plan_;
  pid_t parent_;
  VersionLog log_;
  Quiv::EventLoop loop_;
  std::unique_ptr<Shadow> shadow_;
  U64 callbacks_ = 0, syncCallbacks_ = 0, torn_ = 0, foreign_ = 0, stale_ = 0, errors_ = 0;
};

[[noreturn]] void shadowMain(Shared* sh, int index, Plan const& plan, pid_t parent) {
  childSignals();
  int rc = 0;
  try {
    ShadowLoop(sh, index, plan, parent).run();
  } catch (std::exception const& e) {
    fmt::print(stderr, "shadow {}: {}\n", index, e.what());
    sh->shadows[index].errors.fetch_add(1);
    rc = 2;
  }
  sh->shadows[index].ended.store(true);
  ::_exit(rc);
}

// --- the parent -------------------------------------------------------------------

U64 sumReaders(Shared const* sh, int readers, std::atomic<U64> ReaderStats::*field) {
  U64 n = 0;
  for (int i = 0; i < readers; ++i) n += (sh->readers[i].*field).load(RELAXED);
  return n;
}
U64 faults(Shared const* sh, int readers) {
  U64 n = 0;
  for (auto f : {&ReaderStats::stale, &ReaderStats::lost, &ReaderStats::orderErrors, &ReaderStats::errors})
    n += sumReaders(sh, readers, f);
  return n;
}
U64 tornReads(Shared const* sh, int readers) {
  return sumReaders(sh, readers, &ReaderStats::torn) + sumReaders(sh, readers, &ReaderStats::foreign);
}
U64 sumShadows(Shared const* sh, int shadows, std::atomic<U64> ShadowStats::*field) {
  U64 n = 0;
  for (int i = 0; i < shadows; ++i) n += (sh->shadows[i].*field).load(RELAXED);
  return n;
}
// Records the writer has published that the slowest shadow has not read
// yet (both sides sampled now and then, so an estimate).
U64 shadowLag(Shared const* sh, int shadows) {
  U64 tail = sh->writer.tailSeq.load(RELAXED), lag = 0;
  for (int i = 0; i < shadows; ++i) {
    U64 next = sh->shadows[i].position.load(RELAXED);
    if (tail >= next) lag = std::max(lag, tail + 1 - next);
  }
  return lag;
}

std::size_t terminalColumns() {
  winsize ws{};
  if (::ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 160;
}

std::size_t filesUnder(std::filesystem::path const& dir) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_directory(ec)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A writer process and reader processes on one shared-memory L2 MAC table: live progress, "
               "a check of every value read, a summary"};
  U64 size = 200000;
  int readers = 3;
  int shadows = 1;
  double duration = 20;
  std::string root;
  U64 seed = 1;
  app.add_option("--size", size, "entries in the table at full size")->check(CLI::Range(U64(1000), U64(4000000)));
  app.add_option("--readers", readers, "reader processes")->check(CLI::Range(1, MAX_READERS));
  app.add_option("--shadows", shadows, "shadow processes (value copies that follow the writer's notifications)")
      ->check(CLI::Range(0, MAX_SHADOWS));
  app.add_option("--duration", duration, "seconds of load after the table is filled")->check(CLI::Range(0.5, 3600.0));
  app.add_option("--root", root,
                 "shared-memory root (default: a private directory under /dev/shm, removed at the end)");
  app.add_option("--seed", seed, "random seed of the writer and the readers");
  app.set_version_flag("--version", std::string("vexa-table-demo ") + VEXA_SWITCH_LIB_VERSION_STRING);
  app.footer(EXIT_FOOTER);
  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    // CLI11's own codes (105, 109, ...) would be one more convention.
    return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
  }

  Plan plan{size, 2 * size, 2 * size / PIN_EVERY};
  bool privateRoot = root.empty();
  if (privateRoot) {
    char tmpl[] = "/dev/shm/vexa_demo.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      fmt::print(stderr, "vexa-table-demo: cannot make a directory under /dev/shm: {}\n", std::strerror(errno));
      return EXIT_NO_TABLE;
    }
    root = tmpl;
  } else {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec || !std::filesystem::is_directory(root)) {
      fmt::print(stderr, "vexa-table-demo: --root {}: not a usable directory{}{}\n", root, ec ? ": " : "",
                 ec ? ec.message() : "");
      return EXIT_NO_TABLE;
    }
  }
  Mem::RootPath::shmRootIs(root);

  void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) {
    fmt::print(stderr, "vexa-table-demo: mmap: {}\n", std::strerror(errno));
    if (privateRoot) std::filesystem::remove_all(root);
    return EXIT_FAILED;
  }
  auto* sh = new (mem) Shared{};
  for (auto* a : {&sh->writer.minMembers, &sh->writer.minCapacity, &sh->writer.minBuckets}) a->store(~0u);

  struct sigaction sa{};
  sa.sa_handler = onSignal;
  ::sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);

  bool tty = ::isatty(1);
  fmt::print("table {} under {}: {} entries ({} pinned), {} readers, {} shadows, {:g} s of load, seed {}\n", TABLE,
             root, size, plan.pinnedCount, readers, shadows, duration, seed);
  std::fflush(stdout);

  pid_t self = ::getpid();
  std::vector<Child> children;
  auto spawn = [&](std::string name, auto&& body) {
    pid_t p = ::fork();
    if (p == 0) body();
    if (p < 0) {
      fmt::print(stderr, "vexa-table-demo: fork: {}\n", std::strerror(errno));
      return false;
    }
    children.push_back({p, std::move(name)});
    return true;
  };
  bool started = spawn("writer", [&] { writerMain(sh, plan, seed, shadows, self); });
  // Nothing reads the table before the writer holds it.
  while (started && !sh->writer.attached.load(std::memory_order_acquire) && !interrupted) {
    if (reap(children)) {
      if (sh->writer.attached.load(std::memory_order_acquire)) break;  // attached, then failed: reported below
      int status = children.front().status;
      fmt::print(stderr, "vexa-table-demo: {}\n",
                 WIFEXITED(status) && WEXITSTATUS(status) == EXIT_NO_TABLE
                     ? std::string(sh->writer.attachError)
                     : fmt::format("the writer ended before it attached the table ({})", describe(status)));
      // A private root is this demo's alone; a given one holds, at most,
      // another writer's table, left as it is.
      if (privateRoot) std::filesystem::remove_all(root);
      return EXIT_NO_TABLE;
    }
    ::usleep(5000);
  }
  bool const attached = started && sh->writer.attached.load(std::memory_order_acquire);
  for (int i = 0; attached && started && i < readers; ++i)
    started = spawn(fmt::format("reader {}", i), [&] { readerMain(sh, i, plan, seed * 1000003 + U64(i) + 1, self); });
  int spawnedShadows = 0;
  for (; attached && started && spawnedShadows < shadows; ++spawnedShadows)
    started = spawn(fmt::format("shadow {}", spawnedShadows), [&] { shadowMain(sh, spawnedShadows, plan, self); });
  // The writer waits at the end for every shadow to say it is done; those
  // never started are.
  for (int i = spawnedShadows; i < shadows; ++i) sh->shadows[i].ended.store(true);

  auto readersReady = [&] {
    int n = 0;
    for (int i = 0; i < readers; ++i) n += sh->readers[i].ready.load();
    return n;
  };
  auto shadowsReady = [&] {
    int n = 0;
    for (int i = 0; i < shadows; ++i) n += sh->shadows[i].ready.load();
    return n;
  };
  auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
  std::size_t columns = tty ? terminalColumns() : 0;
  auto show = [&](std::string line, bool now) {
    if (tty) {
      if (line.size() >= columns) line.resize(columns - 1);
      fmt::print("\r{}\033[K", line);
    } else if (now) {
      fmt::print("{}\n", line);
    }
    std::fflush(stdout);
  };

  // The fill, and the readers attaching.
  auto start = Clock::now(), lastLine = start;
  bool childEnded = false;
  while (started && !interrupted &&
         !(sh->writer.filled.load() && readersReady() == readers && shadowsReady() == shadows)) {
    ::usleep(100000);
    if ((childEnded = reap(children))) break;
    if (since(start) > 120) {
      fmt::print(stderr, "\nvexa-table-demo: the table was not ready after 120 s\n");
      childEnded = true;
      break;
    }
    bool second = Clock::now() - lastLine >= std::chrono::seconds(1);
    if (second) lastLine = Clock::now();
    show(fmt::format("filling: {} of {} entries, {} of {} readers attached, {} of {} shadows synchronised",
                     sh->writer.members.load(), size, readersReady(), readers, shadowsReady(), shadows),
         second);
  }
  if (tty) fmt::print("\r\033[K");
  if (sh->writer.filled.load())
    fmt::print("filled {} entries in {:.2f} s; {} readers attached; {} shadows synchronised\n", size,
               double(sh->writer.fillMs.load()) / 1e3, readersReady(), shadowsReady());
  std::fflush(stdout);

  // The load, with a status line.
  WriterStats& ws = sh->writer;
  auto loadStart = Clock::now();
  U64 ins0 = ws.inserts.load(), upd0 = ws.updates.load(), rem0 = ws.removes.load();
  U64 writes0 = sh->published.load(), lookups0 = sumReaders(sh, readers, &ReaderStats::lookups);
  U64 callbacks0 = sumShadows(sh, shadows, &ShadowStats::callbacks);
  U64 wakeups0 = sumShadows(sh, shadows, &ShadowStats::wakeups);
  U64 lastWrites = writes0, lastLookups = lookups0, lastCallbacks = callbacks0, lastWakeups = wakeups0;
  auto last = loadStart;
  while (started && !childEnded && !interrupted && since(loadStart) < duration) {
    ::usleep(250000);
    if (reap(children)) childEnded = true;
    auto now = Clock::now();
    // A terminal line is redrawn every 250 ms; a plain line goes out every
    // second. Rates cover the time since the line before.
    if (!tty && now - last < std::chrono::milliseconds(980)) continue;
    double dt = std::chrono::duration<double>(now - last).count();
    U64 writes = sh->published.load() + ws.removes.load(), lookups = sumReaders(sh, readers, &ReaderStats::lookups);
    U64 other = faults(sh, readers);
    U64 callbacks = sumShadows(sh, shadows, &ShadowStats::callbacks);
    U64 wakeups = sumShadows(sh, shadows, &ShadowStats::wakeups);
    std::string shadowColumn =
        shadows ? fmt::format(" | shadow {} changes {} wakes, lag {}", rate(double(callbacks - lastCallbacks) / dt),
                              rate(double(wakeups - lastWakeups) / dt), shadowLag(sh, shadows))
                : "";
    std::string line = fmt::format(
        "t={:.1f}s {:<6} members {} cap {} buckets {} | writes {} | lookups {}x {}{} | grows {} shrinks {} | torn "
        "{}{}",
        since(loadStart), PHASE_NAME[ws.phase.load()], ws.members.load(), ws.capacity.load(), ws.buckets.load(),
        rate(double(writes - lastWrites) / dt), readers, rate(double(lookups - lastLookups) / dt), shadowColumn,
        ws.grows.load() + ws.bucketGrows.load(), ws.shrinks.load() + ws.bucketShrinks.load(), tornReads(sh, readers),
        other ? fmt::format(" | other faults {}", other) : "");
    show(line, true);
    last = now;
    lastWrites = writes;
    lastLookups = lookups;
    lastCallbacks = callbacks;
    lastWakeups = wakeups;
  }
  if (tty) fmt::print("\n");
  if (interrupted) fmt::print("interrupted: stopping\n");
  if (childEnded) fmt::print(stderr, "a child ended before its time: stopping\n");
  double loadSeconds = since(loadStart);

  // Stop: the flag, then a grace period, then SIGKILL. The writer stays
  // until the shadows have checked their copies (at most 8 s).
  sh->stop.store(true);
  constexpr int GRACE_SECONDS = 12;
  // Every child is stopped, also when the run had not started.
  bool clean = stopChildren(children, std::chrono::seconds(GRACE_SECONDS)) && started;

  // Summary.
  U64 ins = ws.inserts.load() - ins0, upd = ws.updates.load() - upd0, rem = ws.removes.load() - rem0;
  fmt::print("\nsummary: {:.1f} s of load (after a fill of {:.2f} s)\n", loadSeconds, double(ws.fillMs.load()) / 1e3);
  fmt::print("  writer: {} changes ({}): {} inserts, {} updates, {} removes; {} drain/refill cycles\n",
             human(double(ins + upd + rem)), rate(double(ins + upd + rem) / loadSeconds), human(double(ins)),
             human(double(upd)), human(double(rem)), ws.cycles.load());
  auto range = [](std::atomic<U32> const& lo, std::atomic<U32> const& hi) {
    return lo.load() > hi.load() ? std::string("-") : fmt::format("{}..{}", lo.load(), hi.load());
  };
  fmt::print("  members {}\n", range(ws.minMembers, ws.maxMembers));
  fmt::print("  slots: capacity {}, {} grows, {} shrinks ({} entries moved)\n", range(ws.minCapacity, ws.maxCapacity),
             ws.grows.load(), ws.shrinks.load(), ws.moves.load());
  fmt::print("  buckets: {}, {} grows, {} shrinks\n", range(ws.minBuckets, ws.maxBuckets), ws.bucketGrows.load(),
             ws.bucketShrinks.load());
  for (int i = 0; i < readers; ++i) {
    ReaderStats const& r = sh->readers[i];
    U64 lookups = r.lookups.load(), gets = r.getValues.load();
    fmt::print(
        "  reader {}: {} lookups ({}), {:.1f}% hits; {} full iterations ({} entries, {:.0f} ms on average, "
        "{:.0f} ms at most); {} getValue ({:.1f}% occupied); {} retries{}\n",
        i, human(double(lookups)), rate(double(lookups) / loadSeconds),
        lookups ? 100.0 * double(r.hits.load()) / double(lookups) : 0.0, r.walks.load(), human(double(r.walked.load())),
        r.walks.load() ? double(r.walkUs.load()) / 1e3 / double(r.walks.load()) : 0.0,
        double(r.longestWalkUs.load()) / 1e3, human(double(gets)), gets ? 100.0 * double(r.getValueHits.load()) / double(gets) : 0.0, r.retries.load(),
        r.reattaches.load() ? fmt::format(", {} re-attaches", r.reattaches.load()) : "");
  }
  U64 torn = tornReads(sh, readers);
  U64 foreign = sumReaders(sh, readers, &ReaderStats::foreign);
  U64 stale = sumReaders(sh, readers, &ReaderStats::stale), lost = sumReaders(sh, readers, &ReaderStats::lost);
  U64 order = sumReaders(sh, readers, &ReaderStats::orderErrors), errors = sumReaders(sh, readers, &ReaderStats::errors);
  fmt::print("  torn reads: {}{}\n", torn, foreign ? fmt::format(" ({} of them foreign values)", foreign) : "");
  fmt::print("  stale reads: {}\n  lost entries: {}\n  order errors: {}\n  reader errors: {}\n", stale, lost, order,
             errors);
  U64 shadowMismatches = 0, shadowFaults = 0;
  int unchecked = 0;
  for (int i = 0; i < shadows; ++i) {
    ShadowStats const& d = sh->shadows[i];
    U64 cbs = d.callbacks.load(), wakes = d.wakeups.load();
    U64 mismatches = d.extra.load() + d.missing.load() + d.differing.load();
    U64 faults = d.torn.load() + d.foreign.load() + d.stale.load() + d.errors.load();
    shadowMismatches += mismatches;
    shadowFaults += faults;
    std::string check =
        !d.checked.load()
            ? std::string("NOT checked (did not catch up with the writer)")
            : fmt::format("caught up {} ms after the last write, {} entries compared{}", d.catchUpMs.load(),
                          d.compared.load(),
                          mismatches ? fmt::format(" ({} only in the shadow, {} only in the table, {} different)",
                                                   d.extra.load(), d.missing.load(), d.differing.load())
                                     : "");
    unchecked += !d.checked.load();
    fmt::print(
        "  shadow {}: {} change callbacks, {} wake-ups, {} arms; synchronised {} ms after its start ({} callbacks), "
        "{} re-synchronisations; {}{}\n",
        i, human(double(cbs)), human(double(wakes)), human(double(d.arms.load())), d.syncMs.load(),
        human(double(d.syncCallbacks.load())), d.resyncs.load(), check,
        faults ? fmt::format("; {} torn, {} foreign, {} stale values, {} errors", d.torn.load(), d.foreign.load(),
                             d.stale.load(), d.errors.load())
               : "");
  }
  if (shadows) {
    fmt::print("  shadow callbacks: {} ({}), wake-ups: {} ({}); the writer waited {} ms at the end for their checks\n",
               human(double(sumShadows(sh, shadows, &ShadowStats::callbacks) - callbacks0)),
               rate(double(sumShadows(sh, shadows, &ShadowStats::callbacks) - callbacks0) / loadSeconds),
               human(double(sumShadows(sh, shadows, &ShadowStats::wakeups) - wakeups0)),
               rate(double(sumShadows(sh, shadows, &ShadowStats::wakeups) - wakeups0) / loadSeconds),
               sh->end.waitMs.load());
    fmt::print("  shadow mismatches: {}{}\n", shadowMismatches,
               unchecked ? fmt::format(" ({} shadows NOT checked)", unchecked) : "");
  }
  fmt::print("  children: {}\n", clean ? "all exited cleanly" : "NOT all exited cleanly");

  std::filesystem::path tableDir = std::filesystem::path(root) / TABLE;
  std::size_t left = filesUnder(privateRoot ? std::filesystem::path(root) : tableDir);
  std::error_code ec;
  if (privateRoot) {
    std::filesystem::remove_all(root, ec);
  } else {
    // The table's now empty directories; the given root itself stays.
    for (auto d = tableDir; d != std::filesystem::path(root) && d.has_relative_path(); d = d.parent_path())
      if (!std::filesystem::remove(d, ec)) break;
  }
  fmt::print("  files left: {}\n", left);
  bool ok = clean && torn + stale + lost + order + errors == 0 && left == 0 && shadowMismatches + shadowFaults == 0 &&
            unchecked == 0;
  if (ok && interrupted) {
    fmt::print("result: interrupted, no faults\n");
    return EXIT_INTERRUPTED;
  }
  fmt::print("result: {}\n", ok ? "ok" : "FAILED");
  return ok ? EXIT_OK : EXIT_FAILED;
}
