// How fast a change made by a writer reaches a shadow in another process,
// and how many changes per second a shadow keeps up with, next to the floor
// under both: a bare Unix-domain socket between two processes.
//
// Every shadow benchmark forks a child that runs a ZolmShadow of the L3
// flood table (IntfId -> L3FloodEntryConfig, 16-byte values) in its event
// loop. Each write carries its write index in floodListId; the child's
// `changed` callback looks the key up and stamps the index's arrival time
// into a MAP_SHARED anonymous mapping. Both processes read CLOCK_MONOTONIC,
// so the difference of the two stamps is the propagation latency: from just
// before `write` in the writer to the start of `changed` in the shadow.
//
// Arguments:
//   key     0: value shadow, 1: key shadow
//   writer  how the writer learns of the shadow's arm messages
//           0: polls its socket from its writes, at most once per poll
//              interval (the default: no event loop, nothing done when idle)
//           1: an event loop (pokt().loopIs), runOnce(0) between writes and
//              while idle
//           2: as 0, and pokt().poll() while idle (what a loop-less writer
//              is told to do "now and then"; here as often as it can)
//           3: as 0 with a 20 us poll interval (yieldTimeIs) instead of
//              the default 500 us
//
// VEXA_BENCH_PIN=1 in the environment pins the writer to the first CPU of
// the process's affinity mask and the shadow to the second: a waker that
// spins on the CPU its wakee is placed on delays the wakee until the
// scheduler preempts it (milliseconds).
//
// Counters: latencies p50_ns / p90_ns / p99_ns / max_ns / mean_ns, the share
// of changes slower than 200 us (`slow`), and per write the shadow's wake-ups
// and the writer's socket polls, which tell a wake-up from a backstop timer.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "BenchCommon.h"
#include "VexaSwitchLib/tables/Collections.h"
#include "VexaSwitchLib/runtime/EventLoop.h"

namespace {

using VexaSwitch::L3FloodEntryConfig;
using Ops = Zolm::Ops<Lanx::IntfId, L3FloodEntryConfig>;
using Writer = Zolm::ZolmWriter<Ops>;
using Shadow = Zolm::ZolmShadow<Ops>;

// CLOCK_MONOTONIC: one clock for every process of the machine.
U64 nowNs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return U64(ts.tv_sec) * 1000000000ull + U64(ts.tv_nsec);
}

// With VEXA_BENCH_PIN set: the n-th CPU the process may run on, for this
// process alone (0: the writer, 1: the shadow or echo peer).
// The mask is the one the benchmark process started with (a child forked
// from a pinned writer inherits the copy taken before the writer pinned
// itself).
void maybePin(int n) {
  char const* e = ::getenv("VEXA_BENCH_PIN");
  if (!e || *e == '0') return;
  static cpu_set_t all;
  static bool got = ::sched_getaffinity(0, sizeof all, &all) == 0;
  if (!got) return;
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &all) || seen++ != n) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
    return;
  }
}
// Undoes maybePin(0) in the benchmark process, so that other benchmarks
// run as usual.
struct PinScope {
  cpu_set_t saved;
  bool pinned = false;
  PinScope() {
    pinned = ::sched_getaffinity(0, sizeof saved, &saved) == 0;
    maybePin(0);
  }
  ~PinScope() {
    if (pinned) ::sched_setaffinity(0, sizeof saved, &saved);
  }
};

// --- latency figures ---------------------------------------------------------------

