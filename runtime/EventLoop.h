#pragma once
// The event loop of one thread: file descriptors and timers, dispatched on
// the thread that runs the loop. The library starts no thread; an agent
// either runs the loop (run / runOnce) or plugs the loop's own descriptor
// (fd(), readable whenever something is ready) into its own loop and calls
// runOnce(0) when it fires.
//
// Callbacks may add and remove descriptors and timers, including their
// own, while they run: a source removed during a dispatch round is not
// called again in that round.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/Types.h"

namespace Quiv {

class EventLoop {
 public:
  using Callback = std::function<void()>;
  using Clock = std::chrono::steady_clock;
  using TimerId = U64;

  EventLoop();
  ~EventLoop();
  EventLoop(EventLoop const&) = delete;
  EventLoop& operator=(EventLoop const&) = delete;

  // Calls `onReadable` whenever `fd` is readable (level-triggered). One
  // callback per descriptor; adding again replaces it. The loop does not
  // own the descriptor.
  void fdIs(int fd, Callback onReadable);
  void fdDel(int fd);
  bool hasFd(int fd) const { return fds_.count(fd) != 0; }

  // Calls `cb` once after `delay`, or every `period` when `period` is not
  // zero. Returns an id for timerDel.
  TimerId timerIs(std::chrono::nanoseconds delay, Callback cb,
                  std::chrono::nanoseconds period = std::chrono::nanoseconds::zero());
  void timerDel(TimerId id);
  std::size_t timers() const { return timers_.size(); }

  // Dispatches what is ready, waiting at most `timeoutMs` (negative: until
  // something is ready). Returns the number of callbacks run.
  int runOnce(int timeoutMs);
  // Runs until stop() is called from a callback (or another signal-safe
  // place through the wake-up descriptor).
  void run();
  void stop();
  bool stopped() const { return stop_; }

  // Readable whenever runOnce(0) has something to do.
  int fd() const { return epfd_; }
  // Callbacks run so far (for tests and counters).
  U64 dispatches() const { return dispatches_; }

 private:
  struct Timer {
    Clock::time_point due;
    std::chrono::nanoseconds period;
    Callback cb;
  };
  void armTimerFd();
  int runTimers();

  int epfd_ = -1;
  int timerFd_ = -1;
  // When the timer descriptor fires next (max: not set); never after the
  // earliest timer (armTimerFd).
  Clock::time_point timerFdDue_ = Clock::time_point::max();
  int wakeFd_ = -1;
  std::map<int, std::shared_ptr<Callback>> fds_;
  std::map<TimerId, Timer> timers_;
  TimerId nextTimer_ = 1;
  bool stop_ = false;
  U64 dispatches_ = 0;
};

// Watches a directory for files appearing and disappearing (inotify). The
// directory need not exist yet: the watcher then watches its nearest
// existing ancestor and moves down as the path is created, so that a
// reader can wait for a writer that has not started.
class DirWatcher {
 public:
  // `onChange` is called (on the loop's thread) after any entry of `dir`
  // was created, removed, renamed or closed after writing, and when `dir`
  // itself appears or goes away. With `modifications`, also after a write
  // into an entry through a descriptor that stays open (a writer's owner
  // file is rewritten in place, never closed while the writer lives).
  // Stores through a shared mapping are never reported by the kernel.
  DirWatcher(EventLoop& loop, std::string dir, EventLoop::Callback onChange, bool modifications = false);
  ~DirWatcher();
  DirWatcher(DirWatcher const&) = delete;
  DirWatcher& operator=(DirWatcher const&) = delete;

  std::string const& dir() const { return dir_; }
  // The directory currently watched (dir() itself once it exists).
  std::string const& watching() const { return watching_; }
  bool dirExists() const { return watching_ == dir_; }
  U64 changes() const { return changes_; }

 private:
  void rewatch();
  void onReadable();

  EventLoop& loop_;
  std::string dir_;
  std::string watching_;
  EventLoop::Callback onChange_;
  bool modifications_;
  int inotifyFd_ = -1;
  int wd_ = -1;
  U64 changes_ = 0;
};

}  // namespace Quiv
