// vexa-agent-demo: agents sharing switch tables through the collections.
//
// A writer agent places an L2TableConfig ("mac") and an LpmTableConfig
// ("lpm") under its directory, mounts them as writer under
// vexaswitch/tables/l2/mac and vexaswitch/tables/l3/lpm, fills them and
// keeps changing them (inserts, updates, removes around the full size).
// Three follower agents, each a process with its own directory, event loop
// and mounter, mount the same two tables as reader, shadow and key shadow,
// and put an observer on each collection.
//
// Every value is derived from (key, version) by one function and carries
// its version (AgentValues.h, tabledemo/DemoValues.h), so whoever reads it
// can tell a torn value (fields that do not belong together), a stale one
// (a version lower than one this observer already saw for that key) and a
// lost pinned key (never removed, so always found). Shadow and key-shadow
// observers look each key they are told of up; the reader agent, told
// nothing, looks keys up and iterates its collections. Once the writer has
// stopped and published its final tables' digests, each follower waits
// until its collections (iterated) and its observers' replay (the last
// value looked up on each notification) both equal the writer's tables.
//
// Processes share one anonymous MAP_SHARED page made before fork: the stop
// flag, the writer's version count, its counters and final digests, each
// follower's counters, each party on its own cache lines. The writer kills
// nothing; the parent stops the children on SIGINT through the shared flag,
// and the writer removes its tables' files when it unmounts.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <any>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "AgentValues.h"
#include "VexaSwitchLib/runtime/Version.h"
#include "../common/DemoProcess.h"
#include "VexaSwitchLib/tables/ZolmTypes.h"

namespace {

using namespace DemoProcess;
using namespace AgentDemo;
using TableDemo::PIN_EVERY;
using TableDemo::pinned;
using TableDemo::Verdict;
using Clock = std::chrono::steady_clock;
constexpr auto RELAXED = std::memory_order_relaxed;

// The exit statuses (DemoProcess::Exit), for --help.
constexpr char const* EXIT_FOOTER =
    "Exit status: 0 ok, 1 a check failed (result: FAILED), 2 usage or malformed options,\n"
    "  3 the root or the tables cannot be made or mounted (another live writer holds them),\n"
    "  130 interrupted without a fault.";

// The two tables, indexed by this in every per-table array.
enum TableIx { MAC = 0, LPM = 1, TABLES = 2 };
constexpr char const* TABLE_LABEL[TABLES] = {"mac", "lpm"};

// The followers, one process each.
constexpr Zolm::ZolmType FOLLOWER_TYPE[] = {Zolm::ZolmType::reader, Zolm::ZolmType::shadow, Zolm::ZolmType::keyshadow};
constexpr char const* FOLLOWER_NAME[] = {"reader", "shadow", "keyshadow"};
constexpr int FOLLOWERS = 3;

std::string tableName(TableIx t) {
  return std::string((t == MAC ? VexaSwitch::TableId("l2", "mac") : VexaSwitch::TableId("l3", "lpm")).tableName().view());
}

struct alignas(64) WriterStats {
  std::atomic<U64> inserts[TABLES], updates[TABLES], removes[TABLES], members[TABLES];
  std::atomic<U64> fillMs;
  std::atomic<bool> attached;  // both tables mounted: followers may start
  std::atomic<bool> filled;    // every pinned key is in its table from now on
  char attachError[512];       // why the writer could not mount (NUL-terminated)
};

// Written once by the writer after its last write, then `done`.
struct alignas(64) WriterEnd {
  std::atomic<U64> members[TABLES], digest[TABLES];
  std::atomic<U64> waitMs;  // how long it then stayed for the followers
  std::atomic<bool> done;
};

struct alignas(64) FollowerStats {
  std::atomic<U64> told[TABLES];  // notifications of attribute 258 (a changed key)
  std::atomic<U64> lookups, iterations;
  std::atomic<U64> torn, foreign, stale, lost, errors;
  // The final comparison, per table: the view (iterated) and the replay.
  std::atomic<U64> viewMembers[TABLES], viewDigest[TABLES], replayMembers[TABLES], replayDigest[TABLES];
  std::atomic<U64> catchUpMs;
  std::atomic<bool> ready;    // both collections mounted
  std::atomic<bool> checked;  // view (and replay) equal to the writer's tables
  std::atomic<bool> ended;    // left its loop, for whatever reason
};

struct Shared {
  alignas(64) std::atomic<U64> published;  // versions written so far, both tables
  alignas(64) std::atomic<bool> stop;
  WriterStats writer;
  WriterEnd end;
  FollowerStats followers[FOLLOWERS];
};

struct Plan {
  U64 size[TABLES];   // members at full size
  U64 space[TABLES];  // key ids 1..space
  U64 pins[TABLES];   // ids that are multiples of PIN_EVERY
};


U64 msSince(Clock::time_point t) { return U64(std::chrono::duration<double, std::milli>(Clock::now() - t).count()); }

// --- the two tables, as the agents see them ----------------------------------------

struct MacTable {
  using C = VexaSwitch::L2TableConfig;
  using Key = Bridging::MacVlanPair;
  using Value = VexaSwitch::L2LogicalEntry;
  static constexpr TableIx IX = MAC;
  static Kel::Ptr<C> make() { return VexaSwitch::l2TableConfigFactory("mac"); }
  static Key keyOf(U64 id) { return TableDemo::keyOf(id); }
  static Value valueOf(U64 id, U64 version) { return TableDemo::valueOf(id, version); }
  static U64 versionOf(Value const& v) { return v.timestamp(); }
  static std::optional<U64> idOfValue(Value const& v) { return TableDemo::idOf(v.key()); }
  static Verdict check(Value const& v, U64 published, Key const* k) { return TableDemo::check(v, published, k); }
  static U64 packed(Key const& k) { return k.packed(); }
};

struct LpmTable {
  using C = VexaSwitch::LpmTableConfig;
  using Key = RouteKey;
  using Value = Route;
  static constexpr TableIx IX = LPM;
  static Kel::Ptr<C> make() { return VexaSwitch::lpmTableConfigFactory("lpm"); }
  static Key keyOf(U64 id) { return routeKeyOf(id); }
  static Value valueOf(U64 id, U64 version) { return routeOf(id, version); }
  static U64 versionOf(Value const& v) { return v.flags(); }
  static std::optional<U64> idOfValue(Value const& v) { return routeIdOf(v.lpmKey()); }
  static Verdict check(Value const& v, U64 published, Key const* k) { return checkRoute(v, published, k); }
  static U64 packed(Key const& k) { return k.value(); }
};

template <class T>
Digest viewOf(typename T::C const& c) {
  Digest d;
  for (auto it = c.entryIterConst(); it; ++it) d.add(*it);
  return d;
}

// --- the writer agent ----------------------------------------------------------------

// One table's changes: the writer's own record of which ids are present.
template <class T>
class Churn {
 public:
  Churn(Kel::Ptr<typename T::C> c, U64 size, U64 space, U64& version, std::atomic<U64>& published)
      : c_(std::move(c)), size_(size), space_(space), version_(version), published_(published), at_(space + 1, NONE),
        present_(space + 1, false) {
    for (U64 id = PIN_EVERY; id <= space; id += PIN_EVERY) pins_.push_back(id);
  }