void latencyCounters(benchmark::State& state, std::vector<U64> lat, char const* prefix = "") {
  std::string p(prefix);
  if (lat.empty()) {
    state.SkipWithError("no latency sample");
    return;
  }
  std::sort(lat.begin(), lat.end());
  auto at = [&](double q) { return double(lat[std::min(lat.size() - 1, std::size_t(q * double(lat.size())))]); };
  double sum = 0;
  std::size_t slow = 0;
  for (U64 v : lat) {
    sum += double(v);
    slow += v > 200000;
  }
  state.counters[p + "p50_ns"] = at(0.50);
  state.counters[p + "p90_ns"] = at(0.90);
  state.counters[p + "p99_ns"] = at(0.99);
  state.counters[p + "max_ns"] = double(lat.back());
  state.counters[p + "mean_ns"] = sum / double(lat.size());
  if (p.empty()) state.counters["slow"] = double(slow) / double(lat.size());
}

// --- the floor: a socket between two processes ---------------------------------------

// The peer echoes, as its 8-byte answer, the time it received each message.
// mode 0 blocks in recv, mode 1 in epoll_wait then recv, mode 2 in a
// Quiv::EventLoop (the shadow's own path to its socket); mode 3 spins on a
// non-blocking recv on both sides: the cost of the transfer without the
// sleep and wake-up.
[[noreturn]] void echoMain(int fd, int mode) {
  maybePin(1);
  auto answer = [fd, mode]() -> bool {
    U64 v;
    ssize_t n;
    do n = ::recv(fd, &v, sizeof v, mode == 3 ? MSG_DONTWAIT : 0);
    while (mode == 3 && n < 0 && errno == EAGAIN);
    if (n != ssize_t(sizeof v)) return false;
    U64 t = nowNs();
    return ::send(fd, &t, sizeof t, MSG_NOSIGNAL) == ssize_t(sizeof t);
  };
  if (mode == 0 || mode == 3) {
    while (answer()) {
    }
  } else if (mode == 1) {
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    for (;;) {
      epoll_event out;
      if (::epoll_wait(ep, &out, 1, -1) == 1 && !answer()) break;
    }
  } else {
    Quiv::EventLoop loop;
    loop.fdIs(fd, [&] {
      if (!answer()) loop.stop();
    });
    loop.run();
  }
  ::_exit(0);
}

// One round trip per iteration: rtt_ (round trip / 2) and oneway_ (the
// peer's receive stamp minus the send stamp) figures. `gap_us`: the sender
// spins that long after each answer before it sends again, as the writer
// of BM_ShadowLatencyLowRate does after each change arrived; the peer's
// CPU then goes idle between messages, and the one-way figure includes
// waking it (the fair floor for a change at a low rate, which a
// back-to-back exchange never pays).
void BM_SocketPingPong(benchmark::State& state) {
  int mode = int(state.range(0));
  U64 const gapNs = U64(state.range(1)) * 1000;
  PinScope pin;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  ::fflush(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(sv[0]);
    echoMain(sv[1], mode);
  }
  ::close(sv[1]);
  auto recvWord = [&](U64& v) {
    ssize_t n;
    do n = ::recv(sv[0], &v, sizeof v, mode == 3 ? MSG_DONTWAIT : 0);
    while (mode == 3 && n < 0 && errno == EAGAIN);
    return n == ssize_t(sizeof v);
  };
  std::vector<U64> half, oneway;
  half.reserve(state.max_iterations);
  oneway.reserve(state.max_iterations);
  bool ok = true;
  for (int i = 0; i < 200 && ok; ++i) {  // warm both sides up
    U64 t = nowNs();
    ok = ::send(sv[0], &t, sizeof t, 0) == ssize_t(sizeof t) && recvWord(t);
  }
  for (auto _ : state) {
    if (!ok) break;
    U64 t0 = nowNs(), peer = 0;
    ok = ::send(sv[0], &t0, sizeof t0, 0) == ssize_t(sizeof t0) && recvWord(peer);
    U64 t1 = nowNs();
    half.push_back((t1 - t0) / 2);
    oneway.push_back(peer - t0);
    while (gapNs && nowNs() - t1 < gapNs) {
    }
  }
  ::close(sv[0]);
  ::waitpid(child, nullptr, 0);
  if (!ok) {
    state.SkipWithError("echo peer failed");
    return;
  }
  latencyCounters(state, oneway);
  latencyCounters(state, half, "rtt_half_");
  static char const* names[] = {"blocking recv", "epoll_wait", "Quiv::EventLoop", "both spin"};
  state.SetLabel(names[mode]);
}

