#pragma once
// Child processes for the multi-process tests: a body run in a forked
// child, its end awaited and described, memory and pipes shared with
// children, and waiting for a condition another process makes true.
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/EventLoop.h"

namespace VexaTest {

// Runs `body` in a forked child that exits 0 when it returns. Output
// buffers are flushed first, so that the child does not print them again.
// The child's private memory is capped at 4 GiB (shared table files do not
// count): a fault that makes it allocate without end, such as a cycle in a
// local index, then fails the child instead of swapping the machine. Not
// under ASan, whose shadow memory is private too.
template <class F>
pid_t spawn(F&& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
#ifndef __SANITIZE_ADDRESS__
    rlimit lim{};
    if (::getrlimit(RLIMIT_DATA, &lim) == 0 && lim.rlim_max > (rlim_t(4) << 30)) {
      lim.rlim_cur = rlim_t(4) << 30;
      ::setrlimit(RLIMIT_DATA, &lim);
    }
#endif
    body();
    ::_exit(0);
  }
  return pid;
}

// Waits for `pid`; its wait status.
inline int reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// Describes a wait status: "exit N", "killed by signal N".
inline std::string describeStatus(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "unknown";
}

// Waits for `pid`; how it ended.
inline std::string reapDescribed(pid_t pid) {
  int status = 0;
  if (pid < 0) return "fork failed";
  if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
  return describeStatus(status);
}

// A value-initialised T in an anonymous shared mapping: made before the
// children fork, the same memory in all of them.
template <class T>
T* newShared() {
  void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : new (p) T{};
}

template <class T>
void freeShared(T* p) {
  if (!p) return;
  p->~T();
  ::munmap(p, sizeof(T));
}

// Runs `body` in a forked child; `body` returns what failed, empty when
// every check held. Returns that text, an exception's, or how the child
// ended when it did not get that far; empty when all went well. A child
// cannot use the test's assertions: they would not reach the parent.
template <class F>
std::string failureInChild(F&& body) {
  struct Text {
    char s[512];
  };
  Text* t = newShared<Text>();
  std::string how = reapDescribed(spawn([&] {
    std::string why;
    try {
      why = body();
    } catch (std::exception const& e) {
      why = std::string("exception: ") + e.what();
    }
    std::snprintf(t->s, sizeof t->s, "%s", why.c_str());
    ::_exit(why.empty() ? 0 : 1);
  }));
  std::string why = t->s;
  freeShared(t);
  if (how == "exit 0") return "";
  return why.empty() ? how : why;
}

// A pipe; its ends close with it (or earlier, by hand, to signal the end).
struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  Pipe(Pipe const&) = delete;
  Pipe& operator=(Pipe const&) = delete;
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (r >= 0) ::close(r);
    r = -1;
  }
  void closeWrite() {
    if (w >= 0) ::close(w);
    w = -1;
  }
  // One value whole, or false.
  template <class T>
  bool put(T const& v) {
    return ::write(w, &v, sizeof v) == ssize_t(sizeof v);
  }
  template <class T>
  bool get(T& v) {
    return ::read(r, &v, sizeof v) == ssize_t(sizeof v);
  }
  bool signal() { return put('x'); }
  bool await() {
    char c;
    return get(c);
  }
};

// Polls `pred` every millisecond until it holds or `limit` has passed;
// whether it held.
template <class Pred>
bool waitFor(Pred&& pred, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    ::usleep(1000);
  }
  return true;
}

// Runs `loop` until `done()` holds or `limit` has passed; whether it held.
inline bool pump(Quiv::EventLoop& loop, std::function<bool()> const& done,
                 std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    loop.runOnce(20);
  }
  return true;
}

// A shell command's exit status, standard output and error. With `uid` it
// runs as that user (and group); code -2 when the user cannot be taken, -1
// when the command did not exit. Its error output must fit a pipe's buffer:
// it waits there while the standard output is read.
struct CommandResult {
  int code = -1;
  std::string out, err;
};
inline CommandResult runCommand(std::string const& cmd, uid_t uid = 0) {
  CommandResult r;
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return r;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(121);
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  for (auto [fd, text] : {std::pair{out[0], &r.out}, {err[0], &r.err}}) {
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text->append(buf, std::size_t(n));
    ::close(fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = !WIFEXITED(status) ? -1 : uid && WEXITSTATUS(status) == 121 ? -2 : WEXITSTATUS(status);
  return r;
}

// Children still running when a test ends early (a failed ASSERT) are
// killed and reaped, so that none outlives the test.
struct Children {
  std::vector<pid_t> pids;
  pid_t add(pid_t p) {
    pids.push_back(p);
    return p;
  }
  ~Children() {
    for (pid_t p : pids)
      if (p > 0 && ::kill(p, SIGKILL) == 0) reap(p);
  }
};

}  // namespace VexaTest