  void fill() {
    for (U64 id : pins_) write(id);
    for (U64 id = 1; members() < size_; ++id)
      if (!pinned(id)) write(id);
  }
  // Around the full size: half updates, a quarter each inserts and removes.
  void step(std::mt19937_64& rng) {
    U64 r = rng() % 100, m = members();
    if (r < 50) update(rng);
    else if (r < 75) m < size_ + size_ / 20 ? insert(rng) : remove(rng);
    else m > size_ - size_ / 20 ? remove(rng) : insert(rng);
  }
  U64 members() const { return pins_.size() + live_.size(); }
  typename T::C& collection() { return *c_; }
  U64 inserts = 0, updates = 0, removes = 0;

 private:
  static constexpr U32 NONE = ~0u;
  void write(U64 id) {
    U64 v = version_ + 1;
    c_->entryIs(T::valueOf(id, v));
    version_ = v;
    // After the write: whoever reads the value and then this count finds
    // the value at most one ahead.
    published_.store(v, std::memory_order_release);
    ++(present_[id] ? updates : inserts);
    present_[id] = true;
    if (!pinned(id) && at_[id] == NONE) {
      at_[id] = U32(live_.size());
      live_.push_back(id);
    }
  }
  void insert(std::mt19937_64& rng) { write(1 + rng() % space_); }
  void update(std::mt19937_64& rng) {
    U64 r = rng() % members();
    write(r < pins_.size() ? pins_[r] : live_[r - pins_.size()]);
  }
  void remove(std::mt19937_64& rng) {
    if (live_.empty()) return update(rng);
    std::size_t pos = rng() % live_.size();
    U64 id = live_[pos];
    live_[pos] = live_.back();
    at_[live_[pos]] = U32(pos);
    live_.pop_back();
    at_[id] = NONE;
    present_[id] = false;
    c_->entryDel(T::keyOf(id));
    ++removes;
  }