// --- the shadow in its own process -----------------------------------------------------

constexpr U32 kMaxIdx = 1u << 21;   // write indices stamped
constexpr U32 kMaxKeys = 1u << 17;  // keys followed per key

// Shared by the writer (parent) and the shadow (child). The child stamps
// tCb before it publishes keyVal / lastIdx (release), so the parent reads a
// stamp once it saw its index there (acquire).
struct Shared {
  std::atomic<U32> synced{0}, stop{0}, done{0};
  std::atomic<U64> callbacks{0};
  std::atomic<U64> lastIdx{0};   // newest write index a callback saw
  std::atomic<U64> position{0};  // the shadow's queue position at its last callback
  // The shadow's own counters, published when it stops.
  std::atomic<U64> wakeups{0}, arms{0}, syncs{0}, resyncs{0}, notifications{0}, failed{0};
  std::atomic<U64> tCb[kMaxIdx];     // by write index: when its change was reported
  std::atomic<U32> keyVal[kMaxKeys];  // by key: the newest write index reported
};
static_assert(std::atomic<U64>::is_always_lock_free && std::atomic<U32>::is_always_lock_free);

Lanx::IntfId keyOf(U32 k) { return Lanx::IntfId::fromRaw(U64(k) + 1); }
L3FloodEntryConfig entry(U32 k, U32 idx) {
  L3FloodEntryConfig e(keyOf(k));
  e.floodListIdIs(idx);
  return e;
}

// `stopFd`: readable when the parent wants the shadow to stop (a pipe, so
// that the shadow's loop has nothing to do but the writer's wake-ups).
[[noreturn]] void shadowMain(Shared* sh, std::string const& table, bool keyShadow, int stopFd) {
  maybePin(1);
  {
    Quiv::EventLoop loop;
    Shadow* sp = nullptr;
    Zolm::ShadowCallbacks<Lanx::IntfId> cb;
    cb.syncChanged = [](Lanx::IntfId const&) {};
    cb.syncComplete = [sh] { sh->synced.store(1, std::memory_order_release); };
    U64 calls = 0;
    cb.changed = [&](Lanx::IntfId const& k) {
      U64 t = nowNs();
      L3FloodEntryConfig v;
      if (!sp->lookup(k, v)) return;
      U32 idx = v.floodListId();
      if (idx < kMaxIdx && sh->tCb[idx].load(std::memory_order_relaxed) == 0)
        sh->tCb[idx].store(t, std::memory_order_relaxed);
      U64 key = k.raw() - 1;
      if (key < kMaxKeys) sh->keyVal[key].store(idx, std::memory_order_release);
      sh->position.store(sp->queue().position(), std::memory_order_relaxed);
      if (idx > sh->lastIdx.load(std::memory_order_relaxed)) sh->lastIdx.store(idx, std::memory_order_release);
      sh->callbacks.store(++calls, std::memory_order_release);
    };
    Shadow s(nullptr, table, loop, keyShadow, cb);
    sp = &s;
    while (!s.initialize("bench")) {
      if (sh->stop.load()) ::_exit(3);
      ::usleep(1000);
    }
    // Only to hear the parent's stop; the writer's wake-ups drive the rest.
    loop.fdIs(stopFd, [&] { loop.stop(); });
    loop.run();
    Zolm::Reader::Counters c = s.readerCounters();
    sh->wakeups = c.wakeups;
    sh->arms = c.arms;
    sh->syncs = c.syncs;
    sh->resyncs = c.resyncs;
    sh->notifications = c.notifications;
    sh->failed = c.failedNotifications;
    s.detach(true);
  }
  sh->done.store(1, std::memory_order_release);
  ::_exit(0);
}

