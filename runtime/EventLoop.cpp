#include "VexaSwitchLib/runtime/EventLoop.h"

#include <errno.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>

#include "VexaSwitchLib/runtime/Exception.h"

namespace Quiv {

namespace {
[[noreturn]] void sysFail(char const* what) {
  fmthrow(Quiv::InvalidInitializeException, "event loop: {} failed: {}", what, std::strerror(errno));
}
// The timer and wake-up descriptors are counters: one read resets them.
void drain(int fd) {
  U64 count;
  ssize_t r = ::read(fd, &count, sizeof count);
  (void)r;
}
}  // namespace

EventLoop::EventLoop() {
  epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) sysFail("epoll_create1");
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (timerFd_ < 0 || wakeFd_ < 0) sysFail("timerfd/eventfd");
  for (int fd : {timerFd_, wakeFd_}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) sysFail("epoll_ctl");
  }
}

EventLoop::~EventLoop() {
  for (int fd : {wakeFd_, timerFd_, epfd_})
    if (fd >= 0) ::close(fd);
}

void EventLoop::fdIs(int fd, Callback onReadable) {
  if (fd < 0) fmthrow(Quiv::InvalidInitializeException, "event loop: bad descriptor {}", fd);
  auto cb = std::make_shared<Callback>(std::move(onReadable));
  bool had = fds_.count(fd) != 0;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  if (::epoll_ctl(epfd_, had ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) sysFail("epoll_ctl");
  fds_[fd] = std::move(cb);
}

void EventLoop::fdDel(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  // A descriptor that was closed before being removed has left the epoll
  // set already; that is not an error.
  ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  fds_.erase(it);
}

EventLoop::TimerId EventLoop::timerIs(std::chrono::nanoseconds delay, Callback cb, std::chrono::nanoseconds period) {
  TimerId id = nextTimer_++;
  timers_[id] = Timer{Clock::now() + delay, period, std::move(cb)};
  armTimerFd();
  return id;
}

// The descriptor is left as it is: set for the removed timer, it fires
// once early and is set again then (runTimers). A timer removed and added
// again later at every event (a follower's backstop after each arm) so
// costs one call per event, not two.
void EventLoop::timerDel(TimerId id) { timers_.erase(id); }

// The timer descriptor fires at the earliest due time; it is set only when
// that changed.
void EventLoop::armTimerFd() {
  Clock::time_point earliest = Clock::time_point::max();
  for (auto const& [id, t] : timers_) earliest = std::min(earliest, t.due);
  if (earliest == timerFdDue_) return;
  itimerspec spec{};  // zero: disarmed
  if (earliest != Clock::time_point::max()) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest - Clock::now()).count();
    if (ns < 1) ns = 1;  // zero would disarm
    spec.it_value.tv_sec = ns / 1000000000;
    spec.it_value.tv_nsec = ns % 1000000000;
  }
  ::timerfd_settime(timerFd_, 0, &spec, nullptr);
  timerFdDue_ = earliest;
}

int EventLoop::runTimers() {
  drain(timerFd_);
  timerFdDue_ = Clock::time_point::max();  // expired (one-shot)
  int ran = 0;
  Clock::time_point now = Clock::now();
  std::vector<TimerId> due;
  for (auto const& [id, t] : timers_)
    if (t.due <= now) due.push_back(id);
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // removed by an earlier callback
    Callback cb = it->second.cb;
    if (it->second.period.count() > 0) {
      it->second.due = now + it->second.period;
    } else {
      timers_.erase(it);
    }
    ++ran;
    ++dispatches_;
    cb();
  }
  armTimerFd();
  return ran;
}

int EventLoop::runOnce(int timeoutMs) {
  epoll_event events[64];
  int n = ::epoll_wait(epfd_, events, 64, timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return 0;
    sysFail("epoll_wait");
  }
  int ran = 0;
  bool timersDue = false;
  // Callbacks are held by shared pointer so that one removing or replacing
  // another (or itself) neither frees a running callback nor calls a
  // removed one.
  std::vector<std::pair<int, std::weak_ptr<Callback>>> ready;
  for (int i = 0; i < n; ++i) {
    int fd = events[i].data.fd;
    if (fd == timerFd_) {
      timersDue = true;
    } else if (fd == wakeFd_) {
      drain(wakeFd_);
    } else {
      auto it = fds_.find(fd);
      if (it != fds_.end()) ready.emplace_back(fd, it->second);
    }
  }
  for (auto& [fd, weak] : ready) {
    auto it = fds_.find(fd);
    std::shared_ptr<Callback> cb = weak.lock();
    if (!cb || it == fds_.end() || it->second != cb) continue;
    ++ran;
    ++dispatches_;
    (*cb)();
  }
  if (timersDue) ran += runTimers();
  return ran;
}

void EventLoop::run() {
  stop_ = false;
  while (!stop_) runOnce(-1);
}

void EventLoop::stop() {
  stop_ = true;
  U64 one = 1;
  ssize_t r = ::write(wakeFd_, &one, sizeof one);
  (void)r;
}

// --- DirWatcher -----------------------------------------------------------------

DirWatcher::DirWatcher(EventLoop& loop, std::string dir, EventLoop::Callback onChange, bool modifications)
    : loop_(loop), dir_(std::move(dir)), onChange_(std::move(onChange)), modifications_(modifications) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) fmthrow(Quiv::InvalidInitializeException, "inotify_init1 failed: {}", std::strerror(errno));
  rewatch();
  loop_.fdIs(inotifyFd_, [this] { onReadable(); });
}

DirWatcher::~DirWatcher() {
  loop_.fdDel(inotifyFd_);
  ::close(inotifyFd_);
}

namespace {
bool isDir(std::string const& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

// Watches dir_ when it exists, else its nearest existing ancestor. A
// directory further down may be created between finding the ancestor and
// adding its watch, unseen by that watch: so the walk is repeated until
// the watched directory is still the deepest existing one after its watch
// was added.
void DirWatcher::rewatch() {
  for (;;) {
    std::string target = dir_;
    while (!isDir(target)) {
      auto slash = target.find_last_of('/');
      if (slash == std::string::npos) {
        target.assign(1, '.');
        break;
      }
      target.resize(slash == 0 ? 1 : slash);
    }
    if (target == watching_ && wd_ >= 0) return;
    if (wd_ >= 0) ::inotify_rm_watch(inotifyFd_, wd_);
    U32 mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (target == dir_) mask |= IN_CLOSE_WRITE | IN_ATTRIB | (modifications_ ? IN_MODIFY : 0);
    wd_ = ::inotify_add_watch(inotifyFd_, target.c_str(), mask);
    if (wd_ < 0)
      fmthrow(Quiv::InvalidInitializeException, "inotify_add_watch {} failed: {}", target, std::strerror(errno));
    watching_ = target;
    if (target == dir_) return;
  }
}

void DirWatcher::onReadable() {
  alignas(inotify_event) char buf[4096];
  bool any = false;
  for (;;) {
    ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
    if (n <= 0) break;
    any = true;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      // The kernel dropped the watch (the directory went away).
      if (ev->wd == wd_ && (ev->mask & IN_IGNORED)) wd_ = -1;
      p += sizeof(inotify_event) + ev->len;
    }
  }
  if (!any) return;
  bool wasThere = dirExists();
  // The path may have been created further down, or removed: move the
  // watch to where it now ends.
  rewatch();
  if (dirExists() || wasThere) {
    ++changes_;
    onChange_();
  }
}

}  // namespace Quiv