  Kel::Ptr<typename T::C> c_;
  U64 size_, space_;
  U64& version_;
  std::atomic<U64>& published_;
  std::vector<U64> pins_;
  std::vector<U64> live_;  // present ids that are not pinned
  std::vector<U32> at_;    // position of each id in live_
  std::vector<bool> present_;
};

Zolm::MapDescriptor descriptor(Zolm::ZolmType type, U64 size) {
  Zolm::MapDescriptor d;
  d.size = U32(size);
  d.type = type;
  return d;
}

[[noreturn]] void writerMain(Shared* sh, Plan const& plan, U64 seed, pid_t parent) {
  childSignals();
  int rc = 0;
  WriterStats& ws = sh->writer;
  try {
    Quiv::EventLoop loop;
    KelSharedMem::Mounter mounter(loop);
    auto agent = Kel::makePtr<Kel::Directory>("writer");
    auto mac = MacTable::make();
    auto lpm = LpmTable::make();
    agent->entityIs(mac);
    agent->entityIs(lpm);
    try {
      mounter.mount(mac->entryControl(), descriptor(Zolm::ZolmType::writer, plan.size[MAC]), tableName(MAC));
      mounter.mount(lpm->entryControl(), descriptor(Zolm::ZolmType::writer, plan.size[LPM]), tableName(LPM));
    } catch (std::exception const& e) {
      // Not ours: leave it as it is (the mounter lets go what it mounted,
      // files stay), and tell the parent why.
      fmt::format_to_n(ws.attachError, sizeof ws.attachError - 1, "{}", e.what());
      ::_exit(EXIT_NO_TABLE);
    }
    ws.attached.store(true, std::memory_order_release);

    U64 version = 0;
    Churn<MacTable> macs(mac, plan.size[MAC], plan.space[MAC], version, sh->published);
    Churn<LpmTable> routes(lpm, plan.size[LPM], plan.space[LPM], version, sh->published);
    auto publish = [&] {
      ws.inserts[MAC].store(macs.inserts, RELAXED), ws.inserts[LPM].store(routes.inserts, RELAXED);
      ws.updates[MAC].store(macs.updates, RELAXED), ws.updates[LPM].store(routes.updates, RELAXED);
      ws.removes[MAC].store(macs.removes, RELAXED), ws.removes[LPM].store(routes.removes, RELAXED);
      ws.members[MAC].store(macs.members(), RELAXED), ws.members[LPM].store(routes.members(), RELAXED);
    };
    auto start = Clock::now();
    macs.fill();
    routes.fill();
    publish();
    ws.fillMs.store(msSince(start));
    ws.filled.store(true, std::memory_order_release);

    // Three MAC changes for one route change. The loop serves the
    // followers' wake-ups between batches.
    std::mt19937_64 rng(seed);
    for (U64 n = 1; !sh->stop.load(RELAXED) && version < (U64(1) << 32) - 2; ++n) {
      if (rng() % 4) macs.step(rng);
      else routes.step(rng);
      if (n % 256 == 0) {
        loop.runOnce(0);
        publish();
        if (n % 16384 == 0 && orphaned(parent)) break;
      }
    }
    publish();

    // The final tables, through the writer's own collections.
    Digest dm = viewOf<MacTable>(*mac), dl = viewOf<LpmTable>(*lpm);
    sh->end.members[MAC].store(dm.members), sh->end.digest[MAC].store(dm.sum);
    sh->end.members[LPM].store(dl.members), sh->end.digest[LPM].store(dl.sum);
    sh->end.done.store(true, std::memory_order_release);
    // Stay, serving wake-ups, until every follower has compared or gave up.
    auto end = Clock::now();
    auto pending = [&] {
      for (FollowerStats const& f : sh->followers)
        if (!f.ended.load()) return true;
      return false;
    };
    for (U64 n = 0; pending() && Clock::now() - end < std::chrono::seconds(12); ++n) {
      loop.runOnce(2);
      if (n % 256 == 0 && orphaned(parent)) break;
    }
    sh->end.waitMs.store(msSince(end));
    // The writer's cleanup: its tables' files go with it.
    mounter.unmount(mac->entryControl(), true);
    mounter.unmount(lpm->entryControl(), true);
  } catch (std::exception const& e) {
    fmt::print(stderr, "writer agent: {}\n", e.what());
    rc = 2;
  }
  ::_exit(rc);
}

// --- the follower agents -------------------------------------------------------------

struct Faults {
  U64 torn = 0, foreign = 0, stale = 0, lost = 0;
};

// One collection of a follower, its observer, and what the observer makes
// of what it is told.
template <class T>
class Watched : public Kel::Notifiee {
 public:
  using Key = typename T::Key;
  using Value = typename T::Value;