// A writer with `keys` entries (write index 0) and a synchronised shadow of
// it in a child process.
class Rig {
 public:
  Rig(benchmark::State& state, U32 keys) : state_(state), keys_(keys) {
    keyShadow_ = state.range(0) != 0;
    mode_ = int(state.range(1));
    VexaBench::benchRoot();
    void* m = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
      error("mmap failed");
      return;
    }
    sh_ = new (m) Shared{};
    static int tableId = 0;
    table_ = fmt::format("vexaswitch/tables/sbench/t{}", ++tableId);
    Zolm::WriterConfig c;
    c.maxSlots = std::max<U32>(1024, 2 * keys);
    w_ = std::make_unique<Writer>(nullptr, table_, c);
    w_->initialize();
    if (mode_ == 1) w_->pokt().loopIs(&loop_);
    if (mode_ == 3) w_->yieldTimeIs(20e-6);
    for (U32 k = 0; k < keys; ++k) w_->write(entry(k, 0));
    ::fflush(nullptr);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
      error("pipe failed");
      return;
    }
    child_ = ::fork();
    if (child_ == 0) shadowMain(sh_, table_, keyShadow_, stopPipe_[0]);
    if (child_ < 0) {
      error("fork failed");
      return;
    }
    // Synchronised and connected; a loop-less writer must poll to accept.
    U64 until = nowNs() + 10'000'000'000ull;
    while (!(sh_->synced.load() && w_->pokt().connections() > 0)) {
      if (mode_ == 1) {
        loop_.runOnce(1);
      } else {
        w_->pokt().poll();
        ::usleep(200);
      }
      if (nowNs() > until) {
        error("the shadow did not synchronise");
        return;
      }
    }
    // A few changes so that both sides are warm; not measured.
    for (U32 i = 0; i < 50 && ok(); ++i) {
      U32 idx = nextIdx();
      w_->write(entry(i % keys, idx));
      waitIdx(idx);
    }
    polls0_ = w_->pokt().polls();
    wakes0_ = w_->pokt().wakesSent();
    if (::clock_getcpuclockid(child_, &childClock_) != 0) childClock_ = -1;
    cpu0_ = childCpu();
    wall0_ = nowNs();
  }
  ~Rig() { finish(); }

  bool ok() const { return ok_; }
  void error(char const* what) {
    if (ok_) state_.SkipWithError(what);
    ok_ = false;
  }
  Writer& w() { return *w_; }
  Shared& sh() { return *sh_; }
  U32 keys() const { return keys_; }
  int mode() const { return mode_; }
  U32 nextIdx() { return ++idx_; }
  U32 lastIdx() const { return idx_; }

  // A write, stamped.
  void write(U32 k, U32 idx) {
    if (idx < kMaxIdx) tWrite_[idx] = nowNs();
    w_->write(entry(k, idx));
  }
  // What the writer does between two writes of a burst.
  void between(U32 i) {
    if (mode_ == 1 && (i & 63) == 0) loop_.runOnce(0);
  }
  // What the writer does while it has nothing to write.
  void idle() {
    if (mode_ == 1) loop_.runOnce(0);
    else if (mode_ == 2) w_->pokt().poll();
  }
  // Idles until the change of `idx` was reported (it is the newest one).
  bool waitIdx(U32 idx, U64 timeoutNs = 2'000'000'000ull) {
    U64 until = nowNs() + timeoutNs;
    while (sh_->lastIdx.load(std::memory_order_acquire) < idx) {
      idle();
      if (nowNs() > until) {
        error("a change was never reported");
        return false;
      }
    }
    return true;
  }
  // Idles until every key reports the index it was last written with.
  bool waitKeys(std::vector<U32> const& expected, U64 timeoutNs = 10'000'000'000ull) {
    U64 until = nowNs() + timeoutNs;
    for (U32 k = 0; k < expected.size(); ++k) {
      while (sh_->keyVal[k].load(std::memory_order_acquire) != expected[k]) {
        idle();
        if (nowNs() > until) {
          error("the shadow did not converge");
          return false;
        }
      }
    }
    return true;
  }
  void idleFor(U64 ns) {
    U64 until = nowNs() + ns;
    while (nowNs() < until) idle();
  }
  // The latency of write `idx`, or nothing when its change was not reported
  // on its own (superseded by a newer write of the same key).
  bool latency(U32 idx, U64& out) const {
    if (idx >= kMaxIdx) return false;
    U64 t = sh_->tCb[idx].load(std::memory_order_acquire);
    if (!t) return false;
    out = t - tWrite_[idx];
    return true;
  }

  // The CPU time the shadow process has used so far.
  U64 childCpu() const {
    timespec ts{};
    if (childClock_ == clockid_t(-1) || ::clock_gettime(childClock_, &ts) != 0) return 0;
    return U64(ts.tv_sec) * 1000000000ull + U64(ts.tv_nsec);
  }

  // Stops the shadow and sets the counters every benchmark shares.
  void finish() {
    if (finished_) return;
    finished_ = true;
    if (ok_ && child_ > 0 && wall0_) {
      // The share of one CPU the shadow used while measured: near 1 means
      // it spun rather than blocked in its loop.
      state_.counters["shadow_cpu"] = double(childCpu() - cpu0_) / double(nowNs() - wall0_);
    }
    if (child_ > 0) {
      sh_->stop = 1;
      char one = 1;
      if (::write(stopPipe_[1], &one, 1) != 1) error("cannot stop the shadow");
      U64 until = nowNs() + 5'000'000'000ull;
      while (!sh_->done.load(std::memory_order_acquire) && nowNs() < until) {
        if (w_) w_->pokt().poll();
        ::usleep(1000);
      }
      if (!sh_->done.load()) ::kill(child_, SIGKILL);
      int status = 0;
      ::waitpid(child_, &status, 0);
      if (!sh_->done.load()) error("the shadow process did not stop");
    }
    if (ok_ && idx_ > 50) {
      double writes = double(idx_ - 50);
      state_.counters["wakeups_per_write"] = double(sh_->wakeups.load()) / writes;
      state_.counters["polls_per_write"] = double(w_->pokt().polls() - polls0_) / writes;
      state_.counters["wakes_sent_per_write"] = double(w_->pokt().wakesSent() - wakes0_) / writes;
      if (sh_->resyncs.load()) state_.counters["resyncs"] = double(sh_->resyncs.load());
    }
    static char const* modes[] = {"writer polls from writes", "writer event loop", "writer polls when idle",
                                  "writer polls from writes every 20us"};
    state_.SetLabel(std::string(keyShadow_ ? "keyshadow, " : "shadow, ") + modes[mode_]);
    if (w_) {
      w_->removeFiles();
      w_.reset();
    }
    for (int fd : stopPipe_)
      if (fd >= 0) ::close(fd);
    if (sh_) ::munmap(sh_, sizeof(Shared));
    sh_ = nullptr;
  }

 private:
  PinScope pin_;
  benchmark::State& state_;
  U32 keys_;
  bool keyShadow_ = false;
  int mode_ = 0;
  bool ok_ = true, finished_ = false;
  Shared* sh_ = nullptr;
  std::string table_;
  Quiv::EventLoop loop_;
  std::unique_ptr<Writer> w_;
  pid_t child_ = -1;
  int stopPipe_[2] = {-1, -1};
  U32 idx_ = 0;
  U64 polls0_ = 0, wakes0_ = 0;
  clockid_t childClock_ = clockid_t(-1);
  U64 cpu0_ = 0, wall0_ = 0;
  std::vector<U64> tWrite_ = std::vector<U64>(kMaxIdx);
};