  Watched(Kel::Ptr<typename T::C> c, Shared* sh, U64 space, std::function<std::optional<U64>(Key const&)> idOf,
          Faults& faults)
      : c_(std::move(c)), sh_(sh), idOf_(std::move(idOf)), faults_(faults), log_(space) {
    c_->notifieeList().newMember(this);
  }
  ~Watched() override { quiet(); }
  Watched(Watched const&) = delete;
  Watched& operator=(Watched const&) = delete;

  // Off the notifiee list (before an unmount, which is no change of the table).
  void quiet() { c_->notifieeList().deleteMember(this); }

  void onAttr(U32 attrId, std::any const& key) override {
    if (attrId != KelZolm::ATTR_COLLECTION) return;
    ++told;
    Key const& k = std::any_cast<Key const&>(key);
    Value v;
    if (c_->entryFind(k, v)) {
      if (vet(v, &k)) replay_[T::packed(k)] = entryDigest(v);
    } else {
      replay_.erase(T::packed(k));
      std::optional<U64> id = idOf_(k);
      if (id && pinned(*id)) ++faults_.lost;  // never removed: must be found
    }
  }

  // A lookup of key `id` by the reader agent.
  void lookup(U64 id) {
    Key k = T::keyOf(id);
    bool mustHit = pinned(id) && sh_->writer.filled.load(std::memory_order_acquire);
    Value v;
    if (c_->entryFind(k, v)) vet(v, &k);
    else if (mustHit) ++faults_.lost;
  }

  // A full iteration: each value sound, every pinned key met.
  void iterate(U64 pins) {
    bool complete = sh_->writer.filled.load(std::memory_order_acquire);
    U64 met = 0;
    for (auto it = c_->entryIterConst(); it; ++it) {
      if (sh_->stop.load(RELAXED)) return;  // an unfinished walk proves nothing about pins
      if (vet(*it, nullptr) && pinned(*T::idOfValue(*it))) ++met;
    }
    if (complete && met < pins) faults_.lost += pins - met;
  }

  Digest view() const { return viewOf<T>(*c_); }
  Digest replay() const {
    Digest d;
    for (auto const& [k, h] : replay_) ++d.members, d.sum += h;
    return d;
  }
  bool mounted() const { return c_->entryControl()->mountStatus() != Mem::notMounted; }
  typename T::C& collection() { return *c_; }
  Kel::Ptr<typename T::C> const& ptr() const { return c_; }
  U64 told = 0;

 private:
  bool vet(Value const& v, Key const* expected) {
    switch (T::check(v, sh_->published.load(std::memory_order_acquire), expected)) {
      case Verdict::torn: ++faults_.torn; return false;
      case Verdict::foreign: ++faults_.foreign; return false;
      case Verdict::sound: break;
    }
    if (!log_.note(*T::idOfValue(v), T::versionOf(v))) {
      ++faults_.stale;
      return false;
    }
    return true;
  }

  Kel::Ptr<typename T::C> c_;
  Shared* sh_;
  std::function<std::optional<U64>(Key const&)> idOf_;
  Faults& faults_;
  TableDemo::VersionLog log_;
  std::unordered_map<U64, U64> replay_;  // key -> digest share of the value last looked up
};

class Follower {
 public:
  Follower(Shared* sh, int index, Plan const& plan, U64 seed, pid_t parent)
      : sh_(sh), out_(sh->followers[index]), index_(index), type_(FOLLOWER_TYPE[index]), plan_(plan),
        parent_(parent), rng_(seed), mounter_(loop_), agent_(Kel::makePtr<Kel::Directory>(FOLLOWER_NAME[index])),
        routeIds_(plan.space[LPM]),
        mac_(MacTable::make(), sh, plan.space[MAC], [](MacTable::Key const& k) { return TableDemo::idOf(k); }, faults_),
        lpm_(LpmTable::make(), sh, plan.space[LPM], [this](RouteKey const& k) { return routeIds_.idOf(k); }, faults_) {
    agent_->entityIs(mac_.ptr());
    agent_->entityIs(lpm_.ptr());
    mounter_.mount(mac_.collection().entryControl(), descriptor(type_, plan.size[MAC]), tableName(MAC));
    mounter_.mount(lpm_.collection().entryControl(), descriptor(type_, plan.size[LPM]), tableName(LPM));
  }