// One write, then nothing until its change is reported; again.
void BM_ShadowLatencyLockstep(benchmark::State& state) {
  Rig rig(state, 1024);
  std::vector<U64> lat;
  lat.reserve(state.max_iterations);
  for (auto _ : state) {
    if (!rig.ok()) break;
    U32 idx = rig.nextIdx();
    rig.write(idx % rig.keys(), idx);
    if (!rig.waitIdx(idx)) break;
    U64 l;
    if (rig.latency(idx, l)) lat.push_back(l);
  }
  if (rig.ok()) latencyCounters(state, lat);
  rig.finish();
}

// One write, then nothing until its change is reported and 200 us more, so
// that the shadow is back asleep in its loop when the next write comes: the
// cost of a wake-up each time. (In the lockstep benchmark above, the next
// write usually comes while the shadow is still in the service pass that
// reported the last one, and is found without any wake-up.)
void BM_ShadowLatencyLowRate(benchmark::State& state) {
  Rig rig(state, 1024);
  std::vector<U64> lat;
  lat.reserve(state.max_iterations);
  for (auto _ : state) {
    if (!rig.ok()) break;
    U32 idx = rig.nextIdx();
    rig.write(idx % rig.keys(), idx);
    if (!rig.waitIdx(idx)) break;
    U64 l;
    if (rig.latency(idx, l)) lat.push_back(l);
    rig.idleFor(200000);
  }
  if (rig.ok()) latencyCounters(state, lat);
  rig.finish();
}