  void run() {
    auto lastPublish = Clock::now(), nextIteration = Clock::now();
    std::optional<Clock::time_point> endSeen, stopSeen;
    bool reader = type_ == Zolm::ZolmType::reader;
    for (U64 n = 0;; ++n) {
      if (reader && mac_.mounted() && lpm_.mounted()) {
        // Told nothing: looks keys up, and iterates now and then.
        for (int i = 0; i < 256; ++i) {
          if (rng_() % 4) mac_.lookup(1 + rng_() % plan_.space[MAC]);
          else lpm_.lookup(1 + rng_() % plan_.space[LPM]);
        }
        lookups_ += 256;
        loop_.runOnce(0);
        if (Clock::now() >= nextIteration && !sh_->end.done.load(RELAXED)) {
          mac_.iterate(plan_.pins[MAC]);
          lpm_.iterate(plan_.pins[LPM]);
          ++iterations_;
          nextIteration = Clock::now() + std::chrono::milliseconds(250);
        }
      } else {
        loop_.runOnce(20);
      }
      auto now = Clock::now();
      if (now - lastPublish >= std::chrono::milliseconds(100)) {
        publish();
        lastPublish = now;
        if (orphaned(parent_)) break;
      }
      if (sh_->end.done.load(std::memory_order_acquire)) {
        if (!endSeen) endSeen = now;
        if (n % 4 == 0 && caughtUp()) {
          out_.catchUpMs.store(msSince(*endSeen));
          out_.checked.store(true);
          break;
        }
        if (now - *endSeen > std::chrono::seconds(8)) {
          fmt::print(stderr, "{} agent: not caught up 8 s after the last write\n", FOLLOWER_NAME[index_]);
          break;
        }
      } else if (sh_->stop.load(RELAXED)) {
        if (!stopSeen) stopSeen = now;
        if (now - *stopSeen > std::chrono::seconds(10)) break;
      }
    }
    record();
    publish();
    // Unmounting is no change of the tables: the observers go first.
    mac_.quiet();
    lpm_.quiet();
    mounter_.unmount(mac_.collection().entryControl());
    mounter_.unmount(lpm_.collection().entryControl());
  }

 private:
  // The writer's final tables reached: the view of each collection and,
  // for the types that are told of changes, the observers' replay.
  bool caughtUp() {
    WriterEnd const& end = sh_->end;
    auto equal = [&](Digest const& d, TableIx t) {
      return d.members == end.members[t].load() && d.sum == end.digest[t].load();
    };
    bool told = type_ != Zolm::ZolmType::reader;
    return equal(mac_.view(), MAC) && equal(lpm_.view(), LPM) &&
           (!told || (equal(mac_.replay(), MAC) && equal(lpm_.replay(), LPM)));
  }
  void record() {
    Digest v[TABLES] = {mac_.view(), lpm_.view()}, r[TABLES] = {mac_.replay(), lpm_.replay()};
    for (int t = 0; t < TABLES; ++t) {
      out_.viewMembers[t].store(v[t].members), out_.viewDigest[t].store(v[t].sum);
      out_.replayMembers[t].store(r[t].members), out_.replayDigest[t].store(r[t].sum);
    }
  }
  void publish() {
    out_.told[MAC].store(mac_.told, RELAXED), out_.told[LPM].store(lpm_.told, RELAXED);
    out_.lookups.store(lookups_, RELAXED), out_.iterations.store(iterations_, RELAXED);
    out_.torn.store(faults_.torn, RELAXED), out_.foreign.store(faults_.foreign, RELAXED);
    out_.stale.store(faults_.stale, RELAXED), out_.lost.store(faults_.lost, RELAXED);
    out_.errors.store(mac_.collection().map().corruptions() + lpm_.collection().map().corruptions(), RELAXED);
    if (mac_.mounted() && lpm_.mounted()) out_.ready.store(true);
  }

  Shared* sh_;
  FollowerStats& out_;
  int index_;
  Zolm::ZolmType type_;
  Plan plan_;
  pid_t parent_;
  std::mt19937_64 rng_;
  Quiv::EventLoop loop_;
  KelSharedMem::Mounter mounter_;
  Kel::Ptr<Kel::Directory> agent_;
  RouteIds routeIds_;
  Faults faults_;
  Watched<MacTable> mac_;
  Watched<LpmTable> lpm_;
  U64 lookups_ = 0, iterations_ = 0;
};

[[noreturn]] void followerMain(Shared* sh, int index, Plan const& plan, U64 seed, pid_t parent) {
  childSignals();
  int rc = 0;
  try {
    Follower(sh, index, plan, seed, parent).run();
  } catch (std::exception const& e) {
    fmt::print(stderr, "{} agent: {}\n", FOLLOWER_NAME[index], e.what());
    sh->followers[index].errors.fetch_add(1);
    rc = 2;
  }
  sh->followers[index].ended.store(true);
  ::_exit(rc);
}

// --- the parent ----------------------------------------------------------------------

U64 sum(Shared const* sh, std::atomic<U64> FollowerStats::*field) {
  U64 n = 0;
  for (FollowerStats const& f : sh->followers) n += (f.*field).load(RELAXED);
  return n;
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
  CLI::App app{"A writer agent and reader, shadow and key-shadow agents sharing an L2 MAC table and an LPM route "
               "table through the collections: live progress, a check of every value observed, a summary"};
  U64 size = 50000;
  double duration = 15;
  std::string root;
  U64 seed = 1;
  app.add_option("--size", size, "MAC entries at full size (routes: a quarter of it)")
      ->check(CLI::Range(U64(1000), U64(2000000)));
  app.add_option("--duration", duration, "seconds of changes after the tables are filled")
      ->check(CLI::Range(0.5, 3600.0));
  app.add_option("--root", root, "shared-memory root (default: a private directory under /dev/shm, removed at the end)");
  app.add_option("--seed", seed, "random seed of the writer and the reader agent");
  app.set_version_flag("--version", std::string("vexa-agent-demo ") + VEXA_SWITCH_LIB_VERSION_STRING);
  app.footer(EXIT_FOOTER);
  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
  }