// One write every 50 us, whether or not the last one arrived yet.
void BM_ShadowLatencyPaced(benchmark::State& state) {
  constexpr U64 kPeriodNs = 50000;
  Rig rig(state, 1024);
  U32 first = rig.lastIdx() + 1;
  U64 next = nowNs();
  for (auto _ : state) {
    if (!rig.ok()) break;
    while (nowNs() < next) rig.idle();
    next += kPeriodNs;
    U32 idx = rig.nextIdx();
    rig.write(idx % rig.keys(), idx);
  }
  if (!rig.ok() || !rig.waitIdx(rig.lastIdx())) return;
  std::vector<U64> lat;
  U64 missed = 0;
  for (U32 idx = first; idx <= rig.lastIdx(); ++idx) {
    U64 l;
    if (rig.latency(idx, l)) lat.push_back(l);
    else ++missed;
  }
  latencyCounters(state, lat);
  state.counters["missed"] = double(missed);
  rig.finish();
}

// Bursts of 1e5 back-to-back writes, one per key of a 1e5-key table; the latency
// of each key is from its own write to its own change. `drain_ns` is from
// the burst's first write to its last change.
void BM_ShadowLatencyBurst(benchmark::State& state) {
  constexpr U32 kKeys = 100000;
  static_assert(kKeys <= kMaxKeys);
  Rig rig(state, kKeys);
  std::vector<U64> lat, drain, issue;
  std::vector<U32> expected(kKeys);
  for (auto _ : state) {
    if (!rig.ok()) break;
    U32 base = rig.lastIdx() + 1;
    U64 t0 = nowNs();
    for (U32 k = 0; k < kKeys; ++k) {
      U32 idx = rig.nextIdx();
      expected[k] = idx;
      rig.write(k, idx);
      rig.between(k);
    }
    issue.push_back(nowNs() - t0);
    if (!rig.waitKeys(expected)) break;
    U64 last = 0;
    for (U32 idx = base; idx <= rig.lastIdx(); ++idx) {
      U64 l;
      if (!rig.latency(idx, l)) continue;
      lat.push_back(l);
      last = std::max(last, rig.sh().tCb[idx].load());
    }
    drain.push_back(last - t0);
    rig.idleFor(2'000'000);  // let the shadow settle before the next burst
  }
  if (!rig.ok()) return;
  latencyCounters(state, lat);
  std::sort(drain.begin(), drain.end());
  std::sort(issue.begin(), issue.end());
  state.counters["drain_ns"] = double(drain[drain.size() / 2]);
  state.counters["burst_write_ns"] = double(issue[issue.size() / 2]);
  rig.finish();
}