  Plan plan{};
  plan.size[MAC] = size;
  plan.size[LPM] = size / 4;
  for (int t = 0; t < TABLES; ++t) {
    plan.space[t] = 2 * plan.size[t];
    plan.pins[t] = plan.space[t] / PIN_EVERY;
  }
  bool privateRoot = root.empty();
  if (privateRoot) {
    char tmpl[] = "/dev/shm/vexa_agents.XXXXXX";
    if (!::mkdtemp(tmpl)) {
      fmt::print(stderr, "vexa-agent-demo: cannot make a directory under /dev/shm: {}\n", std::strerror(errno));
      return EXIT_NO_TABLE;
    }
    root = tmpl;
  } else {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec || !std::filesystem::is_directory(root)) {
      fmt::print(stderr, "vexa-agent-demo: --root {}: not a usable directory{}{}\n", root, ec ? ": " : "",
                 ec ? ec.message() : "");
      return EXIT_NO_TABLE;
    }
  }
  Mem::RootPath::shmRootIs(root);

  void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) {
    fmt::print(stderr, "vexa-agent-demo: mmap: {}\n", std::strerror(errno));
    if (privateRoot) std::filesystem::remove_all(root);
    return EXIT_FAILED;
  }
  auto* sh = new (mem) Shared{};

  struct sigaction sa{};
  sa.sa_handler = onSignal;
  ::sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);

  fmt::print("tables {} ({} entries, {} pinned) and {} ({} entries, {} pinned) under {}; agents: writer, {}, {}, {}; "
             "{:g} s of changes, seed {}\n",
             tableName(MAC), plan.size[MAC], plan.pins[MAC], tableName(LPM), plan.size[LPM], plan.pins[LPM], root,
             FOLLOWER_NAME[0], FOLLOWER_NAME[1], FOLLOWER_NAME[2], duration, seed);
  std::fflush(stdout);

  pid_t self = ::getpid();
  std::vector<Child> children;
  auto spawn = [&](std::string name, auto&& body) {
    pid_t p = ::fork();
    if (p == 0) body();
    if (p < 0) {
      fmt::print(stderr, "vexa-agent-demo: fork: {}\n", std::strerror(errno));
      return false;
    }
    children.push_back({p, std::move(name)});
    return true;
  };
  bool started = spawn("writer agent", [&] { writerMain(sh, plan, seed, self); });
  while (started && !sh->writer.attached.load(std::memory_order_acquire) && !interrupted) {
    if (reap(children)) {
      if (sh->writer.attached.load(std::memory_order_acquire)) break;  // mounted, then failed: reported below
      int status = children.front().status;
      fmt::print(stderr, "vexa-agent-demo: {}\n",
                 WIFEXITED(status) && WEXITSTATUS(status) == EXIT_NO_TABLE
                     ? std::string(sh->writer.attachError)
                     : fmt::format("the writer agent ended before it mounted its tables ({})", describe(status)));
      if (privateRoot) std::filesystem::remove_all(root);
      return EXIT_NO_TABLE;
    }
    ::usleep(5000);
  }
  bool const attached = started && sh->writer.attached.load(std::memory_order_acquire);
  int spawned = 0;
  for (; attached && started && spawned < FOLLOWERS; ++spawned)
    started = spawn(fmt::format("{} agent", FOLLOWER_NAME[spawned]),
                    [&] { followerMain(sh, spawned, plan, seed * 1000003 + U64(spawned) + 1, self); });
  for (int i = spawned; i < FOLLOWERS; ++i) sh->followers[i].ended.store(true);

  auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
  auto ready = [&] {
    int n = 0;
    for (FollowerStats const& f : sh->followers) n += f.ready.load();
    return n;
  };
  auto start = Clock::now(), lastLine = start;
  bool childEnded = false;
  while (started && !interrupted && !(sh->writer.filled.load() && ready() == FOLLOWERS)) {
    ::usleep(100000);
    if ((childEnded = reap(children))) break;
    if (since(start) > 120) {
      fmt::print(stderr, "vexa-agent-demo: the tables were not ready after 120 s\n");
      childEnded = true;
      break;
    }
    if (Clock::now() - lastLine >= std::chrono::seconds(1)) {
      lastLine = Clock::now();
      fmt::print("filling: mac {} of {}, lpm {} of {}; {} of {} followers mounted\n", sh->writer.members[MAC].load(),
                 plan.size[MAC], sh->writer.members[LPM].load(), plan.size[LPM], ready(), FOLLOWERS);
      std::fflush(stdout);
    }
  }
  if (sh->writer.filled.load())
    fmt::print("filled in {:.2f} s; {} followers mounted\n", double(sh->writer.fillMs.load()) / 1e3, ready());
  std::fflush(stdout);

  // The changes, with a progress line every second.
  WriterStats& ws = sh->writer;
  auto changes = [&] {
    U64 n = 0;
    for (int t = 0; t < TABLES; ++t) n += ws.inserts[t].load() + ws.updates[t].load() + ws.removes[t].load();
    return n;
  };
  auto told = [&](int f) { return sh->followers[f].told[MAC].load() + sh->followers[f].told[LPM].load(); };
  auto faults = [&] {
    return sum(sh, &FollowerStats::torn) + sum(sh, &FollowerStats::foreign) + sum(sh, &FollowerStats::stale) +
           sum(sh, &FollowerStats::lost) + sum(sh, &FollowerStats::errors);
  };
  auto loadStart = Clock::now(), last = loadStart;
  U64 changes0 = changes(), lastChanges = changes0, lastLookups = sum(sh, &FollowerStats::lookups);
  U64 lastTold[FOLLOWERS] = {told(0), told(1), told(2)};
  U64 told0[FOLLOWERS] = {lastTold[0], lastTold[1], lastTold[2]};
  while (started && !childEnded && !interrupted && since(loadStart) < duration) {
    ::usleep(250000);
    if (reap(children)) childEnded = true;
    auto now = Clock::now();
    if (now - last < std::chrono::milliseconds(980)) continue;
    double dt = std::chrono::duration<double>(now - last).count();
    U64 ch = changes(), lookups = sum(sh, &FollowerStats::lookups);
    std::string toldColumn;
    for (int f = 1; f < FOLLOWERS; ++f) {
      U64 t = told(f);
      toldColumn += fmt::format(" {} {}", FOLLOWER_NAME[f], rate(double(t - lastTold[f]) / dt));
      lastTold[f] = t;
    }
    fmt::print("t={:.1f}s writes {} | mac {} lpm {} | reader lookups {} | told:{} | faults {}\n", since(loadStart),
               rate(double(ch - lastChanges) / dt), ws.members[MAC].load(), ws.members[LPM].load(),
               rate(double(lookups - lastLookups) / dt), toldColumn, faults());
    std::fflush(stdout);
    last = now;
    lastChanges = ch;
    lastLookups = lookups;
  }
  if (interrupted) fmt::print("interrupted: stopping\n");
  if (childEnded) fmt::print(stderr, "an agent ended before its time: stopping\n");
  double loadSeconds = since(loadStart);

  // Stop: the flag, then a grace period, then SIGKILL. The writer stays
  // until the followers have compared (at most 12 s).
  sh->stop.store(true);
  constexpr int GRACE_SECONDS = 20;
  // Every child is stopped, also when the run had not started.
  bool clean = stopChildren(children, std::chrono::seconds(GRACE_SECONDS)) && started;

  // Summary.
  U64 total = changes() - changes0;
  fmt::print("\nsummary: {:.1f} s of changes (after a fill of {:.2f} s)\n", loadSeconds,
             double(ws.fillMs.load()) / 1e3);
  fmt::print("  writer agent: {} changes ({})\n", human(double(total)), rate(double(total) / loadSeconds));
  for (int t = 0; t < TABLES; ++t)
    fmt::print("    {} {}: {} inserts, {} updates, {} removes; final {} entries\n", TABLE_LABEL[t],
               tableName(TableIx(t)), human(double(ws.inserts[t].load())), human(double(ws.updates[t].load())),
               human(double(ws.removes[t].load())), sh->end.members[t].load());
  U64 mismatches = 0;
  int unchecked = 0;
  for (int f = 0; f < FOLLOWERS; ++f) {
    FollowerStats const& s = sh->followers[f];
    bool toldType = FOLLOWER_TYPE[f] != Zolm::ZolmType::reader;
    std::string work = toldType ? "" : fmt::format("; {} lookups, {} full iterations", human(double(s.lookups.load())),
                                                   s.iterations.load());
    fmt::print("  {} agent: observers told {} mac and {} lpm keys ({} since the fill){}; {}\n", FOLLOWER_NAME[f],
               human(double(s.told[MAC].load())), human(double(s.told[LPM].load())),
               human(double(told(f) - told0[f])), work,
               s.checked.load() ? fmt::format("caught up {} ms after the last write", s.catchUpMs.load())
                                : std::string("NOT caught up with the writer"));
    unchecked += !s.checked.load();
    for (int t = 0; t < TABLES; ++t) {
      bool viewOk = s.viewMembers[t].load() == sh->end.members[t].load() &&
                    s.viewDigest[t].load() == sh->end.digest[t].load();
      bool replayOk = !toldType || (s.replayMembers[t].load() == sh->end.members[t].load() &&
                                    s.replayDigest[t].load() == sh->end.digest[t].load());
      mismatches += !viewOk + !replayOk;
      fmt::print("    {}: view {} entries, {}; replay of notifications {}\n", TABLE_LABEL[t], s.viewMembers[t].load(),
                 viewOk ? "equal to the writer's" : "DIFFERENT from the writer's",
                 !toldType ? std::string("n/a (a reader is told nothing)")
                           : fmt::format("{} entries, {}", s.replayMembers[t].load(),
                                         replayOk ? "equal" : "DIFFERENT"));
    }
  }
  U64 torn = sum(sh, &FollowerStats::torn), foreign = sum(sh, &FollowerStats::foreign);
  U64 stale = sum(sh, &FollowerStats::stale), lost = sum(sh, &FollowerStats::lost);
  U64 errors = sum(sh, &FollowerStats::errors);
  fmt::print("  torn reads: {}{}\n", torn + foreign, foreign ? fmt::format(" ({} of them foreign values)", foreign) : "");
  fmt::print("  stale reads: {}\n  lost entries: {}\n  follower errors: {}\n", stale, lost, errors);
  fmt::print("  mismatches: {}{}\n", mismatches, unchecked ? fmt::format(" ({} followers NOT caught up)", unchecked) : "");
  fmt::print("  children: {}; the writer stayed {} ms for the followers' checks\n",
             clean ? "all exited cleanly" : "NOT all exited cleanly", sh->end.waitMs.load());

  std::size_t left = 0;
  std::error_code ec;
  if (privateRoot) {
    left = filesUnder(root);
    std::filesystem::remove_all(root, ec);
  } else {
    // The tables' directories, now empty, up to the given root, which stays.
    for (int t = 0; t < TABLES; ++t) {
      std::filesystem::path dir = std::filesystem::path(root) / tableName(TableIx(t));
      left += filesUnder(dir);
      for (auto d = dir; d != std::filesystem::path(root) && d.has_relative_path(); d = d.parent_path())
        if (!std::filesystem::remove(d, ec)) break;
    }
  }
  fmt::print("  files left: {}\n", left);
  bool ok = clean && torn + foreign + stale + lost + errors + mismatches == 0 && unchecked == 0 && left == 0 &&
            sh->end.done.load();
  if (ok && interrupted) {
    fmt::print("result: interrupted, no faults\n");
    return EXIT_INTERRUPTED;
  }
  fmt::print("result: {}\n", ok ? "ok" : "FAILED");
  return ok ? EXIT_OK : EXIT_FAILED;
}