// The writer updates 1000 keys round-robin as fast as it can for a second,
// then goes idle until the shadow holds every key's last value
// (`converge_ns`, from the last write). A shadow that reads a slot after it
// was written again reports the newest value once, so callbacks_per_write
// is below 1 whenever the shadow trails by more than a write. `lag_at_stop`:
// queue records between the writer's newest and the shadow's position at
// its last change report when the writer stopped (an upper bound).
void BM_ShadowSustained(benchmark::State& state) {
  constexpr U32 kKeys = 1000;
  constexpr U64 kRunNs = 1'000'000'000ull;
  Rig rig(state, kKeys);
  std::vector<U32> expected(kKeys);
  for (auto _ : state) {
    if (!rig.ok()) break;
    U64 cb0 = rig.sh().callbacks.load();
    U64 t0 = nowNs(), t1 = t0;
    U64 writes = 0;
    for (U32 k = 0; t1 - t0 < kRunNs; k = k + 1 == kKeys ? 0 : k + 1) {
      U32 idx = rig.nextIdx();
      expected[k] = idx;
      rig.w().write(entry(k, idx));
      rig.between(U32(writes));
      if ((++writes & 255) == 0) t1 = nowNs();
    }
    t1 = nowNs();
    double secs = double(t1 - t0) / 1e9;
    U64 cbStop = rig.sh().callbacks.load() - cb0;
    U64 lag = rig.w().nimbr().tailSeq() + 1 - rig.sh().position.load();
    if (!rig.waitKeys(expected)) break;
    U64 converged = nowNs() - t1;
    U64 cbAll = rig.sh().callbacks.load() - cb0;
    state.counters["writes_per_s"] = double(writes) / secs;
    state.counters["callbacks_per_s"] = double(cbStop) / secs;
    state.counters["callbacks_per_write"] = double(cbAll) / double(writes);
    state.counters["lag_at_stop"] = double(lag);
    state.counters["converge_ns"] = double(converged);
  }
  rig.finish();
}

// A synchronised shadow whose writer stops writing: the CPU the shadow
// process uses per second of wall time (`idle_cpu_ns_per_s`), measured for
// 3 s from 1 s after the last change reached it (its backstop checks after
// the last arm are over by then). Blocked in its loop, it uses none.
void BM_ShadowIdleCpu(benchmark::State& state) {
  Rig rig(state, 1024);
  for (auto _ : state) {
    if (!rig.ok()) break;
    U32 idx = rig.nextIdx();
    rig.write(idx % rig.keys(), idx);
    if (!rig.waitIdx(idx)) break;
    ::usleep(1000000);
    U64 c0 = rig.childCpu(), t0 = nowNs();
    ::usleep(3000000);
    state.counters["idle_cpu_ns_per_s"] = double(rig.childCpu() - c0) / (double(nowNs() - t0) / 1e9);
  }
  rig.finish();
}

void shadowArgs(benchmark::internal::Benchmark* b) {
  for (long key : {0L, 1L})
    for (long writer : {0L, 1L, 2L, 3L}) b->Args({key, writer});
  b->ArgNames({"key", "writer"});
}

}  // namespace

BENCHMARK(BM_SocketPingPong)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 200}})
    ->ArgNames({"mode", "gap_us"})
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowLatencyLockstep)->Apply(shadowArgs)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowLatencyLowRate)->Apply(shadowArgs)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowLatencyPaced)->Apply(shadowArgs)->Iterations(10000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShadowLatencyBurst)->Apply(shadowArgs)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShadowIdleCpu)->Args({0, 0})->Args({0, 1})->ArgNames({"key", "writer"})->Iterations(1)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_ShadowSustained)->Apply(shadowArgs)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
